#!/bin/sh
# The lab's real Linux userland, built once and cached:
#   - a Debian 12 root made by mmdebstrap (minbase, with passwd, procps
#     and systemd as its init) from the Debian archive that this machine's
#     apt sources name, dressed as a WSL 2 Ubuntu: /etc/os-release says
#     ID=ubuntu, and a diverted /usr/bin/uname reports a WSL 2 kernel
#     release;
#   - a package archive of real .deb files (ca-certificates, curl, python3,
#     docker.io and everything they pull in), downloaded while the root is
#     built and signed with a lab key that the root trusts; the root's
#     sources.list names it as http://deb.debian.org/debian, which only the
#     lab's network namespace answers. Its docker.io is Debian's, rebuilt
#     as Ubuntu packages it (repack_docker below): one package with the
#     client and the daemon in /usr/bin, started by systemd only;
#   - a lab certificate authority, placed in the root for
#     update-ca-certificates to pick up once ca-certificates is installed,
#     and the service's certificate for quenvale.com and www.quenvale.com;
#     and an interceptor's authority, which the root does not trust, with
#     its own certificate for the same names: what an HTTPS-scanning
#     antivirus or a company proxy shows the distribution.
#
#   userland.sh CACHE
#
# Builds CACHE unless it already holds a build of this recipe (this file and
# the files under root/). This is the only time the lab uses the network.
# CACHE afterwards:
#   recipe.sha256           the recipe it was built from
#   root/                   the root file system, the read-only lower layer
#                           of every real distribution
#   archive/debian/         the package archive (dists/, pool/)
#   archive-gnupg/          the archive's signing key, for re-signing its
#                           Release file with another date (a clock behind)
#   ca.pem                  the lab CA
#   service.pem service.key the service's certificate and key
#   intercept.pem intercept.key  the same names, from the interceptor's CA
#   build.log               what the build printed, and how long it took
set -eu
LC_ALL=C
export LC_ALL

[ $# -eq 1 ] || { echo "usage: userland.sh CACHE" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$(dirname "$1")"
cache=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
suite=bookworm
# What the dependency script installs, and so what the archive must hold.
stack="ca-certificates curl python3 docker.io"

recipe_hash() {
  (cd "$here" && find userland.sh root -type f | LC_ALL=C sort | xargs sha256sum) | sha256sum | cut -d' ' -f1
}

recipe=$(recipe_hash)
if [ -f "$cache/recipe.sha256" ] && [ "$(cat "$cache/recipe.sha256")" = "$recipe" ]; then
  exit 0
fi

for tool in mmdebstrap apt-ftparchive dpkg-deb gpg openssl; do
  command -v "$tool" >/dev/null || { echo "userland.sh: $tool is missing (tools/install-deps.sh installs it)" >&2; exit 1; }
done
# 77: not root, so no mmdebstrap --mode=root here; the real cases are skipped.
[ "$(id -u)" -eq 0 ] || { echo "userland.sh: needs root (mmdebstrap --mode=root)" >&2; exit 77; }

# The Debian suites of this machine's apt sources, in one-line form, main
# only: both the classic format and deb822 (*.sources) are read.
host_mirrors() {
  {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed -e 's/#.*//' -e 's/\[[^]]*\]//' | awk '$1 == "deb" { print $2, $3 }'
    for file in /etc/apt/sources.list.d/*.sources; do
      [ -f "$file" ] || continue
      awk '
        function flush() { if (types ~ /(^| )deb( |$)/) { n = split(uris, u, " "); m = split(suites, s, " ");
                           for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j] } types = uris = suites = "" }
        /^[[:space:]]*$/ { flush(); next }
        /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0 }
        /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
        /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
        END { flush() }' "$file"
    done
  } | awk -v suite="$suite" '$2 == suite || $2 == suite "-updates" || $2 == suite "-security" { print "deb " $1 " " $2 " main" }' |
    awk '!seen[$0]++'
}

# docker.io as Ubuntu packages it (source docker.io-app, every release up
# to 26.04): one package holding the client /usr/bin/docker and the daemon
# /usr/bin/dockerd, with docker.service and docker.socket, and no init
# script and no /etc/default/docker, so that without systemd `service
# docker` does not know it. Debian's docker.io in POOL is rebuilt so: the
# daemon moved from /usr/sbin, the init script and the defaults file (and
# their conffiles entries) dropped, the unit starting /usr/bin/dockerd.
# Debian 13 ships the client apart, in docker-cli, which docker.io only
# recommends: its /usr/bin/docker moves into docker.io, and docker-cli
# leaves the pool. The rebuilt docker.io neither recommends docker-cli nor
# lets it in (Conflicts, Replaces), so one dpkg run unpacks client and
# daemon together, as on Ubuntu, even a run cut short. Its maintainer
# scripts are Debian's: without the init script they enable and start the
# units when systemd runs, and start nothing otherwise. Compressed with
# zstd, as Ubuntu's packages are.
repack_docker() { # POOL
  _io=$(ls "$1"/docker.io_*.deb)
  _cli=$(ls "$1"/docker-cli_*.deb 2>/dev/null || true)
  _tree="$new/repack/docker.io"
  mkdir -p "$new/repack"
  dpkg-deb -R "$_io" "$_tree"
  if [ -n "$_cli" ]; then
    dpkg-deb -x "$_cli" "$new/repack/docker-cli"
    cp -a "$new/repack/docker-cli/usr/bin/docker" "$_tree/usr/bin/docker"
  fi
  [ -x "$_tree/usr/bin/docker" ] || { echo "repack_docker: no docker client in $_io or docker-cli" >&2; return 1; }
  mv "$_tree/usr/sbin/dockerd" "$_tree/usr/bin/dockerd"
  rm -f "$_tree/etc/init.d/docker" "$_tree/etc/default/docker"
  rmdir "$_tree/etc/init.d" "$_tree/etc/default" 2>/dev/null || true
  sed -i -e '\|^/etc/init\.d/docker$|d' -e '\|^/etc/default/docker$|d' "$_tree/DEBIAN/conffiles"
  [ -s "$_tree/DEBIAN/conffiles" ] || rm -f "$_tree/DEBIAN/conffiles"
  _unit=$(find "$_tree/lib/systemd/system" "$_tree/usr/lib/systemd/system" -name docker.service 2>/dev/null || true)
  [ -n "$_unit" ] || { echo "repack_docker: no docker.service in $_io" >&2; return 1; }
  sed -i 's|/usr/sbin/dockerd|/usr/bin/dockerd|g' "$_unit"
  grep -q '^ExecStart=/usr/bin/dockerd ' "$_unit" || { echo "repack_docker: $_unit starts no /usr/bin/dockerd" >&2; return 1; }
  _control="$_tree/DEBIAN/control"
  awk '/^[^ ]/ { field = $1 } END { exit field != "Description:" }' "$_control" ||
    { echo "repack_docker: the control file does not end with its Description" >&2; return 1; }
  grep -q '^Conflicts:' "$_control" || sed -i 's/^Depends: .*/&\nConflicts: docker-cli/' "$_control"
  grep -q '^Replaces:' "$_control" || sed -i 's/^Conflicts: .*/&\nReplaces: docker-cli/' "$_control"
  sed -i -e '/^Version:/s/$/+lab1/' \
    -e '/^Recommends:/{s/ docker-cli,//;s/, docker-cli$//}' \
    -e '/^Conflicts:/{/docker-cli\(,\|$\)/!s/$/, docker-cli/}' \
    -e '/^Replaces:/{/docker-cli\(,\|$\)/!s/$/, docker-cli/}' \
    -e "s/^Installed-Size: .*/Installed-Size: $(du -sk --exclude=DEBIAN "$_tree" | cut -f1)/" "$_control"
  printf '%s\n' ' .' ' Rebuilt by the Quenvale lab as Ubuntu packages docker.io: the client and' \
    ' the daemon in /usr/bin, no init script, no /etc/default/docker.' >>"$_control"
  (cd "$_tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | LC_ALL=C sort | xargs md5sum) \
    >"$_tree/DEBIAN/md5sums"
  _version=$(sed -n 's/^Version: //p' "$_control")
  rm -f "$_io" "$_cli"
  dpkg-deb --root-owner-group -Zzstd -b "$_tree" "$1/docker.io_${_version}_amd64.deb"
  rm -rf "$new/repack"
}

build() {
  mirrors=$(host_mirrors)
  [ -n "$mirrors" ] || mirrors="deb http://deb.debian.org/debian $suite main"
  echo "mirrors:"
  printf '  %s\n' "$mirrors"
  printf '%s\n' "$mirrors" >"$new/host-sources.list"

  # The root, and the archive's packages: everything apt would fetch to
  # install the stack, while the root still has the network; and the
  # client that Debian 13 packages apart from docker.io, for repack_docker.
  mmdebstrap --mode=root --variant=minbase --include=passwd,procps,systemd,systemd-sysv,dbus \
    --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
    --customize-hook="chroot \"\$1\" apt-get install -y --download-only --no-install-recommends $stack" \
    --customize-hook="if chroot \"\$1\" apt-cache show docker-cli >/dev/null 2>&1; then
                        chroot \"\$1\" apt-get install -y --download-only --no-install-recommends docker-cli; fi" \
    --customize-hook="cp \"\$1\"/var/cache/apt/archives/*.deb '$new/archive/debian/pool/main/'" \
    "$suite" "$new/root" "$new/host-sources.list"
  repack_docker "$new/archive/debian/pool/main"

  # The archive's index, signed with a key made for this build.
  (
    cd "$new/archive/debian"
    apt-ftparchive packages pool/main >"dists/$suite/main/binary-amd64/Packages"
    gzip -9n -k "dists/$suite/main/binary-amd64/Packages"
    apt-ftparchive -o APT::FTPArchive::Release::Origin="Quenvale lab" \
      -o APT::FTPArchive::Release::Label="Quenvale lab" \
      -o APT::FTPArchive::Release::Suite="$suite" -o APT::FTPArchive::Release::Codename="$suite" \
      -o APT::FTPArchive::Release::Architectures=amd64 -o APT::FTPArchive::Release::Components=main \
      release "dists/$suite" >"$new/Release"
    mv "$new/Release" "dists/$suite/Release"
  )
  GNUPGHOME="$new/archive-gnupg"
  export GNUPGHOME
  mkdir -m 700 "$GNUPGHOME"
  gpg --batch --passphrase '' --quick-gen-key 'Quenvale lab archive <archive@lab.invalid>' ed25519 sign never
  gpg --batch --yes --clearsign -o "$new/archive/debian/dists/$suite/InRelease" "$new/archive/debian/dists/$suite/Release"
  gpg --batch --export >"$new/archive.gpg"
  gpgconf --kill all 2>/dev/null || true

  # The lab CA and the service's certificate for its two names.
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Quenvale lab CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$new/ca.key" -out "$new/ca.pem"
  printf '%s\n' "subjectAltName=DNS:quenvale.com,DNS:www.quenvale.com" "extendedKeyUsage=serverAuth" \
    "basicConstraints=critical,CA:FALSE" >"$new/service.ext"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=quenvale.com" -keyout "$new/service.key" -out "$new/service.csr"
  openssl x509 -req -days 3650 -in "$new/service.csr" -CA "$new/ca.pem" -CAkey "$new/ca.key" -CAcreateserial \
    -extfile "$new/service.ext" -out "$new/service.pem"
  # The interceptor: a CA of its own that the root never trusts, and a
  # certificate for the same names.
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=HTTPS inspection CA (Quenvale lab)" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$new/intercept-ca.key" -out "$new/intercept-ca.pem"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=quenvale.com" -keyout "$new/intercept.key" -out "$new/intercept.csr"
  openssl x509 -req -days 3650 -in "$new/intercept.csr" -CA "$new/intercept-ca.pem" -CAkey "$new/intercept-ca.key" \
    -CAcreateserial -extfile "$new/service.ext" -out "$new/intercept.pem"
  rm -f "$new/ca.key" "$new/ca.srl" "$new/service.csr" "$new/service.ext" \
    "$new/intercept-ca.key" "$new/intercept-ca.srl" "$new/intercept.csr"

  # The root as a WSL 2 Ubuntu would show itself to the scripts.
  root="$new/root"
  cp "$root/usr/bin/uname" "$root/usr/bin/uname.real"
  chroot "$root" dpkg-divert --local --no-rename --divert /usr/bin/uname.real --add /usr/bin/uname
  # mmdebstrap's own apt options (no date checks, for this machine's
  # mirror) are not the distribution's: its apt checks dates as Ubuntu's does.
  rm -f "$root/etc/apt/apt.conf.d/99mmdebstrap"
  cp -R "$here/root/." "$root/"
  rm -f "$root/etc/os-release"
  cat >"$root/etc/os-release" <<'OS'
PRETTY_NAME="Debian GNU/Linux 12 (bookworm) userland of the Quenvale lab, reporting as Ubuntu"
NAME="Ubuntu"
VERSION_ID="12"
VERSION="12 (bookworm)"
VERSION_CODENAME=bookworm
ID=ubuntu
ID_LIKE=debian
OS
  printf 'desktop-lab\n' >"$root/etc/hostname"
  cat >"$root/etc/hosts" <<'HOSTS'
127.0.0.1	localhost desktop-lab
::1	localhost ip6-localhost ip6-loopback
HOSTS
  # Names resolve through the lab's DNS server, at the address WSL's DNS
  # tunnelling gives every distribution (services.py answers there).
  rm -f "$root/etc/resolv.conf"
  printf 'nameserver 10.255.255.254\n' >"$root/etc/resolv.conf"
  rm -f "$root"/etc/apt/sources.list "$root"/etc/apt/sources.list.d/*
  cp "$new/archive.gpg" "$root/usr/share/keyrings/quenvale-lab-archive.gpg"
  printf 'deb [signed-by=/usr/share/keyrings/quenvale-lab-archive.gpg] http://deb.debian.org/debian %s main\n' "$suite" \
    >"$root/etc/apt/sources.list.d/debian.list"
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp "$new/ca.pem" "$root/usr/local/share/ca-certificates/quenvale-lab-ca.crt"

  printf '%s\n' "$recipe" >"$new/recipe.sha256"
}

started=$(date +%s)
new="$cache.new"
rm -rf "$new"
mkdir -p "$new/archive/debian/pool/main" "$new/archive/debian/dists/$suite/main/binary-amd64"
echo "userland.sh: building the lab's userland in $cache (a few minutes, once)"
# The build stops at its first failure. (set -e would be ignored inside a
# function called as a condition, hence no "if ! build".)
set +e
(set -e; build) >"$new/build.log" 2>&1
status=$?
set -e
if [ $status -ne 0 ]; then
  echo "userland.sh: the build failed; the end of $new/build.log:" >&2
  tail -n 30 "$new/build.log" >&2
  exit 1
fi
summary="built in $(($(date +%s) - started)) s; archive: $(find "$new/archive/debian/pool" -name '*.deb' | wc -l) packages,\
 $(du -sm "$new/archive" | cut -f1) MB; root: $(du -sm "$new/root" | cut -f1) MB"
printf '%s\n' "$summary" >>"$new/build.log"
rm -rf "$cache"
mv "$new" "$cache"
echo "userland.sh: $summary"

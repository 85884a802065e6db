#!/bin/sh
# The lab's real Linux userland, built once per release and cached:
#   - a Debian root made by mmdebstrap (minbase, with passwd, procps,
#     adduser, which every Ubuntu has and Debian 13's minbase lacks,
#     systemd as its init, and unattended-upgrades with apt's daily timers,
#     set as Ubuntu ships them) from the Debian archive that this machine's apt
#     sources name: Debian 13 (trixie, the default), the generation that
#     providers run today, or Debian 12 (bookworm), the older one. It is
#     dressed as a WSL 2 Ubuntu: /etc/os-release says ID=ubuntu, a diverted
#     /usr/bin/uname reports a WSL 2 kernel release, /tmp stays on the disk
#     (Debian 13 mounts a tmpfs there, Ubuntu does not);
#   - a package archive of real .deb files (ca-certificates, curl, python3,
#     docker.io and everything they pull in), downloaded while the root is
#     built and signed with a lab key that the root trusts; the root's
#     sources.list names it as http://deb.debian.org/debian, which only the
#     lab's network namespace answers, and whose Release names Ubuntu as its
#     origin, as unattended-upgrades' Ubuntu settings ask. Its docker.io is
#     Debian's, rebuilt as Ubuntu packages it (repack_docker below): one
#     package with the client and the daemon in /usr/bin, started by systemd
#     only. It holds an update to a package of the root (update_package);
#   - a lab certificate authority, placed in the root for
#     update-ca-certificates to pick up once ca-certificates is installed,
#     and the service's certificate for quenvale.com and www.quenvale.com;
#     and an interceptor's authority, which the root does not trust, with
#     its own certificate for the same names: what an HTTPS-scanning
#     antivirus or a company proxy shows the distribution.
#
#   userland.sh CACHE [RELEASE...]      RELEASE: trixie (the default), bookworm
#
# Builds CACHE/RELEASE for each RELEASE, side by side, unless it already
# holds a build of this recipe (this file, the files under root/ and the
# release). This is the only time the lab uses the network.
# CACHE/RELEASE afterwards:
#   recipe.sha256           the recipe it was built from
#   root/                   the root file system, the read-only lower layer
#                           of every real distribution of that release
#   archive/debian/         the package archive (dists/RELEASE/, pool/)
#   archive-gnupg/          the archive's signing key, for re-signing its
#                           Release file with another date (a clock behind)
#   ca.pem                  the lab CA
#   service.pem service.key the service's certificate and key
#   intercept.pem intercept.key  the same names, from the interceptor's CA
#   build.log               what the build printed, and how long it took
#   layers/                 package sets installed over the root (kind.sh)
set -eu
LC_ALL=C
export LC_ALL

[ $# -ge 1 ] || { echo "usage: userland.sh CACHE [RELEASE...]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
# The checkout's tools: the lab's copy of this file runs from its state.
tools=$(cd "${QVLAB_CHECKOUT:-$here/../../..}/tools" && pwd)
mkdir -p "$1"
top=$(cd "$1" && pwd)
shift
[ $# -gt 0 ] || set -- trixie
for release in "$@"; do
  case "$release" in
    trixie | bookworm) ;;
    *) echo "userland.sh: no release '$release' (trixie, bookworm)" >&2; exit 2 ;;
  esac
done
# What the dependency script installs, and so what the archive must hold.
stack=$(sed -n 's/^STACK="\(.*\)"$/\1/p' "$here/../../wsl/kinds.sh")

recipe_hash() { # RELEASE
  { printf '%s\n' "$1" "$stack"; (cd "$here" && find userland.sh root -type f | LC_ALL=C sort | xargs sha256sum); } |
    sha256sum | cut -d' ' -f1
}

# The releases whose cache is missing or of another recipe.
stale=""
for release in "$@"; do
  if [ ! -f "$top/$release/recipe.sha256" ] || [ "$(cat "$top/$release/recipe.sha256")" != "$(recipe_hash "$release")" ]; then
    stale="$stale $release"
  fi
done
[ -n "$stale" ] || exit 0

for tool in mmdebstrap apt-ftparchive dpkg-deb gpg openssl; do
  command -v "$tool" >/dev/null || { echo "userland.sh: $tool is missing (tools/install-deps.sh installs it)" >&2; exit 1; }
done
# 77: not root, so no mmdebstrap --mode=root here; the real cases are skipped.
[ "$(id -u)" -eq 0 ] || { echo "userland.sh: needs root (mmdebstrap --mode=root)" >&2; exit 77; }

# The Debian suites of this machine's apt sources (tools/apt-sources.sh),
# in one-line form, main only. The machine's own release (its bookworm,
# -updates, -security) is renamed to SUITE, so that the same mirrors serve
# each release the lab builds.
host_mirrors() { # SUITE
  # shellcheck disable=SC1091
  _host=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
  "$tools/apt-sources.sh" | awk -v host="$_host" -v suite="$1" '
    { name = $2; if (host != "" && index(name, host) == 1) name = suite substr(name, length(host) + 1) }
    name == suite || name == suite "-updates" || name == suite "-security" { print "deb " $1 " " name " main" }' |
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

# A package of the lab's own: the root has version 1, the archive version
# 2, the update that unattended-upgrades installs when apt's timers fire.
# Version 2's postinst takes as many seconds as the distribution's
# /etc/quenvale-lab/update-seconds says, so that the update holds dpkg's
# locks that long while it configures.
update_package() { # VERSION OUT.deb
  _tree="$new/update-$1"
  mkdir -p "$_tree/DEBIAN" "$_tree/usr/share/quenvale-lab-update"
  printf '%s\n' "$1" >"$_tree/usr/share/quenvale-lab-update/version"
  printf '%s\n' "Package: quenvale-lab-update" "Version: $1" "Architecture: all" \
    "Maintainer: Quenvale lab <lab@lab.invalid>" "Priority: optional" \
    "Description: a package the Quenvale lab updates" >"$_tree/DEBIAN/control"
  # shellcheck disable=SC2016
  printf '%s\n' '#!/bin/sh' 'set -e' '[ "$1" = configure ] || exit 0' \
    'seconds=$(cat /etc/quenvale-lab/update-seconds 2>/dev/null || echo 0)' \
    'echo "quenvale-lab-update: configuring for $seconds s"' 'exec sleep "$seconds"' >"$_tree/DEBIAN/postinst"
  chmod 755 "$_tree/DEBIAN/postinst"
  dpkg-deb --root-owner-group -Zxz -b "$_tree" "$2" >/dev/null
  rm -rf "$_tree"
}

# Builds RELEASE's userland in $new (CACHE/RELEASE.new). Each release builds
# in a subshell of its own, so its variables are its own.
build() { # RELEASE
  suite=$1
  mirrors=$(host_mirrors "$suite")
  [ -n "$mirrors" ] || mirrors="deb http://deb.debian.org/debian $suite main"
  echo "mirrors:"
  printf '  %s\n' "$mirrors"
  printf '%s\n' "$mirrors" >"$new/host-sources.list"
  mkdir -p "$new/archive/debian/pool/main" "$new/archive/debian/dists/$suite/main/binary-amd64"

  # The root, and the archive's packages: everything apt would fetch to
  # install the stack, while the root still has the network; and the
  # client that Debian 13 packages apart from docker.io, for repack_docker.
  mmdebstrap --mode=root --variant=minbase --include=passwd,adduser,procps,systemd,systemd-sysv,dbus,unattended-upgrades \
    --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
    --customize-hook="chroot \"\$1\" apt-get install -y --download-only --no-install-recommends $stack" \
    --customize-hook="if chroot \"\$1\" apt-cache show docker-cli >/dev/null 2>&1; then
                        chroot \"\$1\" apt-get install -y --download-only --no-install-recommends docker-cli; fi" \
    --customize-hook="cp \"\$1\"/var/cache/apt/archives/*.deb '$new/archive/debian/pool/main/'" \
    "$suite" "$new/root" "$new/host-sources.list"
  repack_docker "$new/archive/debian/pool/main"
  update_package 1 "$new/root/tmp/quenvale-lab-update.deb"
  update_package 2 "$new/archive/debian/pool/main/quenvale-lab-update_2_all.deb"

  # The archive's index, signed with a key made for this build.
  (
    cd "$new/archive/debian"
    apt-ftparchive packages pool/main >"dists/$suite/main/binary-amd64/Packages"
    gzip -9n -k "dists/$suite/main/binary-amd64/Packages"
    apt-ftparchive -o APT::FTPArchive::Release::Origin=Ubuntu -o APT::FTPArchive::Release::Label=Ubuntu \
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
  # Debian 13's systemd mounts a tmpfs on /tmp (tmp.mount); Ubuntu keeps
  # /tmp on the distribution's disk, where what a run leaves there stays.
  if [ -e "$root/usr/lib/systemd/system/tmp.mount" ]; then
    ln -s /dev/null "$root/etc/systemd/system/tmp.mount"
  fi
  # mmdebstrap's own apt options (no date checks, for this machine's
  # mirror) are not the distribution's: its apt checks dates as Ubuntu's does.
  rm -f "$root/etc/apt/apt.conf.d/99mmdebstrap"
  cp -R "$here/root/." "$root/"
  chroot "$root" dpkg -i /tmp/quenvale-lab-update.deb
  rm "$root/tmp/quenvale-lab-update.deb"
  # Debian's version, under Ubuntu's ID.
  # shellcheck disable=SC1091,SC2153
  version_id=$(. "$root/etc/os-release" && printf '%s' "$VERSION_ID")
  rm -f "$root/etc/os-release"
  cat >"$root/etc/os-release" <<OS
PRETTY_NAME="Debian GNU/Linux $version_id ($suite) userland of the Quenvale lab, reporting as Ubuntu"
NAME="Ubuntu"
VERSION_ID="$version_id"
VERSION="$version_id ($suite)"
VERSION_CODENAME=$suite
ID=ubuntu
ID_LIKE=debian
OS
  printf 'desktop-lab\n' >"$root/etc/hostname"
  cat >"$root/etc/hosts" <<'HOSTS'
127.0.0.1	localhost desktop-lab
::1	localhost ip6-localhost ip6-loopback
HOSTS
  rm -f "$root"/etc/apt/sources.list "$root"/etc/apt/sources.list.d/*
  cp "$new/archive.gpg" "$root/usr/share/keyrings/quenvale-lab-archive.gpg"
  printf 'deb [signed-by=/usr/share/keyrings/quenvale-lab-archive.gpg] http://deb.debian.org/debian %s main\n' "$suite" \
    >"$root/etc/apt/sources.list.d/debian.list"
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp "$new/ca.pem" "$root/usr/local/share/ca-certificates/quenvale-lab-ca.crt"

  recipe_hash "$suite" >"$new/recipe.sha256"
}

# Builds RELEASE into CACHE/RELEASE, replacing what was there; says how it
# went in one line, or shows the end of its log.
build_release() { # RELEASE
  started=$(date +%s)
  cache="$top/$1"
  new="$cache.new"
  rm -rf "$new"
  mkdir -p "$new"
  # The build stops at its first failure. (set -e would be ignored inside a
  # function called as a condition, hence no "if ! build".)
  set +e
  (set -e; build "$1") >"$new/build.log" 2>&1
  status=$?
  set -e
  if [ $status -ne 0 ]; then
    echo "userland.sh: the $1 build failed; the end of $new/build.log:" >&2
    tail -n 30 "$new/build.log" >&2
    return 1
  fi
  summary="$1 built in $(($(date +%s) - started)) s; archive: $(find "$new/archive/debian/pool" -name '*.deb' | wc -l) packages,\
 $(du -sm "$new/archive" | cut -f1) MB; root: $(du -sm "$new/root" | cut -f1) MB"
  printf '%s\n' "$summary" >>"$new/build.log"
  rm -rf "$cache"
  mv "$new" "$cache"
  echo "userland.sh: $summary"
}

# The releases build side by side, each in the background.
echo "userland.sh: building the lab's userland (${stale# }) in $top (under a minute, once)"
pids=""
for release in $stale; do
  build_release "$release" &
  pids="$pids $!"
done
failed=0
for pid in $pids; do
  wait "$pid" || failed=1
done
exit $failed

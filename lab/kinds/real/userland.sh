#!/bin/sh
# The lab's real Linux userland, built once and cached:
#   - a Debian 12 root made by mmdebstrap (minbase, with passwd, procps
#     and systemd as its init) from the Debian archive that this machine's
#     apt sources name, dressed as a WSL 2 Ubuntu: /etc/os-release says
#     ID=ubuntu, a diverted /usr/bin/uname reports a WSL 2 kernel release,
#     and docker.io is packaged as Ubuntu's: before it is ever installed,
#     its daemon is diverted to Ubuntu's path, /usr/bin/dockerd (a unit
#     drop-in in root/ starts it from there), and its init script and
#     defaults file are diverted away, because Ubuntu's docker.io ships
#     neither (it starts the daemon through systemd only);
#   - a package archive of real .deb files (ca-certificates, curl, python3,
#     docker.io and everything they pull in), downloaded while the root is
#     built and signed with a lab key that the root trusts; the root's
#     sources.list names it as http://deb.debian.org/debian, which only the
#     lab's network namespace answers;
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

for tool in mmdebstrap apt-ftparchive gpg openssl; do
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

build() {
  mirrors=$(host_mirrors)
  [ -n "$mirrors" ] || mirrors="deb http://deb.debian.org/debian $suite main"
  echo "mirrors:"
  printf '  %s\n' "$mirrors"
  printf '%s\n' "$mirrors" >"$new/host-sources.list"

  # The root, and the archive's packages: everything apt would fetch to
  # install the stack, while the root still has the network.
  mmdebstrap --mode=root --variant=minbase --include=passwd,procps,systemd,systemd-sysv,dbus \
    --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
    --customize-hook="chroot \"\$1\" apt-get install -y --download-only --no-install-recommends $stack" \
    --customize-hook="cp \"\$1\"/var/cache/apt/archives/*.deb '$new/archive/debian/pool/main/'" \
    "$suite" "$new/root" "$new/host-sources.list"

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
  # Ubuntu's docker.io installs the daemon in /usr/bin, and has no init
  # script and no defaults file: without systemd, `service docker` does not
  # know it. Diverted before the package is ever unpacked, Debian's daemon
  # lands in Ubuntu's place and its two files out of the way, whenever dpkg
  # unpacks them, even in a run cut short.
  chroot "$root" dpkg-divert --local --no-rename --divert /usr/bin/dockerd --add /usr/sbin/dockerd
  mkdir -p "$root/usr/local/lib/quenvale-lab/not-on-ubuntu"
  chroot "$root" dpkg-divert --local --no-rename --divert /usr/local/lib/quenvale-lab/not-on-ubuntu/init.d-docker \
    --add /etc/init.d/docker
  chroot "$root" dpkg-divert --local --no-rename --divert /usr/local/lib/quenvale-lab/not-on-ubuntu/default-docker \
    --add /etc/default/docker
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
  # tunnelling gives every distribution (network.py answers there).
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

#!/bin/sh
# Installs the Debian packages that building and testing need, only those
# that are missing. Quiet when everything is there already.
set -eu

packages="make cmake g++ googletest mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 fonts-wine \
xvfb imagemagick fonts-wqy-microhei busybox-static clang libclang-rt-dev \
mmdebstrap apt-utils gnupg openssl iproute2 python3 python3-asn1crypto python3-pefile osslsigncode"

missing=""
for package in $packages; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  case "$status" in
    *" installed") ;;
    *) missing="$missing $package" ;;
  esac
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null

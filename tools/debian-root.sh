#!/bin/sh
# A Debian root file system with the given packages, made by mmdebstrap
# (minbase) from the Debian archive that this machine's apt sources name,
# and kept in CACHE: made again only when its recipe (this script, the
# suite, the architecture and the packages) changes. A package may be named
# with its exact version, PACKAGE=VERSION.
#
#   debian-root.sh SUITE CACHE PACKAGE...
#
# CACHE afterwards: root/ (the file system; tools/in-root.sh runs commands
# in it), recipe.sha256, build.log. The root needs root to make (mmdebstrap
# --mode=root); without it, exit 77. A failure leaves CACHE as it was and
# ends with apt's own errors (a version that the archive does not serve:
# "E: Version 'V' for 'P' was not found").
set -eu
LC_ALL=C
export LC_ALL

[ $# -ge 2 ] || { echo "usage: debian-root.sh SUITE CACHE PACKAGE..." >&2; exit 2; }
suite=$1
mkdir -p "$(dirname "$2")"
cache=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
architecture=$(dpkg --print-architecture)

recipe=$({ cat "$here/debian-root.sh"; echo "$suite $architecture"; printf '%s\n' "$@" | sort; } | sha256sum | cut -d' ' -f1)
if [ -f "$cache/recipe.sha256" ] && [ "$(cat "$cache/recipe.sha256")" = "$recipe" ]; then
  exit 0
fi
command -v mmdebstrap >/dev/null || { echo "debian-root.sh: mmdebstrap is missing (make deps installs it)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "debian-root.sh: making a root needs root (mmdebstrap --mode=root)" >&2; exit 77; }

# The mirrors of this machine's apt sources, for SUITE: a line for
# bookworm-security here gives SUITE-security from the same address, so a
# Debian 13 machine makes Debian 12 roots from where it gets its own
# packages, and the other way round. Both the one-line format and deb822
# (*.sources) are read; main only.
mirrors() {
  "$here/apt-sources.sh" | awk -v suite="$suite" '$1 ~ /\/debian(-security)?\/?$/ && $2 ~ /^[a-z]+(-updates|-security)?$/ {
        part = $2; sub(/^[a-z]+/, "", part); print "deb " $1 " " suite part " main" }' |
    awk '!seen[$0]++'
}

new="$cache.new.$$"
rm -rf "$new"
mkdir -p "$new"
trap 'rm -rf "$new"' EXIT
trap 'exit 1' HUP INT TERM
lines=$(mirrors)
[ -n "$lines" ] || lines="deb http://deb.debian.org/debian $suite main
deb http://deb.debian.org/debian-security $suite-security main"
printf '%s\n' "$lines" >"$new/sources.list"
# The archive's dates are checked as this machine's apt checks them: a
# mirror that this machine reads without (a snapshot) is read so here too.
include=$(printf '%s\n' "$@" | paste -sd, -)
set --
[ -z "$include" ] || set -- "--include=$include"
for option in Acquire::Check-Valid-Until Acquire::Check-Date; do
  if [ "$(apt-config dump "$option" 2>/dev/null | sed -n "s/^$option \"\(.*\)\";/\1/p")" = false ]; then
    set -- "$@" "--aptopt=$option \"false\""
  fi
done
started=$(date +%s)
echo "debian-root.sh: making a Debian $suite root in $cache" >&2
if ! mmdebstrap --mode=root --variant=minbase "$@" "$suite" "$new/root" "$new/sources.list" >"$new/build.log" 2>&1; then
  errors=$(grep '^E: ' "$new/build.log" | grep -v '^E: \(setup failed\|mmdebstrap failed\)' | tail -n 5 || true)
  if [ -n "$errors" ]; then printf '%s\n' "$errors" >&2; else tail -n 20 "$new/build.log" >&2; fi
  exit 1
fi
printf '%s\n' "$recipe" >"$new/recipe.sha256"
echo "made in $(($(date +%s) - started)) s; $(du -sm "$new/root" | cut -f1) MB" | tee -a "$new/build.log" | sed 's/^/debian-root.sh: /' >&2
rm -rf "$cache"
mv "$new" "$cache"

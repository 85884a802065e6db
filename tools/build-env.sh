#!/bin/sh
# The build environment of a release: what built it, in a plain text file
# in the spirit of Debian's .buildinfo, written beside the signed file by
# make release (sign-release.sh) and read by verify-release.sh.
#
# The reproducible build gives the same bytes from the same sources in any
# folder, but only with the same toolchain: Debian 13's MinGW-w64 GCC 14
# makes another file than Debian 12's GCC 12. So the file names the Debian
# release, its architecture and the exact version of every package that
# owns a file the build reads: the compiler and its parts, binutils, the
# runtime's objects and headers, CMake with its modules, and make. dpkg
# tells which packages those are, so the list follows the toolchain as it
# is installed. With them the commit and the SHA-256 of its build before
# signing:
#
#   Format: 1.0
#   Source: QuenvaleEnroll
#   Binary: QuenvaleEnroll.exe
#   Commit: 0e37699d...
#   Checksums-Sha256:
#    5b0c...e1 36864 QuenvaleEnroll.exe
#   Build-Origin: Debian
#   Build-Distribution: bookworm
#   Build-Distribution-Version: 12
#   Build-Architecture: amd64
#   Installed-Build-Depends:
#    binutils-mingw-w64-x86-64 (= 2.40-2+10.4),
#    ...
#    make (= 4.3-4.1)
#
#   build-env.sh record COMMIT BUILT.exe OUT   OUT for this machine's toolchain and BUILT.exe
#   build-env.sh read FILE                     FILE's form checked; prints "commit C", "distribution
#                                              SUITE VERSION", "architecture A", "build SHA256 SIZE"
#                                              and "package NAME VERSION" lines
#   build-env.sh differences FILE              "NAME RECORDED HERE" for each package whose version
#                                              here is not the recorded one (HERE: none)
#   build-env.sh key FILE                      a short hash of FILE's toolchain, to name its builds
#   build-env.sh root FILE CACHE               a root of FILE's Debian release with FILE's toolchain,
#                                              made or found under CACHE (debian-root.sh); prints
#                                              its path, or one line saying why there is none
# Exits 1 with one line on stderr when FILE is not in its form or a root
# cannot be had; record exits 1 when a file of the toolchain belongs to no
# Debian package.
set -eu
LC_ALL=C
export LC_ALL
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "build-env: $*" >&2; exit 1; }

# The packages that own the files the build reads, one "NAME VERSION" a
# line, sorted.
toolchain() {
  cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER \([^ )]*\))$/\1/p' "$here/../cmake/mingw-w64-x86_64.cmake")
  command -v "$cxx" >/dev/null || fail "$cxx, the toolchain file's compiler, is not installed"
  probe=$(mktemp -d /tmp/qv-build-env.XXXXXX)
  # shellcheck disable=SC2016
  printf 'message("${CMAKE_ROOT}/Modules/CMakeCXXInformation.cmake")\n' >"$probe/modules.cmake"
  {
    command -v "$cxx"
    command -v cmake
    command -v make
    cmake -P "$probe/modules.cmake" 2>&1
    for program in cc1plus collect2 lto-wrapper as ld; do "$cxx" -print-prog-name=$program; done
    for file in libstdc++.a libgcc.a crt2.o libmsvcrt.a libkernel32.a; do "$cxx" -print-file-name=$file; done
    printf '#include <windows.h>\n#include <string>\n' | "$cxx" -x c++ -E -M - | tr ' ' '\n' | tr -d '\\'
  } | sed -n 's|^\(/.*\)|\1|p' | sort -u >"$probe/files"
  xargs realpath <"$probe/files" >"$probe/real"
  xargs dpkg -S <"$probe/real" >"$probe/owners" 2>"$probe/unowned" || true
  unowned=$(sed -n 's/^dpkg-query: no path found matching pattern //p' "$probe/unowned" | head -n 1)
  if [ -n "$unowned" ] || [ ! -s "$probe/owners" ]; then
    rm -rf "$probe"
    fail "${unowned:-the files of the toolchain} belong to no Debian package: a toolchain that is not Debian's cannot be recorded"
  fi
  # "PACKAGE[:ARCH][, PACKAGE...]: PATH"; dpkg-divert's lines say "diversion by".
  grep -v '^diversion by ' "$probe/owners" | sed 's/: \/.*//' | tr ',' '\n' | sed 's/^ *//; s/:.*//' |
    sort -u | while IFS= read -r package; do
      echo "$package $(dpkg-query -W -f='${Version}' "$package")"
    done
  rm -rf "$probe"
}

# FILE's fields, checked line by line: only the fields above, each once,
# with values of their own form, so that nothing of it reaches a command
# line but a Debian suite, package names and versions. Prints the
# normalized lines of read.
read_file() {
  [ -r "$1" ] || fail "cannot read the build environment file $1"
  lines=$(awk '
    function bad(why) { print "error line " NR ": " why; failed = 1; exit 1 }
    NR == 1 { if ($0 != "Format: 1.0") bad("it does not start with \"Format: 1.0\""); next }
    /^ / {
      if (list == "Checksums-Sha256" && $0 ~ /^ [0-9a-f]+ [0-9]+ QuenvaleEnroll\.exe$/ && length($1) == 64) {
        print "build", $1, $2; builds++; next
      }
      if (list == "Installed-Build-Depends" && $0 ~ /^ [a-z0-9][a-z0-9+.-]* \(= [A-Za-z0-9.+~:-]+\),?$/) {
        if (ended) bad("a package after the last one")
        version = $3; sub(/\),?$/, "", version); print "package", $1, version; packages++
        if ($0 !~ /,$/) ended = 1
        next
      }
      bad(list == "" ? "a continuation of no list" : "not a line of " list)
    }
    /^[A-Za-z0-9-]+:/ {
      name = $0; sub(/:.*/, "", name); value = $0; sub(/^[^:]*: ?/, "", value)
      if (seen[name]++) bad(name " twice")
      list = ""
      if (name == "Source" && value == "QuenvaleEnroll") next
      if (name == "Binary" && value == "QuenvaleEnroll.exe") next
      if (name == "Build-Origin" && value == "Debian") next
      if (name == "Commit" && value ~ /^[0-9a-f]+$/ && length(value) == 40) { print "commit", value; next }
      if (name == "Build-Distribution" && value ~ /^[a-z]+$/) { suite = value; next }
      if (name == "Build-Distribution-Version" && value ~ /^[0-9]+$/) { number = value; next }
      if (name == "Build-Architecture" && value ~ /^[a-z0-9]+$/) { print "architecture", value; next }
      if ((name == "Checksums-Sha256" || name == "Installed-Build-Depends") && value == "") { list = name; next }
      bad(name ": " value)
    }
    { bad("neither a field nor a line of a list") }
    END {
      if (failed) exit 1
      if (suite == "" || number == "" || !seen["Commit"] || !seen["Build-Architecture"] || !seen["Source"] ||
          !seen["Binary"] || !seen["Build-Origin"] || !builds || !packages) { print "error a field is missing"; exit 1 }
      if (!ended) { print "error its package list ends with a comma"; exit 1 }
      print "distribution", suite, number
    }' "$1") || fail "the build environment file $1 is not in its form: $(printf '%s\n' "$lines" | sed -n 's/^error //p')"
  printf '%s\n' "$lines"
}

# The recorded packages whose version here differs: "NAME RECORDED HERE".
differences() {
  read_file "$1" | while read -r kind name version; do
    [ "$kind" = package ] || continue
    installed=$(dpkg-query -W -f='${db:Status-Status} ${Version}' "$name" 2>/dev/null | sed -n 's/^installed //p')
    [ "$installed" = "$version" ] || echo "$name $version ${installed:-none}"
  done
}

key() {
  read_file "$1" | grep -E '^(distribution|architecture|package) ' | sha256sum | cut -c1-16
}

[ $# -ge 1 ] || { sed -n '/^#   build-env.sh/,/^# Exits/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
command=$1
shift
case "$command $#" in
  "record 3")
    commit=$1 built=$2 out=$3
    [ -f "$built" ] || fail "no build at $built"
    packages=$(toolchain)
    . /etc/os-release
    {
      echo "Format: 1.0"
      echo "Source: QuenvaleEnroll"
      echo "Binary: QuenvaleEnroll.exe"
      echo "Commit: $commit"
      echo "Checksums-Sha256:"
      echo " $(sha256sum "$built" | cut -d' ' -f1) $(stat -c %s "$built") QuenvaleEnroll.exe"
      echo "Build-Origin: Debian"
      echo "Build-Distribution: ${VERSION_CODENAME:?}"
      echo "Build-Distribution-Version: ${VERSION_ID:?}"
      echo "Build-Architecture: $(dpkg --print-architecture)"
      echo "Installed-Build-Depends:"
      printf '%s\n' "$packages" | awk '{ printf "%s %s (= %s)", (NR > 1 ? ",\n" : ""), $1, $2 } END { print "" }'
    } >"$out.new"
    read_file "$out.new" >/dev/null
    mv "$out.new" "$out"
    ;;
  "read 1") read_file "$1" ;;
  "differences 1") differences "$1" ;;
  "key 1") key "$1" ;;
  "root 2")
    file=$1
    mkdir -p "$2"
    parent=$(cd "$2" && pwd)
    read_file "$file" >/dev/null
    # Split on purpose: read_file lets through only names and versions.
    # shellcheck disable=SC2046
    set -- $(read_file "$file" | sed -n 's/^distribution //p')
    suite=$1 number=$2
    architecture=$(read_file "$file" | sed -n 's/^architecture //p')
    # The first package that differs here, named in every refusal: the
    # reason this machine's own toolchain would not do.
    first=$(differences "$file" | head -n 1)
    differs="the same toolchain here"
    if [ -n "$first" ]; then
      # shellcheck disable=SC2086
      set -- $first
      differs="$1 $2 in the release, $3 here"
    fi
    [ "$architecture" = "$(dpkg --print-architecture)" ] ||
      fail "the release was built on $architecture, this machine is $(dpkg --print-architecture) ($differs)"
    cache="$parent/debian$number-$suite-$(key "$file")"
    # shellcheck disable=SC2046
    set -- $(read_file "$file" | awk '$1 == "package" { print $2 "=" $3 }')
    status=0
    "$here/debian-root.sh" "$suite" "$cache" "$@" 2>"$cache.log" || status=$?
    if [ $status -ne 0 ]; then
      missing=$(sed -n "s/^E: Version '\\(.*\\)' for '\\(.*\\)' was not found$/\\2 \\1/p" "$cache.log" | head -n 1)
      unknown=$(sed -n "s/^E: Unable to locate package \\(.*\\)$/\\1/p" "$cache.log" | head -n 1)
      if [ -n "$missing" ]; then
        # shellcheck disable=SC2086
        set -- $missing
        here_version=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)
        reason="Debian's archive for $suite does not serve $1 $2, the release's; this machine has ${here_version:-none}"
      elif [ -n "$unknown" ]; then
        reason="Debian's archive for $suite has no package $unknown, which the release was built with ($differs)"
      elif [ $status -eq 77 ]; then
        reason="only root can make a Debian $suite root with the release's toolchain ($differs)"
      else
        reason="no Debian $suite root with the release's toolchain could be made: $(tail -n 1 "$cache.log") ($differs)"
      fi
      rm -f "$cache.log"
      fail "$reason"
    fi
    rm -f "$cache.log"
    echo "$cache/root"
    ;;
  *) echo "build-env: wrong use; run it without arguments for its usage" >&2; exit 2 ;;
esac

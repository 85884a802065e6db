#!/bin/sh
# Builds the product of one commit from that commit's tree alone, in a fresh
# folder, the way check-reproducible.sh builds its copies. Whatever the
# checkout holds uncommitted, the result is the commit's own
# QuenvaleEnroll.exe.
#
# The files are the commit's blobs exactly as committed, read with git
# ls-tree and git cat-file: not git archive, whose export-subst and
# export-ignore (.gitattributes) would write what the clone's refs say or
# leave files out, and not a checkout, which applies the clone's eol and
# filter settings. So the build of a commit is the same in every clone. A
# symbolic link that leads out of the tree and a submodule are refused: the
# build would read whatever the building machine holds there.
#
# The build runs the commit's own build scripts, so it runs without network,
# in a network namespace of its own (unshare; as root, or through a user
# namespace otherwise), and says so when neither is possible.
#
# With ROOT, a root file system with another toolchain (build-env.sh root
# makes one of a release's), the build runs inside it (tools/in-root.sh:
# the tree at /src, no network, nothing of it left running).
#   tools/build-commit.sh REV OUT.exe [ROOT]
# Exits 1 when the tree is refused or the build fails, with the reason last.
set -eu

[ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: tools/build-commit.sh REV OUT.exe [ROOT]" >&2; exit 2; }
rev=$1
out=$2
toolchain_root=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse --verify --quiet --end-of-options "$rev^{commit}") ||
  { echo "$rev: no such commit in $root" >&2; exit 2; }

work=$(mktemp -d /tmp/qv-commit.XXXXXX)
# A signal ends the run through exit, so that the folder goes with it.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM PIPE
mkdir "$work/src"

python3 - "$root" "$commit" "$work/src" <<'EOF'
import os
import subprocess
import sys

root, commit, destination = sys.argv[1:4]


def shown(path):
    return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else "\\x%02x" % b for b in path)


def refuse(reason):
    sys.stderr.write("build-commit: %s\n" % reason)
    sys.exit(1)


listing = subprocess.run(["git", "-C", root, "ls-tree", "-r", "-z", "--full-tree", commit],
                         check=True, stdout=subprocess.PIPE).stdout
entries = []
for record in listing.split(b"\0"):
    if not record:
        continue
    meta, path = record.split(b"\t", 1)
    mode, _, oid = meta.split(b" ")
    parts = path.split(b"/")
    if any(p in (b"", b".", b"..") or p.lower() == b".git" for p in parts):
        refuse("the tree holds a path that cannot be written inside it: %s" % shown(path))
    if mode == b"160000":
        refuse("%s is a submodule: the build would use whatever is checked out there" % shown(path))
    if mode not in (b"100644", b"100755", b"120000"):
        refuse("%s has mode %s, not a file or a symbolic link" % (shown(path), mode.decode()))
    entries.append((mode, oid, path))

batch = subprocess.run(["git", "-C", root, "cat-file", "--batch"], check=True,
                       input=b"".join(oid + b"\n" for _, oid, _ in entries),
                       stdout=subprocess.PIPE).stdout
blobs, at = [], 0
for _, oid, _ in entries:
    header_end = batch.index(b"\n", at)
    name, kind, size = batch[at:header_end].split(b" ")
    if name != oid or kind != b"blob":
        refuse("git cat-file did not answer %s with its blob" % oid.decode())
    blobs.append(batch[header_end + 1:header_end + 1 + int(size)])
    at = header_end + 1 + int(size) + 1

base = os.fsencode(os.path.realpath(destination))
# Every folder and file first, links last: nothing is ever written through a
# link, and a link's folder is a real one.
links = []
try:
    for (mode, _, path), blob in zip(entries, blobs):
        target = os.path.join(base, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if mode == b"120000":
            links.append((target, path, blob))
            continue
        descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW,
                             0o755 if mode == b"100755" else 0o644)
        with os.fdopen(descriptor, "wb") as out:
            out.write(blob)
    for target, path, blob in links:
        if blob.startswith(b"/"):
            refuse("the symbolic link %s leads out of the commit's tree, to %s" % (shown(path), shown(blob)))
        if os.path.realpath(os.path.dirname(target)) != os.path.dirname(target):
            refuse("the symbolic link %s lies under another link" % shown(path))
        os.symlink(blob, target)
except OSError as error:
    refuse("the commit's tree cannot be written out as it is: %s" % error)
for target, path, blob in links:
    resolved = os.path.realpath(target)
    if resolved != base and not resolved.startswith(base + b"/"):
        refuse("the symbolic link %s leads out of the commit's tree, to %s" % (shown(path), shown(blob)))
EOF

# shellcheck disable=SC2016
build='cmake -S "$1" -B "$1/build" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DQV_BUILD_TESTS=OFF &&
  cmake --build "$1/build" --target QuenvaleEnroll -j2'
if [ -n "$toolchain_root" ]; then
  set -- "$(dirname "$0")/in-root.sh" --bind "$work/src:/src" "$toolchain_root" sh -c "$build" sh /src
else
  isolate=""
  if unshare --net true 2>/dev/null; then
    isolate="unshare --net"
  elif unshare --net --map-root-user true 2>/dev/null; then
    isolate="unshare --net --map-root-user"
  else
    echo "build-commit: no network namespace can be made here (unshare); the build runs with the network" >&2
  fi
  # shellcheck disable=SC2086
  set -- $isolate sh -c "$build" sh "$work/src"
fi
if ! "$@" >"$work/log" 2>&1; then
  tail -n 30 "$work/log" >&2
  echo "build-commit: building $commit failed" >&2
  exit 1
fi
cp "$work/src/build/QuenvaleEnroll.exe" "$out"

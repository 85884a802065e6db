#!/bin/sh
# Runs a command inside a root file system (tools/debian-root.sh makes
# them) as if it were the machine, leaving the root as it was and nothing
# behind:
#   - the root read-only under a writable layer in memory (overlayfs on a
#     tmpfs), so that a cached root serves every run unchanged, made the
#     root of its own mount namespace (pivot_root; this machine's files are
#     out of reach);
#   - namespaces of its own: mounts, processes (everything the command
#     starts ends when it ends, and when this script is stopped), host name,
#     IPC, and a network with loopback only unless --host-network;
#   - its own /proc; a read-only /sys with the host's cgroup hierarchies
#     under /sys/fs/cgroup, writable, for the lab's distributions to take
#     cgroups of their own; a /tmp and a /run of its own;
#   - its own /dev: a tmpfs with null, zero, full, random, urandom and tty
#     made by mknod, devpts as a new instance, and a shm; never a host's
#     device node, which a program in the root could change for the host.
# Every mount lives in the private mount namespace, so it goes when the
# namespace does.
#
#   in-root.sh [--bind HOSTDIR:DIR]... [--host-network] ROOT COMMAND [ARGS...]
#
# --bind puts HOSTDIR at DIR in the root, writable. --host-network shares
# this machine's network, and its resolv.conf, for apt inside. The command
# runs as root with a clean environment (PATH, HOME=/root, LANG=C.UTF-8,
# TERM); its exit status is this script's. Needs root.
set -eu

if [ "${1:-}" = --inside ]; then
  # The first process of the new namespaces. The command runs as its child,
  # not in its place: when this shell exits, the kernel ends whatever of the
  # command is still running.
  shift
  layer=$1 lower=$2 binds=$3 network=$4
  shift 4
  mount -t tmpfs -o mode=0755 layer "$layer"
  mkdir "$layer/upper" "$layer/work" "$layer/root"
  mount -t overlay overlay -o "lowerdir=$lower,upperdir=$layer/upper,workdir=$layer/work" "$layer/root"
  r=$layer/root
  mount -t proc proc "$r/proc"
  mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$r/sys"
  mount --rbind /sys/fs/cgroup "$r/sys/fs/cgroup"
  mount -t tmpfs -o mode=0755,nosuid,noexec dev "$r/dev"
  for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<EOF
$node
EOF
    mknod -m 0666 "$r/dev/$name" c "$major" "$minor"
  done
  mkdir "$r/dev/pts" "$r/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$r/dev/pts"
  ln -s pts/ptmx "$r/dev/ptmx"
  mount -t tmpfs -o mode=1777,nosuid,nodev shm "$r/dev/shm"
  ln -s /proc/self/fd "$r/dev/fd"
  ln -s /proc/self/fd/0 "$r/dev/stdin"
  ln -s /proc/self/fd/1 "$r/dev/stdout"
  ln -s /proc/self/fd/2 "$r/dev/stderr"
  mount -t tmpfs -o mode=1777 tmp "$r/tmp"
  mount -t tmpfs -o mode=0755 run "$r/run"
  printf '%s\n' "$binds" | while IFS= read -r bind; do
    [ -n "$bind" ] || continue
    mkdir -p "$r${bind#*:}"
    mount --bind "${bind%%:*}" "$r${bind#*:}"
  done
  if [ "$network" = host ]; then
    rm -f "$r/etc/resolv.conf"
    cp /etc/resolv.conf "$r/etc/resolv.conf"
  elif command -v ip >/dev/null; then
    ip link set lo up
  elif [ -x "$r/usr/bin/ip" ] || [ -x "$r/bin/ip" ]; then
    chroot "$r" ip link set lo up
  else
    # Neither this machine nor the root has iproute2: loopback stays down,
    # which a build does not need.
    echo "in-root.sh: no ip here or in the root; loopback stays down" >&2
  fi
  # The root becomes the root of the mount namespace (pivot_root), and this
  # machine's file system is let go of: not only chroot, whose old root
  # stays above it, so that a path the kernel shows from inside (a
  # process's /proc/PID/root, which the lab reads) is the path inside.
  mkdir -p "$r/.host"
  cd "$r"
  pivot_root . .host
  umount -l /.host
  rmdir /.host
  cd /
  status=0
  /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" "$@" || status=$?
  exit "$status"
fi

usage() {
  echo "usage: in-root.sh [--bind HOSTDIR:DIR]... [--host-network] ROOT COMMAND [ARGS...]" >&2
  exit 2
}
binds=""
network=own
while [ $# -gt 0 ]; do
  case "$1" in
    --bind)
      [ $# -ge 2 ] || usage
      case "$2" in /*:/*) ;; *) usage ;; esac
      binds="$binds$(cd "${2%%:*}" && pwd):${2#*:}
"
      shift 2 ;;
    --host-network) network=host; shift ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || usage
lower=$(cd "$1" && pwd)
shift
[ -x "$lower/usr/bin/env" ] || { echo "in-root.sh: $lower is not a root file system" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "in-root.sh: needs root (namespaces, mounts, chroot)" >&2; exit 2; }

# The mount point of the layer: empty again once the namespace is gone.
layer=$(mktemp -d /tmp/qv-root.XXXXXX)
trap 'rmdir "$layer"' EXIT
trap 'exit 1' HUP INT TERM
set -- --mount --propagation private --pid --fork --kill-child --uts --ipc /bin/sh "$0" --inside "$layer" "$lower" "$binds" "$network" "$@"
[ "$network" = host ] || set -- --net "$@"
status=0
unshare "$@" || status=$?
exit "$status"

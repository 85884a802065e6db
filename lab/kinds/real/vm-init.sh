#!/bin/sh
# The WSL 2 virtual machine of one real distribution, as the lab plays it:
# the first process of the namespaces (mount, PID, network, UTS, IPC,
# cgroup) that every wsl.exe call into the distribution enters
# (enter.sh), so that what one call starts (the Docker daemon) is still
# running for the next, as on WSL.
#
#   vm-init.sh STATE DIR       started by kind.sh through unshare, already
#                              inside the cgroups of the VM's folder DIR
#                              (a distribution's, or a package layer's build)
#
# It boots in two steps.
#
# 1. What WSL's init gives every distribution: proc (/proc/sys read-only),
#    sysfs read-only, the cgroup hierarchies (name=systemd and cgroup2
#    mounted afresh, so rooted at the distribution's own cgroups and
#    writable; the other controllers bound read-only, which is all dockerd
#    needs), a /dev of its own (a tmpfs with nodes made here, a new devpts,
#    shm: never the host's device nodes), a tmpfs /run; the network
#    (loopback, and the addresses of the service, the package archive and
#    the DNS server, which exist nowhere else), and /etc/resolv.conf naming
#    that server, as WSL writes it at every start; the servers (network.py).
#
# 2. Who runs as PID 1, decided as WSL decides it, by the distribution's
#    /etc/wsl.conf:
#    - "[boot] systemd=true" (Ubuntu's images ship it): systemd, in the
#      root, with container=wsl. kind.sh waits until it is up, and powers
#      it off when the distribution stops.
#    - otherwise: this script stays PID 1 as WSL's own init does, reaping
#      whatever is orphaned (a daemon whose starter has ended) until the lab
#      ends it.
#    Either way, ending PID 1 ends every process of the namespaces, and
#    their mounts go with the last of them.
set -eu
STATE=$1
dir=$2
LIB="$STATE/lib"
root="$dir/root"
. "$LIB/wsl/basics.sh"
. "$LIB/wsl/registry.sh"
. "$LIB/kinds/real/kind.sh"

mount -t proc proc "$root/proc"
mount --bind "$root/proc/sys" "$root/proc/sys"
mount -o remount,bind,ro "$root/proc/sys"
mount -t sysfs -o ro sysfs "$root/sys"
if [ "$(stat -f -c %T /sys/fs/cgroup)" = cgroup2fs ]; then
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
else
  mount -t tmpfs -o mode=755 cgroup "$root/sys/fs/cgroup"
  for hierarchy in /sys/fs/cgroup/*; do
    [ -d "$hierarchy" ] || continue
    target="$root/sys/fs/cgroup/${hierarchy##*/}"
    mkdir -p "$target"
    case "${hierarchy##*/}" in
      systemd) mount -t cgroup -o none,name=systemd cgroup "$target" ;;
      unified) mount -t cgroup2 cgroup2 "$target" ;;
      *)
        mount --bind "$hierarchy" "$target"
        mount -o remount,bind,ro "$target"
        ;;
    esac
  done
fi

mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
for node in "null c 1 3" "zero c 1 5" "full c 1 7" "random c 1 8" "urandom c 1 9" "tty c 5 0"; do
  # shellcheck disable=SC2086
  set -- $node
  mknod -m 666 "$root/dev/$1" "$2" "$3" "$4"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
mount -t tmpfs -o mode=755,nosuid,nodev run "$root/run"
mkdir -p "$root/run/lock"

hostname desktop-lab
ip link set lo up
for address in $REAL_ADDRESSES; do
  ip addr add "$address/32" dev lo
done
rm -f "$root/etc/resolv.conf"
printf 'nameserver %s\n' "$REAL_DNS" >"$root/etc/resolv.conf"

# The servers say when they listen: that is when the machine is ready. They
# follow the lab's settings; a layer's VM (kind.sh) has settings of its
# own, the defaults, so that no fault of the scenario reaches its apt.
settings="$STATE/network.conf"
[ -f "$dir/network.conf" ] && settings="$dir/network.conf"
"$PYTHON" "$LIB/kinds/real/network.py" "$STATE" "$(cat "$dir/userland")" "$root" \
  "$dir/vm.ready" "$settings" $REAL_ADDRESSES </dev/null &

if wants_systemd "$root"; then
  exec env -i container=wsl PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    /usr/sbin/chroot "$root" /lib/systemd/systemd
fi
# `wait` reaps every child, adopted ones included, for as long as one of
# its own runs.
sleep infinity &
wait

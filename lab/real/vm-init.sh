#!/bin/sh
# The WSL 2 virtual machine of one real distribution, as the lab plays it:
# the first process of the namespaces (mount, PID, network, UTS, IPC) that
# every wsl.exe call into the distribution enters, so that what one call
# starts (the Docker daemon) is still running for the next, as on WSL.
#
#   vm-init.sh STATE NAME      started by distro.sh through unshare
#
# It mounts what WSL's init gives a distribution (proc, sys with the
# cgroup hierarchies dockerd needs, dev, a new devpts, shm, a tmpfs /run),
# brings up the namespace's network (loopback and the addresses of the
# service and the package archive, which exist nowhere else), starts the
# servers (services.py), and then waits, reaping whatever is orphaned (a
# daemon whose starter has ended), until the lab ends it. Ending this
# process ends every process of the namespace; its mounts go with it.
set -eu
STATE=$1
NAME=$2
dir="$STATE/distros/$NAME"
root="$dir/root"
. "$STATE/lib/conf.sh"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
# dockerd refuses to start without the cgroup hierarchies ("Devices cgroup
# isn't mounted"); read-only binds of the host's are enough for a daemon
# that runs no container.
mount -t tmpfs -o mode=755 cgroup "$root/sys/fs/cgroup"
for hierarchy in /sys/fs/cgroup/*; do
  [ -d "$hierarchy" ] || continue
  target="$root/sys/fs/cgroup/${hierarchy##*/}"
  mkdir -p "$target"
  mount --bind "$hierarchy" "$target"
  mount -o remount,bind,ro "$target"
done
mount --bind /dev "$root/dev"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
mount -t tmpfs -o mode=755 run "$root/run"
mkdir -p "$root/run/lock"

hostname desktop-lab
ip link set lo up
for address in 203.0.113.10 198.51.100.43 198.51.100.80; do
  ip addr add "$address/32" dev lo
done

# The servers say when they listen: that is when the machine is ready.
/usr/bin/python3 "$STATE/lib/real/services.py" "$STATE" "$(conf_get "$STATE/lab.conf" userland)" "$root" \
  "$dir/vm.ready" </dev/null &
# `wait` reaps every child, adopted ones included, for as long as one of
# its own runs.
sleep infinity &
wait

#!/bin/sh
# The one way into a real distribution's running VM: this process joins the
# distribution's cgroups, then runs ARGV in the VM's namespaces (mount, UTS,
# IPC, network, PID, cgroup) as a child of its PID 1's world. ARGV is
# usually chroot into the distribution's root. Every wsl.exe call
# (wslhost.sh) and every step of the lab (real_as_root in distro.sh) comes
# in here.
#
#   enter.sh DIR ARGV...     DIR: the distribution's directory in the lab's
#                            state, whose vm.pid and vm.cgroups name the VM
set -eu
dir=$1
shift
pid=$(cat "$dir/vm.pid")
exec sh "$(dirname "$0")/in-cgroups.sh" "$dir/vm.cgroups" \
  nsenter --target "$pid" --mount --uts --ipc --net --pid --cgroup -- "$@"

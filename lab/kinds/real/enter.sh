#!/bin/sh
# The one way into a real distribution's running VM: this process joins the
# cgroups that the file CGROUPS lists (the distribution's own, or those of
# its calls), then runs ARGV in the VM's namespaces (mount, UTS, IPC,
# network, PID, cgroup) as a child of its PID 1's world. ARGV is usually
# chroot into the distribution's root. Every call and every step of the lab
# (real_in in kind.sh) comes in here.
#
#   enter.sh DIR CGROUPS ARGV...   DIR: the VM's folder in the lab's state,
#                                  whose vm.pid names the VM
set -eu
dir=$1
cgroups=$2
shift 2
pid=$(cat "$dir/vm.pid")
exec sh "$(dirname "$0")/../../wsl/in-cgroups.sh" "$cgroups" \
  nsenter --target "$pid" --mount --uts --ipc --net --pid --cgroup -- "$@"

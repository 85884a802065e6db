#!/bin/sh
# Runs ARGV as a member of each cgroup that LIST names, one a line: a real
# distribution's VM is started this way (distro.sh), and every call enters
# it this way (enter.sh), so that all of its processes share its cgroups.
#
#   in-cgroups.sh LIST ARGV...
set -eu
list=$1
shift
while IFS= read -r cgroup; do
  printf '%s\n' "$$" >"$cgroup/cgroup.procs"
done <"$list"
exec "$@"

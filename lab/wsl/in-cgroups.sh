#!/bin/sh
# Runs ARGV as a member of each cgroup that LIST names, one a line: a
# distribution's processes live in its cgroups, and those of its calls in
# the cgroups of its calls, whatever they start (registry.sh). A real
# distribution's VM starts this way, and every call and lab step enters
# any distribution this way.
#
#   in-cgroups.sh LIST ARGV...
set -eu
list=$1
shift
# (A cgroup that systemd trimmed while it was empty is made again.)
while IFS= read -r cgroup; do
  mkdir -p "$cgroup"
  printf '%s\n' "$$" >"$cgroup/cgroup.procs"
done <"$list"
exec "$@"

#!/bin/sh
# The idle timer of one running distribution, as Windows' WSL service keeps
# it: once no call uses the distribution and nothing a call started still
# runs (registry.sh's distro_busy), it waits instance_idle_ms (lab.conf;
# 15000 as WSL's instanceIdleTimeout; negative: never) and then stops the
# distribution as its init powers off. Any use in between starts the wait
# again. It ends when the distribution stops, by its own hand or another's.
#
#   lifetime.sh STATE NAME     started detached by distro_watch
set -u
STATE=$1
NAME=$2
. "$STATE/lib/wsl/settings.sh"
. "$STATE/lib/wsl/registry.sh"
dir="$STATE/distros/$NAME"
printf '%s\n' "$$" >"$dir/lifetime.pid"

idle=$(conf_get "$STATE/lab.conf" instance_idle_ms 15000)
kind=$(kind_of "$NAME")
since=$(now_ms)
while [ -f "$STATE/lab.conf" ] && "${kind}_running" "$NAME"; do
  now=$(now_ms)
  last=0
  { read -r last <"$dir/calls/last"; } 2>/dev/null
  [ "${last:-0}" -le "$since" ] || since=$last
  if distro_busy "$NAME"; then
    since=$now
  elif [ "$idle" -ge 0 ] && [ $((now - since)) -ge "$idle" ]; then
    instance_lock "$NAME"
    # A call may have begun while the lock was awaited.
    if ! distro_busy "$NAME"; then
      echo "$(date -u '+%H:%M:%S') idle for ${idle} ms: stopping $NAME"
      distro_stop_locked "$NAME" idle
    fi
    instance_unlock
    since=$(now_ms)
  fi
  sleep 0.2
done
[ "$(cat "$dir/lifetime.pid" 2>/dev/null)" != "$$" ] || rm -f "$dir/lifetime.pid"

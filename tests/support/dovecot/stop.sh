#!/usr/bin/env bash
# Stops the Dovecot that start.sh started in WORKDIR, by its pid.
#   stop.sh WORKDIR
set -uo pipefail
work=${1:?work directory}
pidfile=$work/run/master.pid
[[ -f $pidfile ]] || exit 0
pid=$(cat "$pidfile")
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid"
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
fi
rm -f "$pidfile"
exit 0

#!/usr/bin/env bash
# Stops the Dovecot that start.sh started in WORKDIR, by its pid.
#   stop.sh WORKDIR
# The pid file may be stale (a master that was killed leaves it behind) and
# its number given to another process since: only a Dovecot master started
# with this WORKDIR's configuration is signalled.
set -uo pipefail
work=${1:?work directory}
pidfile=$work/run/master.pid
[[ -f $pidfile ]] || exit 0
pid=$(cat "$pidfile")
conf=$(cd "$work" 2>/dev/null && pwd -P)/dovecot.conf
ours() {
  [[ $pid =~ ^[0-9]+$ ]] && tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "$conf"
}
if ours; then
  kill "$pid"
  for _ in $(seq 50); do
    ours || break
    sleep 0.1
  done
  ours && kill -9 "$pid"
fi
rm -f "$pidfile"
exit 0

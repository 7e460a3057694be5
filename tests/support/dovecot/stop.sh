#!/usr/bin/env bash
# Stops the Dovecot and the token server that start.sh started in WORKDIR,
# by their pids.
#   stop.sh WORKDIR
# A pid file may be stale (a process that was killed leaves it behind) and
# its number given to another process since: only a process whose command
# line names this WORKDIR's files is signalled.
set -uo pipefail
work=${1:?work directory}
real=$(cd "$work" 2>/dev/null && pwd -P) || exit 0

# stop PIDFILE ARGUMENT: ends the process of PIDFILE if ARGUMENT is one of its
# command line's arguments (TERM, then KILL after 5 s).
stop() {
  local pidfile=$1 argument=$2 pid
  [[ -f $pidfile ]] || return 0
  pid=$(cat "$pidfile")
  ours() {
    [[ $pid =~ ^[0-9]+$ ]] && tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "$argument"
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
}
stop "$work/run/master.pid" "$real/dovecot.conf"
stop "$work/run/token_server.pid" "$real/oauth"
exit 0

#!/usr/bin/env bash
# Stops the throwaway server db-start.sh started in <folder> and removes
# its data. Usage: db-stop.sh <folder>
set -uo pipefail
dir=$1
pidfile=$dir/mysqld.pid
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile")
if kill -0 "$pid" 2>/dev/null; then
  kill -TERM "$pid"
  deadline=$((SECONDS + 60))
  while kill -0 "$pid" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      kill -KILL "$pid" 2>/dev/null
      break
    fi
    sleep 0.2
  done
fi
rm -rf "$dir/data" "$pidfile"
exit 0

#!/usr/bin/env bash
# Starts a throwaway MariaDB server for the patron tests and benchmarks.
#
# Usage: db-start.sh <folder>
#
# Everything lives in <folder> (data, socket, logs); the folder is wiped
# first. The server listens on 127.0.0.1 port 3306, the port patronlink
# always uses, writes every statement it receives to <folder>/general.log
# (the tests read the exact statements the kit sent), and keeps real
# accounts so a wrong password is refused as in the field:
#   root  (empty password) over the socket <folder>/mysqld.sock, for set-up;
#   kiosk / kiosk-pass from 127.0.0.1, owner of the database "kiosk" (GBK).
# Stop it with db-stop.sh <folder>.
set -euo pipefail
dir=$1
here=$(cd "$(dirname "$0")" && pwd)

find_tool() {
  command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; } || {
    echo "db-start: $1 not found (install mariadb-server)" >&2
    exit 1
  }
}
mariadbd=$(find_tool mariadbd)
install_db=$(find_tool mariadb-install-db)
client=$(find_tool mariadb)
admin=$(find_tool mariadb-admin)

# A server left behind by an interrupted run of ours goes first.
"$here/db-stop.sh" "$dir" >/dev/null 2>&1 || true
rm -rf "$dir"
mkdir -p "$dir/data"
dir=$(cd "$dir" && pwd)

# mariadbd refuses to run as root unless told to.
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(--user=root)

"$install_db" --no-defaults --datadir="$dir/data" "${as_user[@]}" \
  --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 || {
  cat "$dir/install.log" >&2
  exit 1
}

# Small buffers and no durability: the data is thrown away after the run.
setsid "$mariadbd" --no-defaults --datadir="$dir/data" "${as_user[@]}" \
  --port=3306 --bind-address=127.0.0.1 --socket="$dir/mysqld.sock" --pid-file="$dir/mysqld.pid" \
  --log-error="$dir/error.log" --general-log=1 --general-log-file="$dir/general.log" \
  --skip-name-resolve --skip-log-bin --innodb-buffer-pool-size=16M --innodb-log-file-size=8M \
  --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 --performance-schema=0 \
  </dev/null >"$dir/mariadbd.out" 2>&1 &

# Wait for the server with a generous deadline (a loaded 2-core machine).
deadline=$((SECONDS + 120))
until "$admin" --no-defaults --socket="$dir/mysqld.sock" -uroot ping >/dev/null 2>&1; do
  if [ $SECONDS -ge $deadline ] || ! kill -0 $! 2>/dev/null; then
    echo "db-start: the server did not come up" >&2
    cat "$dir/error.log" >&2 || true
    exit 1
  fi
  sleep 0.2
done

"$client" --no-defaults --socket="$dir/mysqld.sock" -uroot <<'SQL'
CREATE DATABASE kiosk DEFAULT CHARACTER SET gbk;
CREATE USER 'kiosk'@'127.0.0.1' IDENTIFIED BY 'kiosk-pass';
GRANT ALL ON kiosk.* TO 'kiosk'@'127.0.0.1';
SQL
echo "db-start: MariaDB on 127.0.0.1:3306, folder $dir"

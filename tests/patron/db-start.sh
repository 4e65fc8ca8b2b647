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
#   kiosk-x509 / kiosk-pass from 127.0.0.1, the same rights, only with a
#   client certificate signed by the test authority (REQUIRE X509).
# It also offers TLS with certificates made here, in <folder>/tls: ca.pem (a
# throwaway certificate authority), server.pem and server-key.pem (signed by
# it, for the name and address 127.0.0.1), client.pem and client-key.pem (a
# terminal's certificate, signed by it), and stranger-ca.pem (an authority
# that signed nothing here). Plain connections stay allowed until a test
# turns on require_secure_transport.
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

# A certificate authority and a server certificate, for one run only.
openssl=$(find_tool openssl)
tls=$dir/tls
mkdir -p "$tls"
{
  "$openssl" req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kioskkit test CA" \
    -keyout "$tls/ca-key.pem" -out "$tls/ca.pem"
  "$openssl" req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$tls/server-key.pem" -out "$tls/server.csr"
  printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\n' >"$tls/server.ext"
  "$openssl" x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" \
    -CAcreateserial -days 2 -extfile "$tls/server.ext" -out "$tls/server.pem"
  "$openssl" req -newkey rsa:2048 -nodes -subj "/CN=kioskkit terminal" \
    -keyout "$tls/client-key.pem" -out "$tls/client.csr"
  "$openssl" x509 -req -in "$tls/client.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" \
    -CAcreateserial -days 2 -out "$tls/client.pem"
  "$openssl" req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kioskkit stranger CA" \
    -keyout "$tls/stranger-ca-key.pem" -out "$tls/stranger-ca.pem"
} >"$dir/tls.log" 2>&1 || {
  cat "$dir/tls.log" >&2
  exit 1
}

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
  --ssl-ca="$tls/ca.pem" --ssl-cert="$tls/server.pem" --ssl-key="$tls/server-key.pem" \
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
CREATE USER 'kiosk-x509'@'127.0.0.1' IDENTIFIED BY 'kiosk-pass' REQUIRE X509;
GRANT ALL ON kiosk.* TO 'kiosk-x509'@'127.0.0.1';
SQL
echo "db-start: MariaDB on 127.0.0.1:3306, folder $dir"

#!/usr/bin/env bash
# A throwaway PostgreSQL server for the records tests: initdb and pg_ctl from Debian's packages,
# run as an unprivileged user (nobody, when this runs as root), data and Unix socket in a new
# temporary folder, and TCP on a free port of 127.0.0.1 only. Every user logs in without a
# password (trust) except velmora_pw, whose password the tests set (scram-sha-256 on both).
# STATE (a file) tells the tests where it is.
# Usage: pg_server.sh start|halt|resume|stop STATE
# start exits 77 (the tests' skip code) when PostgreSQL's programs are not installed.
set -uo pipefail
command="$1" state="$2"
bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(runuser -u nobody --)

pg_ctl_run() {
  # shellcheck disable=SC1090
  source "$state"
  (cd / && "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" "$@")
}

options() { echo "-k $dir -p $port -c listen_addresses=127.0.0.1 -c fsync=off"; }

case "$command" in
start)
  if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
    echo "SKIP: PostgreSQL's initdb and pg_ctl are not installed (Debian package postgresql)"
    exit 77
  fi
  dir="$(mktemp -d /tmp/velmora-pg.XXXXXX)"
  chmod 755 "$dir"
  [ "$(id -u)" -eq 0 ] && chown nobody "$dir"
  port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  printf "dir=%s\nbin=%s\nport=%s\nurl='%s'\n" "$dir" "$bin" "$port" "postgresql://velmora@/postgres?host=$dir&port=$port" >"$state"
  (cd / && "${as_user[@]}" "$bin/initdb" -D "$dir/data" -A trust -U velmora --no-sync >"$dir/initdb.log" 2>&1) ||
    { cat "$dir/initdb.log"; exit 1; }
  hba="$dir/data/pg_hba.conf"
  { printf 'local all velmora_pw scram-sha-256\nhost all velmora_pw 127.0.0.1/32 scram-sha-256\n'; cat "$hba"; } >"$hba.new"
  cat "$hba.new" >"$hba" && rm -f "$hba.new"
  pg_ctl_run -w -o "$(options)" start >/dev/null || { cat "$dir/server.log"; exit 1; }
  echo "PostgreSQL up: socket in $dir, TCP on 127.0.0.1:$port" ;;
halt) pg_ctl_run -w -m fast stop >/dev/null ;;
resume)
  # shellcheck disable=SC1090
  source "$state"
  pg_ctl_run status >/dev/null && exit 0
  pg_ctl_run -w -o "$(options)" start >/dev/null ;;
stop)
  [ -f "$state" ] || exit 0
  pg_ctl_run -w -m immediate stop >/dev/null 2>&1
  # shellcheck disable=SC1090
  source "$state"
  rm -rf "$dir" "$state" ;;
*) echo "usage: pg_server.sh start|halt|resume|stop STATE" >&2; exit 64 ;;
esac

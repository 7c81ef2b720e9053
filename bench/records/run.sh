#!/usr/bin/env bash
# The records benchmark on both databases: a new SQLite file, and a throwaway PostgreSQL server
# (tests/records/pg_server.sh) stopped at the end whatever happens.
# Usage: run.sh BENCH PG_SERVER_SH [--count N] [--blocks N]
set -euo pipefail
bench="$1" server="$2"
shift 2
work="$(mktemp -d)"
state="$work/pg.state"
trap 'bash "$server" stop "$state"; rm -rf "$work"' EXIT
# A state folder of its own: no outbox of another run is delivered on the way.
export XDG_STATE_HOME="$work/state"
"$bench" --records "sqlite:$work/records.sqlite" "$@"
echo
bash "$server" start "$state"
# shellcheck disable=SC1090
source "$state"
"$bench" --records "postgresql://velmora@/postgres?host=$dir&port=$port" "$@"

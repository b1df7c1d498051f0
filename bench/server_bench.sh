#!/bin/bash
# The direct road and the fast-load rowset on a T-SQL server, each side by side with its peer:
# table Big (100,000 rows) converted straight into the server by dravcli against the script of
# the same file run through FreeTDS's bsqldb; the fast-load rowset against freebcp loading the
# same rows. Prints rows/s of all four and the two ratios. Builds nothing.
#
#   bench/server_bench.sh build/dravcli build/bench/server_fastload_bench [database.mdb]
#
# The server is the throw-away test server: its env file (TSQL_ENV, default
# ${TMPDIR:-/tmp}/tsql-server-${TSQL_PORT:-1433}/env) gives host, port and login.
set -euo pipefail

if [ $# -lt 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
    echo "usage: $0 path/to/dravcli path/to/server_fastload_bench [database.mdb]" >&2
    exit 2
fi
dravcli=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
fastload=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
here=$(cd "$(dirname "$0")" && pwd)
src=${3:-$here/../../shared/testdata/access/bench/bench100k_V2003.mdb}
env_file=${TSQL_ENV:-${TMPDIR:-/tmp}/tsql-server-${TSQL_PORT:-1433}/env}
[ -f "$env_file" ] || { echo "no test server env file $env_file (start the server first)" >&2; exit 2; }
# shellcheck disable=SC1090
. "$env_file"
for tool in bsqldb freebcp tsql; do
    command -v $tool >/dev/null || { echo "$tool not found (Debian package freetds-bin)" >&2; exit 2; }
done

work=$(mktemp -d)
export DRAV_REGISTRY_FILE=$work/registry
prefix="drav_bench_$$"
sql() { printf '%s\ngo\n' "$1" | TDSVER=7.4 tsql -H "$TSQL_HOST" -p "$TSQL_PORT" -U "$TSQL_USER" -P "$TSQL_PASSWORD" -o q >/dev/null 2>&1; }
cleanup() {
    for db in direct script fastload bcp; do sql "DROP DATABASE ${prefix}_$db" || true; done
    rm -rf "$work"
}
trap cleanup EXIT
now() { date +%s.%N; }
rate() { awk "BEGIN{ s=$2; if (s < 0.001) s = 0.001; printf \"%.0f\", $1 / s }"; }
rows=$(mdb-count "$src" Big 2>/dev/null || echo 100000)

# Direct road: the whole run of a user's command.
t0=$(now)
"$dravcli" --src="$src" --dest="${prefix}_direct" --mssqlh="$TSQL_HOST,$TSQL_PORT" \
    --mssqlu="$TSQL_USER" --mssqlp="$TSQL_PASSWORD" > "$work/direct.out"
direct_s=$(awk "BEGIN{print $(now) - $t0}")

# The script of the same file, run through bsqldb into an empty database.
"$dravcli" --src="$src" --script --dest="$work/big.sql" > /dev/null
sql "CREATE DATABASE ${prefix}_script"
t0=$(now)
bsqldb -S "$TSQL_HOST:$TSQL_PORT" -U "$TSQL_USER" -P "$TSQL_PASSWORD" -D "${prefix}_script" \
    -i "$work/big.sql" -o "$work/bsqldb.out" > /dev/null 2> "$work/bsqldb.err"
script_s=$(awk "BEGIN{print $(now) - $t0}")

# Fast-load rowset (its own timing of the rows alone).
read -r fl_rows fl_s < <("$fastload" "$src" "$TSQL_HOST,$TSQL_PORT" "$TSQL_USER" "$TSQL_PASSWORD" "${prefix}_fastload")

# freebcp: the same rows, exported from the direct road's table, into an empty copy of it.
freebcp "dbo.Big" out "$work/big.tsv" -S "$TSQL_HOST:$TSQL_PORT" -U "$TSQL_USER" -P "$TSQL_PASSWORD" \
    -D "${prefix}_direct" -c -t '\t' > /dev/null
"$dravcli" --src="$src" --script --tab_def --skip_idx --dest="$work/def.sql" > /dev/null
sql "CREATE DATABASE ${prefix}_bcp"
bsqldb -S "$TSQL_HOST:$TSQL_PORT" -U "$TSQL_USER" -P "$TSQL_PASSWORD" -D "${prefix}_bcp" \
    -i "$work/def.sql" > /dev/null 2>&1
t0=$(now)
freebcp "dbo.Big" in "$work/big.tsv" -S "$TSQL_HOST:$TSQL_PORT" -U "$TSQL_USER" -P "$TSQL_PASSWORD" \
    -D "${prefix}_bcp" -c -t '\t' -b 1000 -E > "$work/freebcp.out"
bcp_s=$(awk "BEGIN{print $(now) - $t0}")

direct_r=$(rate "$rows" "$direct_s"); script_r=$(rate "$rows" "$script_s")
fl_r=$(rate "$fl_rows" "$fl_s"); bcp_r=$(rate "$rows" "$bcp_s")
printf '%-34s %10s rows/s  (%s s)\n' "direct road (dravcli)" "$direct_r" "$direct_s" \
    "script through bsqldb" "$script_r" "$script_s" "fast-load rowset" "$fl_r" "$fl_s" \
    "freebcp -c" "$bcp_r" "$bcp_s"
awk "BEGIN{ printf \"direct road / script through bsqldb: %.2f (target >= 1)\n\", $direct_r / $script_r;
            printf \"fast-load rowset / freebcp:          %.2f (target >= 0.5)\n\", $fl_r / $bcp_r }"

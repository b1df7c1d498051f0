#!/bin/bash
# Converts the benchmark databases into T-SQL scripts with dravcli and, side by side, with
# mdbtools (mdb-schema plus mdb-export -I sybase for every table), and prints rows/s, the
# ratio and the peak resident memory of both. Builds nothing: give it a built dravcli.
#
#   bench/conv_bench.sh build/dravcli [database ...]
#
# Without databases, the two files of ../shared/testdata/access/bench are used. RUNS (default 3)
# runs are made of each side; the fastest counts. The scripts are written to a temporary folder.
set -euo pipefail

if [ $# -lt 1 ] || [ ! -x "$1" ]; then
    echo "usage: $0 path/to/dravcli [database ...]" >&2
    exit 2
fi
dravcli=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 0 ]; then
    set -- "$here"/../../shared/testdata/access/bench/bench100k_V2003.mdb \
           "$here"/../../shared/testdata/access/bench/bench100k_V2010.accdb
fi
runs=${RUNS:-3}
for tool in mdb-tables mdb-count mdb-schema mdb-export; do
    command -v $tool >/dev/null || { echo "$tool not found (Debian package mdbtools)" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found (Debian package time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export DRAV_REGISTRY_FILE=$work/registry

# Runs a command RUNS times; prints "<best seconds> <peak KiB of that run>".
best_of() {
    local best="" mem=""
    for _ in $(seq "$runs"); do
        /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
            echo "failed: $*" >&2; cat "$work/err" >&2; exit 1; }
        read -r secs kib < "$work/time"
        if [ -z "$best" ] || awk "BEGIN{exit !($secs < $best)}"; then
            best=$secs; mem=$kib
        fi
    done
    echo "$best $mem"
}

mdbtools_script() {
    local db=$1 out=$2 t
    : > "$out"
    mdb-tables -1 "$db" | while IFS= read -r t; do
        [ -n "$t" ] || continue
        mdb-schema -T "$t" "$db" sybase >> "$out"
        mdb-export -I sybase "$db" "$t" >> "$out"
    done
}
export -f mdbtools_script

rate() { awk "BEGIN{ s=$2; if (s < 0.001) s = 0.001; printf \"%.0f\", $1 / s }"; }

for db in "$@"; do
    db=$(cd "$(dirname "$db")" && pwd)/$(basename "$db")
    rows=0
    while IFS= read -r t; do
        [ -n "$t" ] || continue
        rows=$((rows + $(mdb-count "$db" "$t")))
    done < <(mdb-tables -1 "$db")

    read -r our_s our_kib < <(best_of "$dravcli" --src="$db" --script --silent --dest="$work/drav.sql")
    our_rows=$(grep -o "), (\| VALUES (" "$work/drav.sql" | wc -l)
    read -r mdb_s mdb_kib < <(best_of bash -c 'mdbtools_script "$1" "$2"' _ "$db" "$work/mdb.sql")

    our_rate=$(rate "$rows" "$our_s")
    mdb_rate=$(rate "$rows" "$mdb_s")
    echo "$(basename "$db"): $rows rows (best of $runs)"
    printf '  dravcli    %10s rows/s  (%6.3f s, peak %6d KiB, script %d bytes, %d rows written)\n' \
        "$our_rate" "$our_s" "$our_kib" "$(stat -c %s "$work/drav.sql")" "$our_rows"
    printf '  mdbtools   %10s rows/s  (%6.3f s, peak %6d KiB, script %d bytes)\n' \
        "$mdb_rate" "$mdb_s" "$mdb_kib" "$(stat -c %s "$work/mdb.sql")"
    awk "BEGIN{ printf \"  ratio      %10.1fx\n\", $our_rate / ($mdb_rate > 0 ? $mdb_rate : 1) }"
done

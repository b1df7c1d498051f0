#!/bin/bash
# Converts the benchmark databases into T-SQL scripts with dravcli and, side by side, with
# mdbtools (mdb-schema plus mdb-export -I sybase for every table), and prints rows/s, the
# ratio and the peak resident memory of both, by elapsed time and by processor time (user plus
# system: steadier on a busy machine). Builds nothing: give it a built dravcli.
#
#   bench/conv_bench.sh build/dravcli [database ...]
#
# Without databases: the million-row table in Jet4 and ACE (made once by big_table_gen, found
# beside dravcli in bench/, into $BENCH_DIR, default /tmp/drav_bench; ROWS changes the row count),
# then the two files of ../shared/testdata/access/bench. RUNS (default 3) runs of dravcli and
# MDB_RUNS (default 1) of mdbtools are made; the fastest counts. Targets: 15x mdbtools, peak
# memory under 32 MiB. The scripts are written to a temporary folder.
set -euo pipefail

if [ $# -lt 1 ] || [ ! -x "$1" ]; then
    echo "usage: $0 path/to/dravcli [database ...]" >&2
    exit 2
fi
dravcli=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 0 ]; then
    gen=$(dirname "$dravcli")/bench/big_table_gen
    [ -x "$gen" ] || { echo "$gen not found (build target big_table_gen)" >&2; exit 2; }
    bench_dir=${BENCH_DIR:-/tmp/drav_bench}
    rows_wanted=${ROWS:-1000000}
    mkdir -p "$bench_dir"
    for ext in mdb accdb; do
        f=$bench_dir/wide$rows_wanted.$ext
        [ -s "$f" ] || "$gen" "$f" "$rows_wanted" >/dev/null
        set -- "$@" "$f"
    done
    set -- "$@" "$here"/../../shared/testdata/access/bench/bench100k_V2003.mdb \
           "$here"/../../shared/testdata/access/bench/bench100k_V2010.accdb
fi
runs=${RUNS:-3}
mdb_runs=${MDB_RUNS:-1}
for tool in mdb-tables mdb-count mdb-schema mdb-export; do
    command -v $tool >/dev/null || { echo "$tool not found (Debian package mdbtools)" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found (Debian package time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export DRAV_REGISTRY_FILE=$work/registry

# Runs a command N times; prints "<best seconds> <peak KiB of that run> <best processor seconds>".
best_of() {
    local n=$1 best="" mem="" cpu=""
    shift
    for _ in $(seq "$n"); do
        /usr/bin/time -f "%e %M %U %S" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
            echo "failed: $*" >&2; cat "$work/err" >&2; exit 1; }
        read -r secs kib user sys < "$work/time"
        if [ -z "$best" ] || awk "BEGIN{exit !($secs < $best)}"; then
            best=$secs; mem=$kib
        fi
        local c
        c=$(awk "BEGIN{print $user + $sys}")
        if [ -z "$cpu" ] || awk "BEGIN{exit !($c < $cpu)}"; then
            cpu=$c
        fi
    done
    echo "$best $mem $cpu"
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

# Elapsed ratios suffer from other work on the machine; its load is printed beside the figures.
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for db in "$@"; do
    db=$(cd "$(dirname "$db")" && pwd)/$(basename "$db")
    rows=0
    while IFS= read -r t; do
        [ -n "$t" ] || continue
        rows=$((rows + $(mdb-count "$db" "$t")))
    done < <(mdb-tables -1 "$db")

    read -r our_s our_kib our_cpu < <(best_of "$runs" "$dravcli" --src="$db" --script --silent --dest="$work/drav.sql")
    our_rows=$(grep -o "), (\| VALUES (" "$work/drav.sql" | wc -l)
    read -r mdb_s mdb_kib mdb_cpu < <(best_of "$mdb_runs" bash -c 'mdbtools_script "$1" "$2"' _ "$db" "$work/mdb.sql")

    our_rate=$(rate "$rows" "$our_s")
    mdb_rate=$(rate "$rows" "$mdb_s")
    our_cpu_rate=$(rate "$rows" "$our_cpu")
    mdb_cpu_rate=$(rate "$rows" "$mdb_cpu")
    echo "$(basename "$db"): $rows rows (best of $runs, mdbtools best of $mdb_runs)"
    printf '  dravcli    %10s rows/s  (%7.3f s; processor %7.3f s, %10s rows/s; peak %6d KiB, script %d bytes, %d rows written)\n' \
        "$our_rate" "$our_s" "$our_cpu" "$our_cpu_rate" "$our_kib" "$(stat -c %s "$work/drav.sql")" "$our_rows"
    printf '  mdbtools   %10s rows/s  (%7.3f s; processor %7.3f s, %10s rows/s; peak %6d KiB, script %d bytes)\n' \
        "$mdb_rate" "$mdb_s" "$mdb_cpu" "$mdb_cpu_rate" "$mdb_kib" "$(stat -c %s "$work/mdb.sql")"
    awk -v r="$our_rate" -v m="$mdb_rate" -v rc="$our_cpu_rate" -v mc="$mdb_cpu_rate" -v k="$our_kib" 'BEGIN{
        x = r / (m > 0 ? m : 1); xc = rc / (mc > 0 ? mc : 1);
        printf "  ratio      %10.1fx elapsed, %.1fx processor (target 15x: %s); peak %.1f MiB (target < 32 MiB: %s)\n",
            x, xc, (x >= 15 && xc >= 15) ? "reached" : (x >= 15 || xc >= 15) ? "reached by one measure" : "not reached",
            k / 1024, (k < 32768) ? "reached" : "not reached" }'
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"

#!/usr/bin/env bash
# Builds the reader's fuzz target with clang and runs it for a bounded time (default 60 s) from the
# checked-in seed corpus. Exit status 0 when no fault was found. Usage: fuzz/run_fuzz.sh [seconds]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-60}"
build="${DRAV_FUZZ_BUILD:-$here/../build-fuzz}"
if ! command -v clang++ >/dev/null; then
    echo "run_fuzz.sh: clang++ is not installed (Debian: clang libclang-rt-14-dev)" >&2
    exit 2
fi
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$here"/seeds/* "$work"/
cd "$build"
./fuzz_jet "$work" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1

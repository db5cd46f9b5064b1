#!/usr/bin/env bash
# Runs the fuzz targets of tests/fuzz (built by the "fuzz" preset) for a bounded time each, two side
# by side, each on a scratch copy of its corpus. A crash, a leak or a sanitizer report fails it.
#   scripts/fuzz.sh [SECONDS [TARGET...]]     SECONDS per target, 60 by default; every target built
# The last lines of each run are kept in build/fuzz/run/<target>/log with libFuzzer's figures.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for program in build/fuzz/tests/fuzz/fuzz_*; do
        [ -x "$program" ] && targets+=("${program##*/fuzz_}")
    done
fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no target built"; exit 1; }
parallel=${NORVEX_FUZZ_JOBS:-2}

run_one() {
    local target=$1 dir="$PWD/build/fuzz/run/$1" max_len=4096
    [ "$target" = load_settings ] && max_len=40000
    rm -rf "$dir" && mkdir -p "$dir/corpus"
    cp tests/fuzz/corpus/"$target"/* "$dir/corpus/"
    # The corpus path is absolute: a target may change its working directory.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        build/fuzz/tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 \
        -artifact_prefix="$dir/" "$dir/corpus" >"$dir/log" 2>&1
}

failed=0
running=()
names=()
finish() {  # waits for the oldest run and reports it
    local pid=${running[0]} name=${names[0]}
    running=("${running[@]:1}")
    names=("${names[@]:1}")
    local dir="build/fuzz/run/$name" runs cov
    if wait "$pid"; then
        runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$dir/log" | grep -o '[0-9]*$')
        cov=$(grep -E '^#[0-9]+.*(cov|DONE)' "$dir/log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
        echo "fuzz $name: passed, ${runs:-?} runs, ${cov:-no coverage figures}"
    else
        echo "fuzz $name: FAILED (build/fuzz/run/$name)"
        tail -40 "$dir/log"
        failed=1
    fi
}
for target in "${targets[@]}"; do
    [ -x build/fuzz/tests/fuzz/fuzz_"$target" ] || { echo "fuzz $target: not built"; failed=1; continue; }
    run_one "$target" &
    running+=($!)
    names+=("$target")
    [ ${#running[@]} -ge "$parallel" ] && finish
done
while [ ${#running[@]} -gt 0 ]; do finish; done
exit $failed

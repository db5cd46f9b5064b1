#!/usr/bin/env bash
# Builds NORVEX four ways and runs every test: native (unit, integration and end-to-end),
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and the Windows build under wine;
# then the fuzz targets, each for NORVEX_FUZZ_SECONDS (60). Installs the Debian packages it lacks.
# Exit status 0 only when every test passed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup-packages.sh || { echo "NORVEX tests: FAILED (package installation)"; exit 1; }

jobs=${NORVEX_TEST_JOBS:-4}
presets=${NORVEX_PRESETS:-native asan tsan windows fuzz}
started=$(date +%s)
summary=()
failed=0

for preset in $presets; do
    begin=$(date +%s)
    result="passed"
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
        result="BUILD FAILED"
    elif [ "$preset" = fuzz ]; then
        scripts/fuzz.sh "${NORVEX_FUZZ_SECONDS:-60}" || result="FAILED"
    else
        if [ "$preset" = windows ]; then
            WINEPREFIX="$PWD/build/windows/wineprefix" cmake/wine-prefix.sh start
        fi
        # The storms last their full minute in the native build; the other builds run shorter
        # ones, which find what the sanitizers and wine find just as well.
        storm=${NORVEX_STORM_SECONDS:-60}
        [ "$preset" = native ] || storm=${NORVEX_STORM_SECONDS:-15}
        NORVEX_STORM_SECONDS=$storm ctest --preset "$preset" -j "$jobs" --output-on-failure \
            || result="FAILED"
        if [ "$preset" = windows ]; then
            WINEPREFIX="$PWD/build/windows/wineprefix" cmake/wine-prefix.sh stop
        fi
    fi
    [ "$result" = passed ] || failed=1
    summary+=("$preset $result ($(( $(date +%s) - begin ))s)")
done

total=$(( $(date +%s) - started ))
line=$(printf '%s; ' "${summary[@]}"); line=${line%; }
if [ $failed -eq 0 ]; then
    echo "NORVEX tests: ALL PASSED in ${total}s -- $line"
else
    echo "NORVEX tests: FAILED in ${total}s -- $line"
fi
exit $failed

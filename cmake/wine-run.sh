#!/usr/bin/env bash
# Runs a Windows program under wine for CTest: a quiet 64-bit prefix kept in the build folder
# (made once), and one persistent wineserver that every test of the run shares.
set -u
if [ -z "${WINEPREFIX:-}" ]; then
    # The prefix lives beside CMakeCache.txt of the build that made the program.
    dir=$(cd "$(dirname "$1")" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    export WINEPREFIX="$dir/wineprefix"
fi
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

"$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh" start || exit 1
# A Japanese locale makes code page 932 the ANSI code page, as on the operator's machine. Set only
# for wine: the shell itself may not have that locale installed.
#
# Standard output passes through as it comes (test drivers read it live) and is also kept, so that a
# failure can be told apart: a test program always writes something before its first test, so a run
# that failed without a byte never reached the program's own code. Seldom, and only in a full
# parallel run, wine ends like that within a few milliseconds; such a start is tried once more, and
# said so on standard error. Any other failure is reported with its status and stands.
kept=$(mktemp) || exit 1
trap 'rm -f "$kept"' EXIT
for attempt in 1 2; do
    env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 wine "$@" | tee "$kept"
    status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] && exit 0
    if [ -s "$kept" ] || [ "$attempt" -eq 2 ]; then
        echo "wine-run: $1 ended with status $status" >&2
        exit "$status"
    fi
    echo "wine-run: $1 ended with status $status before it wrote anything; starting it once more" >&2
done

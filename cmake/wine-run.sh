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
#
# The program's output and error go to files and are streamed from there: nothing of wine's holds
# the caller's pipes. A process that has ended can still have its standard handles held for a while
# by wine's side (its server keeps the descriptors behind handles), which kept CTest waiting for the
# end of a pipe long after the test had passed.
kept=$(mktemp) && errors=$(mktemp) || exit 1
trap 'rm -f "$kept" "$errors"' EXIT

# A test program that has printed its result ("[  PASSED  ]"/"[  FAILED  ]") but has not ended
# 30 s later hangs in its exit: its threads are shown on standard error, and it is ended (status 9).
watch_exit() {
    local program=$1 name=$2 polls=0
    while kill -0 "$program" 2>/dev/null; do
        if grep -qE '^\[  (PASSED|FAILED)  \]' "$kept"; then
            polls=$((polls + 1))
            if [ "$polls" -ge 150 ]; then
                echo "wine-run: $name printed its result but did not end within 30 s; its threads:" >&2
                for task in /proc/"$program"/task/*; do
                    echo "  thread ${task##*/}: $(tr -d '\0' <"$task/wchan" 2>/dev/null)" \
                         "$(cut -d' ' -f3 "$task/stat" 2>/dev/null)" >&2
                    sed 's/^/    /' "$task/stack" 2>/dev/null | head -12 >&2
                done
                ps -eo pid,ppid,stat,etime,args | grep -iE '\.exe|wineserver' | grep -v grep >&2
                kill -9 "$program" 2>/dev/null
                return
            fi
        fi
        sleep 0.2
    done
}

exec 3<&0
for attempt in 1 2; do
    : >"$kept"
    : >"$errors"
    env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 wine "$@" <&3 >"$kept" 2>"$errors" &
    program=$!
    tail -s 0.05 -c +1 -f --pid="$program" "$kept" &
    streamer=$!
    tail -s 0.05 -c +1 -f --pid="$program" "$errors" >&2 &
    error_streamer=$!
    watch_exit "$program" "$1" &
    watcher=$!
    wait "$program"
    status=$?
    wait "$streamer" "$error_streamer"
    kill "$watcher" 2>/dev/null
    wait "$watcher" 2>/dev/null
    [ "$status" -eq 0 ] && exit 0
    if [ -s "$kept" ] || [ "$attempt" -eq 2 ]; then
        echo "wine-run: $1 ended with status $status" >&2
        exit "$status"
    fi
    echo "wine-run: $1 ended with status $status before it wrote anything; starting it once more" >&2
done

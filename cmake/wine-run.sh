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
exec env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 wine "$@"

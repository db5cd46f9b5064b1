#!/usr/bin/env bash
# Builds NORVEX.EXE and runs it under wine with the demonstration's settings: telnet port 2323, COM1
# mapped to a pty whose other end is norvex-demo-device (built for Linux). Runs in build/windows-demo
# with a wine prefix of its own. Uses the X display in $DISPLAY, or starts Xvfb on :99 when there is
# none (then look at it with: import -display :99 -window root shot.png).
# Connect with: telnet 127.0.0.1 2323. Exit the program from its tray menu, or press Ctrl+C here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-packages.sh
cmake --preset native >/dev/null
cmake --build --preset native --target norvex-demo-device norvex-demo-setup norvexctl
cmake --preset windows >/dev/null
cmake --build --preset windows --target NORVEX

root="$PWD"
demo="$root/build/windows-demo"
mkdir -p "$demo"
cd "$demo"
if [ ! -f NORVEX.DAT ]; then
    "$root/build/native/demo/norvex-demo-setup"
    # Wine cannot drive or read a pty's modem lines: raise none, and let the line watch end a call
    # only after it saw the signals on (never, here). With a real COM port on Windows, neither is
    # needed.
    "$root/build/native/src/norvexctl" port set COM1 raise_signals=none drop_on_falling_edge=on
fi
cp "$root/build/windows/src/NORVEX.EXE" .

export WINEPREFIX="$demo/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
    wineserver -k 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    Xvfb :99 -screen 0 1024x768x24 >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=:99
    echo "No X display: NORVEX.EXE draws on Xvfb :99 (import -display :99 -window root shot.png)"
fi
"$root/cmake/wine-prefix.sh" start

rm -f COM1
"$root/build/native/demo/norvex-demo-device" COM1 &
pids+=($!)
for _ in $(seq 50); do [ -L COM1 ] && break; sleep 0.1; done
# Wine reads its COM links when its server starts; a link made now holds for this session.
ln -sfn "$(readlink -f COM1)" "$WINEPREFIX/dosdevices/com1"

cat <<TEXT

NORVEX.EXE demo (under wine): gateway in $demo
  connect:   telnet 127.0.0.1 2323     (type TIME, ECHO hello; BYE ends the call)
  the window: double-click the tray icon, or choose ｽﾃｰﾀｽ表示 from its right-click menu
  calls log: $demo/access.log
  stop:      終了 in the tray menu (or the window), or Ctrl+C here

TEXT
LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 wine NORVEX.EXE || true

#!/usr/bin/env bash
# Builds the Linux gateway and runs a demonstration: norvex on telnet port 2323 in build/demo, with
# COM1 linked to a pty whose other end is norvex-demo-device. Connect with: telnet 127.0.0.1 2323
# Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-packages.sh
cmake --preset native >/dev/null
cmake --build --preset native --target norvex norvexctl norvex-demo-device norvex-demo-setup

bin="$PWD/build/native"
demo="$PWD/build/demo"
mkdir -p "$demo"
cd "$demo"
[ -f NORVEX.DAT ] || "$bin/demo/norvex-demo-setup"

"$bin/demo/norvex-demo-device" COM1 &
device=$!
trap 'kill $device 2>/dev/null; wait $device 2>/dev/null' EXIT
for _ in $(seq 50); do [ -L COM1 ] && break; sleep 0.1; done

cat <<TEXT

NORVEX demo: gateway in $demo
  connect:   telnet 127.0.0.1 2323     (type HELP, TIME, ECHO hello; BYE ends the call)
  calls log: $demo/access.log
  status:    $bin/src/norvexctl -C $demo status
  stop:      Ctrl+C

TEXT
"$bin/src/norvex" || true

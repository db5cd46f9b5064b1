#!/usr/bin/env bash
# Builds the Linux program and starts a demonstration gateway.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-packages.sh
cmake --preset native >/dev/null
cmake --build --preset native
echo "NORVEX: the gateway program is not built yet; so far the tree holds the settings file,"
echo "port allocation and the platform layer. Run scripts/test-all.sh to test them."

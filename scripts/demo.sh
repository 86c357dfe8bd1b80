#!/usr/bin/env bash
# Builds the daemon and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/plain -j "$(nproc)"
echo "built build/plain/server/ZuVozAdavid"

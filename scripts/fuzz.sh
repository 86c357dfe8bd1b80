#!/usr/bin/env bash
# Builds the profile reader's libFuzzer target with clang and runs it.
# Usage: [ZQ_FUZZ_BUILD=dir] scripts/fuzz.sh [seconds]   (default 60 s, build/fuzz)
# New inputs go to <dir>/corpus; the seeds in tests/fuzz/corpus are only read.
# A crash leaves its input as crash-* in <dir> and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

bash scripts/deps.sh fuzz
build="${ZQ_FUZZ_BUILD:-build/fuzz}"
root="$(pwd)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZQ_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_profile_reader

mkdir -p "$build/corpus"
cd "$build"
./tests/fuzz/fuzz_profile_reader -max_total_time="$seconds" -print_final_stats=1 \
  -dict="$root/tests/fuzz/profile_reader.dict" corpus "$root/tests/fuzz/corpus"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
# the profile reader (configuration files) and the forwarding links (what a
# collector sends back).
# Usage: [ZQ_FUZZ_BUILD=dir] scripts/fuzz.sh [seconds per target]   (default 60 s, build/fuzz)
# New inputs go to <dir>/corpus/<target>; the seeds in tests/fuzz/corpus are
# only read. A crash leaves its input as crash-* in <dir> and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

bash scripts/deps.sh fuzz
build="${ZQ_FUZZ_BUILD:-build/fuzz}"
root="$(pwd)"
targets=(profile_reader upstream_link)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZQ_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

cd "$build"
for target in "${targets[@]}"; do
  mkdir -p "corpus/$target"
  dict=()
  [ -f "$root/tests/fuzz/$target.dict" ] && dict=(-dict="$root/tests/fuzz/$target.dict")
  echo "fuzz_$target: $seconds s"
  "./tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
    "corpus/$target" "$root/tests/fuzz/corpus/$target"
done

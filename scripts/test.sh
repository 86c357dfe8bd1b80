#!/usr/bin/env bash
# Builds and runs every test. Usage: scripts/test.sh [plain|asan|tsan]
# plain (the default) is an optimised build with debug info; asan adds
# AddressSanitizer and UndefinedBehaviorSanitizer; tsan ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-plain}"
case "$variant" in
  plain) sanitizer="" ;;
  asan|tsan) sanitizer="$variant" ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

bash scripts/deps.sh
jobs="$(nproc)"
build="build/$variant"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZER="$sanitizer" >/dev/null
cmake --build "$build" -j "$jobs"

run=()
if [ "$variant" = tsan ]; then
  # ThreadSanitizer needs the classic address layout on kernels with a high
  # mmap randomisation; setarch -R turns randomisation off for the run.
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
  if setarch "$(uname -m)" -R true 2>/dev/null; then run=(setarch "$(uname -m)" -R); fi
fi
if [ "$variant" = asan ]; then
  export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1 ${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
fi
cd "$build"
"${run[@]}" ctest --output-on-failure -j "$jobs" --timeout 600

#!/usr/bin/env bash
# Builds and runs every test. Usage: scripts/test.sh [plain|asan|tsan|locks|armhf|format|fuzz]
# plain (the default) is an optimised build with debug info; asan adds
# AddressSanitizer and UndefinedBehaviorSanitizer; tsan ThreadSanitizer.
# locks builds with clang, whose -Wthread-safety checks the lock annotations.
# armhf cross-builds for the device (32-bit ARM, cmake/arm-linux-gnueabihf.cmake)
# and runs the suite under qemu-user. plain and armhf also build the Debian
# package (build/<variant>/zuvozadavid_<version>_<arch>.deb). format checks
# that every C++ file is formatted as .clang-format says. fuzz runs each
# libFuzzer target for ZQ_FUZZ_SECONDS (default 60) seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-plain}"
case "$variant" in
  plain|locks|armhf) sanitizer="" ;;
  asan|tsan) sanitizer="$variant" ;;
  format)
    bash scripts/deps.sh format
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
    echo "format: every C++ file is formatted"
    exit 0
    ;;
  fuzz) exec bash scripts/fuzz.sh "${ZQ_FUZZ_SECONDS:-60}" ;;
  *) echo "usage: $0 [plain|asan|tsan|locks|armhf|format|fuzz]" >&2; exit 2 ;;
esac

config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZER="$sanitizer" -DCMAKE_INSTALL_PREFIX=/usr)
if [ "$variant" = armhf ]; then
  bash scripts/deps.sh armhf
  config+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/arm-linux-gnueabihf.cmake")
elif [ "$variant" = locks ]; then
  bash scripts/deps.sh clang
  config+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
else
  bash scripts/deps.sh
fi
jobs="$(nproc)"
build="build/$variant"
cmake -S . -B "$build" "${config[@]}" >/dev/null
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
if [ "$variant" = plain ] || [ "$variant" = armhf ]; then
  cpack >/dev/null
  ls -1 "$PWD"/*.deb
fi

#!/usr/bin/env bash
# Builds and runs every test. Usage: scripts/test.sh [plain|asan|tsan|armhf]
# plain (the default) is an optimised build with debug info; asan adds
# AddressSanitizer and UndefinedBehaviorSanitizer; tsan ThreadSanitizer.
# armhf cross-builds for the device (32-bit ARM, cmake/arm-linux-gnueabihf.cmake)
# and runs the suite under qemu-user. plain and armhf also build the Debian
# package (build/<variant>/zuvozadavid_<version>_<arch>.deb).
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-plain}"
case "$variant" in
  plain) sanitizer="" ;;
  asan|tsan) sanitizer="$variant" ;;
  armhf) sanitizer="" ;;
  *) echo "usage: $0 [plain|asan|tsan|armhf]" >&2; exit 2 ;;
esac

config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZER="$sanitizer" -DCMAKE_INSTALL_PREFIX=/usr)
if [ "$variant" = armhf ]; then
  bash scripts/deps.sh armhf
  config+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/arm-linux-gnueabihf.cmake")
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

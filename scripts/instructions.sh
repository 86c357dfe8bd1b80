#!/usr/bin/env bash
# Instructions per record, counted by callgrind (repeatable whatever else the
# machine does): two runs of zq_bench_instr with N and 2N records, and their
# difference per thread divided by N, so that start-up and shutdown cancel.
# Thread 1 is the caller's; the others are the logger's writer (or worker).
#   scripts/instructions.sh <bench build dir> [N]   (N within the ring; default 400)
# For the log module in forwarding mode, run it while the daemon runs.
set -euo pipefail
build=$(cd "$1" && pwd)
n=${2:-400}
bin="$build/bench/zq_bench_instr"
work=$(mktemp -d "${TMPDIR:-/tmp}/zqinstr.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Per-thread totals of one run: "<thread> <instructions>" lines.
count() {
  local logger=$1 records=$2 dir="$work/$1-$2"
  mkdir -p "$dir/log"
  valgrind --tool=callgrind --fair-sched=yes --separate-threads=yes \
    --callgrind-out-file="$dir/out" "$bin" "$logger" "$dir/log" "$records" >/dev/null 2>&1
  for f in "$dir"/out-*; do
    echo "$((10#${f##*-})) $(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$f")"
  done
}

row() {
  local logger=$1 label=$2
  "$bin" "$logger" "$work" 1 >/dev/null 2>&1 || { echo "| $label | (not built) | | |"; return; }
  count "$logger" "$n" >"$work/a"
  count "$logger" $((2 * n)) >"$work/b"
  join "$work/a" "$work/b" | awk -v n="$n" -v label="$label" '
    { d = ($3 - $2) / n; if ($1 == 1) caller = d; else writer += d }
    END { printf "| %s | %.0f | %.0f | %.0f |\n", label, caller, writer, caller + writer }'
}

echo "| logger (N = $n / $((2 * n)), 3-argument message) | caller | writer | end to end |"
echo "|---|---|---|---|"
row zq "${ZQ_INSTR_LABEL:-log module}"
[ -n "${ZQ_INSTR_SKIP_SPDLOG:-}" ] || row spdlog "spdlog async, file"

# The log module in forwarding mode: a daemon of its own in private
# namespaces (loopback, /proc, /run), stopped by its pid.
if [ -z "${ZQ_INSTR_INSIDE:-}" ] && [ "$(id -u)" -eq 0 ] && unshare -n -p -f -m true 2>/dev/null; then
  unshare -n -p -f -m --mount-proc env ZQ_INSTR_INSIDE=1 bash -c '
    set -e
    ip link set lo up
    mount -t tmpfs tmpfs /run
    dir=$(mktemp -d "${TMPDIR:-/tmp}/zqinstrd.XXXXXX")
    echo "$dir/base" >"$dir/Path.ini"
    (cd "$dir" && "$1/server/ZuVozAdavid") >/dev/null
    ZQ_INSTR_LABEL="log module, forwarding to the daemon" ZQ_INSTR_SKIP_SPDLOG=1 \
      bash "$2" "$1" "$3" | tail -n 1
    kill "$(cat /run/ZuVozAdavid/ZuVozAdavid.pid)"
    while [ -e /run/ZuVozAdavid/ZuVozAdavid.pid ]; do sleep 0.1; done
    rm -rf "$dir"' _ "$build" "$0" "$n"
fi

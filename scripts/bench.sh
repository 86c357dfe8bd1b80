#!/usr/bin/env bash
# Builds and runs every benchmark (deps.sh installs rsyslog for the
# forwarding one), prints the tables, writes bench/out/ (raw
# output and the latency plot). Starts the real daemon on 127.0.0.1:12345:
# do not run it while the test suite runs.
#   bash scripts/bench.sh            full run (about 15 minutes)
#   BENCH_QUICK=1 bash scripts/bench.sh   shorter runs
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench

build=build/bench
out=bench/out
mkdir -p "$out"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_BENCH=ON -DZQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target zq_bench_latency zq_bench_writer zq_bench_daemon zq_bench_upstream zq_bench_reader zq_bench_instr ZuVozAdavid >/dev/null

bursts=3000
count_rate=300000
count_flat=400000
idle_seconds=60
[ "${BENCH_QUICK:-0}" = 1 ] && { bursts=1000; count_rate=100000; count_flat=200000; idle_seconds=10; }

{
  echo "== machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(nproc) cores, $(uname -r)"
  echo "== date: $(date -u '+%Y-%m-%d %H:%M UTC'), user: $(id -un)"
  echo
  for run in 1 2 3; do
    echo "== client call latency, run $run of 3"
    "$build/bench/zq_bench_latency" --bursts "$bursts" --pauses-us 1000,5000 --threads 1,2,4 \
      --data "$out/latency.dat"
  done
  if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1 && command -v setpriv >/dev/null; then
    echo
    echo "== client call latency as an unprivileged user (writer thread not real-time)"
    tmp=$(mktemp -d); chmod 777 "$tmp"
    setpriv --reuid=nobody --regid=nogroup --clear-groups env TMPDIR="$tmp" \
      "$build/bench/zq_bench_latency" --bursts "$bursts" --pauses-us 1000,5000 --threads 1,2,4 \
      --data "$tmp/lat.dat"
    cp "$tmp/lat.dat" "$out/latency_unpriv.dat"; rm -rf "$tmp"
  fi
  echo
  echo "== writer throughput, 200-byte records, 10 files of 10 MiB"
  "$build/bench/zq_bench_writer" --benchmark_counters_tabular=true 2>&1 | grep -v '^\*\*\*WARNING'
  echo
  echo "== daemon under load (2 senders, 200-byte datagrams)"
  "$build/bench/zq_bench_daemon" load --count "$count_rate" --size 200 --senders 2 --rate 100000
  "$build/bench/zq_bench_daemon" load --count "$count_rate" --size 200 --senders 2 --rate 100000 --intake local
  "$build/bench/zq_bench_daemon" load --count "$count_flat" --size 200 --senders 2
  echo
  echo "== forwarding to rsyslog on loopback (and rsyslog's own forwarding of the same file)"
  "$build/bench/zq_bench_upstream" forward --count "$count_flat"
  echo
  echo "== daemon intake at 100,000 datagrams/s while it forwards over tcp"
  "$build/bench/zq_bench_upstream" intake --count "$count_rate" --rate 100000
  echo
  echo "== zqread: a filtered scan of 200 MiB, -n 100 on 10 x 200 MiB, -f"
  "$build/bench/zq_bench_reader" scan --mib 200
  "$build/bench/zq_bench_reader" tail
  "$build/bench/zq_bench_reader" follow
  echo
  echo "== instructions per record (callgrind; file mode, spdlog, forwarding mode)"
  bash scripts/instructions.sh "$build"
  echo
  echo "== daemon idle"
  "$build/bench/zq_bench_daemon" idle --seconds "$idle_seconds"
  if [ "$(id -u)" -eq 0 ] && command -v mkfs.ext4 >/dev/null; then
    echo
    echo "== what the disk writes per byte of records (ext4 on a loop device), 200-byte datagrams"
    flash_seconds=20
    [ "${BENCH_QUICK:-0}" = 1 ] && flash_seconds=5
    img=$(mktemp -d); mnt="$img/mnt"; mkdir "$mnt"
    truncate -s 256M "$img/flash.img"; mkfs.ext4 -q -F "$img/flash.img"
    mount -o loop "$img/flash.img" "$mnt"
    dev=$(basename "$(findmnt -n -o SOURCE "$mnt")")
    for rate in 100 10000; do
      for sync_ms in 0 1000 5000; do
        TMPDIR="$mnt" "$build/bench/zq_bench_daemon" load --count $((rate * flash_seconds)) \
          --size 200 --senders 1 --rate "$rate" --sync "$sync_ms" --block-dev "$dev" |
          grep -E '^DAEMON_(FLASH|LOAD) ' | sed "s/^/rate=$rate /"
      done
    done
    umount "$mnt"; rm -rf "$img"
  fi
} 2>&1 | tee "$out/bench.txt"

echo
echo "== targets of the client call, the writer and the daemon (this run)"
awk -f bench/targets.awk "$out/bench.txt" | tee "$out/targets.txt"

if command -v gnuplot >/dev/null; then
  bash bench/plot.sh "$out/latency.dat" "$out/latency.png"
  echo "plot: $out/latency.png"
  if [ -f "$out/latency_unpriv.dat" ]; then
    bash bench/plot.sh "$out/latency_unpriv.dat" "$out/latency_unpriv.png"
    echo "plot: $out/latency_unpriv.png"
  fi
fi

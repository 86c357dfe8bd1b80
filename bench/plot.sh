#!/usr/bin/env bash
# Latency percentiles of both loggers from zq_bench_latency --data output:
#   bash bench/plot.sh <latency.dat> <out.png>
# One group of bars per run (logger x threads x pause), p50/p99/p99.9 on a log scale.
set -euo pipefail
dat=$1
png=$2
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
# label p50 p99 p99.9
awk '{ printf "\"%s\\n%dT %dms\" %s %s %s\n", $1, $2, $3/1000, $5, $6, $7 }' "$dat" >"$tmp"
gnuplot <<GP
set terminal pngcairo size 1200,600 font "sans,10"
set output "$png"
set title "Client call latency per call (ns, log scale): WriteLog vs spdlog async; T = threads, ms = pause between bursts of 20"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.9 border -1
set logscale y
set yrange [10:*]
set ylabel "ns"
set grid ytics
set key top left
set bmargin 5
set xtics font ",9"
plot "$tmp" using 2:xtic(1) title "p50", "" using 3 title "p99", "" using 4 title "p99.9"
GP

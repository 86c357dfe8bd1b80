# Reads the output of scripts/bench.sh and prints the speed targets of the
# client call, the writer and the daemon beside what this run measured.
#   awk -f bench/targets.awk bench/out/bench.txt

function num(s) { gsub(/[ ,]/, "", s); return s + 0 }
# A Google Benchmark rate such as 4.07M/s.
function rate(s, m) {
  sub(/\/s$/, "", s); m = 1
  if (s ~ /k$/) m = 1e3; else if (s ~ /M$/) m = 1e6; else if (s ~ /G$/) m = 1e9
  sub(/[kMG]$/, "", s); return s * m
}
function verdict(ok) { return ok ? "met" : "not met" }
function field(line, key, a, n, i) {
  n = split(line, a, " ")
  for (i = 1; i <= n; ++i) if (index(a[i], key "=") == 1) return substr(a[i], length(key) + 2)
  return ""
}

/^== / { section = $0; if (section ~ /^== client call latency, run/) ++runs }

# | logger | threads | pause us | samples | p50 | p99 | p99.9 | max | dropped |
section ~ /^== client call latency, run/ && /^\| (WriteLog|spdlog-async) / {
  split($0, f, "|")
  logger = f[2]; gsub(/ /, "", logger)
  key = runs SUBSEP num(f[3]) SUBSEP num(f[4])
  if (logger == "WriteLog") { zq50[key] = num(f[6]); zq99[key] = num(f[7]); zq999[key] = num(f[8]); rows[key] = 1 }
  else { sp50[key] = num(f[6]); sp99[key] = num(f[7]); sp999[key] = num(f[8]) }
}

/^\| log module \|/ { split($0, f, "|"); zqCaller = num(f[3]); zqTotal = num(f[5]) }
/^\| spdlog async, file \|/ { split($0, f, "|"); spCaller = num(f[3]); spTotal = num(f[5]) }
/^\| log module, forwarding to the daemon \|/ { split($0, f, "|"); fwCaller = num(f[3]); fwTotal = num(f[5]) }

/^BM_WriterRotatingSet\/sync_ms:0\// {
  n = split($0, a, " ")
  for (i = n; i > 0; --i) if (a[i] ~ /\/s$/) { writerRate = rate(a[i]); break }
}

# The first such run: the daemon alone (a later one forwards as well).
/^DAEMON_LOAD / && intakeLost == "" && field($0, "intake") == "udp" && field($0, "offered_rate") == "100000" {
  intakeLost = field($0, "lost"); intakeCpu = field($0, "cpu_us_per_datagram")
}
/^DAEMON_IDLE / { idleWakeups = field($0, "wakeups_per_s"); idleRss = field($0, "rss_kib") }

END {
  worse50 = 0; worseTail = 0; all = 0; max1 = 0; max999 = 0
  for (k in rows) {
    split(k, p, SUBSEP); ++all
    if (zq50[k] > sp50[k]) { ++worse50; slow50 = slow50 sprintf(" run %d, %d threads, %d us: %d/%d;", p[1], p[2], p[3], zq50[k], sp50[k]) }
    if (zq99[k] >= sp99[k] || zq999[k] >= sp999[k]) ++worseTail
    if (p[2] == 1 && zq50[k] > max1) max1 = zq50[k]
    if (p[2] <= 2 && zq999[k] > max999) max999 = zq999[k]
  }
  print "| target | measured | |"
  print "|---|---|---|"
  printf "| p50 ≤ spdlog's, every row of %d runs | %d of %d rows above spdlog's%s | %s |\n", runs, worse50, all, worse50 ? ":" slow50 : "", verdict(worse50 == 0 && all > 0)
  printf "| 1-thread p50 ≤ 120 ns | at most %d ns | %s |\n", max1, verdict(max1 <= 120)
  printf "| p99 and p99.9 below spdlog's, every row | %d of %d rows not below | %s |\n", worseTail, all, verdict(worseTail == 0 && all > 0)
  printf "| p99.9 ≤ 10 µs, 1 and 2 threads | at most %d ns | %s |\n", max999, verdict(max999 <= 10000)
  printf "| caller ≤ 1,000 instructions per record, file mode | %d (spdlog's caller %d) | %s |\n", zqCaller, spCaller, verdict(zqCaller <= 1000)
  printf "| end to end ≤ 0.3 × spdlog's, file mode | %d / %d = %.2f × | %s |\n", zqTotal, spTotal, spTotal ? zqTotal / spTotal : 0, verdict(spTotal && zqTotal <= 0.3 * spTotal)
  printf "| forwarding mode, reported | caller %d, end to end %d | |\n", fwCaller, fwTotal
  printf "| writer ≥ 4 M records/s | %.2f M/s | %s |\n", writerRate / 1e6, verdict(writerRate >= 4e6)
  printf "| daemon intake at 100,000/s: 0 lost; CPU per datagram reported | %s lost, %s µs | %s |\n", intakeLost, intakeCpu, verdict(intakeLost == "0")
  printf "| idle ≤ 10 wake-ups/s, RSS ≤ 4 MiB | %s /s, %s KiB | %s |\n", idleWakeups, idleRss, verdict(idleWakeups != "" && idleWakeups <= 10 && idleRss <= 4096)
}

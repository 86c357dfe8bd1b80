#!/usr/bin/env bash
# Builds the daemon ZuVozAdavid, zqlog and zqread, runs the daemon on a log
# directory inside the checkout (demo/), logs through the client, shows the
# files, reads them back with zqread, and stops the daemon by its pid. Leaves
# nothing running, also when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

bash scripts/deps.sh
# The same build directory and flags as scripts/test.sh plain.
cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZER= >/dev/null
cmake --build build/plain -j "$(nproc)" --target ZuVozAdavid zqlog zqread
daemon="$root/build/plain/server/ZuVozAdavid"
zqlog="$root/build/plain/server/zqlog"

demo="$root/demo"
base="$demo/logs"
logdir="$base/ZqSdkLog"

# The pid of the daemon this script started, once known.
pid=""

# True when $1 is the pid of a running ZuVozAdavid (not a reused pid).
is_daemon() {
  [ -n "$1" ] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = ZuVozAdavid ]
}

# Waits up to $2 tenths of a second for the command $1 to succeed.
wait_for() {
  local tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    [ "$tries" -lt "$2" ] || return 1
    sleep 0.1
  done
}

cleanup() {
  if is_daemon "$pid"; then
    echo "stopping the daemon (pid $pid)"
    kill -TERM "$pid" 2>/dev/null || true
    wait_for '! is_daemon "$pid"' 100 || kill -KILL "$pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

for running in /proc/[0-9]*; do
  if [ "$(cat "$running/comm" 2>/dev/null)" = ZuVozAdavid ]; then
    echo "a ZuVozAdavid runs already (pid ${running#/proc/}); stop it first" >&2
    exit 1
  fi
done

echo "== configuration"
rm -rf "$base"
# Root's daemon accepts only a log directory no one else may write.
(umask 022 && mkdir -p "$logdir")
printf '%s\n' "$base" >"$demo/Path.ini"
printf '[Level]\r\nLogLevel=4\r\n[File]\r\nFileSize=10\r\nFileNum=3\r\n' >"$logdir/LogServer.ini"
echo "$demo/Path.ini: $(cat "$demo/Path.ini")"
echo "$logdir/LogServer.ini:"
sed 's/\r$//; s/^/  /' "$logdir/LogServer.ini"

echo "== starting the daemon"
# It reads Path.ini from its working directory, then detaches.
(cd "$demo" && "$daemon")
# The detached daemon writes its pid file (in its run directory, or in the log
# directory when it has none) once it runs.
pidfile_pid() {
  local f
  for f in /run/ZuVozAdavid/ZuVozAdavid.pid "$logdir/ZuVozAdavid.pid"; do
    if [ -f "$f" ] && is_daemon "$(cat "$f" 2>/dev/null)"; then cat "$f"; return 0; fi
  done
  return 1
}
wait_for 'pid=$(pidfile_pid)' 100 || { echo "the daemon did not start" >&2; exit 1; }
echo "ZuVozAdavid runs with pid $pid"
# It receives once its socket is bound to 127.0.0.1:12345.
wait_for 'grep -q " 0100007F:3039 " /proc/net/udp' 100 ||
  { echo "the daemon does not receive on 127.0.0.1:12345" >&2; exit 1; }

echo "== logging through zqlog"
"$zqlog" -m demo --device cam0 "hello from the demo"
"$zqlog" -m demo --device cam0 -l warning "disk almost full:" "93%"
printf 'first line of a script\nsecond line of a script\n' | "$zqlog" -m script --device cam0 -l debug
burst=200
seq 1 "$burst" | sed 's/^/burst record /' | "$zqlog" -m burst --device cam1
echo "sent 4 records and a burst of $burst"

file="$logdir/SDK_00.log"
expected=$((4 + burst))
wait_for '[ "$(grep -c "" "$file" 2>/dev/null || true)" -ge "$expected" ]' 100 ||
  { echo "only $(grep -c "" "$file" || true) of $expected records arrived" >&2; exit 1; }

echo "== files in $logdir"
ls -l "$logdir"
echo "== first and last lines of SDK_00.log ($(grep -c "" "$file") records)"
head -n 4 "$file" | tr -d '\r'
echo "..."
tail -n 3 "$file" | tr -d '\r'
echo "== zqread -p warning (Warning and more severe), then the last 2 records as JSON"
"$root/build/plain/reader/zqread" -D "$logdir" -p warning
"$root/build/plain/reader/zqread" -D "$logdir" -n 2 -o json

echo "== stopping the daemon"
kill -TERM "$pid"
wait_for '! is_daemon "$pid"' 100 || { echo "the daemon did not stop" >&2; exit 1; }
echo "ZuVozAdavid (pid $pid) has stopped"
pid=""

#!/usr/bin/env bash
# Installs a build into a staging directory (DESTDIR) and uses the result:
# a client project built with find_package(ZqLog), the same client built with
# pkg-config, and the init script starting, querying and stopping the
# installed daemon with a record forwarded by the installed zqlog.
# Usage: InstallTest.sh <build dir> <client dir> <prefix> <sysconfdir> <c++>
#                       <extra compile and link flags> <cross compiling 0|1>
set -euo pipefail
build=$1 client=$2 prefix=$3 sysconfdir=$4 cxx=$5 flags=$6 cross=$7
readonly kSkip=77

if [ "$cross" = 1 ]; then
  echo "SKIP: a cross build's programs cannot be built against and run on this host"
  exit $kSkip
fi

stage=$(mktemp -d "${TMPDIR:-/tmp}/zqinstall.XXXXXX")
init="$stage$sysconfdir/init.d/zuvozadavid"
export ZQ_DAEMON="$stage$prefix/sbin/ZuVozAdavid" ZQ_CONF_DIR="$stage$sysconfdir/zqlog"
fakes=()
cleanup() {
  # Stops a daemon this test started (by the pid in its pid file), and the
  # processes it ran as another user (by their pids).
  if [ -x "$init" ] && "$init" status >/dev/null 2>&1; then "$init" stop || true; fi
  for pid in "${fakes[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$stage"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "--- install into $stage"
DESTDIR="$stage" cmake --install "$build" >/dev/null
root="$stage$prefix"
for file in sbin/ZuVozAdavid bin/zqlog include/zqlog/logmodule/LogModule.h \
  lib/systemd/system/zuvozadavid.service; do
  [ -f "$root/$file" ] || fail "$prefix/$file is not installed"
done
[ -x "$init" ] || fail "the init script is not installed"
[ -f "$ZQ_CONF_DIR/Path.ini" ] || fail "Path.ini is not installed"
pcdir=$(dirname "$(find "$root" -name zqlog.pc)")
libdir=$(dirname "$pcdir")
for lib in zq_logmodule zq_asynclog zq_platform; do
  [ -f "$libdir/lib$lib.a" ] || fail "lib$lib.a is not installed"
done

echo "--- client with find_package(ZqLog)"
cmake -S "$client" -B "$stage/client" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$stage/client" >/dev/null
"$stage/client/zqclient" "$stage/logs-cmake"
grep -q "installed client 42" "$stage/logs-cmake/client_00.log" || fail "no record from the client"

echo "--- client with pkg-config"
pc=$(PKG_CONFIG_PATH="$pcdir" PKG_CONFIG_SYSROOT_DIR="$stage" pkg-config --cflags --libs zqlog)
# shellcheck disable=SC2086  # flag lists split on purpose
"$cxx" -std=c++17 $flags "$client/main.cpp" $pc -o "$stage/zqclient-pc"
"$stage/zqclient-pc" "$stage/logs-pc"
grep -q "installed client 42" "$stage/logs-pc/client_00.log" || fail "no record from the client"

echo "--- init script"
printf '%s\n' "$stage/base" >"$ZQ_CONF_DIR/Path.ini"
if "$init" status; then fail "a ZuVozAdavid runs already"; fi

if [ "$(id -u)" = 0 ]; then
  echo "--- init script trusts no process of another user"
  # What a pid file may name after a crash, once the number has been reused by
  # uid 65534: a copy of sleep named ZuVozAdavid, and the installed daemon
  # binary itself run by that user (the pid file root's, in root's run directory).
  nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 0755 "$stage"
  mkdir -m 0755 "$stage/fake"
  cp /bin/sleep "$stage/fake/ZuVozAdavid"
  "${nobody[@]}" "$stage/fake/ZuVozAdavid" 120 &
  fakes+=($!)
  mkdir -m 0700 "$stage/user"
  printf '%s\n' "$stage/user/base" >"$stage/user/Path.ini"
  chown -R 65534:65534 "$stage/user"
  (cd "$stage/user" && "${nobody[@]}" "$ZQ_DAEMON")
  user_pid_file="$stage/user/base/ZqSdkLog/ZuVozAdavid.pid"
  for _ in $(seq 200); do
    [ -s "$user_pid_file" ] && break
    sleep 0.1
  done
  user_daemon=$(cat "$user_pid_file") || fail "the daemon of uid 65534 did not start"
  fakes+=("$user_daemon")
  run_pid_file=$(sed -n 's/^RUN_PID_FILE="\(.*\)"$/\1/p' "$init")
  [ -n "$run_pid_file" ] || fail "the init script names no pid file"
  mkdir -p -m 0755 "$(dirname "$run_pid_file")"
  for pid in "${fakes[@]}"; do
    echo "$pid" >"$run_pid_file"
    if "$init" status; then fail "status took process $pid of uid 65534 for the daemon"; fi
  done
  # The daemon of uid 65534 holds the port: it goes before root's starts.
  kill -TERM "$user_daemon"
  for _ in $(seq 200); do
    kill -0 "$user_daemon" 2>/dev/null || break
    sleep 0.1
  done
  echo "${fakes[0]}" >"$run_pid_file"
  "$init" start | tee "$stage/start.out"
  if grep -q "already running" "$stage/start.out"; then fail "start took the fake for the daemon"; fi
else
  echo "not root: the init script's checks against other users' processes are not tried"
  "$init" start
fi
"$init" status || fail "status after start"
"$init" start | grep -q "already running" || fail "a second start did not see the first"
"$root/bin/zqlog" -D "$stage/unused" -m init "through the installed daemon"
log="$stage/base/ZqSdkLog/SDK_00.log"
for _ in $(seq 200); do
  grep -q "through the installed daemon" "$log" 2>/dev/null && break
  sleep 0.1
done
grep -q "through the installed daemon" "$log" || fail "the daemon did not write the record"
"$init" restart
"$init" status || fail "status after restart"
"$init" stop
if "$init" status; then fail "status after stop"; fi
[ ! -e "$stage/unused" ] || fail "zqlog wrote its own files although the daemon ran"

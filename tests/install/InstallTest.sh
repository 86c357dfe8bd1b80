#!/usr/bin/env bash
# Installs a build into a staging directory (DESTDIR) and uses the result:
# a client project built with find_package(ZqLog), the same client built with
# pkg-config, the systemd unit (systemd-analyze verify and its exposure
# score), and the init script, under sh and BusyBox sh, starting, querying,
# reloading and stopping the installed daemon with a record forwarded by the
# installed zqlog.
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
cleanup() {
  # Stops a daemon this test started (by the pid in its pid file).
  if [ -x "$init" ] && "$init" status >/dev/null 2>&1; then "$init" stop || true; fi
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

echo "--- systemd unit"
unit="$root/lib/systemd/system/zuvozadavid.service"
if command -v systemd-analyze >/dev/null 2>&1; then
  # verify looks for the programs the unit names: the staged daemon stands in
  # for the installed one.
  mkdir -p "$stage/unit"
  sed "s|$prefix/sbin/ZuVozAdavid|$root/sbin/ZuVozAdavid|" "$unit" >"$stage/unit/zuvozadavid.service"
  report=$(systemd-analyze verify "$stage/unit/zuvozadavid.service" 2>&1) ||
    fail "systemd-analyze verify: $report"
  [ -z "$report" ] || fail "systemd-analyze verify: $report"
  score=$(systemd-analyze security --offline=yes "$stage/unit/zuvozadavid.service" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  [ -n "$score" ] || fail "systemd-analyze security gave no score"
  echo "exposure $score"
  awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' || fail "exposure $score is above 3.0"
else
  echo "systemd-analyze is missing: the unit is not checked"
fi

printf '%s\n' "$stage/base" >"$ZQ_CONF_DIR/Path.ini"
log="$stage/base/ZqSdkLog/SDK_00.log"
# The init script under the system's sh and, when it is there, BusyBox's.
shells=("")
if command -v busybox >/dev/null 2>&1; then shells+=("busybox sh"); fi
for shell in "${shells[@]}"; do
  echo "--- init script${shell:+ under $shell}"
  # shellcheck disable=SC2086  # the shell command splits on purpose
  run() { $shell "$init" "$@"; }
  if run status; then fail "a ZuVozAdavid runs already"; fi
  run start
  run status || fail "status after start"
  pid=$(cat /run/ZuVozAdavid.pid 2>/dev/null || cat /tmp/ZuVozAdavid.pid)
  run start | grep -q "already running" || fail "a second start did not see the first"
  text="through the installed daemon${shell:+ under $shell}"
  "$root/bin/zqlog" -D "$stage/unused" -m init "$text"
  for _ in $(seq 200); do
    grep -q "$text" "$log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "$text" "$log" || fail "the daemon did not write the record"
  run reload || fail "reload"
  run status | grep -q "(pid $pid)" || fail "reload did not keep the daemon running"
  run restart
  run status || fail "status after restart"
  run stop
  if run status; then fail "status after stop"; fi
done
[ ! -e "$stage/unused" ] || fail "zqlog wrote its own files although the daemon ran"

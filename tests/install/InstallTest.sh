#!/usr/bin/env bash
# Installs a build into staging directories and uses the result:
#   - `cmake --install --prefix <stage>` and `DESTDIR=<stage> cmake --install`
#     write nothing outside the stage, and the tree holds what it should;
#   - the shared library has its soname and exports exactly the operations
#     that LogModule.h marks ZQ_API; the static archive defines no other
#     global symbol;
#   - the tree, moved elsewhere, still serves clients through pkg-config
#     (the .pc file finds its prefix itself): a C99 example and a C++ client,
#     each with the shared and the static library, and a client with
#     functions named like the library's internal ones;
#   - clients built with find_package(ZqLog), in C and C++, shared and static;
#   - the systemd units (the service and its socket): systemd-analyze verify,
#     and the service's exposure score;
#   - the init script, under sh and BusyBox sh, starting, querying, reloading
#     and stopping the installed daemon with a record forwarded by the
#     installed zqlog, and (as root) naming the process of another user that
#     holds the daemon's port when a start cannot have it.
# A cross build's clients are built with the cross compilers and run under the
# emulator; the CMake clients and the init script need the host and are left
# out there.
# Usage: InstallTest.sh <build dir> <test source dir> <prefix> <libdir> <version>
#                       <cc> <c++> <extra compile and link flags> <cross 0|1>
#                       <emulator command, may be empty>
set -euo pipefail
build=$1 src=$2 prefix=$3 libdir_rel=$4 version=$5 cc=$6 cxx=$7 flags=$8 cross=$9
emulator=${10}
nm=${ZQ_NM:-nm}

stage=$(mktemp -d "${TMPDIR:-/tmp}/zqinstall.XXXXXX")
init="" # set once the init script is in use
fakes=()
cleanup() {
  # Stops a daemon this test started (by the pid in its pid file), and the
  # processes it ran as another user (by their pids).
  if [ -n "$init" ] && "$init" status >/dev/null 2>&1; then "$init" stop || true; fi
  for pid in "${fakes[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$stage"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Runs a program built for the target.
run_target() {
  # shellcheck disable=SC2086  # the emulator command splits into words
  $emulator "$@"
}

# Every file the last install wrote (install_manifest.txt) lies below $1; with
# DESTDIR $2 the manifest names them without it, and each is found below it.
expect_inside() {
  local manifest="$build/install_manifest.txt" file
  [ -s "$manifest" ] || fail "no install manifest"
  while IFS= read -r file; do
    case "$file" in "$1"/*) ;; *) fail "installed outside $1: $file" ;; esac
    [ -e "${2:-}$file" ] || [ -L "${2:-}$file" ] || fail "not installed below ${2:-/}: $file"
  done <"$manifest"
}

# The tree of an installation with its root (prefix directory) $1 and its
# system configuration directory $2.
expect_tree() {
  local root=$1 etc=$2 unitdir=$3 file
  for file in sbin/ZuVozAdavid bin/zqlog share/man/man8/ZuVozAdavid.8.gz \
    share/man/man1/zqlog.1.gz include/zqlog/logmodule/LogModule.h \
    include/zqlog/logmodule/ZqLogVersion.h "$libdir_rel/libzqlog.so.$version" \
    "$libdir_rel/libzqlog.a" "$libdir_rel/pkgconfig/zqlog.pc" \
    "$libdir_rel/cmake/ZqLog/ZqLogConfig.cmake" share/doc/zuvozadavid/copyright \
    share/doc/libzqlog1/changelog.gz share/doc/libzqlog-dev/copyright; do
    [ -f "$root/$file" ] || fail "$file is not installed below $root"
  done
  [ "$(readlink "$root/$libdir_rel/libzqlog.so.${version%%.*}")" = "libzqlog.so.$version" ] ||
    fail "libzqlog.so.${version%%.*} does not name libzqlog.so.$version"
  [ "$(readlink "$root/$libdir_rel/libzqlog.so")" = "libzqlog.so.${version%%.*}" ] ||
    fail "libzqlog.so does not name libzqlog.so.${version%%.*}"
  [ -x "$etc/init.d/zuvozadavid" ] || fail "the init script is not in $etc/init.d"
  [ -f "$etc/zqlog/Path.ini" ] || fail "Path.ini is not in $etc/zqlog"
  [ -f "$unitdir/zuvozadavid.service" ] || fail "the unit is not in $unitdir"
  [ -f "$unitdir/zuvozadavid.socket" ] || fail "the socket unit is not in $unitdir"
}

echo "--- install with --prefix: nothing outside the prefix"
root="$stage/prefix"
cmake --install "$build" --prefix "$root" >/dev/null
expect_inside "$root"
expect_tree "$root" "$root/etc" "$root/lib/systemd/system"

echo "--- install with DESTDIR: nothing outside DESTDIR"
DESTDIR="$stage/dest" cmake --install "$build" >/dev/null
case "$prefix" in /usr) expect_inside "" "$stage/dest" ;; *) expect_inside "$prefix" "$stage/dest" ;; esac
if [ "$prefix" = /usr ]; then
  expect_tree "$stage/dest/usr" "$stage/dest/etc" "$stage/dest/lib/systemd/system"
else
  expect_tree "$stage/dest$prefix" "$stage/dest$prefix/etc" "$stage/dest$prefix/lib/systemd/system"
fi
rm -rf "$stage/dest"

echo "--- the library's symbols"
lib="$root/$libdir_rel/libzqlog.so.$version"
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libzqlog.so.${version%%.*}" ] || fail "soname '$soname'"
header="$root/include/zqlog/logmodule/LogModule.h"
api=$(sed -n 's/^ZQ_API [^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort)
[ "$(echo "$api" | wc -l)" -ge 19 ] || fail "cannot read the operations of LogModule.h"
exported=$("$nm" -D --defined-only "$lib" | awk '{print $3}' | sort)
[ "$exported" = "$api" ] || fail "libzqlog.so exports other symbols than LogModule.h:
$(diff <(echo "$api") <(echo "$exported") || true)"
archive_globals=$("$nm" -g --defined-only "$root/$libdir_rel/libzqlog.a" | awk 'NF == 3 {print $3}' | sort)
[ "$archive_globals" = "$api" ] || fail "libzqlog.a defines other global symbols:
$(diff <(echo "$api") <(echo "$archive_globals") || true)"
# The collision client below means something only while these are symbols of
# the library's own code.
platform_syms=$("$nm" "$build/platform/libzq_platform.a")
for sym in _Z9LockMutexP15pthread_mutex_t _Z10JoinThreadPv _Z12NetLayerInitv; do
  grep -q " T $sym$" <<<"$platform_syms" ||
    fail "the platform library no longer defines $sym: update the collision client"
done

echo "--- the tree moved elsewhere, clients through pkg-config"
moved="$stage/moved"
mv "$root" "$moved"
root="$moved"
libdir="$root/$libdir_rel"
export PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_LIBDIR="$libdir/pkgconfig"
cflags=$(pkg-config --cflags zqlog)
libs=$(pkg-config --libs zqlog)
static_libs=$(pkg-config --static --libs zqlog | sed 's/-lzqlog\b/-l:libzqlog.a/')
case "$cflags $libs" in *"$moved"*) ;; *) fail "zqlog.pc does not follow the moved tree: $cflags $libs" ;; esac
[ "$(pkg-config --modversion zqlog)" = "$version" ] || fail "zqlog.pc version"
rpath="-Wl,-rpath,$libdir"
# shellcheck disable=SC2086  # flag lists split on purpose
build_and_run() {
  local name=$1 compiler=$2 std=$3 source=$4 link=$5
  local exe="$stage/$name" logs="$stage/logs-$name"
  $compiler $std $flags -Wall -Wextra -Werror "$source" $cflags $link -o "$exe" ||
    fail "$name does not build"
  run_target "$exe" "$logs" >"$stage/$name.out" || fail "$name failed"
  cat "$logs"/*_00.log
}
c_std="-std=c99 -pedantic-errors"
for kind in shared static; do
  if [ $kind = shared ]; then link="$libs $rpath"; else link="$static_libs"; fi
  out=$(build_and_run "c99-$kind" "$cc" "$c_std" "$src/c_example/example.c" "$link")
  grep -q "Source-Line:c99(example.c-L.*Description:\[main\]from C, version $version" <<<"$out" ||
    fail "no record from the C example ($kind): $out"
  grep -qx "$version $(printf '%d%02d%02d' ${version//./ } | sed 's/^0*//')" "$stage/c99-$kind.out" ||
    fail "the C example printed $(cat "$stage/c99-$kind.out")"
  out=$(build_and_run "cxx-$kind" "$cxx" -std=c++17 "$src/client/main.cpp" "$link")
  grep -q "installed client 42" <<<"$out" || fail "no record from the C++ client ($kind)"
  out=$(build_and_run "collision-$kind" "$cxx" -std=c++17 "$src/collision/main.cpp" "$link")
  grep -q "next to my own LockMutex" <<<"$out" || fail "no record from the collision client"
done

if [ "$cross" = 1 ]; then
  echo "--- cross build: the CMake clients and the init script need the host; not run"
  exit 0
fi

echo "--- clients with find_package(ZqLog)"
cmake -S "$src/client" -B "$stage/client" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DZQ_C_EXAMPLE="$src/c_example/example.c" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$stage/client" >/dev/null
for exe in zqclient zqclient_static zqexample zqexample_static; do
  "$stage/client/$exe" "$stage/logs-cmake-$exe" >/dev/null || fail "$exe failed"
  grep -q "installed client 42\|from C, version $version" "$stage/logs-cmake-$exe"/*_00.log ||
    fail "no record from $exe"
done

echo "--- systemd units"
unit="$root/lib/systemd/system/zuvozadavid.service"
if command -v systemd-analyze >/dev/null 2>&1; then
  # verify looks for the programs and man pages the units name: the staged
  # daemon and pages stand in for the installed ones.
  mkdir -p "$stage/unit"
  sed "s|$prefix/sbin/ZuVozAdavid|$root/sbin/ZuVozAdavid|" "$unit" >"$stage/unit/zuvozadavid.service"
  cp "$root/lib/systemd/system/zuvozadavid.socket" "$stage/unit/"
  report=$(MANPATH="$root/share/man" systemd-analyze verify "$stage/unit/zuvozadavid.socket" \
    "$stage/unit/zuvozadavid.service" 2>&1) || fail "systemd-analyze verify: $report"
  [ -z "$report" ] || fail "systemd-analyze verify: $report"
  score=$(systemd-analyze security --offline=yes "$stage/unit/zuvozadavid.service" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  [ -n "$score" ] || fail "systemd-analyze security gave no score"
  echo "exposure $score"
  awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' || fail "exposure $score is above 3.0"
else
  echo "systemd-analyze is missing: the unit is not checked"
fi

init="$root/etc/init.d/zuvozadavid"
export ZQ_DAEMON="$root/sbin/ZuVozAdavid" ZQ_CONF_DIR="$root/etc/zqlog"
printf '%s\n' "$stage/base" >"$ZQ_CONF_DIR/Path.ini"
log="$stage/base/ZqSdkLog/SDK_00.log"
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
  # The daemon of uid 65534 holds the port: start tries for a while, then
  # names it, under each shell.
  for shell in "" busybox; do
    [ -z "$shell" ] || command -v busybox >/dev/null 2>&1 || continue
    if ${shell:+busybox sh} "$init" start 2>"$stage/held.err"; then
      fail "start succeeded with the port held${shell:+ under $shell}"
    fi
    grep -q "127.0.0.1:12345 is held by pid $user_daemon (ZuVozAdavid)" "$stage/held.err" ||
      fail "start did not name the holder${shell:+ under $shell}: $(cat "$stage/held.err")"
  done
  # It goes before root's starts.
  kill -TERM "$user_daemon"
  for _ in $(seq 200); do
    kill -0 "$user_daemon" 2>/dev/null || break
    sleep 0.1
  done
  echo "${fakes[0]}" >"$run_pid_file"
  "$init" start | tee "$stage/start.out"
  if grep -q "already running" "$stage/start.out"; then fail "start took the fake for the daemon"; fi
  "$init" stop
fi

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
  pid=$(cat "$(sed -n 's/^RUN_PID_FILE="\(.*\)"$/\1/p' "$init")" 2>/dev/null ||
    cat "$stage/base/ZqSdkLog/ZuVozAdavid.pid")
  run start | grep -q "already running" || fail "a second start did not see the first"
  text="through the installed daemon${shell:+ under $shell}"
  "$root/bin/zqlog" -D "$stage/unused" -t init "$text"
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

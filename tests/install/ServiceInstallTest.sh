#!/usr/bin/env bash
# Installs the Debian packages for real, with dpkg inside a chroot, and checks
# what their maintainer scripts do on a SysV system: installing registers the
# init script and starts the daemon, which then writes a record sent by the
# installed zqlog; removing stops it; purging removes the links and the log
# files.
#
# The chroot is a copy-on-write view of this machine's root (overlayfs, the
# writes go to a tmpfs), inside private mount, pid and network namespaces:
# nothing reaches the host, and the daemon and its port are the namespace's
# own. The view plays a SysV system in runlevel 2 that allows services to
# start: its runlevel command answers "N 2", and a policy-rc.d that forbids
# starts (as container images carry) is taken away.
# Needs root and a native build; skipped (77) otherwise.
# Usage: ServiceInstallTest.sh <build dir> <cpack> <debian architecture> <version> <cross 0|1>
set -euo pipefail
readonly kSkip=77
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if [ "${1:-}" != --inside ]; then
  build=$1 cpack=$2 arch=$3 version=$4 cross=$5
  if [ "$cross" = 1 ]; then
    echo "SKIP: the packages of a cross build cannot run here"
    exit $kSkip
  fi
  if [ "$(id -u)" != 0 ] || ! unshare -m -n -p -f true 2>/dev/null; then
    echo "SKIP: needs root and namespaces"
    exit $kSkip
  fi
  work=$(mktemp -d "${TMPDIR:-/tmp}/zqservice.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  "$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" ||
    fail "cpack: $(cat "$work/cpack.log")"
  # The namespaces end, with every process in them, when the inner run ends.
  unshare -m -n -p -f --mount-proc bash "$0" --inside "$work" "$arch" "$version"
  exit $?
fi

work=$2 arch=$3 version=$4
ip link set lo up
mount --make-rprivate /
layer="$work/layer" root="$work/root"
mkdir -p "$layer" "$root"
mount -t tmpfs tmpfs "$layer"
mkdir "$layer/upper" "$layer/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$layer/upper,workdir=$layer/work" "$root" ||
  {
    echo "SKIP: no overlay file system"
    exit $kSkip
  }
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
rm -f "$root/usr/sbin/policy-rc.d"
rm -f "$root/usr/sbin/runlevel" "$root/sbin/runlevel"
printf '#!/bin/sh\necho "N 2"\n' >"$root/usr/sbin/runlevel"
chmod 755 "$root/usr/sbin/runlevel"
[ -e "$root/sbin/runlevel" ] || ln -s /usr/sbin/runlevel "$root/sbin/runlevel"
cp "$work"/out/*.deb "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
pid_of_daemon() { in_root cat /run/ZuVozAdavid/ZuVozAdavid.pid 2>/dev/null; }
alive() { [ -n "$1" ] && grep -q '^State:[[:space:]]*[^Z]' "/proc/$1/status" 2>/dev/null; }

echo "--- dpkg -i: the daemon starts"
in_root dpkg -i "/tmp/libzqlog1_${version}_$arch.deb" "/tmp/zuvozadavid_${version}_$arch.deb" \
  >"$work/install.log" 2>&1 || fail "dpkg -i: $(cat "$work/install.log")"
ls "$root"/etc/rc2.d/S??zuvozadavid >/dev/null || fail "the init script is not registered"
[ -d "$root/var/log/ZQS" ] || fail "no /var/log/ZQS"
pid=$(pid_of_daemon) || fail "no pid file after installing: $(cat "$work/install.log")"
alive "$pid" || fail "the daemon (pid $pid) does not run"
[ "$(cat "/proc/$pid/comm")" = ZuVozAdavid ] || fail "pid $pid is not the daemon"
in_root /etc/init.d/zuvozadavid status >/dev/null || fail "the init script does not see it"

echo "--- the installed zqlog forwards to it"
in_root zqlog -t package -p user.notice "through the packaged daemon" >"$work/zqlog.log" 2>&1 ||
  fail "zqlog: $(cat "$work/zqlog.log")"
log="$root/var/log/ZQS/ZqSdkLog/SDK_00.log"
for _ in $(seq 200); do
  grep -q "through the packaged daemon" "$log" 2>/dev/null && break
  sleep 0.1
done
grep -q "Source-Line:package(zqlog-L0001).*through the packaged daemon" "$log" ||
  fail "the daemon did not write the record"

echo "--- the log's readers and the configuration in /etc"
[ "$(stat -c %G:%a "$log")" = adm:640 ] || fail "SDK_00.log is $(stat -c %U:%G:%a "$log")"
[ "$(stat -c %G:%a "$(dirname "$log")")" = adm:750 ] || fail "the log directory's group or mode"
cfg="$root/var/log/ZQS/ZqSdkLog/LogServer.ini"
[ "$(readlink "$cfg")" = /etc/zqlog/LogServer.ini ] || fail "LogServer.ini is no link to /etc"
in_root sh -c 'cd /etc/zqlog && ZuVozAdavid --check-config' >"$work/check.log" 2>&1 || fail "the shipped LogServer.ini: $(cat "$work/check.log")"
# A file the daemon wrote itself (an earlier version's first start) gives way
# to the link when the package is configured again; an edited one stays.
in_root /etc/init.d/zuvozadavid stop >/dev/null || fail "stop"
rm "$cfg"
in_root /etc/init.d/zuvozadavid start >/dev/null || fail "start"
[ -f "$cfg" ] && [ ! -L "$cfg" ] || fail "the daemon did not write its defaults"
in_root dpkg -i "/tmp/zuvozadavid_${version}_$arch.deb" >"$work/reinstall.log" 2>&1 ||
  fail "dpkg -i again: $(cat "$work/reinstall.log")"
[ "$(readlink "$cfg")" = /etc/zqlog/LogServer.ini ] || fail "the daemon's defaults stay"
pid=$(pid_of_daemon) || fail "no pid file after reinstalling"

echo "--- dpkg -r: the daemon stops"
in_root dpkg -r zuvozadavid >"$work/remove.log" 2>&1 || fail "dpkg -r: $(cat "$work/remove.log")"
if alive "$pid"; then fail "the daemon (pid $pid) runs after removal"; fi
[ -f "$log" ] || fail "removal took the log files"
ls "$root"/etc/rc2.d/S??zuvozadavid >/dev/null || fail "removal took the links (only purge may)"

echo "--- dpkg -P: links and log files go"
in_root dpkg -P zuvozadavid libzqlog1 >"$work/purge.log" 2>&1 || fail "dpkg -P: $(cat "$work/purge.log")"
if ls "$root"/etc/rc?.d/*zuvozadavid >/dev/null 2>&1; then fail "rc links stay after purge"; fi
[ ! -e "$root/var/log/ZQS" ] || fail "/var/log/ZQS stays after purge"
[ ! -e "$root/etc/zqlog" ] || fail "/etc/zqlog stays after purge"
echo PASS

#!/usr/bin/env bash
# Builds the Debian packages of a build (cpack), has lintian check them (no
# error and no warning may remain), unpacks them (dpkg -x) and checks the tree,
# the library's soname and multiarch directory and the hardening of every
# program and library, then installs them with dpkg into an empty staging root
# (dpkg --root, the maintainer scripts run with DPKG_ROOT) and removes and
# purges them there: the scripts make the log base directory and the enable
# links of both init systems, /etc files are conffiles that survive a
# removal, and a purge takes everything away.
# Works for cross builds too: nothing of the packages is executed.
# Usage: PackageTest.sh <build dir> <cpack> <debian architecture> <version>
set -euo pipefail
build=$1 cpack=$2 arch=$3 version=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/zqpackage.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "--- cpack"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" ||
  fail "cpack: $(cat "$work/cpack.log")"
runtime="$work/out/zuvozadavid_${version}_$arch.deb"
library="$work/out/libzqlog${version%%.*}_${version}_$arch.deb"
dev="$work/out/libzqlog-dev_${version}_$arch.deb"
for deb in "$runtime" "$library" "$dev"; do [ -f "$deb" ] || fail "no package $deb"; done

echo "--- lintian (info tags are shown, errors and warnings fail)"
lintian --display-info --fail-on error,warning "$runtime" "$library" "$dev" 2>&1 |
  grep -v '^running with root privileges' || true
lintian --fail-on error,warning "$runtime" "$library" "$dev" >/dev/null 2>&1 ||
  fail "lintian reports errors or warnings"

echo "--- unpacked tree"
tree="$work/tree"
for deb in "$runtime" "$library" "$dev"; do dpkg -x "$deb" "$tree"; done
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
libdir="usr/lib/$multiarch"
expect_in() {
  local deb=$1 file
  shift
  local contents
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for file in "$@"; do
    grep -qx "./$file" <<<"$contents" || fail "$(basename "$deb") lacks $file"
  done
}
expect_in "$runtime" usr/sbin/ZuVozAdavid usr/bin/zqlog etc/init.d/zuvozadavid \
  etc/zqlog/Path.ini etc/zqlog/LogServer.ini lib/systemd/system/zuvozadavid.service lib/systemd/system/zuvozadavid.socket \
  usr/share/man/man8/ZuVozAdavid.8.gz usr/share/man/man1/zqlog.1.gz \
  usr/share/doc/zuvozadavid/copyright usr/share/doc/zuvozadavid/changelog.gz \
  usr/share/doc/zuvozadavid/forwarding.md
expect_in "$library" "$libdir/libzqlog.so.${version%%.*}" "$libdir/libzqlog.so.$version" \
  usr/share/doc/libzqlog1/copyright
expect_in "$dev" "$libdir/libzqlog.so" "$libdir/libzqlog.a" \
  usr/include/zqlog/logmodule/LogModule.h usr/include/zqlog/logmodule/ZqLogVersion.h \
  "$libdir/pkgconfig/zqlog.pc" "$libdir/cmake/ZqLog/ZqLogConfig.cmake" \
  usr/share/doc/libzqlog-dev/copyright
if dpkg-deb -c "$library" "$dev" 2>/dev/null | grep -q ' ./usr/lib/libzqlog'; then
  fail "a library outside the multiarch directory $libdir"
fi
dpkg-deb -f "$runtime" Pre-Depends | grep -q init-system-helpers || fail "no Pre-Depends"
dpkg-deb -f "$runtime" Depends | grep -q "libssl3" || fail "no libssl3 in Depends"
[ "$(dpkg-deb -f "$dev" Depends)" = "libzqlog1 (= $version)" ] || fail "dev Depends"
grep -qx '/etc/init.d/zuvozadavid' <(dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./conffiles) ||
  fail "the init script is no conffile"
soname=$(readelf -d "$tree/$libdir/libzqlog.so.$version" | sed -n 's/.*soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libzqlog.so.${version%%.*}" ] || fail "soname '$soname'"

echo "--- hardening"
for elf in usr/sbin/ZuVozAdavid usr/bin/zqlog "$libdir/libzqlog.so.$version"; do
  headers=$(readelf -lW "$tree/$elf")
  dynamic=$(readelf -dW "$tree/$elf")
  symbols=$(readelf --dyn-syms -W "$tree/$elf")
  grep -q GNU_RELRO <<<"$headers" || fail "$elf: no RELRO"
  grep -Eq 'BIND_NOW|Flags:.* NOW' <<<"$dynamic" || fail "$elf: not bound now"
  grep -Eq '__[a-z]+_chk' <<<"$symbols" || fail "$elf: no fortified libc call"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$elf: no stack protector"
  grep -q 'Elf file type is DYN' <<<"$headers" || fail "$elf: not position independent"
done

echo "--- dpkg --root: install, remove, purge"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root() {
  # The maintainer scripts run outside the root, with DPKG_ROOT naming it; the
  # root holds none of the packages' dependencies.
  dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root \
    --log=/dev/null "$@"
}
if [ "$arch" != "$(dpkg --print-architecture)" ]; then dpkg_root --add-architecture "$arch"; fi
dpkg_root -i "$library" "$runtime" "$dev" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
[ -x "$root/usr/sbin/ZuVozAdavid" ] || fail "the daemon is not installed"
[ -d "$root/var/log/ZQS" ] || fail "postinst did not make /var/log/ZQS"
unit_link="$root/etc/systemd/system/multi-user.target.wants/zuvozadavid.service"
socket_link="$root/etc/systemd/system/sockets.target.wants/zuvozadavid.socket"
[ -L "$unit_link" ] || fail "postinst did not enable the systemd unit"
[ -L "$socket_link" ] || fail "postinst did not enable the socket unit"
ls "$root"/etc/rc2.d/S??zuvozadavid >/dev/null 2>&1 || fail "postinst did not register the init script"
ls "$root"/etc/rc0.d/K??zuvozadavid >/dev/null 2>&1 || fail "no stop link for runlevel 0"
status=$(dpkg_root -s zuvozadavid)
[ "$(readlink "$root/var/log/ZQS/ZqSdkLog/LogServer.ini")" = /etc/zqlog/LogServer.ini ] ||
  fail "postinst did not link LogServer.ini to /etc/zqlog"
for conffile in /etc/init.d/zuvozadavid /etc/zqlog/Path.ini /etc/zqlog/LogServer.ini; do
  grep -q "^ $conffile [0-9a-f]\{32\}$" <<<"$status" || fail "$conffile is no conffile"
done

echo /srv/edited >"$root/etc/zqlog/Path.ini"
dpkg_root -r zuvozadavid >"$work/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg.log")"
[ ! -e "$root/usr/sbin/ZuVozAdavid" ] || fail "the daemon stays after removal"
[ "$(cat "$root/etc/zqlog/Path.ini")" = /srv/edited ] || fail "removal lost the edited Path.ini"
[ -d "$root/var/log/ZQS" ] || fail "removal took the log files"
dpkg_root -P zuvozadavid >"$work/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg.log")"
[ ! -e "$root/etc/zqlog/Path.ini" ] || fail "Path.ini stays after purge"
[ ! -e "$root/etc/zqlog/LogServer.ini" ] || fail "LogServer.ini stays after purge"
[ ! -e "$root/etc/init.d/zuvozadavid" ] || fail "the init script stays after purge"
if ls "$root"/etc/rc?.d/*zuvozadavid >/dev/null 2>&1; then fail "rc links stay after purge"; fi
[ ! -L "$unit_link" ] || fail "the systemd enable link stays after purge"
[ ! -L "$socket_link" ] || fail "the socket's enable link stays after purge"
[ ! -e "$root/var/log/ZQS" ] || fail "the log files stay after purge"
dpkg_root -P libzqlog-dev libzqlog1 >"$work/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg.log")"
[ -z "$(find "$root/usr" -type f 2>/dev/null)" ] || fail "files stay after purging everything"
echo "PASS"

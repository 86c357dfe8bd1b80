#!/usr/bin/env bash
# Installs the build and test tools when they are missing (Debian packages).
set -euo pipefail

need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
# TLS to collectors: OpenSSL 3, and its command line tool that makes the
# tests' certificates.
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
command -v openssl >/dev/null 2>&1 || need+=(openssl)
# The package test: lintian, dpkg-architecture, and the helpers the
# maintainer scripts call (deb-systemd-helper, update-rc.d).
command -v lintian >/dev/null 2>&1 || need+=(lintian)
command -v dpkg-architecture >/dev/null 2>&1 || need+=(dpkg-dev)
command -v deb-systemd-helper >/dev/null 2>&1 || need+=(init-system-helpers)
# The install test: the init script under BusyBox sh, the unit checked by
# systemd-analyze, the daemon started under setpriv and prlimit (util-linux).
command -v busybox >/dev/null 2>&1 || need+=(busybox)
command -v systemd-analyze >/dev/null 2>&1 || need+=(systemd)
command -v setpriv >/dev/null 2>&1 || need+=(util-linux)
command -v prlimit >/dev/null 2>&1 || need+=(util-linux)
# Collectors the forwarding tests start on loopback: rsyslog with RELP, and
# syslog-ng (below). Installing rsyslog may not start its service here (the
# tests never use the system's instance).
command -v rsyslogd >/dev/null 2>&1 || [ -x /usr/sbin/rsyslogd ] || need+=(rsyslog)
[ -f /usr/lib/x86_64-linux-gnu/rsyslog/imrelp.so ] || [ -n "$(ls /usr/lib/*/rsyslog/imrelp.so 2>/dev/null)" ] ||
  need+=(rsyslog-relp)
# rsyslog's TLS stream drivers, for the TLS forwarding tests.
[ -n "$(ls /usr/lib/*/rsyslog/lmnsd_gtls.so 2>/dev/null)" ] || need+=(rsyslog-gnutls)
[ -n "$(ls /usr/lib/*/rsyslog/lmnsd_ossl.so 2>/dev/null)" ] || need+=(rsyslog-openssl)
want_armhf=0
for extra in "$@"; do
  case "$extra" in
    bench)
      [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
      # spdlog: the comparison logger of the latency benchmark only.
      [ -f /usr/include/spdlog/async.h ] || need+=(libspdlog-dev)
      command -v gnuplot >/dev/null 2>&1 || need+=(gnuplot-nox)
      command -v ss >/dev/null 2>&1 || need+=(iproute2)
      ;;
    fuzz|clang) command -v clang++ >/dev/null 2>&1 || need+=(clang) ;;
    format) command -v clang-format >/dev/null 2>&1 || need+=(clang-format) ;;
    armhf)
      want_armhf=1
      # Cross compiler and sysroot, and the emulator that runs the tests;
      # GoogleTest is built from /usr/src/googletest (libgtest-dev).
      command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1 || need+=(crossbuild-essential-armhf)
      command -v qemu-arm >/dev/null 2>&1 || need+=(qemu-user)
      [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
      ;;
  esac
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=0
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  $sudo apt-get update -qq
  updated=1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi

# syslog-ng: its Debian package conflicts with rsyslog's (both are "the system
# logger"), so unless it is installed it is unpacked from its package into
# ZQ_PEER_ROOT, with its libraries installed as usual; the tests run it from
# there with its own configuration.
peer_root="${ZQ_PEER_ROOT:-/var/cache/zq-peers}"
if ! [ -x /usr/sbin/syslog-ng ] && ! [ -x "$peer_root/syslog-ng/usr/sbin/syslog-ng" ]; then
  [ "$updated" = 1 ] || $sudo apt-get update -qq
  missing=()
  for lib in $(apt-cache depends syslog-ng-core | awk '/^  Depends: lib/ {print $2}' | tr -d '<>'); do
    dpkg -s "$lib" >/dev/null 2>&1 || missing+=("$lib")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
  tmp=$(mktemp -d)
  chmod 755 "$tmp"  # apt's download user writes there
  (cd "$tmp" && apt-get download syslog-ng-core >/dev/null 2>&1)
  $sudo mkdir -p "$peer_root/syslog-ng"
  $sudo dpkg -x "$tmp"/syslog-ng-core_*.deb "$peer_root/syslog-ng"
  rm -rf "$tmp"
  echo "syslog-ng unpacked into $peer_root/syslog-ng"
fi

# OpenSSL for the device: the cross compiler's sysroot has none, so the armhf
# packages of libssl-dev and libssl3 are unpacked into ZQ_PEER_ROOT/armhf-ssl,
# where the cross toolchain file finds them (and the emulator the library).
if [ "$want_armhf" = 1 ] && ! [ -f "$peer_root/armhf-ssl/usr/include/openssl/ssl.h" ]; then
  dpkg --print-foreign-architectures | grep -qx armhf || { $sudo dpkg --add-architecture armhf; updated=0; }
  # A mirror half-way through a sync fails some index; the ones needed here
  # are usually among those fetched, and apt-get download says if not.
  [ "$updated" = 1 ] || $sudo apt-get update -qq || true
  tmp=$(mktemp -d)
  chmod 755 "$tmp"  # apt's download user writes there
  (cd "$tmp" && apt-get download -qq libssl-dev:armhf libssl3:armhf)
  $sudo mkdir -p "$peer_root/armhf-ssl"
  for deb in "$tmp"/*.deb; do $sudo dpkg -x "$deb" "$peer_root/armhf-ssl"; done
  rm -rf "$tmp"
  echo "OpenSSL for armhf unpacked into $peer_root/armhf-ssl"
fi

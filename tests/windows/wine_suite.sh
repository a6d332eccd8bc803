#!/usr/bin/env bash
# Runs the Windows test programs under Wine, each against the test servers
# on loopback, with two things set up for the Wine processes alone:
#   - host names ending in ".localhost" resolve to 127.0.0.1
#     (localhost_resolver.c, preloaded), as libcurl resolves them on Linux;
#   - the test servers' CA is trusted: WinINet verifies certificates against
#     the system's trust store, which Wine reads from
#     /etc/ssl/certs/ca-certificates.crt, so each run sees, in a mount
#     namespace of its own, a bundle that adds the test CA to the system's.
# Certificate verification stays on; nothing outside these processes changes.
#
# Usage:
#   wine_suite.sh start STATE_DIR
#       a fresh Wine prefix in STATE_DIR and its server, kept running until stop
#   wine_suite.sh run STATE_DIR SERVERS_ENV [--expect REGEX]... PROGRAM [ARGS...]
#       runs PROGRAM (a Windows executable); with --expect the run passes only
#       when it exits with 0 and each extended REGEX matches a line of its
#       output
#   wine_suite.sh stop STATE_DIR
#       stops the prefix's server with everything it runs, removes the prefix
#
# WINEDEBUG is -all unless the caller sets it.  KELTOS3_WINE_ARCH chooses
# the Wine of the programs: win64 (default: the 64-bit loader of Debian's
# wine64) or win32 (a 32-bit prefix and loader, Debian's wine32:i386).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
case ${KELTOS3_WINE_ARCH:-win64} in
  win64) WINE=${KELTOS3_WINE:-/usr/lib/wine/wine64}; WINE_PACKAGE=wine64 ;;
  win32) WINE=${KELTOS3_WINE:-/usr/lib/wine/wine}; WINE_PACKAGE=wine32:i386
         export WINEARCH=win32 ;;
  *) echo "wine_suite.sh: KELTOS3_WINE_ARCH must be win64 or win32" >&2; exit 1 ;;
esac
WINESERVER=${KELTOS3_WINESERVER:-/usr/lib/wine/wineserver}
SYSTEM_BUNDLE=/etc/ssl/certs/ca-certificates.crt

die() { echo "wine_suite.sh: $*" >&2; exit 1; }

[ $# -ge 2 ] || die "usage: wine_suite.sh start|run|stop STATE_DIR ..."
COMMAND=$1
STATE=$2
shift 2

export WINEPREFIX=$STATE/prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installation, no menu entries.
export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"

start() {
  [ -x "$WINE" ] || die "$WINE is missing (Debian package $WINE_PACKAGE)"
  [ -f "$SYSTEM_BUNDLE" ] || die "$SYSTEM_BUNDLE is missing (Debian package ca-certificates)"
  stop
  mkdir -p "$STATE"
  # One resolver per word size: the dynamic loader expands $LIB to the
  # library folder of the process's own architecture (a 64-bit Wine starts
  # 32-bit processes too, and a 32-bit one only those).
  local lib
  for lib in x86_64-linux-gnu:-m64 i386-linux-gnu:-m32; do
    mkdir -p "$STATE/lib/${lib%%:*}"
    cc "${lib#*:}" -shared -fPIC -O2 -o "$STATE/lib/${lib%%:*}/localhost_resolver.so" \
      "$HERE/localhost_resolver.c" -ldl || die "cannot build the resolver (${lib#*:}; gcc-multilib)"
  done
  # A persistent server: each program then starts in a fraction of a second.
  # It outlives this script: it must not hold the caller's output open.
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p < /dev/null > /dev/null 2>&1
  "$WINE" wineboot -i < /dev/null > "$STATE/wineboot.log" 2>&1 || {
    tail -n 20 "$STATE/wineboot.log" >&2
    die "wineboot failed"
  }
}

run() {
  local servers_env=$1 expect=()
  shift
  while [ "${1:-}" = --expect ]; do expect+=("$2"); shift 2; done
  [ $# -ge 1 ] || die "run: no program given"
  [ -d "$WINEPREFIX" ] || die "no Wine prefix in $STATE (wine_suite.sh start first)"
  local ca bundle
  ca=$(sed -n 's/^KELTOS3_TEST_CA=//p' "$servers_env")
  [ -f "$ca" ] || die "no CA certificate named in $servers_env"
  bundle=$(mktemp "$STATE/ca-bundle-XXXXXX")
  cat "$SYSTEM_BUNDLE" "$ca" > "$bundle"
  local status=0 output
  output=$(mktemp "$STATE/output-XXXXXX")
  LD_PRELOAD="$STATE/\$LIB/localhost_resolver.so" \
    unshare --mount sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' \
    sh "$bundle" "$SYSTEM_BUNDLE" "$WINE" "$@" > "$output" 2>&1 || status=$?
  cat "$output"
  rm -f "$bundle"
  local regex
  for regex in "${expect[@]}"; do
    if [ $status = 0 ] && ! grep -Eq -- "$regex" "$output"; then
      echo "wine_suite.sh: the output does not show: $regex" >&2
      status=1
    fi
  done
  rm -f "$output"
  return $status
}

stop() {
  if [ -d "$WINEPREFIX" ]; then
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
  fi
  rm -rf "$WINEPREFIX"
}

case $COMMAND in
  start) start ;;
  run) [ $# -ge 2 ] || die "usage: wine_suite.sh run STATE_DIR SERVERS_ENV [--expect REGEX]... PROGRAM [ARGS...]"
       run "$@" ;;
  stop) stop ;;
  *) die "unknown command $COMMAND" ;;
esac

#!/usr/bin/env bash
# Stores a 64 MiB file through the library's exported surface (keltos3 put)
# and reads it back (keltos3 get) against the local S3-compatible test
# server, once with "RequestPause" 0 and once with the default pause, and
# compares with one plain signed curl upload of the same bytes to the same
# server.  Prints MiB/s, CPU seconds per MiB and peak resident memory.
#
# Usage: bench/bench.sh BUILD_DIR [SIZE_MIB]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: bench.sh BUILD_DIR [SIZE_MIB]}" && pwd)"
SIZE_MIB="${2:-64}"
KELTOS3="$BUILD/keltos3"
[[ -x "$KELTOS3" ]] || { echo "bench.sh: $KELTOS3 not built" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "bench.sh: needs /usr/bin/time" >&2; exit 1; }

WORK="$(mktemp -d)"
STATE="$WORK/servers"
cleanup() {
  "$ROOT/tests/fixtures/servers.sh" stop "$STATE" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

"$ROOT/tests/fixtures/servers.sh" start "$STATE" >/dev/null
# shellcheck disable=SC1091
source "$STATE/servers.env"

request() { python3 "$ROOT/tests/fixtures/s3_request.py" "$STATE/servers.env" "$@" >/dev/null; }
request PUT benchbackup ""
request PUT benchdata ""

# The credentials as the INI keeps them: scrambled with the library's key
# text, four hex digits per character, low byte first.
scrambled() {
  python3 - "$1" <<'PY'
import sys
key = "Ab4Moon2Is9Bright3"
out = ""
for j, c in enumerate(sys.argv[1]):
    v = ~(ord(c) ^ ord(key[j % len(key)])) & 0xFFFF
    out += "%02X%02X" % (v & 0xFF, v >> 8)
print(out)
PY
}

write_ini() {  # PAUSE_LINE
  cat >"$WORK/Kelto.ini" <<INI
[ONLINE]
ACCOUNT=$(scrambled "$KELTOS3_TEST_ACCESS_KEY")
PASSWORD=$(scrambled "$KELTOS3_TEST_SECRET_KEY")
S3Host=$KELTOS3_TEST_S3_HOST
S3Port=$KELTOS3_TEST_S3_PORT
CACertFile=$KELTOS3_TEST_CA
QuexBucket=benchbackup
QuexDataBucket=benchdata
$1
INI
}
export KELTOS3_INI="$WORK/Kelto.ini"

head -c "$((SIZE_MIB * 1048576))" /dev/urandom >"$WORK/sample.bin"

# measure LABEL COMMAND...: runs the command under /usr/bin/time and prints
# one result line.
measure() {
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.txt" "$@" >"$WORK/out.txt"
  read -r elapsed user sys rss <"$WORK/time.txt"
  awk -v l="$label" -v e="$elapsed" -v u="$user" -v s="$sys" -v r="$rss" -v m="$SIZE_MIB" \
    'BEGIN { printf "%-34s %8.2f s %8.2f MiB/s %8.4f CPU s/MiB %8.1f MiB peak RSS\n",
             l, e, (e > 0 ? m / e : 0), (u + s) / m, r / 1024 }'
}

echo "payload: $SIZE_MIB MiB of random bytes, chunk size 1 MiB (the default)"

# The physical reference: one signed PUT of the same bytes with curl.
date_text="$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')"
string_to_sign="$(printf 'PUT\n\napplication/octet-stream\n\nx-amz-date:%s\n/benchdata/curl-reference.bin' "$date_text")"
signature="$(printf '%s' "$string_to_sign" | openssl dgst -sha1 -binary -hmac "$KELTOS3_TEST_SECRET_KEY" | base64)"
measure "curl, one PUT" curl -sS --fail --cacert "$KELTOS3_TEST_CA" -X PUT \
  -H "Expect:" -H "Content-Type: application/octet-stream" -H "x-amz-date: $date_text" \
  -H "Authorization: AWS $KELTOS3_TEST_ACCESS_KEY:$signature" \
  --upload-file "$WORK/sample.bin" \
  "https://benchdata.$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT/curl-reference.bin"

run_library() {  # LABEL PAUSE_LINE
  write_ini "$2"
  measure "keltos3 put, $1" "$KELTOS3" put "$WORK/sample.bin" /bench/sample.bin
  local stored
  stored="$(cat "$WORK/out.txt")"
  measure "keltos3 get, $1" "$KELTOS3" get "$stored" "$WORK/back.bin"
  cmp -s "$WORK/sample.bin" "$WORK/back.bin" || { echo "bench.sh: read-back differs" >&2; exit 1; }
  "$KELTOS3" rm "$stored"
}

run_library "RequestPause 0" "RequestPause=0"
run_library "default pause (1000 ms)" ""

"$ROOT/bench/sync_bench.sh" "$BUILD"

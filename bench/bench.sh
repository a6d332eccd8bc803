#!/usr/bin/env bash
# Measures keltos3 beside the tools users know, in one run, against the same
# local S3-compatible test server (HTTPS on loopback) and the same bytes:
#
#   - a SIZE_MIB file of random bytes stored with keltos3 put and read back
#     with keltos3 get (1 MiB chunks), with "RequestPause" 0 and with the
#     default pause;
#   - one signed curl PUT and GET of the same bytes;
#   - rclone (Debian's package; version-2 signatures, path-style addressing,
#     s3.localhost resolved through a hosts file of its own) copying the same
#     bytes up and down;
#   - 95 files of 2000 bytes uploaded into an empty bucket with keltos3 sync
#     (repeated until a run finds nothing to do) and with rclone copy;
#   - keltos3 with "Transfers" 4 and 8 beside these;
#   - all of it again with the server answering every request LATENCY_MS
#     late (default 20; the test server's latency setting), the way a
#     distant S3 service does: rclone with its defaults beside keltos3 with
#     "Transfers" 1, 4 and 8.
#
# Each line gives the median of RUNS runs (default 5; the default-pause runs
# once) of wall time, CPU time (user + system) per MiB and peak resident
# memory, and the ratios to the peers.  Then bench/sync_bench.sh runs.
# KELTOS3_BENCH_LATENCY_MS=0 leaves the rows at a distance out.
#
# Usage: bench/bench.sh BUILD_DIR [SIZE_MIB] [RUNS]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: bench.sh BUILD_DIR [SIZE_MIB] [RUNS]}" && pwd)"
SIZE_MIB="${2:-64}"
RUNS="${3:-5}"
LATENCY_MS="${KELTOS3_BENCH_LATENCY_MS:-20}"
SMALL_MIB=4
KELTOS3="$BUILD/keltos3"
[[ -x "$KELTOS3" ]] || { echo "bench.sh: $KELTOS3 not built" >&2; exit 1; }
for tool in /usr/bin/time rclone curl openssl unshare; do
  command -v "$tool" >/dev/null || { echo "bench.sh: needs $tool" >&2; exit 1; }
done

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
# The test server waits this many milliseconds before it serves a request.
set_latency() {
  curl -sS --fail --cacert "$KELTOS3_TEST_CA" -X PUT -o /dev/null \
    "https://$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT/__fixture/latency?ms=$1"
}
request PUT benchbackup ""
request PUT benchdata ""
request PUT peers ""

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

write_ini() {  # SETTING_LINES [BUCKET DATA_BUCKET]
  cat >"$WORK/Kelto.ini" <<INI
[ONLINE]
ACCOUNT=$(scrambled "$KELTOS3_TEST_ACCESS_KEY")
PASSWORD=$(scrambled "$KELTOS3_TEST_SECRET_KEY")
S3Host=$KELTOS3_TEST_S3_HOST
S3Port=$KELTOS3_TEST_S3_PORT
CACertFile=$KELTOS3_TEST_CA
QuexBucket=${2:-benchbackup}
QuexDataBucket=${3:-benchdata}
$1
INI
}
export KELTOS3_INI="$WORK/Kelto.ini"

head -c "$((SIZE_MIB * 1048576))" /dev/urandom >"$WORK/sample.bin"
head -c "$((SMALL_MIB * 1048576))" "$WORK/sample.bin" >"$WORK/small.bin"
mkdir -p "$WORK/files"
for i in $(seq -w 1 95); do head -c 2000 /dev/urandom >"$WORK/files/f$i.txt"; done

# rclone resolves names with the system resolver: it gets a hosts file of
# its own in a private mount namespace.  It refuses --ca-cert while
# AWS_CA_BUNDLE is set.
echo "127.0.0.1 localhost $KELTOS3_TEST_S3_HOST" >"$WORK/hosts"
: >"$WORK/rclone.conf"
export RCLONE_CONFIG_PEER_TYPE=s3 RCLONE_CONFIG_PEER_PROVIDER=Other \
  RCLONE_CONFIG_PEER_ACCESS_KEY_ID="$KELTOS3_TEST_ACCESS_KEY" \
  RCLONE_CONFIG_PEER_SECRET_ACCESS_KEY="$KELTOS3_TEST_SECRET_KEY" \
  RCLONE_CONFIG_PEER_ENDPOINT="https://$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT" \
  RCLONE_CONFIG_PEER_V2_AUTH=true RCLONE_CONFIG_PEER_FORCE_PATH_STYLE=true
RCLONE=(unshare --mount sh -c 'mount --bind "$0" /etc/hosts && exec env -u AWS_CA_BUNDLE rclone "$@"'
  "$WORK/hosts" --config "$WORK/rclone.conf" --ca-cert "$KELTOS3_TEST_CA")

# curl_command VERB BUCKET KEY: sets CURL to one signed curl request
# (version-2 signature, virtual-hosted bucket), signed now.
curl_command() {
  local verb=$1 bucket=$2 key=$3 date_text signature type=""
  [[ "$verb" == PUT ]] && type=application/octet-stream
  date_text="$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')"
  signature="$(printf '%s\n\n%s\n\nx-amz-date:%s\n/%s/%s' "$verb" "$type" "$date_text" "$bucket" "$key" |
    openssl dgst -sha1 -binary -hmac "$KELTOS3_TEST_SECRET_KEY" | base64)"
  CURL=(curl -sS --fail --cacert "$KELTOS3_TEST_CA" -X "$verb" -H "Expect:" -H "Content-Type: $type"
    -H "x-amz-date: $date_text" -H "Authorization: AWS $KELTOS3_TEST_ACCESS_KEY:$signature"
    "https://$bucket.$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT/$key")
}

# ---- measuring ---------------------------------------------------------------

RESULTS="$WORK/results"
mkdir -p "$RESULTS"

# once NAME COMMAND...: runs the command under /usr/bin/time (its children
# included) and appends "wall cpu rss_kib" to the results of NAME.
once() {
  local name=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.txt" "$@" >"$WORK/out.txt"
  awk '{ printf "%s %.3f %s\n", $1, $2 + $3, $4 }' "$WORK/time.txt" >>"$RESULTS/$name"
}

# median NAME FIELD: the median of one field (1 wall, 2 cpu, 3 rss) of NAME.
median() {
  cut -d' ' -f"$2" "$RESULTS/$1" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print 0; exit }
    print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# report NAME LABEL MIB: one table line of medians.
report() {
  awk -v l="$2" -v n="$(wc -l <"$RESULTS/$1")" -v e="$(median "$1" 1)" -v c="$(median "$1" 2)" \
    -v r="$(median "$1" 3)" -v m="$3" 'BEGIN {
      printf "%-46s %8.2f s %8.1f MiB/s %8.4f CPU s/MiB %7.1f MiB peak RSS  (%d runs)\n",
             l, e, (e > 0 ? m / e : 0), c / m, r / 1024, n }'
}

# ratio LABEL NAME OTHER: how many times the wall time of OTHER NAME takes.
ratio() {
  awk -v l="$1" -v a="$(median "$2" 1)" -v b="$(median "$3" 1)" \
    'BEGIN { printf "  %-44s %6.2fx\n", l, (b > 0 ? a / b : 0) }'
}

library_store_read() {  # NAME_SUFFIX FILE
  once "put$1" "$KELTOS3" put "$2" "/bench/sample$1.bin"
  local stored
  stored="$(cat "$WORK/out.txt")"
  rm -f "$WORK/back.bin"  # keltos3 get does not replace a file
  once "get$1" "$KELTOS3" get "$stored" "$WORK/back.bin"
  cmp -s "$2" "$WORK/back.bin" || { echo "bench.sh: keltos3 read back other bytes" >&2; exit 1; }
  "$KELTOS3" rm "$stored" >/dev/null
}

# 95 files into an empty bucket with one keltos3 sync, which repeats runs
# until one has nothing left that did not fit.
sync_up() {  # NAME BUCKET
  local catalog="$WORK/catalog-$2"
  mkdir -p "$catalog"
  request PUT "$2" ""
  once "$1" "$KELTOS3" sync "$WORK/files" "$catalog" "$2"
}

# keltos3 with "Transfers" N: put and get of the payload and the 95-file
# upload, as rows NAME-tN (rows without a suffix for the default, 1).
library_rows() {  # SUFFIX TRANSFERS RUN
  write_ini "RequestPause=0
Transfers=$2"
  library_store_read "$1" "$WORK/sample.bin"
  sync_up "sync95$1" "sync95-keltos3$1-$3"
}

rclone_rows() {  # SUFFIX RUN
  once "rclone-put$1" "${RCLONE[@]}" copyto -I "$WORK/sample.bin" peer:peers/rclone.bin
  once "rclone-get$1" "${RCLONE[@]}" copyto -I peer:peers/rclone.bin "$WORK/back.bin"
  cmp -s "$WORK/sample.bin" "$WORK/back.bin" || { echo "bench.sh: rclone read back other bytes" >&2; exit 1; }
  request PUT "sync95-rclone$1-$2" ""
  once "rclone-copy95$1" "${RCLONE[@]}" copy "$WORK/files" "peer:sync95-rclone$1-$2"
}

echo "payload: $SIZE_MIB MiB of random bytes, chunk size 1 MiB (the default); medians of $RUNS runs"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

write_ini "RequestPause=0"
for run in $(seq "$RUNS"); do
  curl_command PUT peers sample.bin
  once curl-put "${CURL[@]}" --upload-file "$WORK/sample.bin" -o /dev/null
  curl_command GET peers sample.bin
  once curl-get "${CURL[@]}" -o "$WORK/back.bin"
  cmp -s "$WORK/sample.bin" "$WORK/back.bin" || { echo "bench.sh: curl read back other bytes" >&2; exit 1; }
  rclone_rows "" "$run"
  write_ini "RequestPause=0"
  library_store_read "" "$WORK/sample.bin"
  library_store_read "-small" "$WORK/small.bin"
  sync_up sync95 "sync95-keltos3-$run"
  library_rows -t4 4 "$run"
  library_rows -t8 8 "$run"
done

echo "RequestPause 0:"
report curl-put "curl, one PUT" "$SIZE_MIB"
report rclone-put "rclone copyto (v2 auth)" "$SIZE_MIB"
report put "keltos3 put" "$SIZE_MIB"
report put-t4 "keltos3 put, Transfers 4" "$SIZE_MIB"
report put-t8 "keltos3 put, Transfers 8" "$SIZE_MIB"
report curl-get "curl, one GET" "$SIZE_MIB"
report rclone-get "rclone copyto, back" "$SIZE_MIB"
report get "keltos3 get" "$SIZE_MIB"
report get-t4 "keltos3 get, Transfers 4" "$SIZE_MIB"
report get-t8 "keltos3 get, Transfers 8" "$SIZE_MIB"
report put-small "keltos3 put, $SMALL_MIB MiB" "$SMALL_MIB"
report get-small "keltos3 get, $SMALL_MIB MiB" "$SMALL_MIB"
files_mib=$(awk 'BEGIN { print 95 * 2000 / 1048576 }')
report rclone-copy95 "rclone copy, 95 files of 2000 bytes" "$files_mib"
report sync95 "keltos3 sync until idle, 95 files" "$files_mib"
report sync95-t4 "keltos3 sync until idle, Transfers 4" "$files_mib"
report sync95-t8 "keltos3 sync until idle, Transfers 8" "$files_mib"
echo "ratios (wall time):"
ratio "keltos3 put / curl PUT" put curl-put
ratio "keltos3 put / rclone" put rclone-put
ratio "keltos3 put, Transfers 8 / rclone" put-t8 rclone-put
ratio "keltos3 get / curl GET" get curl-get
ratio "keltos3 get / rclone" get rclone-get
ratio "keltos3 get, Transfers 8 / rclone" get-t8 rclone-get
ratio "keltos3 sync 95 files / rclone copy" sync95 rclone-copy95
ratio "keltos3 sync 95 files, Transfers 8 / rclone" sync95-t8 rclone-copy95
awk -v big="$(median put 3)" -v small="$(median put-small 3)" -v gbig="$(median get 3)" \
  -v gsmall="$(median get-small 3)" -v d="$((SIZE_MIB - SMALL_MIB))" 'BEGIN {
    printf "peak RSS growth from %d MiB more: put %.1f MiB, get %.1f MiB\n",
           d, (big - small) / 1024, (gbig - gsmall) / 1024 }'

if ((LATENCY_MS > 0)); then
  echo "every answer ${LATENCY_MS} ms late (the test server's latency), RequestPause 0:"
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  set_latency "$LATENCY_MS"
  L="-l$LATENCY_MS"
  for run in $(seq "$RUNS"); do
    rclone_rows "$L" "$run"
    library_rows "$L-t1" 1 "$run"
    library_rows "$L-t4" 4 "$run"
    library_rows "$L-t8" 8 "$run"
  done
  set_latency 0
  report "rclone-put$L" "rclone copyto (v2 auth)" "$SIZE_MIB"
  for t in 1 4 8; do report "put$L-t$t" "keltos3 put, Transfers $t" "$SIZE_MIB"; done
  report "rclone-get$L" "rclone copyto, back" "$SIZE_MIB"
  for t in 1 4 8; do report "get$L-t$t" "keltos3 get, Transfers $t" "$SIZE_MIB"; done
  report "rclone-copy95$L" "rclone copy, 95 files of 2000 bytes" "$files_mib"
  for t in 1 4 8; do report "sync95$L-t$t" "keltos3 sync until idle, Transfers $t" "$files_mib"; done
  echo "ratios (wall time), ${LATENCY_MS} ms:"
  for t in 1 4 8; do
    ratio "keltos3 put, Transfers $t / rclone" "put$L-t$t" "rclone-put$L"
    ratio "keltos3 get, Transfers $t / rclone" "get$L-t$t" "rclone-get$L"
    ratio "keltos3 sync 95 files, Transfers $t / rclone" "sync95$L-t$t" "rclone-copy95$L"
  done
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
fi

echo "default pause (1000 ms), one run each:"
write_ini ""
library_store_read "-paused" "$WORK/sample.bin"
library_store_read "-paused-small" "$WORK/small.bin"
report put-paused "keltos3 put" "$SIZE_MIB"
report get-paused "keltos3 get" "$SIZE_MIB"
report put-paused-small "keltos3 put, $SMALL_MIB MiB" "$SMALL_MIB"
report get-paused-small "keltos3 get, $SMALL_MIB MiB" "$SMALL_MIB"
awk -v p="$(median put-paused 1)" -v ps="$(median put-paused-small 1)" \
  -v g="$(median get-paused 1)" -v gs="$(median get-paused-small 1)" \
  -v n="$SIZE_MIB" -v d="$((SIZE_MIB - SMALL_MIB))" 'BEGIN {
    printf "per chunk: put %.3f s (%.3f s with the fixed cost), get %.3f s (%.3f s with the fixed cost)\n",
           (p - ps) / d, p / n, (g - gs) / d, g / n }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

"$ROOT/bench/sync_bench.sh" "$BUILD"

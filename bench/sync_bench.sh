#!/usr/bin/env bash
# Synchronisation benchmark: 95 small files and one 32 MiB file carried up
# by one machine (keltos3 sync) and down by a second one, against the local
# S3-compatible test server with its request log on.  Reports wall time,
# requests the server received and payload bytes moved, beside the same
# uploads as plain signed curl PUTs.  With the default pause (1000 ms after
# every request) only a bounded small case of 10 files is run.
#
# Usage: bench/sync_bench.sh BUILD_DIR
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: sync_bench.sh BUILD_DIR}" && pwd)"
KELTOS3="$BUILD/keltos3"
# shellcheck disable=SC1091
source "$ROOT/bench/bench_servers.sh"
start_bench_servers --log-requests syncbench syncset syncsetdata curlref
export KELTOS3_INI="$WORK/Kelto.ini"
"$KELTOS3" init --account "$KELTOS3_TEST_ACCESS_KEY" --secret "$KELTOS3_TEST_SECRET_KEY" \
  --host "$KELTOS3_TEST_S3_HOST" --port "$KELTOS3_TEST_S3_PORT" --ca "$KELTOS3_TEST_CA" \
  --bucket syncset --data-bucket syncsetdata >/dev/null
# These rows measure one transfer at a time: the "Transfers" init may have
# written goes, and so does its "RequestPause=0", so that the default-pause
# rows run with the library's own default.
sed -i '/^Transfers=/d; /^RequestPause=/d' "$KELTOS3_INI"
cp "$KELTOS3_INI" "$WORK/default.ini"
echo "RequestPause=0" >>"$KELTOS3_INI"

requests() { wc -l <"$LOG" 2>/dev/null || echo 0; }
now() { date +%s.%N; }

# run LABEL DIR: keltos3 sync of a fresh machine's tree DIR (which repeats
# library runs until one has nothing left; one run carries at most 95
# actions); prints one line.  The bytes are the tree's payload, carried once.
run() {
  local label=$1 dir=$2 catalog="$WORK/catalog-$RANDOM$RANDOM" before start end bytes runs=0
  mkdir -p "$catalog"
  before=$(requests); start=$(now)
  # keltos3 sync repeats runs until one has nothing left; its summary ends
  # with "N runs in T s".
  runs=$("$KELTOS3" sync "$dir" "$catalog" "$BUCKET" | grep '^summary:' |
    sed -n 's/.*; \([0-9]*\) runs\{0,1\} in .*/\1/p')
  end=$(now)
  bytes=$(find "$dir" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  awk -v l="$label" -v s="$start" -v e="$end" -v r="$(( $(requests) - before ))" -v b="$bytes" -v n="$runs" \
    'BEGIN { printf "%-44s %8.2f s %7d requests %10d bytes %2d runs\n", l, e - s, r, b, n }'
}

curl_put() {  # FILE KEY
  local date_text string_to_sign signature
  date_text="$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')"
  string_to_sign="$(printf 'PUT\n\napplication/octet-stream\n\nx-amz-date:%s\n/curlref/%s' "$date_text" "$2")"
  signature="$(printf '%s' "$string_to_sign" | openssl dgst -sha1 -binary -hmac "$KELTOS3_TEST_SECRET_KEY" | base64)"
  curl -sS --fail --cacert "$KELTOS3_TEST_CA" -X PUT -o /dev/null \
    -H "Expect:" -H "Content-Type: application/octet-stream" -H "x-amz-date: $date_text" \
    -H "Authorization: AWS $KELTOS3_TEST_ACCESS_KEY:$signature" \
    --upload-file "$1" "https://curlref.$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT/$2"
}
curl_all() {  # LABEL DIR
  local label=$1 dir=$2 start end f n=0
  start=$(now)
  for f in "$dir"/*; do curl_put "$f" "$(basename "$f")"; n=$((n + 1)); done
  end=$(now)
  awk -v l="$label" -v s="$start" -v e="$end" -v r="$n" \
    'BEGIN { printf "%-44s %8.2f s %7d requests\n", l, e - s, r }'
}

mkdir -p "$WORK/small" "$WORK/big" "$WORK/few"
for i in $(seq -w 1 95); do head -c 2000 /dev/urandom >"$WORK/small/f$i.txt"; done
for i in $(seq -w 1 10); do head -c 2000 /dev/urandom >"$WORK/few/f$i.txt"; done
head -c $((32 * 1048576)) /dev/urandom >"$WORK/big/big.bin"

echo "synchronisation, RequestPause 0:"
BUCKET=syncbench-small; python3 "$ROOT/tests/fixtures/s3_request.py" "$STATE/servers.env" PUT "$BUCKET" "" >/dev/null
run "  95 files of 2000 bytes, up" "$WORK/small"
mkdir -p "$WORK/small-back"; run "  95 files of 2000 bytes, down (new machine)" "$WORK/small-back"
diff -r "$WORK/small" "$WORK/small-back" >/dev/null || { echo "sync_bench.sh: small trees differ" >&2; exit 1; }
curl_all "  the same 95 uploads as curl PUTs" "$WORK/small"
BUCKET=syncbench-big; python3 "$ROOT/tests/fixtures/s3_request.py" "$STATE/servers.env" PUT "$BUCKET" "" >/dev/null
run "  one 32 MiB file, up" "$WORK/big"
mkdir -p "$WORK/big-back"; run "  one 32 MiB file, down (new machine)" "$WORK/big-back"
cmp -s "$WORK/big/big.bin" "$WORK/big-back/big.bin" || { echo "sync_bench.sh: big file differs" >&2; exit 1; }
curl_all "  the same upload as one curl PUT" "$WORK/big"

echo "synchronisation, default pause (bounded: 10 small files):"
cp "$WORK/default.ini" "$KELTOS3_INI"
BUCKET=syncbench-few; python3 "$ROOT/tests/fixtures/s3_request.py" "$STATE/servers.env" PUT "$BUCKET" "" >/dev/null
run "  10 files of 2000 bytes, up" "$WORK/few"
mkdir -p "$WORK/few-back"; run "  10 files of 2000 bytes, down (new machine)" "$WORK/few-back"
diff -r "$WORK/few" "$WORK/few-back" >/dev/null || { echo "sync_bench.sh: trees differ" >&2; exit 1; }

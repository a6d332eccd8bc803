#!/usr/bin/env bash
# Bandwidth-limit benchmark: with "BandWidthLim" 1 and both widths set to W
# (units of 1000 bytes a second), keltos3 put and keltos3 get of a file
# worth SECONDS at that rate, for W = 100, 1000, 10000 and 50000 (100 kB/s
# to 50 MB/s), against the local S3-compatible test server over HTTPS.
# The chunk size is 16 MiB (a single chunk below that), so that the few
# requests around a chunk weigh little beside its transfer.  Each line gives
# the rate reached (bytes over wall time of the whole command) and how far
# it lies from W; the limit holds when it stays within 10 %.
#
# Usage: bench/bandwidth_bench.sh BUILD_DIR [SECONDS]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: bandwidth_bench.sh BUILD_DIR [SECONDS]}" && pwd)"
SECONDS_WORTH="${2:-3}"
KELTOS3="$BUILD/keltos3"
[[ -x "$KELTOS3" ]] || { echo "bandwidth_bench.sh: $KELTOS3 not built" >&2; exit 1; }

# shellcheck disable=SC1091
source "$ROOT/bench/bench_servers.sh"
start_bench_servers bwbench bwbenchdata
export KELTOS3_INI="$WORK/Kelto.ini"
"$KELTOS3" init --account "$KELTOS3_TEST_ACCESS_KEY" --secret "$KELTOS3_TEST_SECRET_KEY" \
  --host "$KELTOS3_TEST_S3_HOST" --port "$KELTOS3_TEST_S3_PORT" --ca "$KELTOS3_TEST_CA" \
  --bucket bwbench --data-bucket bwbenchdata >/dev/null
base_ini="$(cat "$KELTOS3_INI")"

now() { date +%s.%N; }

echo "bandwidth limit: put and get of ${SECONDS_WORTH} s worth at each width, 16 MiB chunks"
printf '%-10s %12s %14s %8s %14s %8s\n' width bytes put "off" get "off"
for width in 100 1000 10000 50000; do
  bytes=$((width * 1000 * SECONDS_WORTH))
  head -c "$bytes" /dev/urandom >"$WORK/sample.bin"
  printf '%s\nRequestPause=0\nQuexS3BufferSize=16777216\nBandWidthLim=1\nUploadWidth=%s\nDownloadWidth=%s\n' \
    "$base_ini" "$width" "$width" >"$KELTOS3_INI"
  start=$(now)
  stored="$("$KELTOS3" put "$WORK/sample.bin" "/bw/sample-$width.bin")"
  put_s=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  start=$(now)
  "$KELTOS3" get "$stored" "$WORK/back.bin" >/dev/null
  get_s=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  cmp -s "$WORK/sample.bin" "$WORK/back.bin" || { echo "bandwidth_bench.sh: read back other bytes" >&2; exit 1; }
  "$KELTOS3" rm "$stored" >/dev/null
  awk -v w="$width" -v n="$bytes" -v p="$put_s" -v g="$get_s" 'BEGIN {
    target = w * 1000; up = n / p; down = n / g
    printf "%-10s %12d %9.0f B/s %+7.1f%% %9.0f B/s %+7.1f%%\n", w, n, up,
           (up / target - 1) * 100, down, (down / target - 1) * 100 }'
done

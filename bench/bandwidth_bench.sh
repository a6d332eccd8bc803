#!/usr/bin/env bash
# Bandwidth-limit benchmark: with "BandWidthLim" 1 and both widths set to W
# (units of 1000 bytes a second), keltos3 put and keltos3 get of files worth
# 1 and SECONDS seconds at that rate, for W = 100, 1000, 10000 and 50000
# (100 kB/s to 50 MB/s), against the local S3-compatible test server over
# HTTPS.  The chunk size is 64 MiB (a single chunk below that), so that the
# few requests around a chunk weigh little beside its transfer.  Each line
# gives, per direction, the rate of the whole command for the larger file
# (bytes over wall time, start-up and the requests around the transfer
# included) and the rate the limit held (the bytes the larger file adds over
# the time it adds), each with how far it lies from W.
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

# transfer BYTES: stores and reads back BYTES random bytes; sets PUT_S and
# GET_S to the wall times of keltos3 put and keltos3 get.
transfer() {
  head -c "$1" /dev/urandom >"$WORK/sample.bin"
  local start stored
  start=$(now)
  stored="$("$KELTOS3" put "$WORK/sample.bin" "/bw/sample-$1.bin")"
  PUT_S=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  start=$(now)
  rm -f "$WORK/back.bin"  # keltos3 get does not replace a file
  "$KELTOS3" get "$stored" "$WORK/back.bin" >/dev/null
  GET_S=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  cmp -s "$WORK/sample.bin" "$WORK/back.bin" || { echo "bandwidth_bench.sh: read back other bytes" >&2; exit 1; }
  "$KELTOS3" rm "$stored" >/dev/null
}

echo "bandwidth limit: put and get of 1 s and ${SECONDS_WORTH} s worth at each width, 64 MiB chunks"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-7s %-34s %-34s\n' width "put: whole command / limit held" "get: whole command / limit held"
for width in 100 1000 10000 50000; do
  printf '%s\nRequestPause=0\nQuexS3BufferSize=67108864\nBandWidthLim=1\nUploadWidth=%s\nDownloadWidth=%s\n' \
    "$base_ini" "$width" "$width" >"$KELTOS3_INI"
  small=$((width * 1000))
  large=$((width * 1000 * SECONDS_WORTH))
  transfer "$small"
  put_small=$PUT_S get_small=$GET_S
  transfer "$large"
  awk -v w="$width" -v n="$large" -v m="$small" -v p="$PUT_S" -v g="$GET_S" \
    -v ps="$put_small" -v gs="$get_small" 'BEGIN {
    t = w * 1000
    pw = n / p; ph = (n - m) / (p - ps); gw = n / g; gh = (n - m) / (g - gs)
    printf "%-7s %8.2f MB/s %+6.1f%% %8.2f MB/s %+6.1f%%  %8.2f MB/s %+6.1f%% %8.2f MB/s %+6.1f%%\n",
           w, pw / 1e6, (pw / t - 1) * 100, ph / 1e6, (ph / t - 1) * 100,
           gw / 1e6, (gw / t - 1) * 100, gh / 1e6, (gh / t - 1) * 100 }'
done

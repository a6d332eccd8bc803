#!/usr/bin/env bash
# What `./run interop` runs: a single-node Ceph cluster with its RADOS Gateway
# (ceph.sh) in a temporary directory, and against it, under each signature
# version and addressing style,
#   - the host program: check, put, ls, get (whole and from an offset), rm, and
#     a synchronisation of two machines through one bucket;
#   - the server-backed test suites of stored files, the S3 file system and
#     synchronisation scenarios (those that need the scripted stub, the proxy
#     or a server they can stop are left out).
# Usage: interop.sh TEST_BUILD_DIR [COMBINATION...]
#   TEST_BUILD_DIR holds keltos3, libKeltoS3.so and tests/keltos3_tests;
#   a COMBINATION is "SIGNATUREVERSION PATHSTYLE" ("4 1": version 4,
#   path-style); without any, all four run.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$(cd "${1:?usage: interop.sh TEST_BUILD_DIR}" && pwd)
KELTOS3=$BUILD/keltos3
TESTS=$BUILD/tests/keltos3_tests
FILTER='S3FileTest.*:RemoteStoreTest.*:S3ServerTest.*:S3FileSystemTest.*'
FILTER+=':Remote/FileSystemContractTest.*:SyncScenarioTest.*:SyncFaultTest.*'
FILTER+=':StoredVersionsTest.*:StoreCheckTest.*:SyncOverlapTest.*'
# Cases instantiated per protocol run once, in the instance that leaves the
# protocol to the INI lines of this script.
FILTER+=':Protocols/*/Defaults'
FILTER+='-S3ServerTest.StubbedListingAnswers'
# Signature version and PathStyle of each run.
COMBINATIONS=("2 0" "2 1" "4 0" "4 1")
if [ $# -gt 1 ]; then COMBINATIONS=("${@:2}"); fi

STATE=$(mktemp -d "${TMPDIR:-/tmp}/keltos3-ceph.XXXXXX")
cleanup() {
  "$HERE/ceph.sh" stop "$STATE" || true
  rm -rf "$STATE"
}
trap cleanup EXIT

seconds_since() { awk -v a="$1" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", (b - a) / 1e9 }'; }

started=$(date +%s%N)
"$HERE/ceph.sh" start "$STATE" || exit 1
echo "cluster and gateway up in $(seconds_since "$started") s"
# shellcheck disable=SC1091
. "$STATE/servers.env"
export KELTOS3_TEST_SERVERS_FILE=$STATE/servers.env

make_bucket() { # NAME, through curl's own signature version 4
  curl -fsS -o /dev/null -X PUT --cacert "$KELTOS3_TEST_CA" \
    --user "$KELTOS3_TEST_ACCESS_KEY:$KELTOS3_TEST_SECRET_KEY" \
    --aws-sigv4 aws:amz:us-east-1:s3 -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' \
    "https://$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT/$1"
}

fail() { echo "host program: $* failed" >&2; return 1; }

cli_round() { # SIGNATURE PATHSTYLE: the host program's own round trip
  local dir=$STATE/cli-$1-$2 b=cli-$1-$2 name
  mkdir -p "$dir"/{a,b,cat-a,cat-b}
  export KELTOS3_INI=$dir/Kelto.ini
  "$KELTOS3" init --account "$KELTOS3_TEST_ACCESS_KEY" --secret "$KELTOS3_TEST_SECRET_KEY" \
    --host "$KELTOS3_TEST_S3_HOST" --port "$KELTOS3_TEST_S3_PORT" --ca "$KELTOS3_TEST_CA" \
    --bucket "$b-backup" --data-bucket "$b-data" > /dev/null || fail init || return
  printf 'RequestPause=0\nSignatureVersion=%s\nPathStyle=%s\n' "$1" "$2" >> "$KELTOS3_INI"
  # A library that does not know the keys would silently run the defaults.
  [ "$1 $2" = "2 0" ] || { "$KELTOS3" config | grep -Eq "^ *SignatureVersion +$1 " \
    && "$KELTOS3" config | grep -Eq "^ *PathStyle +$2 "; } \
    || fail "config showing SignatureVersion $1 and PathStyle $2" || return
  "$KELTOS3" check > /dev/null || fail check || return
  "$KELTOS3" ls > /dev/null || fail "ls (which makes the backup bucket)" || return
  "$KELTOS3" sync "$dir/a" "$dir/cat-a" "$b-sync" > /dev/null 2>&1
  [ $? = 1 ] || fail "sync with a missing bucket (exit 1)" || return
  # The other buckets are made by hand, as a host would.
  make_bucket "$b-data" && make_bucket "$b-sync" || fail "curl PUT bucket" || return
  head -c 2500000 /dev/urandom > "$dir/a/big.bin"
  printf 'alpha\n' > "$dir/a/a.txt"
  name=$("$KELTOS3" put "$dir/a/big.bin" '\docs\big.bin') || fail put || return
  "$KELTOS3" ls | grep -qF "$name" || fail "ls after put" || return
  # The gateway's access log shows the bucket in the path only for path-style.
  local in_path
  in_path=$(grep -c "\"PUT /$b-data/" "$STATE/log/client.rgw.keltos3.log")
  if [ "$2" = 1 ]; then [ "$in_path" -gt 0 ]; else [ "$in_path" = 0 ]; fi \
    || fail "addressing as PathStyle=$2 asks" || return
  "$KELTOS3" get "$name" "$dir/back.bin" > /dev/null && cmp -s "$dir/a/big.bin" "$dir/back.bin" \
    || fail get || return
  "$KELTOS3" get "$name" "$dir/tail.bin" --offset 2499000 > /dev/null \
    && cmp -s <(tail -c 1000 "$dir/a/big.bin") "$dir/tail.bin" || fail "get --offset" || return
  "$KELTOS3" rm "$name" > /dev/null && [ "$("$KELTOS3" du | cut -d' ' -f1)" = 0 ] \
    || fail "rm, then du" || return
  "$KELTOS3" sync "$dir/a" "$dir/cat-a" "$b-sync" > /dev/null || fail "sync up" || return
  "$KELTOS3" sync "$dir/b" "$dir/cat-b" "$b-sync" > /dev/null || fail "sync down" || return
  diff -r "$dir/a" "$dir/b" > /dev/null || fail "comparing the synchronised trees"
}

summary=()
status=0
for combination in "${COMBINATIONS[@]}"; do
  read -r signature path_style <<< "$combination"
  label="signature $signature, $([ "$path_style" = 1 ] && echo path-style || echo virtual-hosted)"
  echo "==> $label"
  begun=$(date +%s%N)
  if cli_round "$signature" "$path_style"; then cli=passed; else cli=FAILED; status=1; fi
  echo "host program: $cli ($(seconds_since "$begun") s)"

  begun=$(date +%s%N)
  log=$STATE/tests-$signature-$path_style.log
  KELTOS3_TEST_INI_EXTRA=$(printf 'SignatureVersion=%s\nPathStyle=%s' "$signature" "$path_style") \
    "$TESTS" --gtest_filter="$FILTER" --gtest_brief=1 > "$log" 2>&1
  rc=$?
  grep -E '^\[  (FAILED|PASSED)|^\[==========\]|Failure|error' "$log" | head -n 40
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log")
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log")
  failed=$(( ${ran:-0} - ${passed:-0} ))
  if [ "$rc" != 0 ]; then
    status=1
    [ -n "$ran" ] || { failed="did not run"; tail -n 5 "$log"; }
  fi
  summary+=("| $label | $cli | ${passed:-0} | $failed | $(seconds_since "$begun") s |")
done

echo
echo "| Run | host program | tests passed | tests failed | suite time |"
echo "|---|---|---|---|---|"
printf '%s\n' "${summary[@]}"
echo "whole run: $(seconds_since "$started") s"
exit $status

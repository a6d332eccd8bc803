#!/usr/bin/env bash
# The stored-files part of `./run demo`: a sample file of a few MiB is
# stored in the local S3-compatible test server through the host program,
# listed, read back and compared byte for byte, measured with du, and
# removed.  $1 is the build directory.  The test servers are started for
# the occasion and stopped at the end; their state lives in a temporary
# folder.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: stored_files.sh BUILD_DIR}" && pwd)"
KELTOS3="$BUILD/keltos3"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/keltos3-store-demo-XXXXXX")"
STATE="$WORK/servers"
cleanup() {
  "$ROOT/tests/fixtures/servers.sh" stop "$STATE" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

if [[ -t 1 ]]; then BOLD=$'\033[1m' PLAIN=$'\033[0m'; else BOLD='' PLAIN=''; fi
step() { printf '\n%s== %s%s\n' "$BOLD" "$*" "$PLAIN"; }
quoted() {  # the arguments as a shell would need them typed
  local arg out=()
  for arg in "$@"; do
    if [[ "$arg" =~ [^A-Za-z0-9_./=:-] ]]; then out+=("'$arg'"); else out+=("$arg"); fi
  done
  printf '%s' "${out[*]}"
}
show() { printf '$ %s\n' "$(quoted "$@")"; "$@"; }

step "Start the local S3-compatible server (s3rver behind a strict signature check)"
"$ROOT/tests/fixtures/servers.sh" start "$STATE" >/dev/null
# shellcheck disable=SC1091
source "$STATE/servers.env"
printf 'listening on https://s3.localhost:%s\n' "$KELTOS3_TEST_S3_PORT"
for bucket in demo-backup demo-data; do
  python3 "$ROOT/tests/fixtures/s3_request.py" "$STATE/servers.env" PUT "$bucket" "" >/dev/null
done

export KELTOS3_INI="$WORK/Kelto.ini"
step "Point the library at it"
show "$KELTOS3" init --account "$KELTOS3_TEST_ACCESS_KEY" --secret "$KELTOS3_TEST_SECRET_KEY" \
  --host "$KELTOS3_TEST_S3_HOST" --port "$KELTOS3_TEST_S3_PORT" --ca "$KELTOS3_TEST_CA" \
  --bucket demo-backup --data-bucket demo-data
# The pause after every request only spares a real service; not needed here.
echo "RequestPause=0" >>"$KELTOS3_INI"

step "Does the endpoint answer?"
show "$KELTOS3" check

step "With a wrong secret the same check fails, and says why"
KELTOS3_INI="$WORK/wrong.ini" "$KELTOS3" init --account "$KELTOS3_TEST_ACCESS_KEY" \
  --secret not-the-secret --host "$KELTOS3_TEST_S3_HOST" --port "$KELTOS3_TEST_S3_PORT" \
  --ca "$KELTOS3_TEST_CA" >/dev/null
echo "RequestPause=0" >>"$WORK/wrong.ini"
printf '$ KELTOS3_INI=wrong.ini %s check\n' "$KELTOS3"
KELTOS3_INI="$WORK/wrong.ini" "$KELTOS3" check 2>&1 || printf '(exit status %d, as intended)\n' $?

step "Store a sample file of 5 MiB (1 MiB chunks, each verified by a listing)"
head -c $((5 * 1048576 + 12345)) /dev/urandom >"$WORK/sample.bin"
printf '$ %s\n' "$(quoted "$KELTOS3" put "$WORK/sample.bin" /docs/sample.bin)"
STORED="$("$KELTOS3" put "$WORK/sample.bin" /docs/sample.bin)"
printf '%s\n' "$STORED"

step "List what is stored: the folder marker and the index object of the version"
show "$KELTOS3" ls

step "Read it back and compare byte for byte"
show "$KELTOS3" get "$STORED" "$WORK/back.bin"
show cmp "$WORK/sample.bin" "$WORK/back.bin" && echo "identical"

step "Read from an offset: the last 45 bytes"
show "$KELTOS3" get "$STORED" "$WORK/tail.bin" --offset $((5 * 1048576 + 12300))
cmp <(tail -c 45 "$WORK/sample.bin") "$WORK/tail.bin" && echo "identical to the file's last 45 bytes"

step "The space the data takes"
show "$KELTOS3" du

step "Remove the version: its chunks, then its index object"
show "$KELTOS3" rm "$STORED"
show "$KELTOS3" ls
show "$KELTOS3" du

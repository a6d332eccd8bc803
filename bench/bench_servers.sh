# Sourced by the benchmark scripts: a working directory that goes away at
# exit, the test servers started in it (stopped at exit), and empty buckets.
# Sets WORK, STATE and LOG (the S3 server's request log, when asked for) and
# the KELTOS3_TEST_* variables of servers.env.
#
# With KELTOS3_BENCH_SERVER=ceph the S3 server is a single-node Ceph RADOS
# Gateway (tests/interop/ceph.sh; Debian's ceph-mon, ceph-osd and radosgw)
# instead of the test server; it keeps no request log, so LOG stays empty.
# Usage: start_bench_servers [--log-requests] BUCKET...
start_bench_servers() {
  local log_requests=0
  if [[ "${1:-}" == --log-requests ]]; then log_requests=1; shift; fi
  WORK="$(mktemp -d)"
  STATE="$WORK/servers"
  LOG=""
  trap 'stop_bench_servers' EXIT
  if [[ "${KELTOS3_BENCH_SERVER:-}" == ceph ]]; then
    "$ROOT/tests/interop/ceph.sh" start "$STATE" >/dev/null
  elif ((log_requests)); then
    KELTOS3_TEST_LOG_REQUESTS=1 "$ROOT/tests/fixtures/servers.sh" start "$STATE" >/dev/null
    LOG="$STATE/s3_requests.log"
  else
    "$ROOT/tests/fixtures/servers.sh" start "$STATE" >/dev/null
  fi
  # shellcheck disable=SC1091
  source "$STATE/servers.env"
  local bucket
  for bucket in "$@"; do
    python3 "$ROOT/tests/fixtures/s3_request.py" "$STATE/servers.env" PUT "$bucket" "" >/dev/null
  done
}

stop_bench_servers() {
  if [[ "${KELTOS3_BENCH_SERVER:-}" == ceph ]]; then
    "$ROOT/tests/interop/ceph.sh" stop "$STATE" >/dev/null 2>&1 || true
  else
    "$ROOT/tests/fixtures/servers.sh" stop "$STATE" >/dev/null 2>&1 || true
  fi
  rm -rf "$WORK"
}

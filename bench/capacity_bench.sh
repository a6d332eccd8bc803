#!/usr/bin/env bash
# Large-tree synchronisation benchmark: a tree of FILES files of 1 KiB in
# DIRS directories (default 10,000 in 200) with "SyncCapacity" 100000 and
# "RequestPause" 0, against the local S3-compatible test server with its
# request log on:
#   - the first upload from machine A (keltos3 sync),
#   - the download to a fresh machine B,
#   - an idle run of A (load three trees, detect, nothing to do),
# each with wall time, CPU time, requests the server received and peak
# resident memory; beside `rclone copy` of the same tree up and down (version-2
# signatures, path-style addressing, a private hosts file for s3.localhost).
#
# Then, unless KELTOS3_BENCH_LATENCY_MS is 0, the same with the test server
# answering every request that many milliseconds late (default 20), the way
# a distant S3 service does: keltos3 with "Transfers" 1, 4 and 8 (or the
# values in KELTOS3_BENCH_TRANSFERS), each into a bucket of its own, beside
# rclone copy with its defaults.
#
# With KELTOS3_BENCH_SERVER=ceph it runs against a single-node Ceph RADOS
# Gateway instead (bench/bench_servers.sh), without request counts and
# without the rows at a distance.
#
# Usage: bench/capacity_bench.sh BUILD_DIR [FILES] [DIRS]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: capacity_bench.sh BUILD_DIR [FILES] [DIRS]}" && pwd)"
FILES="${2:-10000}"
DIRS="${3:-200}"
KELTOS3="$BUILD/keltos3"
[[ -x "$KELTOS3" ]] || { echo "capacity_bench.sh: $KELTOS3 not built" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "capacity_bench.sh: needs /usr/bin/time" >&2; exit 1; }

# shellcheck disable=SC1091
source "$ROOT/bench/bench_servers.sh"
LATENCY_MS="${KELTOS3_BENCH_LATENCY_MS:-20}"
TRANSFERS="${KELTOS3_BENCH_TRANSFERS:-1 4 8}"
[[ "${KELTOS3_BENCH_SERVER:-}" == ceph ]] && LATENCY_MS=0
buckets=(capbench capbenchmeta capbenchdata rclonebench)
if ((LATENCY_MS > 0)); then
  for t in $TRANSFERS; do buckets+=("capbench-l$LATENCY_MS-t$t"); done
  buckets+=("rclonebench-l$LATENCY_MS")
fi
start_bench_servers --log-requests "${buckets[@]}"
export KELTOS3_INI="$WORK/Kelto.ini"
"$KELTOS3" init --account "$KELTOS3_TEST_ACCESS_KEY" --secret "$KELTOS3_TEST_SECRET_KEY" \
  --host "$KELTOS3_TEST_S3_HOST" --port "$KELTOS3_TEST_S3_PORT" --ca "$KELTOS3_TEST_CA" \
  --bucket capbenchmeta --data-bucket capbenchdata >/dev/null
# The rows name their "Transfers"; the one init may have written goes.
base_ini="$(grep -v '^Transfers=' "$KELTOS3_INI")"
printf '%s\nRequestPause=0\nSyncCapacity=100000\n' "$base_ini" >"$KELTOS3_INI"
base_ini="$(cat "$KELTOS3_INI")"
printf 'Transfers=1\n' >>"$KELTOS3_INI"

# The tree: FILES files of 1 KiB of random bytes, spread evenly over DIRS
# directories.
python3 - "$WORK/a" "$FILES" "$DIRS" <<'PY'
import os, sys
root, files, dirs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(files):
    d = os.path.join(root, "dir%03d" % (i % dirs))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%05d.bin" % i), "wb") as f:
        f.write(os.urandom(1024))
PY

# Requests the server logged so far (-1 without a request log).
requests() { if [[ -n "$LOG" ]]; then wc -l <"$LOG" 2>/dev/null || echo 0; else echo -1; fi; }

# measure LABEL COMMAND...: wall time, requests and peak RSS of one command;
# its output goes to $WORK/out.txt.
measure() {
  local label=$1 before
  shift
  before=$(requests)
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.txt" "$@" >"$WORK/out.txt" 2>"$WORK/err.txt" || {
    echo "capacity_bench.sh: '$label' failed:" >&2
    tail -n 5 "$WORK/err.txt" "$WORK/out.txt" >&2
    exit 1
  }
  sleep 0.5  # the server logs a request once its answer is closed
  read -r elapsed user sys rss <"$WORK/time.txt"
  awk -v l="$label" -v e="$elapsed" -v c="$user $sys" -v r="$(($(requests) - before))" -v m="$rss" \
    -v n="$FILES" -v logged="${LOG:+1}" 'BEGIN { split(c, t, " ");
      if (logged) printf "%-38s %8.2f s %7.2f CPU s %7d requests (%4.2f per file) %7.1f MiB peak RSS\n",
                         l, e, t[1] + t[2], r, r / n, m / 1024
      else printf "%-38s %8.2f s %7.2f CPU s %7.1f MiB peak RSS\n", l, e, t[1] + t[2], m / 1024 }'
}

# keltos3_tree SUFFIX BUCKET: up from machine A, down to a fresh machine B,
# idle run of A, each with its own catalog.
keltos3_tree() {
  local suffix=$1 bucket=$2
  rm -rf "$WORK/b" "$WORK/catalog-a" "$WORK/catalog-b"
  mkdir -p "$WORK/b" "$WORK/catalog-a" "$WORK/catalog-b"
  measure "keltos3 sync, up (machine A)$suffix" "$KELTOS3" sync "$WORK/a" "$WORK/catalog-a" "$bucket"
  tail -n 1 "$WORK/out.txt"
  measure "keltos3 sync, down (fresh machine B)$suffix" "$KELTOS3" sync "$WORK/b" "$WORK/catalog-b" "$bucket"
  tail -n 1 "$WORK/out.txt"
  diff -r "$WORK/a" "$WORK/b" >/dev/null || { echo "capacity_bench.sh: the trees differ" >&2; exit 1; }
  measure "keltos3 sync, idle (machine A)$suffix" "$KELTOS3" sync "$WORK/a" "$WORK/catalog-a" "$bucket"
  tail -n 1 "$WORK/out.txt"
  grep -q '^summary: 0 uploaded (0 bytes), 0 downloaded (0 bytes), 0 deleted locally, 0 deleted remotely, 0 directories' \
    "$WORK/out.txt" || { echo "capacity_bench.sh: the idle run acted" >&2; exit 1; }
}

# rclone_tree SUFFIX BUCKET: rclone copy up, down into a fresh directory, and
# again up with nothing to do.
rclone_tree() {
  local suffix=$1 bucket=$2
  measure "rclone copy, up$suffix" "$WORK/rclone.sh" copy "$WORK/a" "bench:$bucket/tree"
  rm -rf "$WORK/r"
  mkdir -p "$WORK/r"
  measure "rclone copy, down (fresh directory)$suffix" "$WORK/rclone.sh" copy "bench:$bucket/tree" "$WORK/r"
  diff -r "$WORK/a" "$WORK/r" >/dev/null || { echo "capacity_bench.sh: rclone's copy differs" >&2; exit 1; }
  measure "rclone copy, idle$suffix" "$WORK/rclone.sh" copy "$WORK/a" "bench:$bucket/tree"
}

echo "$FILES files of 1 KiB in $DIRS directories; SyncCapacity 100000, RequestPause 0;" \
  "server: ${KELTOS3_BENCH_SERVER:-the test server (s3rver)}"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
keltos3_tree "" capbench

# rclone as a peer: its own S3 remote in the environment, the test CA, and a
# hosts file of its own that names s3.localhost.
have_rclone=0
if command -v rclone >/dev/null && command -v unshare >/dev/null; then
  have_rclone=1
  echo "127.0.0.1 localhost $KELTOS3_TEST_S3_HOST" >"$WORK/hosts"
  export RCLONE_CONFIG_BENCH_TYPE=s3 RCLONE_CONFIG_BENCH_PROVIDER=Other
  export RCLONE_CONFIG_BENCH_ACCESS_KEY_ID="$KELTOS3_TEST_ACCESS_KEY"
  export RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY="$KELTOS3_TEST_SECRET_KEY"
  export RCLONE_CONFIG_BENCH_ENDPOINT="https://$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT"
  export RCLONE_CONFIG_BENCH_V2_AUTH=true RCLONE_CONFIG_BENCH_FORCE_PATH_STYLE=true
  cat >"$WORK/rclone.sh" <<SH
#!/bin/sh
exec env -u AWS_CA_BUNDLE unshare --mount sh -c 'mount --bind "\$0" /etc/hosts && exec "\$@"' \
  "$WORK/hosts" rclone --config /dev/null --ca-cert "$KELTOS3_TEST_CA" "\$@"
SH
  chmod +x "$WORK/rclone.sh"
  rclone_tree "" rclonebench
else
  echo "rclone copy: skipped (rclone or unshare missing)"
fi

if ((LATENCY_MS > 0)); then
  echo "every answer $LATENCY_MS ms late (the test server's latency):"
  curl -sS --fail --cacert "$KELTOS3_TEST_CA" -X PUT -o /dev/null \
    "https://$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT/__fixture/latency?ms=$LATENCY_MS"
  for t in $TRANSFERS; do
    printf '%s\nTransfers=%s\n' "$base_ini" "$t" >"$KELTOS3_INI"
    keltos3_tree ", $LATENCY_MS ms, Transfers $t" "capbench-l$LATENCY_MS-t$t"
  done
  if ((have_rclone)); then rclone_tree ", $LATENCY_MS ms" "rclonebench-l$LATENCY_MS"; fi
  curl -sS --fail --cacert "$KELTOS3_TEST_CA" -X PUT -o /dev/null \
    "https://$KELTOS3_TEST_S3_HOST:$KELTOS3_TEST_S3_PORT/__fixture/latency?ms=0"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

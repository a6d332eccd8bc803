#!/usr/bin/env bash
# Starts and stops a single-node Ceph cluster with its RADOS Gateway on
# loopback, all state in STATE_DIR:
#   - one monitor (no authentication, messenger v2 on a free port),
#   - one OSD keeping its objects in memory (memstore),
#   - the gateway (beast frontend) over HTTPS on a free port, with
#     rgw_dns_name s3.localhost so that BUCKET.s3.localhost addresses a
#     bucket as well as s3.localhost/BUCKET does,
#   - one S3 user made with radosgw-admin.
# No manager daemon: the gateway does not need one (it only reports status).
#
# Usage: ceph.sh start|stop STATE_DIR
#
# start  writes STATE_DIR/servers.env in the form the test binaries read
#        (tests/support/test_servers.h; no stub server and no proxy) and
#        prints it.  Whatever does not come up stops what did.
# stop   stops every daemon by its recorded pid; safe to repeat.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
S3_HOST=s3.localhost
ACCESS_KEY=KELTOS3INTEROP
SECRET_KEY=keltos3-interop-secret
WAIT_SECONDS=90

die() { echo "ceph.sh: $*" >&2; exit 1; }

[ $# -eq 2 ] || die "usage: ceph.sh start|stop STATE_DIR"
COMMAND=$1
mkdir -p "$2"
STATE=$(cd "$2" && pwd)
CONF=$STATE/ceph.conf
DAEMONS=(rgw osd mon)  # stopping order

alive() { # PID: running and not a zombie
  local state
  [ -n "$1" ] && [ -r "/proc/$1/stat" ] || return 1
  state=$(sed 's/^.*) //' "/proc/$1/stat" | cut -d' ' -f1)
  [ "$state" != Z ] && [ "$state" != X ]
}

owns() { # PID: a daemon of this state directory (its command line names CONF)
  alive "$1" && tr '\0' ' ' < "/proc/$1/cmdline" | grep -qF -- "$CONF"
}

stop_daemon() { # NAME: TERM, then KILL after 30 s (the OSD takes a few seconds)
  local file=$STATE/$1.pid pid i
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  if owns "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 300); do alive "$pid" || break; sleep 0.1; done
    if alive "$pid"; then
      echo "ceph.sh: $1 (pid $pid) ignored TERM, killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
      for i in $(seq 50); do alive "$pid" || break; sleep 0.1; done
    fi
    alive "$pid" && die "$1 (pid $pid) does not stop"
  fi
  rm -f "$file"
}

stop_all() {
  local d
  for d in "${DAEMONS[@]}"; do stop_daemon "$d"; done
}

launch() { # NAME COMMAND...: runs a daemon in the foreground mode, in the background
  local name=$1; shift
  "$@" >> "$STATE/log/$name.out" 2>&1 < /dev/null &
  echo $! > "$STATE/$name.pid"
}

fail_start() { # NAME MESSAGE
  echo "ceph.sh: $1 did not come up: $2" >&2
  local f
  for f in "$STATE/log/$1.out" "$STATE"/log/*"$1"*.log; do
    [ -s "$f" ] || continue
    echo "---- last lines of $f:" >&2
    tail -n 15 "$f" >&2
  done
  exit 1
}

wait_for() { # NAME COMMAND...: until COMMAND succeeds while the daemon lives
  local name=$1 i; shift
  for i in $(seq $((WAIT_SECONDS * 4))); do
    alive "$(cat "$STATE/$name.pid")" || fail_start "$name" "the process exited"
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.25
  done
  fail_start "$name" "not ready within $WAIT_SECONDS s"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

ceph_cli() { ceph -c "$CONF" --connect-timeout 20 "$@"; }

write_conf() { # FSID MON_PORT RGW_PORT
  cat > "$CONF" <<EOF
[global]
fsid = $1
mon host = v2:127.0.0.1:$2
public addr = 127.0.0.1
public network = 127.0.0.0/8
ms bind ipv6 = false
ms bind msgr1 = false
# No keys anywhere: a throw-away cluster that only loopback reaches.  Without
# authentication only the crc connection mode is possible.
auth cluster required = none
auth service required = none
auth client required = none
ms mon client mode = crc
ms client mode = crc
run dir = $STATE/run
admin socket = $STATE/run/\$name.asok
log file = $STATE/log/\$name.log
mon cluster log file = $STATE/log/\$cluster.\$channel.log
crash dir = $STATE/crash
mon data = $STATE/mon/\$name
osd data = $STATE/osd/\$name
mon data avail warn = 1
osd objectstore = memstore
memstore device bytes = 1073741824
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
mon allow pool size one = true
mon warn on pool no redundancy = false

[client.rgw.keltos3]
rgw data = $STATE/rgw
rgw frontends = beast ssl_endpoint=127.0.0.1:$3 ssl_certificate=$STATE/tls/server.pem ssl_private_key=$STATE/tls/server.key
rgw dns name = $S3_HOST
rgw thread pool size = 64
EOF
}

start_all() {
  local d
  for d in "${DAEMONS[@]}"; do
    [ -f "$STATE/$d.pid" ] && owns "$(cat "$STATE/$d.pid")" \
      && die "a cluster is already running in $STATE (ceph.sh stop first)"
  done
  for d in ceph-mon ceph-osd radosgw radosgw-admin ceph monmaptool openssl python3 curl; do
    command -v $d > /dev/null || die "$d is not installed (./run interop installs it)"
  done
  rm -rf "$STATE"/{mon,osd,rgw,run,log,tls} "$STATE/servers.env" "$STATE/monmap"
  mkdir -p "$STATE"/{mon/mon.a,osd/osd.0,rgw,run,log}
  "$HERE/../fixtures/servers.sh" tls "$STATE"

  trap stop_all EXIT
  local fsid mon_port rgw_port
  fsid=$(cat /proc/sys/kernel/random/uuid)
  mon_port=$(free_port)
  rgw_port=$(free_port)
  write_conf "$fsid" "$mon_port" "$rgw_port"

  monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$mon_port]" \
    "$STATE/monmap" > "$STATE/log/mkfs.out" 2>&1
  ceph-mon -c "$CONF" -i a --mkfs --monmap "$STATE/monmap" >> "$STATE/log/mkfs.out" 2>&1 \
    || fail_start mkfs "ceph-mon --mkfs failed"
  launch mon ceph-mon -c "$CONF" -i a -f
  wait_for mon ceph_cli mon stat

  local osd_uuid osd_id
  osd_uuid=$(cat /proc/sys/kernel/random/uuid)
  osd_id=$(ceph_cli osd new "$osd_uuid")
  [ "$osd_id" = 0 ] || die "the monitor gave OSD id '$osd_id', not 0"
  ceph-osd -c "$CONF" -i 0 --mkfs --osd-uuid "$osd_uuid" >> "$STATE/log/mkfs.out" 2>&1 \
    || fail_start mkfs "ceph-osd --mkfs failed"
  launch osd ceph-osd -c "$CONF" -i 0 -f
  wait_for osd sh -c "ceph -c '$CONF' --connect-timeout 20 osd stat | grep -q '1 up'"

  launch rgw radosgw -c "$CONF" -n client.rgw.keltos3 -f
  wait_for rgw curl -fsS --cacert "$STATE/tls/ca.pem" "https://$S3_HOST:$rgw_port/"
  # Tests make a few hundred buckets per run.
  radosgw-admin -c "$CONF" user create --uid=keltos3 --display-name="KeltoS3 interop" \
    --access-key="$ACCESS_KEY" --secret-key="$SECRET_KEY" --max-buckets=100000 \
    > "$STATE/log/user.out" 2>&1 || fail_start user "radosgw-admin user create failed"

  cat > "$STATE/servers.env" <<EOF
KELTOS3_TEST_STATE_DIR=$STATE
KELTOS3_TEST_CA=$STATE/tls/ca.pem
KELTOS3_TEST_S3_HOST=$S3_HOST
KELTOS3_TEST_S3_PORT=$rgw_port
KELTOS3_TEST_ACCESS_KEY=$ACCESS_KEY
KELTOS3_TEST_SECRET_KEY=$SECRET_KEY
EOF
  trap - EXIT
  echo "ceph.sh: monitor on $mon_port, gateway on https://$S3_HOST:$rgw_port; see $STATE/servers.env"
}

case $COMMAND in
  start) start_all ;;
  stop) stop_all ;;
  *) die "usage: ceph.sh start|stop STATE_DIR" ;;
esac

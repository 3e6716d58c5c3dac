#!/usr/bin/env bash
# A real S3-compatible store for tests and benchmarks: Ceph's RADOS Gateway on one monitor and one
# in-memory OSD, all on 127.0.0.1, everything kept in FOLDER.
#
#   s3-store.sh start FOLDER   prints "PORT ACCESS_KEY SECRET_KEY" once a signed request is answered
#   s3-store.sh gateway FOLDER stop|start   stops or starts the gateway alone (a store that is down)
#   s3-store.sh stop FOLDER    ends the three daemons it started and removes FOLDER
#
# Needs root (the daemons' defaults want it) and Debian's ceph-mon, ceph-osd, radosgw and
# ceph-common.
set -euo pipefail

command=$1
dir=$(realpath -m "$2")
export CEPH_CONF=$dir/ceph.conf

log() { echo "s3-store: $*" >&2; }

# A loopback port no one listens on now. The gateway's own answer to our keys tells a port taken
# since apart: another store would refuse them.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

signed_list() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 5 --aws-sigv4 aws:amz:us-east-1:s3 \
    --user "$(cat "$dir/keys")" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" \
    "http://127.0.0.1:$(cat "$dir/port")/"
}

start_gateway() {
  radosgw -n client.rgw.gw --keyring "$dir/keyring"
}

stop_pid() {
  [ -f "$1" ] && kill -KILL "$(cat "$1")" 2>/dev/null || true
}

start() {
  mkdir -p "$dir"/{mon,osd,run}
  local fsid mon_port rgw_port access secret
  fsid=$(cat /proc/sys/kernel/random/uuid)
  mon_port=$(free_port)
  rgw_port=$(free_port)
  access=AK$(head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n')
  secret=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')
  echo "$rgw_port" >"$dir/port"
  echo "$access:$secret" >"$dir/keys"
  cat >"$CEPH_CONF" <<EOF
[global]
fsid = $fsid
mon host = [v2:127.0.0.1:$mon_port]
public addr = 127.0.0.1
cluster addr = 127.0.0.1
keyring = $dir/keyring
run dir = $dir/run
pid file = $dir/run/\$name.pid
admin socket = $dir/run/\$name.asok
log file = $dir/\$name.log
osd pool default size = 1
osd pool default min size = 1
mon data avail crit = 1
auth allow insecure global id reclaim = false
[mon]
mon data = $dir/mon
mon cluster log file = $dir/mon-cluster.log
paxos propose interval = 0.01
[osd]
osd data = $dir/osd
osd objectstore = memstore
[client.rgw.gw]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
EOF
  local keyring=$dir/keyring
  ceph-authtool --create-keyring "$keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
  ceph-authtool "$keyring" --gen-key -n client.admin --cap mon 'allow *' --cap osd 'allow *' \
    --cap mds 'allow *' --cap mgr 'allow *' >/dev/null
  ceph-authtool "$keyring" --gen-key -n osd.0 --cap mon 'allow profile osd' \
    --cap osd 'allow *' >/dev/null
  ceph-authtool "$keyring" --gen-key -n client.rgw.gw --cap mon 'allow rw' \
    --cap osd 'allow rwx' >/dev/null
  monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$mon_port]" "$dir/monmap" >/dev/null
  ceph-mon -i a --mkfs --monmap "$dir/monmap" --keyring "$keyring"
  ceph-mon -i a
  local uuid
  uuid=$(cat /proc/sys/kernel/random/uuid)
  ceph --connect-timeout 20 osd new "$uuid" 0 >/dev/null
  ceph-osd -i 0 --mkfs --osd-uuid "$uuid" --keyring "$keyring" 2>/dev/null
  ceph-osd -i 0 --keyring "$keyring"
  start_gateway
  for _ in $(seq 1 600); do
    if [ -S "$dir/run/client.rgw.gw.asok" ] &&
      radosgw-admin user create --uid=test --display-name=test --access-key="$access" \
        --secret="$secret" >/dev/null 2>&1; then
      break
    fi
    sleep 0.1
  done
  for _ in $(seq 1 600); do
    if [ "$(signed_list)" = 200 ]; then
      echo "$rgw_port $access $secret"
      return 0
    fi
    sleep 0.1
  done
  log "the gateway did not answer; see $dir/*.log"
  return 1
}

case $command in
  start) start ;;
  gateway)
    if [ "$3" = stop ]; then
      stop_pid "$dir/run/client.rgw.gw.pid"
      rm -f "$dir/run/client.rgw.gw.pid"
    else
      start_gateway
      for _ in $(seq 1 600); do
        [ "$(signed_list)" = 200 ] && exit 0
        sleep 0.1
      done
      exit 1
    fi
    ;;
  stop)
    for pid in "$dir"/run/*.pid; do stop_pid "$pid"; done
    rm -rf "$dir"
    ;;
  *)
    log "unknown command $command"
    exit 2
    ;;
esac

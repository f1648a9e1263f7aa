#!/usr/bin/env bash
# kelvo-fleet at scale, beside today's fleet of kelvo pairs, on one local
# Mosquitto (set_tcp_nodelay, no connection limit):
#
#   1. bench/fleet.sh PAIRS on that broker: kelvo and kelvo-mqtt pairs;
#   2. kelvo-fleet --count N, a connection each, in SHARDS processes
#      (--shard I/SHARDS, all on this host): time until all are online
#      with a state, idle CPU and memory (the broker's beside it), command
#      to state at 20 commands a second to random thermostats (500 drawn,
#      whose states alone the probe then watches); then kill -9
#      and the time until all are back online with a state; once with the
#      classic profile and once with --profile modern;
#   3. kelvo-fleet --count BIG --connection shared at a tick a second:
#      the time until it has announced them all, its CPU and memory.
#
#   bench/fleet_scale.sh [N (10000)] [BIG (100000)] [PAIRS (50: 100 inotify
#   instances, under the default limit of 128)] [SHARDS (1)]
#
# A process holds three descriptors a connection, so where the hard limit
# on open files is low (20,000 holds about 6,600) SHARDS=2 runs 10,000.
#
# Everything it starts it stops again, by pid, however it ends;
# FLEET_KEEP=1 keeps the scratch directory with every log.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
fleet_bin=${KELVO_FLEET_BIN:-$top/build/fleet/kelvo-fleet}
mosquitto_bin=${MOSQUITTO_BIN:-/usr/sbin/mosquitto}
python=/usr/bin/python3
n=${1:-10000} big=${2:-100000} pairs=${3:-50} shards=${4:-1}
for v in "$n" "$big" "$pairs" "$shards"; do
	case $v in ''|*[!0-9]*) echo "usage: bench/fleet_scale.sh [N] [BIG] [PAIRS] [SHARDS]" >&2; exit 2 ;; esac
done
[ "$shards" -ge 1 ] && [ "$shards" -le "$n" ] ||
	{ echo "fleet_scale: SHARDS is 1..N" >&2; exit 2; }
[ -x "$fleet_bin" ] || { echo "fleet_scale: no binary at $fleet_bin (build first)" >&2; exit 2; }

# A descriptor a connection, in the broker and in the fleet.
ulimit -n "$(ulimit -Hn)"
# Mosquitto needs one a connection; kelvo-fleet raises its own.
work=$(mktemp -d /tmp/kelvo-fleet-scale.XXXXXX)
pids=$work/pids
: >"$pids"
stop_kind() {
	local k pid
	while read -r k pid; do
		[ "$k" = "$1" ] && kill -TERM "$pid" 2>/dev/null || true
	done <"$pids"
	while read -r k pid; do
		[ "$k" = "$1" ] && wait "$pid" 2>/dev/null || true
	done <"$pids"
	grep -v "^$1 " "$pids" >"$pids.new" || true
	mv "$pids.new" "$pids"
}
cleanup() {
	trap - EXIT INT TERM
	stop_kind fleet
	stop_kind broker
	if [ "${FLEET_KEEP:-0}" = 1 ]; then echo "fleet_scale: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cp "$fleet_bin" "$work/kelvo-fleet"

port=$($python -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\nmax_connections -1\nmax_queued_messages 100000\n' \
    "$port" >"$work/mosquitto.conf"
"$mosquitto_bin" -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
echo "broker $!" >>"$pids"
broker=127.0.0.1:$port
for _ in $(seq 1 100); do
	(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
	sleep 0.1
done
echo "fleet_scale: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== today: $pairs kelvo and kelvo-mqtt pairs (bench/fleet.sh)"
"$here/fleet.sh" "$pairs" --broker "$broker" || echo "fleet_scale: fleet.sh failed"

width=${#n}
fleet() {
	"$work/kelvo-fleet" --broker "$broker" --listen 127.0.0.1:0 "$@" \
	    >>"$work/fleet.log" 2>&1 &
	echo "fleet $!" >>"$pids"
}
# N thermostats in SHARDS processes, each its own store.
fleets() {
	local profile=$1 i
	for i in $(seq 1 "$shards"); do
		fleet --count "$n" --shard "$i/$shards" --profile "$profile" \
		    --store "$work/each-$profile-$i.sqlite"
	done
}
for profile in classic modern; do
	echo "== kelvo-fleet: $n thermostats, a connection each, --profile $profile, $shards process(es)"
	fleets "$profile"
	"$python" "$here/fleet_probe.py" --broker "$broker" --count "$n" \
	    --width "$width" --commands 200 --rate 20 --idle 10 \
	    --watch 500 --pids "$pids" || echo "fleet_scale: the probe failed"
	echo "== kill -9 and a restart ($profile)"
	while read -r k pid; do
		[ "$k" = fleet ] && kill -KILL "$pid" 2>/dev/null || true
	done <"$pids"
	while read -r k pid; do
		[ "$k" = fleet ] && wait "$pid" 2>/dev/null || true
	done <"$pids"
	grep -v '^fleet ' "$pids" >"$pids.new" || true
	mv "$pids.new" "$pids"
	sleep 2		# the broker's wills: every thermostat offline
	fleets "$profile"
	"$python" "$here/fleet_probe.py" --broker "$broker" --count "$n" \
	    --width "$width" --ready-only --pids "$pids" ||
	    echo "fleet_scale: not all back"
	stop_kind fleet
done

echo "== kelvo-fleet: $big thermostats on one shared connection, a tick a second"
from=$(($(wc -l <"$work/fleet.log") + 1))
fleet --count "$big" --connection shared --interval 1000 \
    --store "$work/shared.sqlite"
read -r _ pid < <(grep '^fleet ' "$pids")
t0=$(date +%s.%N)
until tail -n "+$from" "$work/fleet.log" | grep -q "all $big thermostats connected"; do
	sleep 0.5
	kill -0 "$pid" 2>/dev/null || { echo "fleet_scale: the fleet died" >&2; exit 1; }
	[ "$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { print (b - a > 900) }')" = 0 ] ||
		{ echo "fleet_scale: not announced in 900 s" >&2; break; }
done
echo "connected and announced after $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
sleep 5
$python - "$pid" "$(grep '^broker ' "$pids" | cut -d' ' -f2)" <<'PY'
import os, sys, time
def cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        v = f.read().rsplit(")", 1)[1].split()
    return (int(v[11]) + int(v[12])) / os.sysconf("SC_CLK_TCK")
def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS"))
pids = {"fleet": int(sys.argv[1]), "broker": int(sys.argv[2])}
before = {k: cpu(p) for k, p in pids.items()}
time.sleep(10)
for k, p in pids.items():
    print(f"{k}: CPU {(cpu(p) - before[k]) * 10:.1f}% of one core over 10 s,"
          f" RSS {rss(p) / 1024:.0f} MB")
PY
echo "the shared connection was lost $(tail -n "+$from" "$work/fleet.log" | grep -c "lost broker" || true) time(s)"

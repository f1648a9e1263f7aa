#!/usr/bin/env bash
# A fleet of thermostats on one broker: N kelvo daemons, each with its own
# root and PPS directory, and N bridges t001..., then set-point commands
# to random thermostats through the broker, timed from the command to the
# state showing it.
#
#   bench/fleet.sh N [--broker HOST:PORT] [--from K] [--commands C]
#                    [--rate R] [--idle S] [--hold]
#
#   --broker    use this broker instead of starting one on a free
#               loopback port
#   --from K    number the thermostats from K (default 1), so that hosts
#               sharing a broker do not collide: t101... with --from 101
#   --commands  set-point commands to send (default 200), each one press
#               away from the set point, at random instants, R a second
#               on average across the fleet (default 10)
#   --idle S    seconds over which the fleet's idle CPU is taken (default 10)
#   --hold      start the fleet and keep it until Ctrl-C, measuring nothing
#
# The figures come from bench/fleet_probe.py (paho-mqtt).  Everything this
# script starts it stops again, by pid, however it ends; FLEET_KEEP=1
# keeps the scratch directory with every log.  kelvo and the
# bridge run from copies of the binaries (KELVO_BIN, KELVO_MQTT_BIN, by
# default build/kelvo and build/mqtt/kelvo-mqtt), so a rebuild during a
# run does not change what is measured.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
kelvo_bin=${KELVO_BIN:-$top/build/kelvo}
bridge_bin=${KELVO_MQTT_BIN:-$top/build/mqtt/kelvo-mqtt}
mosquitto_bin=${MOSQUITTO_BIN:-/usr/sbin/mosquitto}
python=/usr/bin/python3

usage() {
	echo "usage: bench/fleet.sh N [--broker HOST:PORT] [--from K]" \
	    "[--commands C] [--rate R] [--idle S] [--hold]" >&2
	exit 2
}
number() { case $1 in ''|*[!0-9]*) usage ;; esac; }

[ $# -ge 1 ] || usage
n=$1; shift
number "$n"
[ "$n" -ge 1 ] && [ "$n" -le 999 ] || usage
broker= from=1 commands=200 rate=10 idle=10 hold=0
while [ $# -gt 0 ]; do
	case $1 in
	--broker) [ $# -ge 2 ] || usage; broker=$2; shift 2 ;;
	--from) [ $# -ge 2 ] || usage; number "$2"; from=$2; shift 2 ;;
	--commands) [ $# -ge 2 ] || usage; number "$2"; commands=$2; shift 2 ;;
	--rate) [ $# -ge 2 ] || usage; rate=$2; shift 2 ;;
	--idle) [ $# -ge 2 ] || usage; number "$2"; idle=$2; shift 2 ;;
	--hold) hold=1; shift ;;
	*) usage ;;
	esac
done
for b in "$kelvo_bin" "$bridge_bin"; do
	[ -x "$b" ] || { echo "fleet: no binary at $b (build first)" >&2; exit 2; }
done

# Each kelvo and each bridge follows PPS objects through inotify
# instances of their own (kelvo its control and inputs objects, the
# bridge the outputs, the sim object, and the sim object again in its
# sender once it has sent a batch), and the kernel allows a user only so
# many: past them the newest pairs would wait for each other for ever.
per=5
limit=$(cat /proc/sys/fs/inotify/max_user_instances 2>/dev/null || echo 0)
inuse=$( (find /proc/[0-9]*/fd -lname 'anon_inode:inotify' 2>/dev/null || true) | wc -l)
if [ "$limit" -gt 0 ] && [ $((inuse + per * n)) -gt "$limit" ]; then
	echo "fleet: $n thermostats need $((per * n)) inotify instances, $inuse" \
	    "are in use and fs.inotify.max_user_instances is $limit; raise it" \
	    "first, e.g. sysctl -w fs.inotify.max_user_instances=$(((inuse + per * n) / 128 * 128 + 256))" >&2
	exit 1
fi

work=$(mktemp -d /tmp/kelvo-fleet.XXXXXX)
pids=$work/pids		# "kind pid" lines, for the probe and for cleanup
: >"$pids"

cleanup() {
	local kind pid
	trap - EXIT INT TERM
	# Bridges first, so each says offline while the broker is there.
	for kind in bridge kelvo broker; do
		while read -r k pid; do
			[ "$k" = "$kind" ] && kill -TERM "$pid" 2>/dev/null || true
		done <"$pids"
		while read -r k pid; do
			[ "$k" = "$kind" ] && wait "$pid" 2>/dev/null || true
		done <"$pids"
	done
	if [ "${FLEET_KEEP:-0}" = 1 ]; then
		echo "fleet: kept $work"
	else
		rm -rf "$work"
	fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp "$kelvo_bin" "$work/kelvo"
cp "$bridge_bin" "$work/kelvo-mqtt"

if [ -z "$broker" ]; then
	port=$($python -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
	# set_tcp_nodelay: without it a state can wait some 40 ms in the
	# broker's socket for the ack of the one before (Nagle's algorithm
	# meeting the peer's delayed ack), which was most of the fleet's tail.
	printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n' \
	    "$port" >"$work/mosquitto.conf"
	"$mosquitto_bin" -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
	echo "broker $!" >>"$pids"
	broker=127.0.0.1:$port
	for _ in $(seq 1 100); do
		(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
		sleep 0.1
	done
fi

echo "fleet: $n thermostats from t$(printf %03d "$from") on broker $broker;" \
    "load: $(cut -d' ' -f1-3 /proc/loadavg)"
for i in $(seq "$from" $((from + n - 1))); do
	id=t$(printf %03d "$i")
	d=$work/$id
	mkdir -p "$d/root" "$d/pps"
	PPS_ROOT=$d/pps "$work/kelvo" "$d/root" >"$d/kelvo.log" 2>&1 &
	echo "kelvo $!" >>"$pids"
	PPS_ROOT=$d/pps "$work/kelvo-mqtt" --broker "$broker" --id "$id" \
	    >"$d/bridge.log" 2>&1 &
	echo "bridge $!" >>"$pids"
done

if [ "$hold" = 1 ]; then
	echo "fleet: running; Ctrl-C stops it (logs under $work)"
	# In the background, so that Ctrl-C runs the trap at once.
	while :; do sleep 3600 & wait $!; done
fi
# One thermostat: its time is also split at its PPS objects.
split=()
[ "$n" = 1 ] && split=(--split "$work/t$(printf %03d "$from")/pps/kelvo")
"$python" "$here/fleet_probe.py" --broker "$broker" --from "$from" \
    --count "$n" --commands "$commands" --rate "$rate" --idle "$idle" \
    --pids "$pids" "${split[@]}"

#!/usr/bin/env bash
# Soak: the real daemon, ticking every millisecond, with a button pressed
# every 10 ms for a given time.
#
#   bench/soak.sh [seconds [kelvo-binary]]    default 60 s, build/kelvo
#
# kelvo runs in a root directory and PPS_ROOT of its own under /tmp, from
# a copy of the binary (a rebuild during the soak must not change what is
# measured).  A first run with -i makes the document; pm_interval is then
# set to 1 so the simulation and the publisher each do a store cycle per
# millisecond, and kelvo is started again with -v.  Presses alternate
# btn3 and btn4, each written as the whole inputs text through a temporary
# file and a rename, as a user interface would.  Two presses landing
# between two reads of kelvo's are one read, so applied <= written; the
# figures that matter are that it stays alive, applies presses all along,
# does not grow, and stops cleanly on SIGTERM.
set -euo pipefail

secs=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
bin=${2:-$(dirname "$here")/build/kelvo}

case $secs in
''|*[!0-9]*|0) echo "usage: bench/soak.sh [seconds [kelvo-binary]]" >&2; exit 2 ;;
esac
[ -x "$bin" ] || { echo "soak: no kelvo binary at $bin" >&2; exit 2; }

work=$(mktemp -d /tmp/kelvo-soak.XXXXXX)
mkdir -p "$work/root" "$work/pps"
cp "$bin" "$work/kelvo"
export PPS_ROOT=$work/pps
doc=$work/root/kelvoweb.xml
inputs=$PPS_ROOT/kelvo/inputs
log=$work/kelvo.log
pid=

cleanup() {
	# Only the kelvo this script started, by its pid.
	if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
		kill -TERM "$pid" 2>/dev/null || true
		wait "$pid" 2>/dev/null || true
	fi
	if [ "${SOAK_KEEP:-0}" = 1 ]; then
		echo "soak: kept $work"
	else
		rm -rf "$work"
	fi
}
trap cleanup EXIT

# Waits up to 10 s for a command to succeed.
await() {
	local i
	for i in $(seq 1 1000); do
		"$@" && return 0
		sleep 0.01
	done
	echo "soak: gave up waiting for: $*" >&2
	return 1
}

stop() {
	local status=0
	kill -TERM "$pid"
	wait "$pid" || status=$?
	pid=
	return $status
}

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# utime + stime in seconds; the fields after the parenthesised name.
cpu_s() {
	local stat
	stat=$(cat "/proc/$1/stat")
	stat=${stat##*) }
	set -- $stat
	echo "${12} ${13} $(getconf CLK_TCK)" |
	    awk '{ printf "%.2f", ($1 + $2) / $3 }'
}

now_us() { echo "${EPOCHREALTIME/./}"; }

# A pipe nobody writes to: read -t on it is a pause without a fork.
exec {pause_fd}<> <(:)
pause_us() {
	local t
	printf -v t '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000))
	read -r -t "$t" -u "$pause_fd" || true
}

# First run: the default document and the PPS objects.
"$work/kelvo" -i "$work/root" >"$work/init.log" 2>&1 &
pid=$!
await test -s "$PPS_ROOT/kelvo/outputs"
await test -s "$inputs"
stop || { echo "soak: first run exited $?" >&2; exit 1; }
grep -q '<pm_interval>200</pm_interval>' "$doc" ||
    { echo "soak: no pm_interval 200 in $doc" >&2; exit 1; }
sed -i 's|<pm_interval>200</pm_interval>|<pm_interval>1</pm_interval>|' "$doc"

"$work/kelvo" -v "$work/root" >"$log" 2>&1 &
pid=$!
await grep -q 'event2xml:: enter main processing' "$log"
sleep 1
rss_start=$(rss_kb "$pid")
cpu_start=$(cpu_s "$pid")
echo "soak: kelvo pid $pid, pm_interval 1, ${secs}s, RSS at start ${rss_start} kB"

press3=$'@inputs\nbtn1::\nbtn2::\nbtn3::event\nbtn4::\n'
press4=$'@inputs\nbtn1::\nbtn2::\nbtn3::\nbtn4::event\n'
written=0
start=$(now_us)
end=$((start + secs * 1000000))
next=$start
alive=1
while :; do
	t=$(now_us)
	[ "$t" -lt "$end" ] || break
	if [ $((written % 2)) -eq 0 ]; then
		printf '%s' "$press3" >"$inputs.soak"
	else
		printf '%s' "$press4" >"$inputs.soak"
	fi
	mv -f "$inputs.soak" "$inputs"
	written=$((written + 1))
	if [ $((written % 1000)) -eq 0 ] && ! kill -0 "$pid" 2>/dev/null; then
		alive=0
		break
	fi
	# Paced on the clock, so a slow iteration does not slow the rest.
	next=$((next + 10000))
	t=$(now_us)
	if [ "$next" -gt "$t" ]; then
		pause_us $((next - t))
	else
		next=$t
	fi
done
# Let the last press through before counting.
sleep 1

if [ $alive = 1 ] && kill -0 "$pid" 2>/dev/null; then
	rss_end=$(rss_kb "$pid")
	cpu_end=$(cpu_s "$pid")
else
	alive=0
	rss_end=gone
	cpu_end=$cpu_start
fi
up=$(grep -c '^event2xml::processing input btn3$' "$log" || true)
down=$(grep -c '^event2xml::processing input btn4$' "$log" || true)
applied=$((up + down))
unexpected=$(grep -c '^>>>>> unexpected event' "$log" || true)
temp=$(sed -n 's|.*<ts_temp>\(.*\)</ts_temp>.*|\1|p' "$doc")

echo "soak: presses written ${written}, applied ${applied} (unexpected ${unexpected})"
echo "soak: RSS start ${rss_start} kB, end ${rss_end} kB"
echo "soak: CPU (utime+stime) during the soak $(awk -v a="$cpu_start" -v b="$cpu_end" 'BEGIN { printf "%.2f", b - a }') s, total ${cpu_end} s"
# From 68, each press applied moves the set point by one; a store cycle
# lost to another thread would show as a difference (while 60..90 holds).
want=$((68 + up - down))
echo "soak: set point at the end ${temp}, by the presses applied ${want} (btn3 ${up}, btn4 ${down})"

status=0
if [ $alive = 1 ]; then
	echo "soak: kelvo alive at the end"
	stop || status=$?
	echo "soak: kelvo exit status on SIGTERM ${status}"
else
	echo "soak: kelvo DIED during the soak; last lines of its log:"
	tail -n 20 "$log"
	wait "$pid" || status=$?
	pid=
	echo "soak: kelvo exit status ${status}"
	exit 1
fi
[ "$status" -eq 0 ] || exit 1
[ "$applied" -gt 0 ] || { echo "soak: no press applied" >&2; exit 1; }
[ "$applied" -le "$written" ] || { echo "soak: more applied than written" >&2; exit 1; }
case $temp in
6[0-9]|[78][0-9]|90) ;;
*) echo "soak: set point ${temp} outside 60..90" >&2; exit 1 ;;
esac
if [ "$want" -gt 60 ] && [ "$want" -lt 90 ] && [ "$temp" != "$want" ]; then
	echo "soak: set point ${temp}, but the presses applied make ${want}" >&2
	exit 1
fi
exit 0

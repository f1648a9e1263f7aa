#!/usr/bin/env bash
# How long kelvo-ctl play takes: a simulated week (10080 minutes at 2 a
# tick) with 100 expectations, and a simulated day with 20 steps, each
# played RUNS times against a kelvo of its own in a scratch root.
#
#   bench/scenario_play.sh [BUILD] [RUNS]
set -euo pipefail
build=${1:-build}
runs=${2:-10}
tmp=$(mktemp -d)
trap 'kill "$kelvo" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/pps" "$tmp/root"

{
	echo "name: a simulated week"
	echo "start: {td_time_: \"0000\", pm_minutes: 2}"
	echo "steps:"
	for i in $(seq 1 100); do
		echo "  - at: $((i * 10080 / 100))"
		echo "    expect: {ts_temp: 68, td_temp_in_: {min: -1000, max: 1000}}"
	done
} >"$tmp/week.yaml"
{
	echo "name: a simulated day"
	echo "start: {td_time_: \"0000\"}"
	echo "steps:"
	for i in $(seq 1 20); do
		echo "  - at: $((i * 72))"
		case $((i % 4)) in
		0) echo "    press: up" ;;
		1) echo "    set: {td_temp_out_: $((40 + i))}" ;;
		esac
		echo "    expect: {td_temp_out_: {min: -1000}}"
	done
} >"$tmp/day.yaml"

PPS_ROOT="$tmp/pps" "$build/kelvo" "$tmp/root" &
kelvo=$!
for _ in $(seq 50); do [ -e "$tmp/pps/kelvo/sim" ] && break; sleep 0.1; done
sleep 0.3

for s in week day; do
	times=()
	for _ in $(seq "$runs"); do
		t0=$(date +%s.%N)
		PPS_ROOT="$tmp/pps" "$build/ctl/kelvo-ctl" play "$tmp/$s.yaml" >/dev/null
		t1=$(date +%s.%N)
		times+=("$(echo "$t1 - $t0" | bc -l)")
	done
	printf '%s\n' "${times[@]}" | sort -n | awk -v s="$s" '
	    { t[NR] = $1 } END {
		printf "%-5s runs %d  min %.3f s  median %.3f s  max %.3f s\n",
		    s, NR, t[1], t[int((NR + 1) / 2)], t[NR] }'
done

#!/usr/bin/env bash
# Ticks per second of kelvo at its fastest period (pm_interval 1), with the
# publisher and the input reader running as usual.
#
#   bench/tick_rate.sh [path/to/kelvo] [seconds]
set -euo pipefail
bin=$(realpath "${1:-build/kelvo}")
secs=${2:-10}
dir=$(mktemp -d /tmp/kelvo-rate.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/pps"
export PPS_ROOT=$dir/pps

# A first run writes the default document; then make it tick every 1 ms.
"$bin" -i "$dir" & pid=$!
while [ ! -s "$dir/kelvoweb.xml" ]; do sleep 0.05; done
kill -TERM $pid; wait $pid || true
sed -i 's|<pm_interval>[0-9]*<|<pm_interval>1<|' "$dir/kelvoweb.xml"

# -vv prints one line per tick.
"$bin" -vv "$dir" > "$dir/trace" & pid=$!
sleep "$secs"
kill -TERM $pid; wait $pid || true
ticks=$(grep -cE '^[0-9]{4}  ' "$dir/trace")
awk -v t="$ticks" -v s="$secs" 'BEGIN { printf "%d ticks in %d s: %.0f ticks per second at pm_interval 1\n", t, s, t / s }'

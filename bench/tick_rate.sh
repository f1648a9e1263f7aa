#!/usr/bin/env bash
# Ticks per second of kelvo at its fastest period (pm_interval 1), with the
# publisher and the input reader running as usual, and what a tick costs in
# CPU time (all threads, from the scheduler's own accounts).  When
# bench_store is beside kelvo (build/bench/bench_store), it also measures
# the bare file operations a tick needs (read the document, write a
# temporary file, rename; three times), at the same pace with a 1 ms pause
# (BM_BareTick) and back to back (3 x BM_BareFileOperations), and prints
# the tick's CPU time as a multiple of each.
#
#   bench/tick_rate.sh [path/to/kelvo] [seconds] [kelvo's options...]
#
# Options after the seconds go to kelvo: -p modern -m AUTO measures a
# modern thermostat in AUTO.
set -euo pipefail
bin=$(realpath "${1:-build/kelvo}")
secs=${2:-10}
shift $(( $# < 2 ? $# : 2 ))
bench=$(dirname "$bin")/bench/bench_store
. "$(dirname "$0")/fast_root.sh"
fast_root rate

# Nanoseconds on a CPU, summed over the threads of process $1.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null |
    awk '{ s += $1 } END { printf "%.0f\n", s }'; }

# -vv prints one line per tick.
"$bin" -vv "$@" "$dir" > "$dir/trace" & pid=$!
sleep "$secs"
cpu=$(cpu_ns $pid)
kill -TERM $pid; wait $pid || true
ticks=$(grep -cE '^[0-9]{4}  ' "$dir/trace")
awk -v t="$ticks" -v s="$secs" -v c="$cpu" 'BEGIN {
	printf "%d ticks in %d s: %.0f ticks per second at pm_interval 1\n",
	    t, s, t / s
	printf "CPU per tick: %.0f us\n", c / t / 1000 }'

[ -x "$bench" ] || exit 0
# CPU time per iteration, in ns, of each bare benchmark.
"$bench" --benchmark_filter='^BM_Bare(FileOperations|Tick)' \
    --benchmark_min_time="$secs" --benchmark_format=csv 2>/dev/null > "$dir/bare"
awk -F, -v t="$ticks" -v c="$cpu" '
	/BM_BareTick/ { paced = $4 }
	/BM_BareFileOperations/ { once = $4 }
	END {
		printf "bare file operations of a tick, 1 ms apart: %.0f us CPU: " \
		    "tick %.2fx\n", paced / 1000, c / t / paced
		printf "bare file operations of a tick, back to back: %.0f us CPU: " \
		    "tick %.2fx\n", 3 * once / 1000, c / t / (3 * once)
	}' "$dir/bare"

#!/usr/bin/env bash
# What kills leave behind: kelvo at pm_interval 1 (a publication every
# millisecond or so) is killed with SIGKILL at a random instant, started
# again and killed again; then the temporary files of the outputs object
# still in the PPS directory are counted.
#
#   bench/kill_litter.sh [path/to/kelvo] [kills]
set -euo pipefail
bin=$(realpath "${1:-build/kelvo}")
kills=${2:-200}
. "$(dirname "$0")/fast_root.sh"
fast_root litter

RANDOM=7
for ((i = 0; i < kills; i++)); do
	"$bin" "$dir" & pid=$!
	sleep "0.0$(printf '%02d' $((RANDOM % 30)))"
	kill -KILL $pid
	wait $pid 2>/dev/null || true
done
left=$(find "$dir/pps/kelvo" -maxdepth 1 -name '.outputs.*' | wc -l)
echo "$kills kills at random instants: $left temporary files of the outputs object left"

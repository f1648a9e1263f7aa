#!/usr/bin/env bash
# Builds the libFuzzer targets with ASan and UBSan, then runs each one in
# turn for a fixed time on a copy of its seed corpus.
#
#   fuzz/run.sh [seconds [build-dir [target...]]]   default 30 s, build-fuzz,
#                                                   every target
#
# Each target works on a scratch copy of fuzz/corpus/<name>, so the inputs
# a run finds never end up in the repository by accident; to keep some,
# copy them over by hand.  Crash files land in the scratch dir, whose path
# is printed; it is removed after a clean run.  Exits non-zero when a target crashes or fails to run.
set -euo pipefail

secs=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${2:-$root/build-fuzz}
shift $(($# < 2 ? $# : 2))

case $secs in
''|*[!0-9]*) echo "usage: fuzz/run.sh [seconds [build-dir [target...]]]" >&2; exit 2 ;;
esac

if ! command -v clang++ >/dev/null; then
	echo "fuzz: clang++ not found (Debian: apt-get install clang libclang-rt-dev)" >&2
	exit 2
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKELVO_FUZZ=ON \
    -DKELVO_TESTS=OFF -DKELVO_BENCH=OFF \
    -DKELVO_SANITIZE=address,undefined >/dev/null
# The machine is shared: one compile at a time.
all="fuzz_events fuzz_store fuzz_web fuzz_mqtt_command fuzz_client_text"
targets=${*:-$all}
for t in $targets; do
	case " $all " in
	*" $t "*) ;;
	*) echo "fuzz: no target $t (targets: $all)" >&2; exit 2 ;;
	esac
done
cmake --build "$build" -j1 --target $targets

scratch=$(mktemp -d /tmp/kelvo-fuzz.XXXXXX)
echo "fuzz: scratch corpora and crash files in $scratch"

status=0
for target in $targets; do
	corpus=$scratch/$target/corpus
	mkdir -p "$corpus"
	cp "$here/corpus/${target#fuzz_}/"* "$corpus/"
	log=$scratch/$target/log
	echo "fuzz: $target for ${secs}s"
	# One worker: the fuzzer must not take both cores.  A failing run
	# leaves crash-* (or leak-*, timeout-*) files beside the log.
	if (cd "$scratch/$target" && ASAN_OPTIONS=detect_leaks=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    "$build/fuzz/$target" -max_total_time="$secs" -jobs=1 -workers=1 \
	    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	    "$corpus" >"$log" 2>&1); then
		:
	else
		status=1
		echo "fuzz: $target FAILED; last lines of $log:"
		tail -n 40 "$log"
	fi
	# The last status line has the executions and the coverage reached.
	grep -E '^#[0-9]+' "$log" | tail -n 1 || true
	grep -E '^stat::number_of_executed_units' "$log" || true
	ls "$scratch/$target" | grep -E '^(crash|leak|timeout|oom)-' || true
done
# A clean run leaves nothing behind; a failing one keeps its evidence.
if [ $status -eq 0 ]; then
	rm -rf "$scratch"
else
	echo "fuzz: crash files and logs kept in $scratch"
fi
exit $status

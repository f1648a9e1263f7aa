#!/usr/bin/env bash
# kelvo-web under load, on loopback: wrk against /api/state with
# keep-alive, 64 connections for 30 s, while 64 event streams are open
# (from 127.0.0.2, another client address) and kelvo publishes every
# 1 ms.  Prints the requests per second, the latency percentiles, the
# errors (socket errors and answers other than 200), the state events the
# streams got, and kelvo-web's resident memory before and after (after:
# 2 s past the end of wrk, its connections gone).
#
#   bench/web_load.sh [build-dir [seconds]]      default build, 30 s
#
# wrk comes from Debian; the script installs it when it is missing and
# it runs as root.  Everything it starts is ended on exit.
set -euo pipefail
build=$(realpath "${1:-build}")
secs=${2:-30}
bin=$build/kelvo
web=$build/web/kelvo-web
conns=64
streams=64

case $secs in
''|*[!0-9]*) echo "usage: bench/web_load.sh [build-dir [seconds]]" >&2; exit 2 ;;
esac
if ! command -v wrk >/dev/null; then
	if [ "$(id -u)" -eq 0 ]; then
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wrk >/dev/null
	else
		echo "web_load: wrk not found (Debian: apt-get install wrk)" >&2
		exit 2
	fi
fi

. "$(dirname "$0")/fast_root.sh"
fast_root webload
pids=()
cleanup() {
	for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
	wait 2>/dev/null || true
	rm -rf "$dir"
}
trap cleanup EXIT

rss() { awk '/^VmRSS/ { print $2 }' /proc/"$1"/status; }

"$bin" "$dir" 2>"$dir/kelvo.err" & pids+=($!)
"$web" --listen 127.0.0.1:0 >"$dir/web.out" 2>"$dir/web.err" & webpid=$!
pids+=($webpid)
for _ in $(seq 100); do
	grep -q '^kelvo-web: http' "$dir/web.out" 2>/dev/null && break
	sleep 0.1
done
port=$(sed -n 's|^kelvo-web: http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$dir/web.out")
url=http://127.0.0.1:$port
for _ in $(seq 100); do
	[ "$(curl -s -o /dev/null -w '%{http_code}' "$url/api/state")" = 200 ] &&
	    break
	sleep 0.1
done
rss_idle=$(rss $webpid)

# The streams, each counting the state events it gets; bounded in time.
for i in $(seq $streams); do
	timeout $((secs + 20)) curl -sN --interface 127.0.0.2 \
	    "$url/api/events" | grep -c '^event: state' >"$dir/stream.$i" &
	pids+=($!)
done
sleep 2
rss_before=$(rss $webpid)
open=$(curl -s "$url/api/state" -o /dev/null -w '%{http_code}')

timeout $((secs + 30)) wrk -t2 -c$conns -d"${secs}s" --latency \
    "$url/api/state" >"$dir/wrk" 2>&1 || true
sleep 2
rss_after=$(rss $webpid)
kill -TERM $webpid
wait $webpid || true

cat "$dir/wrk"
awk '
	/Requests\/sec/ { rps = $2 }
	/requests in/ { total = $1 }
	/^ +50%/ { p50 = $2 } /^ +99%/ { p99 = $2 }
	/Socket errors/ { sock = $0; sub(/.*Socket errors: */, "", sock) }
	/Non-2xx/ { non2xx = $NF }
	END {
		printf "requests: %s, %s per second; latency p50 %s, p99 %s\n",
		    total, rps, p50, p99
		printf "errors: non-2xx %d, sockets: %s\n", non2xx,
		    sock == "" ? "none" : sock
	}' "$dir/wrk"
cat "$dir"/stream.* | awk -v n=$streams -v s="$secs" '
	{ sum += $1; if ($1 > 0) live++ }
	END { printf "streams: %d of %d got state events, %d in all " \
	    "(about %.0f a second each)\n", live, n, sum, sum / n / (s + 4) }'
echo "state answer before wrk with the streams open: $open"
echo "kelvo-web resident memory: $rss_idle kB idle, $rss_before kB with" \
    "$streams streams, $rss_after kB after wrk ($((rss_after - rss_before)) kB)"
echo "kelvo-web's log:"; sed 's/^/  /' "$dir/web.err"

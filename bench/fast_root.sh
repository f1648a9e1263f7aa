# Sourced by the benchmark scripts: a scratch root for kelvo ($dir, with
# its PPS objects under $dir/pps, removed on exit) whose document ticks
# every 1 ms.  A first run of kelvo ($bin) writes the default document.
#
#   fast_root NAME
fast_root() {
	dir=$(mktemp -d "/tmp/kelvo-$1.XXXXXX")
	trap 'rm -rf "$dir"' EXIT
	mkdir "$dir/pps"
	export PPS_ROOT=$dir/pps

	"$bin" -i "$dir" & local pid=$!
	while [ ! -s "$dir/kelvoweb.xml" ]; do sleep 0.05; done
	kill -TERM $pid; wait $pid || true
	sed -i 's|<pm_interval>[0-9]*<|<pm_interval>1<|' "$dir/kelvoweb.xml"
}

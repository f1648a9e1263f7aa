#!/usr/bin/env bash
# Sets up, builds and runs kelvo or its tests.
#
#   ./build.sh run [kelvo options]   build, then run kelvo and kelvo-web on
#                                    ./state (KELVO_WEB_LISTEN=ADDR:PORT to
#                                    listen elsewhere than 127.0.0.1:8080)
#   ./build.sh test                  build, then run every test
#   ./build.sh build                 only build (into ./build)
#   ./build.sh package               the Debian package, kelvo_*.deb (in
#                                    ./build-package, without tests)
#
# Missing Debian packages are installed first when run as root.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES="build-essential cmake pkg-config libtinyxml-dev libgtest-dev
  libbenchmark-dev libncurses-dev tmux nlohmann-json3-dev libmicrohttpd-dev
  libjs-chart.js libmosquitto-dev mosquitto mosquitto-clients openssl
  python3-paho-mqtt python3-jinja2 libsqlite3-dev sqlite3 nats-server iproute2
  python3-jsonschema
  chromium chromium-driver python3-selenium curl dpkg-dev mandoc man-db
  lintian libyaml-cpp-dev
  systemd nodejs"

setup() {
	local missing=()
	for p in $PACKAGES; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
		    grep -q "install ok installed" || missing+=("$p")
	done
	# Debian's npm is a package of its own; NodeSource's nodejs has it.
	command -v npm >/dev/null 2>&1 || missing+=(npm)
	[ ${#missing[@]} -eq 0 ] && return
	if [ "$(id -u)" -ne 0 ]; then
		echo "build.sh: missing packages: ${missing[*]}" >&2
		echo "build.sh: run as root, or: apt-get install ${missing[*]}" >&2
		exit 1
	fi
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# kelvo-matter's dependencies, exactly as the lock file has them, when
# they are missing or older than the lock file.
matter_deps() {
	local stamp=matter/node_modules/.package-lock.json
	if [ ! -f "$stamp" ] || [ matter/package-lock.json -nt "$stamp" ]; then
		(cd matter && npm ci --no-audit --no-fund)
	fi
}

build() {
	matter_deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_MATTER=ON >/dev/null
	cmake --build build -j "$(nproc)"
}

cmd=${1:-run}
[ $# -gt 0 ] && shift
case "$cmd" in
run)
	setup
	build
	mkdir -p state/pps
	echo "kelvo: state in ./state/kelvoweb.xml, PPS objects in ./state/pps/kelvo; Ctrl-C stops both"
	export PPS_ROOT="$PWD/state/pps"
	build/kelvo "${@:--v}" state &
	kelvo=$!
	build/web/kelvo-web --listen "${KELVO_WEB_LISTEN:-127.0.0.1:8080}" &
	web=$!
	# Ctrl-C reaches both through the terminal as well; either one
	# ending ends the other, and the script waits for both.
	stop() { kill -TERM "$kelvo" "$web" 2>/dev/null || true; }
	trap stop INT TERM
	wait -n "$kelvo" "$web" || true
	stop
	wait "$kelvo" "$web" 2>/dev/null || true
	;;
test)
	setup
	build
	cd build && ctest --output-on-failure -j "$(nproc)"
	;;
build)
	setup
	build
	;;
package)
	setup
	# Its own build directory: no tests or benchmarks, installed under
	# /usr, whatever ./build was configured with.
	matter_deps
	cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_INSTALL_PREFIX=/usr -DKELVO_TESTS=OFF -DKELVO_BENCH=OFF \
	    -DKELVO_FUZZ=OFF -DKELVO_SANITIZE= -DKELVO_MATTER=ON >/dev/null
	cmake --build build-package -j "$(nproc)"
	rm -f build-package/kelvo_*.deb
	(cd build-package && cpack -G DEB)
	ls build-package/kelvo_*.deb
	;;
*)
	echo "usage: ./build.sh run [kelvo options] | test | build | package" >&2
	exit 2
	;;
esac

#!/usr/bin/env bash
# Installs the package on this machine, runs what it installed and removes
# it again (as root; CI does this on its fresh machine):
#
#   packaging/smoke.sh build-package/kelvo_*.deb
#
# - the package installs with apt-get, makes the kelvo user, and its units
#   verify in place;
# - the installed kelvo, run as that user in a scratch root with its own
#   PPS_ROOT, publishes tick after tick and stops cleanly on SIGTERM;
# - when the package has kelvo-web: it listens on 127.0.0.1, port 0, and
#   answers GET /api/state with 200 and the state in JSON;
# - when the package has kelvo-mqtt (and Mosquitto and paho are here): it
#   bridges to a broker on a free loopback port, retained state and all;
# - apt-get remove takes the programs away and leaves the settings files;
#   when kelvo was not on the machine before, a purge then takes those.
#
# Every server listens on 127.0.0.1 only; every wait is bounded.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
	echo "usage: packaging/smoke.sh kelvo_VERSION_ARCH.deb" >&2
	exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "packaging/smoke.sh: installs a package, so run it as root" >&2
	exit 1
fi
deb=$(realpath "$1")
# What was here before is left as it was: only a package this run
# brought in is purged at the end.
before=$(dpkg-query -W -f='${Status}' kelvo 2>/dev/null || true)

scratch=$(mktemp -d)
chmod 755 "$scratch"
pids=()
installed=
cleanup() {
	local p
	for p in "${pids[@]}"; do
		kill -KILL "$p" 2>/dev/null || true
	done
	rm -rf "$scratch"
	# After a failure, leave the machine as it was found.
	if [ -n "$installed" ] && dpkg-query -L kelvo >/dev/null 2>&1; then
		DEBIAN_FRONTEND=noninteractive apt-get remove -y -q kelvo \
		    >/dev/null 2>&1 || true
	fi
}
trap cleanup EXIT

fail() {
	echo "packaging/smoke.sh: $*" >&2
	exit 1
}

# Runs a command as the kelvo user, as the units do.  setpriv and env
# exec it, so $! is the program itself: signals reach it and its exit
# status is its own.
as_kelvo=(setpriv --reuid=kelvo --regid=kelvo --clear-groups --no-new-privs
    --reset-env env PPS_ROOT="$scratch/pps")

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
	local end=$((SECONDS + $1))
	shift
	until "$@"; do
		[ $SECONDS -lt "$end" ] || return 1
		sleep 0.1
	done
}

# Sends SIGTERM to $1 and checks that it exits with status 0; a watchdog
# kills it after 10 s, which shows as status 137.
stop() {
	local pid=$1 name=$2 rc=0 dog
	kill -TERM "$pid"
	(sleep 10; kill -KILL "$pid" 2>/dev/null) &
	dog=$!
	wait "$pid" || rc=$?
	kill "$dog" 2>/dev/null || true
	wait "$dog" 2>/dev/null || true
	[ $rc -eq 0 ] || fail "$name exited with status $rc on SIGTERM"
	echo "$name: stopped by SIGTERM, status 0"
}

echo "--- contents of $(basename "$deb")"
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -c "$deb"

echo "--- apt-get install"
installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "$deb"
getent passwd kelvo >/dev/null || fail "no kelvo user after installing"
has() { dpkg-query -L kelvo | grep -qx "/usr/bin/$1"; }
for p in kelvo kelvo-panel kelvo-web kelvo-mqtt kelvo-ctl kelvo-matter; do
	if has "$p"; then
		[ -x "/usr/bin/$p" ] || fail "/usr/bin/$p not executable"
		dpkg-query -L kelvo | grep -qx "/usr/share/man/man1/$p.1.gz" ||
		    fail "no man page for $p"
		echo "installed: /usr/bin/$p and its man page"
		if [ "$p" = kelvo-web ] || [ "$p" = kelvo-mqtt ] ||
		    [ "$p" = kelvo-matter ]; then
			f=/etc/default/$p
			[ "$(stat -c %a "$f" 2>/dev/null)" = 600 ] ||
			    fail "$f missing or not 0600"
			dpkg-query -W -f='${Conffiles}\n' kelvo |
			    grep -q "^ $f " || fail "$f is not a conffile"
			grep -qv '^#' "$f" && fail "$f sets something"
			echo "installed: $f, a conffile, 0600"
		fi
	else
		echo "not in this package: $p"
	fi
done
for unit in $(dpkg-query -L kelvo | grep '/systemd/system/.*\.service$'); do
	out=$(cd "$scratch" && systemd-analyze verify "$unit" 2>&1) ||
	    out="${out:-verify failed}"
	[ -z "$out" ] || fail "$unit: $out"
	echo "installed unit verifies: $unit"
done

echo "--- kelvo"
mkdir -p "$scratch/state" "$scratch/pps"
chown kelvo:kelvo "$scratch/state" "$scratch/pps"
"${as_kelvo[@]}" /usr/bin/kelvo "$scratch/state" >"$scratch/kelvo.out" 2>&1 &
kelvo=$!
pids+=("$kelvo")
outputs=$scratch/pps/kelvo/outputs
published_time() {
	sed -n 's/^td_time_::\([0-9][0-9]*\)$/\1/p' "$outputs" 2>/dev/null
}
published() { [ -n "$(published_time)" ]; }
wait_for 10 published ||
    fail "kelvo published nothing in $outputs within 10 s"
first=$(published_time)
clock_moved() {
	local t
	t=$(published_time)
	[ -n "$t" ] && [ "$t" != "$first" ]
}
wait_for 10 clock_moved ||
    fail "kelvo's clock did not move on from $first within 10 s"
for line in @outputs ts_mode::HEAT ts_fan::AUTO ts_temp::68; do
	grep -qx "$line" "$outputs" ||
	    fail "no $line in the publication: $(cat "$outputs")"
done
echo "kelvo: published td_time_ $first, then $(published_time)"
[ -s "$scratch/state/kelvoweb.xml" ] || fail "no state document"

if has kelvo-web; then
	echo "--- kelvo-web"
	"${as_kelvo[@]}" /usr/bin/kelvo-web --listen 127.0.0.1:0 \
	    >"$scratch/web.out" 2>"$scratch/web.err" &
	web=$!
	pids+=("$web")
	wait_for 10 grep -q '^kelvo-web: http://' "$scratch/web.out" ||
	    fail "kelvo-web printed no URL within 10 s: $(cat "$scratch/web.err")"
	url=$(sed -n 's/^kelvo-web: \(http:[^ ]*\)$/\1/p' "$scratch/web.out")
	case "$url" in
	http://127.0.0.1:[1-9]*/) ;;
	*) fail "kelvo-web's URL is not on 127.0.0.1: $url" ;;
	esac
	echo "kelvo-web: $url"
	got=$(curl -sS -m 10 -o "$scratch/state.json" \
	    -w '%{http_code} %{content_type}' "${url}api/state")
	case "$got" in
	"200 application/json"*) ;;
	*) fail "GET /api/state: $got" ;;
	esac
	/usr/bin/python3 - "$scratch/state.json" <<'EOF' || fail "bad /api/state"
import json, sys
s = json.load(open(sys.argv[1]))
assert s["ts_mode"] == "HEAT" and s["ts_temp"] == 68, s
assert isinstance(s["td_temp_in_"], float), s
print("GET /api/state: 200,", json.dumps(s))
EOF
	stop "$web" kelvo-web
fi

if has kelvo-mqtt && [ -x /usr/sbin/mosquitto ] &&
    /usr/bin/python3 -c 'import paho.mqtt.client' 2>/dev/null; then
	echo "--- kelvo-mqtt"
	port=$(/usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
	printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" \
	    >"$scratch/mosquitto.conf"
	chmod 644 "$scratch/mosquitto.conf"
	/usr/sbin/mosquitto -c "$scratch/mosquitto.conf" \
	    2>"$scratch/mosquitto.err" &
	broker=$!
	pids+=("$broker")
	"${as_kelvo[@]}" /usr/bin/kelvo-mqtt --broker "127.0.0.1:$port" --id ci \
	    2>"$scratch/mqtt.err" &
	mqtt=$!
	pids+=("$mqtt")
	/usr/bin/python3 - "$port" <<'EOF' ||
import json, sys, time
import paho.mqtt.client as mqtt
got = {}
def on_connect(c, u, f, rc):
    c.subscribe([("kelvo/ci/state", 0), ("kelvo/ci/availability", 0)])
def on_message(c, u, m):
    got[m.topic] = m.payload.decode()
c = mqtt.Client()
c.on_connect = on_connect
c.on_message = on_message
end = time.time() + 20
while True:
    try:
        c.connect("127.0.0.1", int(sys.argv[1]))
        break
    except OSError:
        if time.time() > end:
            raise
        time.sleep(0.2)
c.loop_start()
while time.time() < end and not ("kelvo/ci/state" in got and
        got.get("kelvo/ci/availability") == "online"):
    time.sleep(0.1)
c.loop_stop()
s = json.loads(got["kelvo/ci/state"])
assert s["ts_mode"] == "HEAT" and s["ts_temp"] == 68, s
print("kelvo-mqtt: online, state", json.dumps(s))
EOF
	    fail "kelvo-mqtt: no state or availability: $(cat "$scratch/mqtt.err")"
	stop "$mqtt" kelvo-mqtt
	kill -TERM "$broker"
	wait "$broker" || true
fi

stop "$kelvo" kelvo

echo "--- apt-get remove"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q kelvo
for p in kelvo kelvo-panel kelvo-web kelvo-mqtt kelvo-ctl kelvo-matter; do
	[ ! -e "/usr/bin/$p" ] || fail "/usr/bin/$p left after removing"
done
[ -f /etc/default/kelvo-mqtt ] || fail "a remove took /etc/default/kelvo-mqtt"
if [ -z "$before" ]; then
	echo "--- apt-get purge"
	DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvo
	for f in /etc/default/kelvo-web /etc/default/kelvo-mqtt /etc/default/kelvo-matter; do
		[ ! -e "$f" ] || fail "$f left after purging"
	done
fi
echo "packaging/smoke.sh: installed, ran and removed $(basename "$deb")"

#!/usr/bin/env bash
# Checks what the package ships, from a configured and built tree:
#
#   packaging/check.sh [BUILDDIR]       (default build-package)
#
# - every man page is clean under `mandoc -Tlint -W warning`;
# - every unit passes `systemd-analyze verify` without a word, in a scratch
#   root holding this system's units, the staged install and the pages;
# - every unit's `systemd-analyze security` exposure is 1.5 or lower;
# - the package itself (BUILDDIR/kelvo_*.deb) has no lintian error or
#   warning, ships its copyright, changelog and settings files as
#   conffiles, and its changelog's version is the package's.
#
# All four units are checked whether or not their program is built yet:
# a program that is not gets an empty stand-in in the scratch root, since
# verify insists that ExecStart= names an executable.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-package}
max_exposure=15		# tenths, as --threshold takes it
units="kelvo kelvo-web kelvo-mqtt kelvo-matter kelvo-fleet"
fail=0

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "man pages:"
for page in man/*.1; do
	out=$(mandoc -Tlint -W warning "$page" 2>&1) || true
	if [ -n "$out" ]; then
		echo "$out"
		fail=1
	else
		echo "  $page: clean"
	fi
done

root=$scratch/root
DESTDIR=$root cmake --install "$build" >/dev/null
unitdir=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null) ||
    unitdir=/lib/systemd/system
mkdir -p "$root/lib/systemd/system" "$root/etc/systemd/system" \
    "$scratch/man/man1"
cp -a "$unitdir/." "$root/lib/systemd/system/"
cp man/*.1 "$scratch/man/man1/"

echo "units:"
for u in $units; do
	file=$build/systemd/$u.service
	if [ ! -f "$file" ]; then
		echo "  $u.service: not configured in $build" >&2
		fail=1
		continue
	fi
	cp "$file" "$root/etc/systemd/system/"
	exe=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$file")
	note=
	if [ ! -x "$root$exe" ]; then
		mkdir -p "$(dirname "$root$exe")"
		printf '#!/bin/sh\nexit 1\n' >"$root$exe"
		chmod 755 "$root$exe"
		note=" ($exe not built: checked with a stand-in)"
	fi
	out=$(cd "$scratch" && MANPATH=$scratch/man \
	    systemd-analyze verify --root="$root" "$u.service" 2>&1) ||
	    out="${out:-systemd-analyze verify failed}"
	if [ -n "$out" ]; then
		printf '%s\n' "$out" | while IFS= read -r line; do
			echo "  $u.service: $line"
		done
		fail=1
	else
		echo "  $u.service: verify clean$note"
	fi
done

echo "exposure (systemd-analyze security --offline=true, at most 1.5):"
for u in $units; do
	file=$root/etc/systemd/system/$u.service
	[ -f "$file" ] || continue
	rc=0
	out=$(systemd-analyze security --offline=true \
	    --threshold=$max_exposure "$file" 2>&1) || rc=$?
	level=$(echo "$out" | sed -n 's/.*Overall exposure level for [^:]*: //p')
	echo "  $u.service: ${level:-?}"
	if [ $rc -ne 0 ] || [ -z "$level" ]; then
		echo "$out" | grep -v '^✓' >&2
		fail=1
	fi
done

echo "package:"
debs=("$build"/kelvo_*.deb)
if [ ! -f "${debs[0]}" ]; then
	echo "  no $build/kelvo_*.deb: ./build.sh package makes it" >&2
	fail=1
else
	deb=${debs[0]}
	out=$(lintian --fail-on error,warning "$deb" 2>&1) || fail=1
	out=$(printf '%s\n' "$out" | grep -v '^running with root' || true)
	if [ -n "$out" ]; then
		printf '%s\n' "$out" | sed 's/^/  lintian: /'
	fi
	[ $fail -eq 0 ] && echo "  $(basename "$deb"): lintian clean"
	want="/etc/default/kelvo-mqtt"
	[ -f "$root/etc/default/kelvo-matter" ] && want="/etc/default/kelvo-matter $want"
	[ -f "$root/etc/default/kelvo-web" ] && want="/etc/default/kelvo-web $want"
	[ -f "$root/etc/default/kelvo-fleet" ] && want="/etc/default/kelvo-fleet $want"
	for f in $want; do
		if ! dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles \
		    >"$scratch/conffiles" || ! grep -qx "$f" "$scratch/conffiles"; then
			echo "  $f: not a conffile" >&2
			fail=1
		fi
	done
	dpkg-deb -c "$deb" >"$scratch/contents"
	for f in usr/share/doc/kelvo/copyright usr/share/doc/kelvo/changelog.gz; do
		grep -q " \./$f\$" "$scratch/contents" ||
		    { echo "  /$f: missing" >&2; fail=1; }
	done
	version=$(dpkg-deb -f "$deb" Version)
	logged=$(dpkg-parsechangelog -l packaging/changelog -S Version)
	if [ "$version" != "$logged" ]; then
		echo "  packaging/changelog is at $logged, the package at" \
		    "$version: add an entry" >&2
		fail=1
	fi
fi

if [ $fail -ne 0 ]; then
	echo "packaging/check.sh: FAILED" >&2
	exit 1
fi
echo "packaging/check.sh: all clean"

#!/usr/bin/env bash
# Installs the build into a temporary folder, builds an application with pkg-config alone,
# registers teskroot with the installed tesk in a fresh prefix and runs the application,
# then unregisters it and expects the class-not-registered code.
set -euo pipefail
build=$1
here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/usr" >/dev/null
export PKG_CONFIG_PATH="$work/usr/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -o "$work/app" "$here/app.cpp" $(pkg-config --cflags --libs tesk)

export TESK_PREFIX="$work/prefix"
"$work/usr/bin/tesk" regsvr libteskroot.so
out=$("$work/app")
echo "$out"
[ "$out" = "revision 0x00020000 count 1 next 0x00000001 fetched 0" ]

"$work/usr/bin/tesk" regsvr -u libteskroot.so
set +e
out=$("$work/app")
rc=$?
set -e
echo "$out"
[ $rc -eq 3 ] && [ "$out" = "GetMediaDeviceManager 0x80040154" ]
echo "install check passed"

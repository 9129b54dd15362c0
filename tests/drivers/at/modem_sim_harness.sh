#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a Windows test program of the AT driver under Wine beside
# modem_sim_server, which runs the program's modem simulators on
# pseudo-terminals linked as COM ports of the Wine prefix. Each run takes ten
# COM ports of its own (TALVENIX_TEST_COM_BASE, from 100 up), so runs at once
# never share a port. The server stops when the harness ends.
#
# Usage: modem_sim_harness.sh SERVER LEFT_OUT TEST.exe [gtest arguments...]
# LEFT_OUT names the cases that do not run under Wine (A.B:C.D, or "");
# a --gtest_filter among the arguments overrides it. The program runs through
# cmake/wine-run, in the build's Wine prefix.
set -eu

server=$1
left_out=$2
exe=$(realpath "$3")
shift 3
wine_run=$(dirname "$(realpath "$0")")/../../../cmake/wine-run
prefix=${TALVENIX_WINEPREFIX:-$(cd "$(dirname "$exe")/.." && pwd)/wineprefix}
work=$(mktemp -d /tmp/talvenix-modems.XXXXXX)
# A range is taken by making its folder; one whose harness died (killed at a
# time-out) is free again.
base=100
while ! mkdir "$prefix.com$base" 2>/dev/null; do
  owner=$(cat "$prefix.com$base/pid" 2>/dev/null || true)
  if [ -n "$owner" ] && ! kill -0 "$owner" 2>/dev/null; then
    rm -rf "$prefix.com$base"
    continue
  fi
  base=$((base + 10))
  if [ "$base" -gt 240 ]; then
    echo "modem_sim_harness: no free range of COM ports" >&2
    exit 1
  fi
done
echo $$ >"$prefix.com$base/pid"
pid=""
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$prefix.com$base"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

"$server" "$prefix/dosdevices" "$work/port" &
pid=$!
tries=0
while [ ! -s "$work/port" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 250 ] || ! kill -0 "$pid" 2>/dev/null; then
    echo "modem_sim_harness: the server did not start" >&2
    exit 1
  fi
  sleep 0.02
done

export TALVENIX_TEST_MODEM_SIM_PORT=$(cat "$work/port") TALVENIX_TEST_COM_BASE=$base
"$wine_run" "$exe" --gtest_filter="-$left_out" "$@"

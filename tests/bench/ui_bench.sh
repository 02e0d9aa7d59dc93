#!/usr/bin/env bash
# Runs the station benchmarks over an isolated pcscd with the virtual token and
# prints the figures:  tests/bench/ui_bench.sh [BUILD_DIR] [SECONDS] [BURNS]
# Idle CPU is measured for pcsc-tools' pcsc_scan (waiting for events on the
# same pcscd, as a yardstick; skipped when it is not installed), for the
# station waiting for events, for the station with events turned off (its
# 50 ms passes), and for a bare loop of the passes' PC/SC calls.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seconds=${2:-30}
burns=${3:-20}
stack=$(mktemp -d /tmp/zz-ui-bench.XXXXXX)
trap 'bash "$root/scripts/pcsc-stack.sh" stop "$stack"; rm -rf "$stack"' EXIT
VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch \
  bash "$root/scripts/pcsc-stack.sh" start "$stack" -- --serial ZZBENCH01
eval "$(bash "$root/scripts/pcsc-stack.sh" env "$stack")"
export QT_QPA_PLATFORM=offscreen
pcscd_pid=$(cat "$stack/pcscd.pid")
bench=$build/tests/bench/ui_bench

echo "== idle, reader and token present, ${seconds} s each"
if command -v pcsc_scan >/dev/null; then
  pcsc_scan -q >/dev/null 2>&1 &
  scan=$!
  sleep 1
  "$bench" watch "$seconds" "$pcscd_pid" "$scan"
  kill "$scan"; wait "$scan" 2>/dev/null || true
else
  echo "pcsc_scan: not installed (apt-get install pcsc-tools), no yardstick"
fi
echo "-- the station, waiting for events"
"$bench" idle "$seconds" "$pcscd_pid"
echo "-- the station with events turned off (ZERAZADUZU_PCSC_POLLING=1)"
ZERAZADUZU_PCSC_POLLING=1 "$bench" idle "$seconds" "$pcscd_pid"
echo "-- the passes' PC/SC calls alone"
"$bench" bare "$seconds" "$pcscd_pid"
echo "== arrival"
"$bench" arrival "$burns"
echo "-- with events turned off"
ZERAZADUZU_PCSC_POLLING=1 "$bench" arrival "$burns"
echo "== burn"
"$bench" burn "$burns"

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

cpu_ticks() {  # PID: user + system clock ticks so far
  local stat
  stat=$(cat "/proc/$1/stat")
  stat=${stat##*) }
  set -- $stat
  echo $(( ${12} + ${13} ))
}

echo "== idle, reader and token present, ${seconds} s each"
if command -v pcsc_scan >/dev/null; then
  pcsc_scan -q >/dev/null 2>&1 &
  scan=$!
  sleep 1
  hz=$(getconf CLK_TCK)
  s0=$(cpu_ticks "$scan"); p0=$(cpu_ticks "$pcscd_pid"); t0=$(date +%s.%N)
  sleep "$seconds"
  s1=$(cpu_ticks "$scan"); p1=$(cpu_ticks "$pcscd_pid"); t1=$(date +%s.%N)
  kill "$scan"; wait "$scan" 2>/dev/null || true
  awk -v s=$((s1 - s0)) -v p=$((p1 - p0)) -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {
    t = t1 - t0
    printf "pcsc_scan over %.1f s: own %.3f s CPU = %.2f %% of a core; pcscd %.3f s = %.2f %%; together %.2f %%\n",
      t, s / hz, 100 * s / hz / t, p / hz, 100 * p / hz / t, 100 * (s + p) / hz / t }'
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

#!/usr/bin/env bash
# Start-up time of the station: from the launch to its window being visible on
# an Xvfb of its own (no pcscd needed; the window shows without one).
#   tests/bench/startup_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-10}
command -v xdotool >/dev/null || { echo "needs xdotool (apt-get install xdotool)" >&2; exit 2; }
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=$display
until xdotool getdisplaygeometry >/dev/null 2>&1; do sleep 0.05; done
times=()
for ((i = 0; i < runs; i++)); do
  start=$(date +%s%N)
  "$build/ui/orvex-zerazaduzu" >/dev/null 2>&1 &
  station=$!
  until xdotool search --onlyvisible --name 'Orvex Zerazaduzu' >/dev/null 2>&1; do sleep 0.005; done
  times+=($(( ($(date +%s%N) - start) / 1000000 )))
  kill "$station"
  wait "$station" 2>/dev/null || true
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "start-up to visible window over $runs runs (ms): $(echo $sorted)"
echo "median: $(printf '%s\n' $sorted | sed -n "$(( (runs + 1) / 2 ))p") ms"

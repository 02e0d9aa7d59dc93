#!/usr/bin/env bash
# The station through the AT-SPI bus: the station on an Xvfb of its own, a
# private session bus with the accessibility bus, and a pyatspi SCRIPT as the
# screen reader. The station asks the pcscd of PCSCLITE_CSOCK_NAME when it is
# set, and no pcscd at all otherwise. Exit 77 (skipped) when a part is not
# installed.
#   at_spi_bus_test.sh STATION SCRIPT
set -euo pipefail
station=$1 script=$2
here=$(cd "$(dirname "$0")" && pwd)
launcher=/usr/libexec/at-spi-bus-launcher
python=
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import pyatspi' 2>/dev/null; then python=$candidate; break; fi
done
for need in Xvfb dbus-run-session "$launcher"; do
  command -v "$need" >/dev/null || { echo "SKIP: $need is not installed"; exit 77; }
done
[ -n "$python" ] || { echo "SKIP: python3-pyatspi is not installed"; exit 77; }

if [ "${1:-}" != --inside ]; then
  scratch=$(mktemp -d)
  trap 'kill $xvfb 2>/dev/null && wait $xvfb; rm -rf "$scratch"' EXIT
  exec 3>"$scratch/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
  xvfb=$!
  exec 3>&-
  until [ -s "$scratch/display" ]; do
    kill -0 $xvfb 2>/dev/null || { cat "$scratch/xvfb.log"; exit 1; }
    sleep 0.05
  done
  export DISPLAY=:$(cat "$scratch/display") SCRATCH=$scratch
  # The number is written as the server starts listening; a client is let in
  # only once the server answers one, so that a slow start under a sanitizer
  # build is not taken for a station that cannot reach its display.
  for _ in $(seq 100); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    kill -0 $xvfb 2>/dev/null || break
    sleep 0.05
  done
  xdotool getdisplaygeometry >/dev/null 2>&1 || { echo "FAIL: Xvfb on $DISPLAY does not answer"; cat "$scratch/xvfb.log"; exit 1; }
  dbus-run-session --config-file="$here/private-bus.conf" -- bash "$0" --inside "$station" "$script" "$python"
  exit
fi

shift
station=$1 script=$2 python=$3
"$launcher" --launch-immediately >"$SCRATCH/launcher.log" 2>&1 &
launcher_pid=$!
# The system's pcscd is never asked: the window shows without one.
PCSCLITE_CSOCK_NAME=${PCSCLITE_CSOCK_NAME:-$SCRATCH/no-pcscd} QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
  "$station" >"$SCRATCH/station.log" 2>&1 &
station_pid=$!
trap 'kill $station_pid $launcher_pid 2>/dev/null; wait' EXIT
status=0
timeout 120 "$python" "$script" || status=$?
[ $status -eq 0 ] || { echo "--- station output:"; cat "$SCRATCH/station.log"; }
exit $status

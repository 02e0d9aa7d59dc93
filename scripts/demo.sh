#!/usr/bin/env bash
# Demo: builds the station, starts an isolated pcscd with a vpcd reader, opens
# the station window on it and runs the virtual token in this terminal, which
# shows the token's display code at every time step and what the station wrote
# to it. Keys here: r = take the token out of / lay it on the reader, s = its
# state, q = quit. Closing the window or quitting the token ends the demo and
# stops everything started here.
#   demo.sh [VIRTUAL-TOKEN OPTIONS...]   (e.g. --serial ZZ00000042 --clock 2024/02/29/12/00/00)
# Without a display (no DISPLAY or WAYLAND_DISPLAY) only the token runs, and the
# station can be started by hand from another terminal as printed below.
#   demo.sh --pool                      two burner stations sharing a seed pool
#                                       in a PostgreSQL cluster of its own
#                                       (scripts/demo-pool.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --pool ]; then
  shift
  exec bash scripts/demo-pool.sh "$@"
fi
bash scripts/deps.sh build
build=${ZZ_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target virtual-token pcscd-socket-launch orvex-zerazaduzu -j2

stack=${ZZ_DEMO_STACK:-/tmp/zz-demo-stack}
station_pid=
cleanup() {
  [ -n "$station_pid" ] && kill "$station_pid" 2>/dev/null || true
  bash scripts/pcsc-stack.sh stop "$stack"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
export VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch
PCSC_STACK_NO_TOKEN=1 bash scripts/pcsc-stack.sh start "$stack"
eval "$(bash scripts/pcsc-stack.sh env "$stack")"
export PCSCLITE_CSOCK_NAME

cat <<INFO
The station talks to this demo's own pcscd:
    PCSCLITE_CSOCK_NAME=$PCSCLITE_CSOCK_NAME $build/ui/orvex-zerazaduzu
In the window: choose the reader "$ZZ_READER", press Connect, then Edit and type
a Base32 secret (or press Random), and press Burn.
Control the token from another terminal with
    $build/sim/virtual-token ctl $ZZ_VTOKEN_CONTROL state|remove|insert|set-clock ...

INFO
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$build/ui/orvex-zerazaduzu" &
  station_pid=$!
  # The token quits with the window.
  (while kill -0 "$station_pid" 2>/dev/null; do sleep 1; done
   pkill -TERM -f -- "--control $ZZ_VTOKEN_CONTROL" 2>/dev/null || true) &
else
  echo "No display: the window is not started."
fi
"$build/sim/virtual-token" --port "$ZZ_VPCD_PORT" --control "$ZZ_VTOKEN_CONTROL" "$@"

#!/usr/bin/env bash
# Demo: builds the project, starts an isolated pcscd with a vpcd reader, and
# runs the virtual token in this terminal, showing its display code at every
# time step and what the station writes to it. Keys: r = take the token out
# of / lay it on the field, s = its state, q = quit. Everything started here
# is stopped on exit.   demo.sh [VIRTUAL-TOKEN OPTIONS...]  (e.g. --serial, --clock)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
build=${ZZ_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target virtual-token pcscd-socket-launch -j2

stack=${ZZ_DEMO_STACK:-/tmp/zz-demo-stack}
trap 'bash scripts/pcsc-stack.sh stop "$stack"' EXIT
trap 'exit 130' INT TERM
export VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch
PCSC_STACK_NO_TOKEN=1 bash scripts/pcsc-stack.sh start "$stack"
eval "$(bash scripts/pcsc-stack.sh env "$stack")"

cat <<INFO
PC/SC clients reach this stack's pcscd with
    export PCSCLITE_CSOCK_NAME=$PCSCLITE_CSOCK_NAME
The reader is "$ZZ_READER"; control the token from another terminal with
    $build/sim/virtual-token ctl $ZZ_VTOKEN_CONTROL state|remove|insert|set-clock ...

INFO
"$build/sim/virtual-token" --port "$ZZ_VPCD_PORT" --control "$ZZ_VTOKEN_CONTROL" "$@"

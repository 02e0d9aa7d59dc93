#!/usr/bin/env bash
# Runs the station benchmarks over an isolated pcscd with the virtual token and
# prints the figures:  tests/bench/ui_bench.sh [BUILD_DIR] [SECONDS] [BURNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seconds=${2:-30}
burns=${3:-20}
stack=$(mktemp -d /tmp/zz-ui-bench.XXXXXX)
trap 'bash "$root/scripts/pcsc-stack.sh" stop "$stack"; rm -rf "$stack"' EXIT
VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch \
  bash "$root/scripts/pcsc-stack.sh" start "$stack" -- --serial ZZBENCH01
export PCSCLITE_CSOCK_NAME=$stack/run/pcscd.comm QT_QPA_PLATFORM=offscreen
pcscd_pid=$(cat "$stack/pcscd.pid")
bench=$build/tests/bench/ui_bench
echo "== idle, reader and token present, ${seconds} s each"
"$bench" bare "$seconds" "$pcscd_pid"
"$bench" idle "$seconds" "$pcscd_pid"
echo "== burn"
"$bench" burn "$burns"

#!/usr/bin/env bash
# The series soak over an isolated pcscd with the virtual token: BURNS burns in
# a row (default 500) from a seed file of SEED_LINES lines (default 100,000),
# another token each time; prints burns per minute, the station's resident
# memory at 0, half-way and at the end, and the export-line checks.
#   tests/bench/series_soak.sh [BUILD_DIR] [BURNS] [SEED_LINES]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
burns=${2:-500}
lines=${3:-100000}
stack=$(mktemp -d /tmp/zz-soak.XXXXXX)
trap 'bash "$root/scripts/pcsc-stack.sh" stop "$stack"; rm -rf "$stack"' EXIT
VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch \
  bash "$root/scripts/pcsc-stack.sh" start "$stack" -- --serial ZZSOAK0000
export PCSCLITE_CSOCK_NAME=$stack/run/pcscd.comm ZZ_VTOKEN_CONTROL=$stack/control QT_QPA_PLATFORM=offscreen
"$build/tests/bench/series_soak" "$burns" "$lines"

#!/usr/bin/env bash
# Throughput of orvex-zerazaduzu-burn on 1, 2 and 4 readers: an isolated pcscd
# with two vpcd entries of two slots each and a virtual token on every slot;
# BURNS tokens (default 500) from a seed file of SEED_LINES lines (default
# 100,000) on each reader count. Prints burns per minute, memory growth and
# the export-line checks (cli_bench.py). ZZ_TOKEN_ANSWER_DELAY_MS=N makes every
# virtual token answer each APDU N ms late, as a slow card does, so that the
# readers' exchanges overlap as they do with real tokens.
# ZZ_BENCH_PSKC_KEY_FILE=FILE adds a PSKC export file under that key.
#   tests/bench/cli_bench.sh [BUILD_DIR] [BURNS] [SEED_LINES]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
burns=${2:-500}
lines=${3:-100000}
stack=$(mktemp -d /tmp/zz-cli-bench.XXXXXX)
script=$root/scripts/pcsc-stack.sh
trap 'bash "$script" stop "$stack"; rm -rf "$stack"' EXIT
export VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch
delay=(--answer-delay "${ZZ_TOKEN_ANSWER_DELAY_MS:-0}")
bash "$script" start "$stack" -- --serial ZZBENCH0A "${delay[@]}" >/dev/null 2>&1
port=$(cat "$stack/port")
portB=$(bash "$script" entry-add "$stack")
bash "$script" slot-start "$stack" $((port + 1)) b -- --serial ZZBENCH0B "${delay[@]}" >/dev/null 2>&1
bash "$script" slot-start "$stack" "$portB" c -- --serial ZZBENCH0C "${delay[@]}" >/dev/null 2>&1
bash "$script" slot-start "$stack" $((portB + 1)) d -- --serial ZZBENCH0D "${delay[@]}" >/dev/null 2>&1
export PCSCLITE_CSOCK_NAME=$stack/run/pcscd.comm
python3 "$root/tests/bench/cli_bench.py" "$build/cli/orvex-zerazaduzu-burn" "$stack" "$burns" "$lines" \
  "Virtual PCD 00 00=$stack/control" "Virtual PCD B 00 00=$stack/control-c" \
  "Virtual PCD 00 01=$stack/control-b" "Virtual PCD B 00 01=$stack/control-d"

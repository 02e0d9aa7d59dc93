#!/usr/bin/env bash
# Token-link benchmark: builds it, starts an isolated pcscd with the virtual
# token, prints the median time of each command next to a bare pcsc-lite loop,
# and stops the stack again.   bench-tokenlink.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-50}
bash scripts/deps.sh build
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tokenlink_bench virtual-token pcscd-socket-launch -j2 >/dev/null

stack=$(mktemp -d /tmp/zz-bench-stack.XXXXXX)
trap 'bash scripts/pcsc-stack.sh stop "$stack"; rm -rf "$stack"' EXIT
export VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch
bash scripts/pcsc-stack.sh start "$stack"
eval "$(bash scripts/pcsc-stack.sh env "$stack")"
"$build/tests/bench/tokenlink_bench" "$runs"

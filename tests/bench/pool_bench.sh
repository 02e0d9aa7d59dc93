#!/usr/bin/env bash
# A bench of stations on one shared seed pool: an isolated pcscd with four vpcd
# entries of two slots each and a virtual token on every slot (eight readers),
# a temporary PostgreSQL cluster with a pool of 100,000 secrets of 20 bytes,
# and pool_bench.py driving orvex-zerazaduzu-burn as several stations at once.
#   throughput  one station on one reader (ZZ_POOL_BENCH_BASELINE tokens,
#               default 100), then four stations on two readers each (TOKENS,
#               default 800): burns per minute, the ratio, what the tokens hold
#               against the pool and the stations' hex files; then the pool's
#               cost per token (pool_cost_bench, ZZ_POOL_COST_CYCLES per
#               station, default 300; each station 20 a second, then flat out)
#   chaos       four stations on two readers each burn TOKENS (default 400)
#               while stations are killed and the database restarted; the
#               tokens against the pool and `reconcile`
#   cost        pool_cost_bench alone
#   all         throughput, cost and chaos on one pool (TOKENS is the
#               throughput's; the chaos burns 400)
# ZZ_TOKEN_ANSWER_DELAY_MS=N makes every virtual token answer N ms late;
# ZZ_POOL_BENCH_SEED fixes the chaos's random choices; ZZ_POOL_BENCH_KEEP=1
# keeps the work directory (the stations' output, journals and exports).
#   tests/bench/pool_bench.sh [throughput|chaos|cost|all] [BUILD_DIR] [TOKENS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
mode=throughput
case "${1:-}" in
  throughput | chaos | cost | all) mode=$1; shift ;;
esac
build=$(cd "${1:-$root/build}" && pwd)
tokens=${2:-}

burner=$build/cli/orvex-zerazaduzu-burn
cost_bench=$build/tests/bench/pool_cost_bench
admin=$(find "$build" -maxdepth 3 -type f -name orvex-zerazaduzu-pool -perm -u+x | head -n 1)
for program in "$burner" "$cost_bench" "$admin" "$build/sim/virtual-token" "$build/sim/pcscd-socket-launch"; do
  [ -n "$program" ] && [ -x "$program" ] || {
    echo "pool_bench: ${program:-orvex-zerazaduzu-pool} not built (targets orvex-zerazaduzu-burn" \
      "orvex-zerazaduzu-pool virtual-token pcscd-socket-launch pool_cost_bench)" >&2
    exit 2
  }
done

work=$(mktemp -d /tmp/zz-pool-bench.XXXXXX)
stack=$work/stack
pg=$work/pg
stack_script=$root/scripts/pcsc-stack.sh
pg_script=$root/scripts/pg-cluster.sh
cleanup() {
  # Burners the driver left running when it was stopped itself.
  if [ -f "$work/burner-pids" ]; then
    while read -r pid; do kill -KILL "$pid" 2>/dev/null || true; done <"$work/burner-pids"
  fi
  bash "$stack_script" stop "$stack" >/dev/null 2>&1 || true
  bash "$pg_script" stop "$pg" >/dev/null 2>&1 || true
  if [ "${ZZ_POOL_BENCH_KEEP:-0}" = 1 ]; then
    echo "pool_bench: work directory kept: $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# Every entry is added before a token runs: adding one restarts pcscd.
export VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch
PCSC_STACK_NO_TOKEN=1 bash "$stack_script" start "$stack" >/dev/null 2>&1
ports=("$(cat "$stack/port")")
for _ in 1 2 3; do ports+=("$(bash "$stack_script" entry-add "$stack")"); done
delay=(--answer-delay "${ZZ_TOKEN_ANSWER_DELAY_MS:-0}")
entries=("Virtual PCD" "Virtual PCD B" "Virtual PCD C" "Virtual PCD D")
letters=(a b c d)
readers=()
for i in 0 1 2 3; do
  for slot in 0 1; do
    name=${letters[i]}$slot
    bash "$stack_script" slot-start "$stack" $((ports[i] + slot)) "$name" -- --serial "ZZPIDLE$name" "${delay[@]}" \
      >/dev/null 2>&1
    readers+=("${entries[i]} 00 0$slot=$stack/control-$name")
  done
done
export PCSCLITE_CSOCK_NAME=$stack/run/pcscd.comm

bash "$pg_script" start "$pg" >/dev/null
conninfo=$(cat "$pg/conninfo")
key=$work/pool.key
"$admin" --pool "$conninfo" --pool-key-file "$key" init >/dev/null
started=$(date +%s%N)
"$admin" --pool "$conninfo" --pool-key-file "$key" generate --count 100000 --bytes 20 >/dev/null
took=$(( ($(date +%s%N) - started) / 1000000 ))
echo "pool: 100000 secrets of 20 bytes generated in $((took / 1000)).$(printf '%03d' $((took % 1000))) s;" \
  "virtual tokens answer ${ZZ_TOKEN_ANSWER_DELAY_MS:-0} ms late"

args=(--burner "$burner" --admin "$admin" --cost-bench "$cost_bench" --conninfo "$conninfo" --key "$key"
  --work "$work" --pg-cluster "$pg_script" --pg-dir "$pg" --baseline "${ZZ_POOL_BENCH_BASELINE:-100}"
  --cycles "${ZZ_POOL_COST_CYCLES:-300}")
[ -n "$tokens" ] && args+=(--tokens "$tokens")
[ -n "${ZZ_POOL_BENCH_SEED:-}" ] && args+=(--seed "$ZZ_POOL_BENCH_SEED")
# In the background, so that a signal to this script ends the run at once and
# the trap still cleans up (bash runs a trap only once a foreground child ends).
python3 "$root/tests/bench/pool_bench.py" "$mode" "${args[@]}" "${readers[@]}" &
driver=$!
trap 'kill -TERM "$driver" 2>/dev/null; exit 143' TERM
trap 'kill -TERM "$driver" 2>/dev/null; exit 130' INT
wait "$driver"

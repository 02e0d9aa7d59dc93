#!/usr/bin/env bash
# The seed pool's demo (demo.sh --pool): a temporary PostgreSQL cluster holding
# a pool of 50 secrets made in advance, and two burner stations sharing it,
# "bench-1" on reader "Virtual PCD 00 00" and "bench-2" on "Virtual PCD 00 01"
# of an isolated pcscd with a virtual token on each reader. This terminal lays
# tokens and shows the pool; q stops the stations and everything started here.
#   demo-pool.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh pool
build=${ZZ_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target virtual-token pcscd-socket-launch orvex-zerazaduzu-burn orvex-zerazaduzu-pool

work=${ZZ_DEMO_POOL_DIR:-/tmp/zz-demo-pool}
stack=$work/stack
pg=$work/pg
burner=$build/cli/orvex-zerazaduzu-burn
admin=$build/pooladmin/orvex-zerazaduzu-pool
token=$build/sim/virtual-token
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  bash scripts/pcsc-stack.sh stop "$stack" >/dev/null 2>&1 || true
  bash scripts/pg-cluster.sh stop "$pg" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work"
chmod 755 "$work"

export VIRTUAL_TOKEN=$build/sim/virtual-token PCSCD_SOCKET_LAUNCH=$build/sim/pcscd-socket-launch
bash scripts/pcsc-stack.sh start "$stack" -- --serial ZZDEMO0001 >/dev/null 2>&1
bash scripts/pcsc-stack.sh slot-start "$stack" $(($(cat "$stack/port") + 1)) b -- --serial ZZDEMO0002 >/dev/null 2>&1
export PCSCLITE_CSOCK_NAME=$stack/run/pcscd.comm
bash scripts/pg-cluster.sh start "$pg"
conninfo=$(cat "$pg/conninfo")
key=$work/pool.key
rm -f "$key"
pool() { "$admin" --pool "$conninfo" --pool-key-file "$key" "$@"; }
pool init
pool generate --count 50 --bytes 20

for n in 1 2; do
  reader="Virtual PCD 00 0$((n - 1))"
  "$burner" --pool "$conninfo" --pool-key-file "$key" --station "bench-$n" --reader "$reader" \
    --pool-journal "$work/journals/pool-journal-bench-$n.jsonl" --export-dir "$work/export-bench-$n" --upn demo@example.com &
  pids+=($!)
done

control=("$stack/control" "$stack/control-b")
serial=2
cat <<INFO

Two stations share the pool in $pg (libpq: $conninfo):
bench-1 burns on "Virtual PCD 00 00", bench-2 on "Virtual PCD 00 01"; each prints
a line a token. Try the pool's admin program from another terminal too:
    $admin --pool "$conninfo" status --journal-dir $work/journals
Each station also writes its own export set into $work/export-bench-N.
Keys: 1 or 2 = lay a new token on that station's reader, s = pool status,
      e = the pool's export (hex), r = reconcile, q = quit
INFO
while read -rsn1 key_pressed; do
  case "$key_pressed" in
    1 | 2)
      serial=$((serial + 1))
      name=$(printf 'ZZDEMO%04d' "$serial")
      "$token" ctl "${control[$((key_pressed - 1))]}" serial "$name" >/dev/null
      "$token" ctl "${control[$((key_pressed - 1))]}" insert >/dev/null
      echo "token $name laid on bench-$key_pressed's reader"
      ;;
    s) pool status --journal-dir "$work/journals" ;;
    e) pool export --format hex | tr -d '\r' ;;
    r) pool reconcile ;;
    q) break ;;
  esac
done

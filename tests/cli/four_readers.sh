#!/usr/bin/env bash
# The burner's end-to-end stack: an isolated pcscd with two vpcd entries of
# two slots each and a virtual token on every slot: "Virtual PCD 00 00"
# (control socket DIR/control), "Virtual PCD 00 01" (DIR/control-b),
# "Virtual PCD B 00 00" (DIR/control-c), "Virtual PCD B 00 01" (DIR/control-d).
#   four_readers.sh start DIR | stop DIR
set -euo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/pcsc-stack.sh
case "${1:-}" in
  start)
    dir=$2
    bash "$script" start "$dir" -- --serial ZZE2E000A
    port=$(cat "$dir/port")
    portB=$(bash "$script" entry-add "$dir")
    echo "$portB" >"$dir/port-b"
    bash "$script" slot-start "$dir" $((port + 1)) b -- --serial ZZE2E000B
    bash "$script" slot-start "$dir" "$portB" c -- --serial ZZE2E000C
    bash "$script" slot-start "$dir" $((portB + 1)) d -- --serial ZZE2E000D
    ;;
  stop) bash "$script" stop "$2" ;;
  *) echo "usage: $0 start DIR | stop DIR" >&2; exit 2 ;;
esac

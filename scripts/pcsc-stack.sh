#!/usr/bin/env bash
# An isolated PC/SC stack for tests and demos: a pcscd of its own (own reader
# configuration with one vpcd reader, own client socket, own pid file) and the
# virtual token on that reader. It never touches another pcscd.
#
#   pcsc-stack.sh start DIR [PORT] [-- VIRTUAL-TOKEN OPTIONS...]
#   pcsc-stack.sh stop DIR
#   pcsc-stack.sh env DIR        prints the exports clients need
#   pcsc-stack.sh pcscd-stop DIR | pcscd-start DIR
#                                stops / starts pcscd alone (a service that
#                                dies and comes back); the token stays
#   pcsc-stack.sh token-stop DIR | token-start DIR [-- VIRTUAL-TOKEN OPTIONS...]
#                                stops / starts the virtual token alone
#   pcsc-stack.sh entry-add DIR | entry-remove DIR
#                                adds a vpcd reader entry of two slots
#                                ("Virtual PCD B 00 00" and "... 00 01", then
#                                C, ...) or removes the last one added, and
#                                restarts pcscd on the new configuration:
#                                pcscd 1.9 reads its serial reader entries
#                                only when it starts (its --hotplug rescans
#                                USB alone). entry-add prints the entry's
#                                port (slot 0; slot 1 is the next one).
#   pcsc-stack.sh slot-start DIR PORT NAME [-- VIRTUAL-TOKEN OPTIONS...]
#                                another virtual token, on the vpcd slot of
#                                PORT (the first entry's slot 1 is its port
#                                + 1), with the control socket DIR/control-NAME;
#                                `stop` stops it with the rest
#   pcsc-stack.sh slot-stop DIR NAME
#                                stops that token alone
#
# Environment: VIRTUAL_TOKEN and PCSCD_SOCKET_LAUNCH name the programs (default:
# the build/ tree); PCSC_STACK_NO_TOKEN=1 starts pcscd only (the caller runs
# the virtual token itself, with the port from `env`); PCSC_STACK_MODE=socket
# skips the mount namespace.
#
# pcscd 1.9 binds its compiled-in socket /run/pcscd/pcscd.comm and writes
# /run/pcscd/pcscd.pid. So it runs in a private mount namespace with DIR/run
# mounted on /run/pcscd. Where no namespace may be made (an unprivileged
# container), it gets a socket of its own by systemd-style socket activation
# instead, and a pid file of another pcscd is kept aside and put back.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
readonly reader_name="Virtual PCD 00 00"

die() { echo "pcsc-stack: $*" >&2; exit 1; }

find_program() {  # NAME ENVVAR
  local name=$1 given=${!2:-}
  if [ -n "$given" ]; then [ -x "$given" ] || die "$2=$given is not executable"; echo "$given"; return; fi
  local candidate
  for candidate in "$root"/build/sim/"$name" "$root"/build-*/sim/"$name"; do
    if [ -x "$candidate" ]; then echo "$candidate"; return; fi
  done
  die "$name not found: build it (cmake --build build --target $name) or set $2"
}

# A process that has ended but is not yet reaped (a zombie) counts as gone.
alive() {
  [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null || return 1
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

read_pid() { [ -f "$1" ] && cat "$1" || true; }

# TCP ports some socket listens on (IPv4 and IPv6), in decimal.
listening_ports() {
  local _sl local _rem state _rest
  cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | while read -r _sl local _rem state _rest; do
    [ "$state" = 0A ] && echo $(( 16#${local##*:} ))
  done || true
}

# vpcd opens two slots, on PORT and PORT+1; both must be free.
free_port() {
  local used p i
  used=" $(listening_ports | tr '\n' ' ') "
  for i in $(seq 1 200); do
    p=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
    if [[ $used != *" $p "* && $used != *" $((p + 1)) "* ]]; then echo "$p"; return; fi
  done
  die "no free TCP port found"
}

stop_pid_file() {  # FILE: TERM, then KILL after 5 s
  local file=$1 pid
  pid=$(read_pid "$file")
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do alive "$pid" || break; sleep 0.1; done
    alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

cmd_env() {
  local dir=$1
  [ -f "$dir/port" ] || die "no stack in $dir"
  echo "export PCSCLITE_CSOCK_NAME=$dir/run/pcscd.comm"
  echo "export ZZ_READER='$reader_name'"
  echo "export ZZ_VTOKEN_CONTROL=$dir/control"
  echo "export ZZ_VPCD_PORT=$(cat "$dir/port")"
}

readonly vpcd_driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

write_entry() {  # FILE FRIENDLYNAME PORT [DRIVER]
  local hex
  hex=$(printf '0x%X' "$3")
  printf 'FRIENDLYNAME "%s"\nDEVICENAME   /dev/null:%s\nLIBPATH      %s\nCHANNELID    %s\n' \
    "$2" "$hex" "${4:-$vpcd_driver}" "$hex" >"$1"
}

# Entries beyond the first, in the order they were added.
added_entries() { ls "$1/reader.conf.d" 2>/dev/null | grep '^vpcd-[B-Z]$' | sort || true; }

cmd_entry_add() {
  local dir=$1 letters=BCDEFGHIJKLMNOPQRSTUVWXYZ count port
  [ -f "$dir/port" ] || die "no stack in $dir"
  count=$(added_entries "$dir" | wc -l)
  [ "$count" -lt ${#letters} ] || die "no more entries"
  local letter=${letters:$count:1}
  port=$(free_port)
  # vpcd keeps its slots in one table per loaded copy of the driver, by slot
  # number: a second entry on the same file takes the first entry's slots
  # over, and its cards are no longer served. A copy of the file of its own
  # is loaded apart, so every entry keeps its two slots.
  mkdir -p "$dir/drivers"
  cp "$vpcd_driver" "$dir/drivers/libifdvpcd-$letter.so"
  write_entry "$dir/reader.conf.d/vpcd-$letter" "Virtual PCD $letter" "$port" "$dir/drivers/libifdvpcd-$letter.so"
  restart_pcscd "$dir"
  echo "$port"
}

cmd_entry_remove() {
  local dir=$1 last
  [ -f "$dir/port" ] || die "no stack in $dir"
  last=$(added_entries "$dir" | tail -n 1)
  [ -n "$last" ] || die "no entry was added"
  rm -f "$dir/reader.conf.d/$last" "$dir/drivers/libifd$last.so"
  restart_pcscd "$dir"
}

restart_pcscd() {
  local dir=$1 mode=""
  stop_pcscd "$dir"
  [ "$(cat "$dir/mode" 2>/dev/null)" = socket-activation ] && mode=socket
  start_pcscd "$dir" "$mode"
}

stop_pcscd() {
  local dir=$1
  stop_pid_file "$dir/pcscd.pid"
  # Socket-activation mode: pcscd removed /run/pcscd/pcscd.pid at exit; put
  # back the one of the pcscd that was there before.
  if [ -f "$dir/foreign-pcscd.pid" ]; then
    mkdir -p /run/pcscd && cp "$dir/foreign-pcscd.pid" /run/pcscd/pcscd.pid && rm -f "$dir/foreign-pcscd.pid"
  fi
  rm -f "$dir/run/pcscd.comm" "$dir/run/pcscd.pid"
}

cmd_stop() {
  local dir=$1 extra
  [ -d "$dir" ] || return 0
  stop_pid_file "$dir/virtual-token.pid"
  for extra in "$dir"/virtual-token-*.pid; do
    [ -e "$extra" ] || continue
    stop_pid_file "$extra"
    rm -f "$dir/control-$(basename "$extra" .pid | sed 's/^virtual-token-//')"
  done
  stop_pcscd "$dir"
  rm -f "$dir/control"
}

start_pcscd_in_namespace() {
  local dir=$1 pcscd=$2
  # /run/pcscd must exist as a mount point; an empty directory disturbs no one.
  mkdir -p /run/pcscd 2>/dev/null || return 1
  local ns=(unshare -m --propagation private)
  [ "$(id -u)" -ne 0 ] && ns=(unshare -r -m --propagation private)
  "${ns[@]}" true 2>/dev/null || return 1
  "${ns[@]}" sh -c 'mount --bind "$1" /run/pcscd && exec "$2" -f -c "$3"' sh \
    "$dir/run" "$pcscd" "$dir/reader.conf.d" >"$dir/pcscd.log" 2>&1 &
  echo $! >"$dir/pcscd.pid"
  echo namespace >"$dir/mode"
}

start_pcscd_socket_activated() {
  local dir=$1 pcscd=$2 launch
  launch=$(find_program pcscd-socket-launch PCSCD_SOCKET_LAUNCH)
  if [ -f /run/pcscd/pcscd.pid ]; then cp /run/pcscd/pcscd.pid "$dir/foreign-pcscd.pid"; fi
  "$launch" "$dir/run/pcscd.comm" "$pcscd" -f -c "$dir/reader.conf.d" >"$dir/pcscd.log" 2>&1 &
  echo $! >"$dir/pcscd.pid"
  echo socket-activation >"$dir/mode"
}

cmd_start() {
  local dir=$1 port=""
  shift
  if [ $# -gt 0 ] && [ "$1" != "--" ]; then port=$1; shift; fi
  if [ $# -gt 0 ] && [ "$1" = "--" ]; then shift; fi
  local token_args=("$@")

  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if alive "$(read_pid "$dir/pcscd.pid")" || alive "$(read_pid "$dir/virtual-token.pid")"; then
    die "a stack is already running in $dir (stop it first)"
  fi
  cmd_stop "$dir"
  local pcscd
  pcscd=$(command -v pcscd || echo /usr/sbin/pcscd)
  [ -x "$pcscd" ] || die "pcscd not installed (apt-get install pcscd)"
  local driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
  [ -f "$driver" ] || die "vpcd driver not installed (apt-get install vsmartcard-vpcd)"
  local token=""
  [ "${PCSC_STACK_NO_TOKEN:-0}" = 1 ] || token=$(find_program virtual-token VIRTUAL_TOKEN)

  [ -n "$port" ] || port=$(free_port)
  [[ $port =~ ^[0-9]+$ ]] || die "bad port: $port"
  echo "$port" >"$dir/port"
  rm -rf "$dir/reader.conf.d" && mkdir -p "$dir/reader.conf.d" "$dir/run"
  write_entry "$dir/reader.conf.d/vpcd" "Virtual PCD" "$port"

  start_pcscd "$dir" "${PCSC_STACK_MODE:-}"
  if [ -n "$token" ]; then
    : >"$dir/virtual-token.log"
    start_token "$dir" "$token" "${token_args[@]}"
  fi
  echo "pcsc-stack: pcscd ($(cat "$dir/mode")) on $dir/run/pcscd.comm, reader '$reader_name' on port $port" >&2
}

start_pcscd() {  # DIR MODE: pcscd on the reader configuration of DIR, ready when it returns
  local dir=$1 mode=$2 pcscd
  pcscd=$(command -v pcscd || echo /usr/sbin/pcscd)
  if [ "$mode" = socket ] || ! start_pcscd_in_namespace "$dir" "$pcscd"; then
    start_pcscd_socket_activated "$dir" "$pcscd"
  fi
  # pcscd is ready once it answers on its socket.
  local i
  for i in $(seq 1 100); do
    [ -S "$dir/run/pcscd.comm" ] && break
    alive "$(read_pid "$dir/pcscd.pid")" || { cat "$dir/pcscd.log" >&2; cmd_stop "$dir"; die "pcscd did not start"; }
    sleep 0.1
  done
  [ -S "$dir/run/pcscd.comm" ] || { cmd_stop "$dir"; die "pcscd socket did not appear"; }
}

start_token() {  # DIR PROGRAM [OPTIONS...]: the virtual token, back when the card is up
  local dir=$1 token=$2
  shift 2
  start_token_on "$dir" "$token" "$(cat "$dir/port")" "" "$@"
}

# PROGRAM CONTROL: the token says pcscd has powered its card. Its state is read
# whole before grep looks: under pipefail a grep -q that stops early can fail
# the pipe of a writer that is not done.
card_powered() {
  local state
  state=$("$1" ctl "$2" state 2>/dev/null) || return 1
  grep -qx 'powered=1' <<<"$state"
}

# DIR PROGRAM PORT NAME [OPTIONS...]: a virtual token on the slot of PORT; NAME
# empty for the stack's own token (control, virtual-token.pid), else
# control-NAME and virtual-token-NAME.pid.
start_token_on() {
  local dir=$1 token=$2 port=$3 name=$4 i
  shift 4
  local suffix=${name:+-$name}
  local control=$dir/control$suffix pid=$dir/virtual-token$suffix.pid log=$dir/virtual-token$suffix.log
  "$token" --port "$port" --control "$control" "$@" >>"$log" 2>&1 &
  echo $! >"$pid"
  # The card is present once pcscd has powered it up and read its ATR.
  for i in $(seq 1 100); do
    if card_powered "$token" "$control"; then break; fi
    alive "$(read_pid "$pid")" || { cat "$log" >&2; cmd_stop "$dir"; die "virtual-token stopped"; }
    sleep 0.1
  done
  card_powered "$token" "$control" ||
    { cat "$log" "$dir/pcscd.log" >&2; cmd_stop "$dir"; die "the card did not come up"; }
}

cmd_slot_start() {
  local dir=$1 port=$2 name=$3
  shift 3
  if [ $# -gt 0 ] && [ "$1" = "--" ]; then shift; fi
  [ -f "$dir/port" ] || die "no stack in $dir"
  [[ $port =~ ^[0-9]+$ ]] || die "bad port: $port"
  [[ $name =~ ^[A-Za-z0-9_]+$ ]] || die "bad token name: $name"
  alive "$(read_pid "$dir/virtual-token-$name.pid")" && die "token $name already runs in $dir"
  start_token_on "$dir" "$(find_program virtual-token VIRTUAL_TOKEN)" "$port" "$name" "$@"
}

cmd_pcscd_start() {
  local dir=$1 mode=""
  [ -f "$dir/port" ] || die "no stack in $dir"
  alive "$(read_pid "$dir/pcscd.pid")" && die "pcscd already runs in $dir"
  [ "$(cat "$dir/mode" 2>/dev/null)" = socket-activation ] && mode=socket
  start_pcscd "$dir" "$mode"
}

cmd_token_start() {
  local dir=$1
  shift
  if [ $# -gt 0 ] && [ "$1" = "--" ]; then shift; fi
  [ -f "$dir/port" ] || die "no stack in $dir"
  alive "$(read_pid "$dir/virtual-token.pid")" && die "the virtual token already runs in $dir"
  start_token "$dir" "$(find_program virtual-token VIRTUAL_TOKEN)" "$@"
}

case "${1:-}" in
  start) [ $# -ge 2 ] || die "usage: $0 start DIR [PORT] [-- TOKEN OPTIONS]"; shift; cmd_start "$@" ;;
  stop) [ $# -eq 2 ] || die "usage: $0 stop DIR"; cmd_stop "$2" ;;
  env) [ $# -eq 2 ] || die "usage: $0 env DIR"; cmd_env "$(cd "$2" && pwd)" ;;
  pcscd-stop) [ $# -eq 2 ] || die "usage: $0 pcscd-stop DIR"; stop_pcscd "$(cd "$2" && pwd)" ;;
  pcscd-start) [ $# -eq 2 ] || die "usage: $0 pcscd-start DIR"; cmd_pcscd_start "$(cd "$2" && pwd)" ;;
  token-stop) [ $# -eq 2 ] || die "usage: $0 token-stop DIR"; stop_pid_file "$(cd "$2" && pwd)/virtual-token.pid" ;;
  entry-add) [ $# -eq 2 ] || die "usage: $0 entry-add DIR"; cmd_entry_add "$(cd "$2" && pwd)" ;;
  entry-remove) [ $# -eq 2 ] || die "usage: $0 entry-remove DIR"; cmd_entry_remove "$(cd "$2" && pwd)" ;;
  slot-start) [ $# -ge 4 ] || die "usage: $0 slot-start DIR PORT NAME [-- TOKEN OPTIONS]"; shift; d=$(cd "$1" && pwd); shift; cmd_slot_start "$d" "$@" ;;
  slot-stop) [ $# -eq 3 ] || die "usage: $0 slot-stop DIR NAME"; d=$(cd "$2" && pwd); stop_pid_file "$d/virtual-token-$3.pid"; rm -f "$d/control-$3" ;;
  token-start) [ $# -ge 2 ] || die "usage: $0 token-start DIR [-- TOKEN OPTIONS]"; shift; d=$(cd "$1" && pwd); shift; cmd_token_start "$d" "$@" ;;
  *) die "usage: $0 start DIR [PORT] [-- TOKEN OPTIONS] | stop DIR | env DIR | pcscd-stop DIR | pcscd-start DIR | token-stop DIR | token-start DIR [-- TOKEN OPTIONS] | entry-add DIR | entry-remove DIR | slot-start DIR PORT NAME [-- TOKEN OPTIONS] | slot-stop DIR NAME" ;;
esac

#!/usr/bin/env bash
# A temporary PostgreSQL cluster for the pool's tests and demos: initdb and
# pg_ctl in a directory of its own, trust authentication, superuser
# "postgres", reached over a Unix socket only (no TCP port is opened).
#
#   pg-cluster.sh start DIR          a new cluster in DIR (an old one there is
#                                    stopped and removed first), started;
#                                    DIR/conninfo holds the libpq connection string
#   pg-cluster.sh stop DIR           stops the server and removes the cluster
#   pg-cluster.sh stop-server DIR    stops the server alone, the data stays
#                                    (a database that goes away and comes back)
#   pg-cluster.sh start-server DIR   starts it again
#
# Environment: PG_BINDIR names the server's programs (default: the newest
# /usr/lib/postgresql/*/bin, else pg_config --bindir); PG_CLUSTER_USER is the
# account the server runs as when this runs as root (default: nobody), since
# PostgreSQL refuses to run as root.
#
# The server's data and socket live in DIR when that account can reach DIR
# and the socket's path fits the 107 bytes a Unix socket name may have;
# otherwise in a private directory under /tmp that DIR/home names.
set -euo pipefail

die() { echo "pg-cluster: $*" >&2; exit 1; }

[ $# -eq 2 ] || die "usage: pg-cluster.sh start|stop|stop-server|start-server DIR"
command=$1
dir=$2
readonly port=5432

find_bindir() {
  if [ -n "${PG_BINDIR:-}" ]; then
    [ -x "$PG_BINDIR/pg_ctl" ] || die "PG_BINDIR=$PG_BINDIR holds no pg_ctl"
    echo "$PG_BINDIR"; return
  fi
  local candidate
  candidate=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$candidate" ] && [ -x "$candidate/pg_ctl" ]; then echo "$candidate"; return; fi
  if command -v pg_config >/dev/null && [ -x "$(pg_config --bindir)/pg_ctl" ]; then pg_config --bindir; return; fi
  die "no PostgreSQL server found: install the postgresql package or set PG_BINDIR"
}

# Runs a command as the server's account: root's own account may not run it.
as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "${PG_CLUSTER_USER:-nobody}" -- "$@"
  else
    "$@"
  fi
}

# Where the data and the socket are: DIR itself, or the directory DIR/home names.
home_of() {
  if [ -f "$dir/home" ]; then cat "$dir/home"; else echo "$dir"; fi
}

server_running() {
  local home=$1
  [ -f "$home/data/postmaster.pid" ] && as_server "$bindir/pg_ctl" -D "$home/data" status >/dev/null 2>&1
}

stop_server() {
  local home
  home=$(home_of)
  if [ -d "$home/data" ] && server_running "$home"; then
    # fast: open sessions are ended, as when a database server goes down.
    as_server "$bindir/pg_ctl" -D "$home/data" -m fast -w stop >/dev/null
  fi
}

start_server() {
  local home
  home=$(home_of)
  [ -d "$home/data" ] || die "no cluster in $dir: run 'pg-cluster.sh start $dir' first"
  server_running "$home" && return 0
  as_server "$bindir/pg_ctl" -D "$home/data" -l "$home/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$home/run' -p $port" start >/dev/null ||
    { tail -n 20 "$home/server.log" >&2 || true; die "the server in $home/data did not start"; }
}

remove_cluster() {
  local home
  home=$(home_of)
  rm -rf "$home/data" "$home/run" "$home/server.log" "$home/initdb.log"
  if [ "$home" != "$dir" ]; then rm -rf "$home"; fi
  rm -f "$dir/home" "$dir/conninfo"
}

# True when the server's account can create files in the directory.
reachable() {
  [ "$(id -u)" -ne 0 ] && return 0
  as_server test -x "$1" 2>/dev/null
}

bindir=$(find_bindir)
case "$command" in
  start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    stop_server || true
    remove_cluster
    home=$dir
    # The socket's name is "<home>/run/.s.PGSQL.5432".
    if ! reachable "$dir" || [ $(( ${#dir} + 20 )) -gt 107 ]; then
      home=$(mktemp -d /tmp/pg-cluster.XXXXXX)
      echo "$home" >"$dir/home"
    fi
    mkdir -p "$home/data" "$home/run"
    if [ "$(id -u)" -eq 0 ]; then
      chown "${PG_CLUSTER_USER:-nobody}" "$home/data" "$home/run"
      [ "$home" = "$dir" ] || chmod 0755 "$home"
      touch "$home/server.log" && chown "${PG_CLUSTER_USER:-nobody}" "$home/server.log"
    fi
    chmod 0700 "$home/data"
    as_server "$bindir/initdb" -D "$home/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 \
      >"$home/initdb.log" 2>&1 || { cat "$home/initdb.log" >&2; die "initdb failed in $home/data"; }
    start_server
    echo "host=$home/run port=$port user=postgres dbname=postgres" >"$dir/conninfo"
    ;;
  stop)
    [ -d "$dir" ] || exit 0
    stop_server || true
    remove_cluster
    ;;
  stop-server)
    stop_server
    ;;
  start-server)
    start_server
    ;;
  *)
    die "unknown command '$command' (start, stop, stop-server, start-server)"
    ;;
esac

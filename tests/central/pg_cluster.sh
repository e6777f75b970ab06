#!/bin/sh
# A throw-away PostgreSQL cluster for the central-store tests.
#   pg_cluster.sh start INFO [fast]   makes and starts it; INFO receives its connection
#                                     string; fast: no flushes to disk (tests only)
#   pg_cluster.sh start INFO [fast] own   always a cluster of its own (a test that stops it)
#   pg_cluster.sh halt INFO    stops it at once, as a crash would (pg_ctl stop -m immediate)
#   pg_cluster.sh resume INFO  starts it again on the same folder and port
#   pg_cluster.sh stop INFO    stops it and removes its folder
# When the PG* variables already name a running server (the tests run under pg_virtualenv),
# INFO is left empty and the tests use that server (unless own is given).
set -eu
cmd=$1
info=$2
fast=""
own=""
for option in "${3:-}" "${4:-}"; do
    [ "$option" = fast ] && fast=" -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    [ "$option" = own ] && own=1
done
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
case "$cmd" in
start)
    : >"$info"
    if [ -z "$own" ] && [ -n "${PGHOST:-}${PGPORT:-}" ] && pg_isready -q 2>/dev/null; then
        exit 0
    fi
    if [ -z "$bin" ]; then
        echo "no PostgreSQL server programs installed" >&2
        exit 0
    fi
    dir=$(mktemp -d /tmp/brtx-pg.XXXXXX)
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    run=""
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres "$dir"
        run="runuser -u postgres --"
    fi
    $run "$bin/initdb" -D "$dir/data" -U postgres --auth-local=trust --auth-host=scram-sha-256 \
        -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1
    $run "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start -o \
        "-k $dir -p $port -c listen_addresses=127.0.0.1$fast" \
        >/dev/null
    echo "host=$dir port=$port user=postgres dbname=postgres" >"$info"
    echo "$dir" >"$info.dir"
    echo "-k $dir -p $port -c listen_addresses=127.0.0.1$fast" >"$info.options"
    ;;
halt | resume)
    [ -s "$info.dir" ] || exit 1
    dir=$(cat "$info.dir")
    run=""
    [ "$(id -u)" -eq 0 ] && run="runuser -u postgres --"
    if [ "$cmd" = halt ]; then
        $run "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null
    else
        $run "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start -o \
            "$(cat "$info.options")" >/dev/null
    fi
    ;;
stop)
    if [ -s "$info.dir" ]; then
        dir=$(cat "$info.dir")
        run=""
        [ "$(id -u)" -eq 0 ] && run="runuser -u postgres --"
        $run "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
        rm -rf "$dir"
    fi
    rm -f "$info" "$info.dir" "$info.options"
    ;;
esac

#!/bin/sh
# Runs the mod_qv demonstration set-up: Apache on 127.0.0.1 with the agent
# protecting /app/, the development login page on /login, and the sign-out,
# start and error pages. The configuration is written from the templates in
# demo/ into a server root in the build folder.
#
#   demo/run.sh [run|start|stop|status] [--port N] [--build DIR] [--root DIR]
#
#   run     write the configuration, start Apache, wait; Ctrl-C stops it (default)
#   start   the same, but return once Apache answers; it keeps running
#   stop    stop the Apache of the server root by the PID in its PidFile
#   status  tell whether it runs
#
# Defaults: port 8080 (or $PORT), build folder build (or $BUILD_DIR), server
# root BUILD/demo/server. The password of the agent file is made at random
# the first time and kept with the server root, so sessions outlive restarts.
set -eu

action=run
port=${PORT:-8080}
build=${BUILD_DIR:-build}
root=

usage() {
    if [ "${1:-2}" -eq 0 ]; then
        sed -n '7,12p' "$0" | sed 's/^# \{0,1\}//'
    else
        sed -n '7,12p' "$0" | sed 's/^# \{0,1\}//' >&2
    fi
    exit "${1:-2}"
}

while [ $# -gt 0 ]; do
    case $1 in
        run|start|stop|status) action=$1 ;;
        --port) [ $# -ge 2 ] || usage; port=$2; shift ;;
        --port=*) port=${1#*=} ;;
        --build) [ $# -ge 2 ] || usage; build=$2; shift ;;
        --build=*) build=${1#*=} ;;
        --root) [ $# -ge 2 ] || usage; root=$2; shift ;;
        --root=*) root=${1#*=} ;;
        -h|--help) usage 0 ;;
        *) echo "demo: unknown argument \"$1\"" >&2; usage ;;
    esac
    shift
done

case $port in
    ''|*[!0-9]*) echo "demo: the port must be a number, not \"$port\"" >&2; exit 2 ;;
esac
if [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
    echo "demo: the port must be between 1 and 65535" >&2
    exit 2
fi

source_dir=$(cd "$(dirname "$0")/.." && pwd -P)
[ -d "$build" ] || { echo "demo: no build folder \"$build\"; run make build first" >&2; exit 1; }
build=$(cd "$build" && pwd -P)
[ -n "$root" ] || root=$build/demo/server

pid_of_root() {
    pidfile=$1/run/httpd.pid
    [ -f "$pidfile" ] || return 1
    pid=$(cat "$pidfile" 2>/dev/null) || return 1
    case $pid in ''|*[!0-9]*) return 1 ;; esac
    kill -0 "$pid" 2>/dev/null || return 1
    echo "$pid"
}

stop_root() {
    pid=$(pid_of_root "$1") || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    # Apache lets its children finish their requests; give it a while.
    tries=0
    while kill -0 "$pid" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "demo: Apache (PID $pid) did not stop within 10 seconds; killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
    rm -f "$1/run/httpd.pid"
}

case $action in
    stop)
        if pid=$(pid_of_root "$root"); then
            stop_root "$root"
            echo "demo: stopped Apache (PID $pid)"
        else
            echo "demo: not running (no live PID in $root/run/httpd.pid)"
        fi
        exit 0 ;;
    status)
        if pid=$(pid_of_root "$root"); then
            echo "demo: running, Apache PID $pid, server root $root"
        else
            echo "demo: not running"
            exit 1
        fi
        exit 0 ;;
esac

# ---- what the set-up needs from the build -------------------------------

cache=$build/CMakeCache.txt
[ -f "$cache" ] || { echo "demo: $build is not a CMake build folder; run make build first" >&2; exit 1; }
apache=$(sed -n 's/^APACHE_BINARY:INTERNAL=//p' "$cache")
module_dir=$(sed -n 's/^APACHE_LIBEXECDIR:INTERNAL=//p' "$cache")
module=$build/agent-module/mod_qv.so
tool=$build/tools/nubrel
for file in "$apache" "$module" "$tool" "$build/demo/qv_demo_login" "$build/demo/qv_demo_app"; do
    [ -n "$file" ] && [ -e "$file" ] || { echo "demo: ${file:-the Apache binary} is missing; run make build first" >&2; exit 1; }
done
set -- "$build"/token-library/libnubrel.so*
[ -e "$1" ] || { echo "demo: libnubrel is missing from $build/token-library; run make build first" >&2; exit 1; }

if pid=$(pid_of_root "$root"); then
    echo "demo: already running (Apache PID $pid); stop it with make demo-stop or demo/run.sh stop" >&2
    exit 1
fi

# ---- server root ----------------------------------------------------------

# Run as root, Apache's children (the CGI programs among them) are www-data
# and must reach every folder of the server root.
reachable_by_others() {
    at=$1
    while :; do
        [ -e "$at" ] || return 1
        perms=$(stat -c %A "$at")
        [ "$(printf '%s' "$perms" | cut -c10)" = x ] || [ "$(printf '%s' "$perms" | cut -c10)" = t ] || return 1
        [ "$at" = / ] && return 0
        at=$(dirname "$at")
    done
}

as_root=false
[ "$(id -u)" -eq 0 ] && as_root=true
mkdir -p "$root"
if $as_root && ! reachable_by_others "$(cd "$root" && pwd -P)"; then
    # A private folder (say, a checkout under /root): keep the server root
    # in /tmp and leave a link to it where it is looked for.
    if [ -L "$root" ]; then
        real=$(readlink "$root")
    else
        rmdir "$root" 2>/dev/null || { echo "demo: $root is not reachable by www-data and not empty" >&2; exit 1; }
        real=$(mktemp -d /tmp/qv-demo.XXXXXX)
        ln -s "$real" "$root"
    fi
    mkdir -p "$real"
    chmod 755 "$real"
    reachable_by_others "$real" || { echo "demo: cannot find a server root that www-data can reach" >&2; exit 1; }
fi
root=$(cd "$root" && pwd -P)
mkdir -p "$root/conf" "$root/logs" "$root/run" "$root/bin" "$root/htdocs"
chmod 755 "$root" "$root/conf" "$root/logs" "$root/run" "$root/bin" "$root/htdocs"

# The CGI programs run from the server root with libnubrel beside them.
cp -f "$build/demo/qv_demo_login" "$build/demo/qv_demo_app" "$root/bin/"
cp -fP "$build"/token-library/libnubrel.so* "$root/bin/"
chmod 755 "$root/bin/qv_demo_login" "$root/bin/qv_demo_app"

# A fresh random password per server root, kept across restarts.
agent_file=$root/conf/agent.conf
password=
[ -f "$agent_file" ] && password=$(sed -n 's/^[[:space:]]*password[[:space:]]*=[[:space:]]*\([A-Za-z0-9+/=]*\).*/\1/p' "$agent_file" | tail -n 1)
if [ -z "$password" ]; then
    secret=$(od -An -tx1 -N24 /dev/urandom | tr -d ' \n')
    password=$(printf '%s' "$secret" | "$tool" encode-password)
fi
umask 077
sed "s|@PASSWORD@|$password|" "$source_dir/demo/agent.conf.in" > "$agent_file.new"
mv -f "$agent_file.new" "$agent_file"
umask 022
if $as_root; then
    # Read by the login page, which runs as www-data; nobody else.
    chgrp www-data "$agent_file"
    chmod 640 "$agent_file"
fi

user_group=
$as_root && user_group='User www-data
Group www-data'

escape() { printf '%s' "$1" | sed 's/[|&\\]/\\&/g'; }
awk -v ug="$user_group" '{ if ($0 == "@USER_GROUP@") print ug; else print }' "$source_dir/demo/httpd.conf.in" |
    sed -e "s|@ROOT@|$(escape "$root")|g" \
        -e "s|@PORT@|$port|g" \
        -e "s|@MODULE_DIR@|$(escape "$module_dir")|g" \
        -e "s|@MODULE@|$(escape "$module")|g" > "$root/conf/httpd.conf"

# ---- start, wait until it answers ---------------------------------------

base=http://127.0.0.1:$port
: > "$root/logs/stderr.log"
launched=
stopping=false
on_signal() {
    $stopping && return
    stopping=true
    echo
    echo "demo: stopping Apache..."
    stop_root "$root"
    [ -z "$launched" ] || kill -TERM "$launched" 2>/dev/null || true
    echo "demo: stopped"
    exit 0
}
trap on_signal INT TERM HUP

# Its own session: Ctrl-C reaches this script, which stops Apache by its PID.
if [ "$action" = run ]; then
    setsid "$apache" -d "$root" -f "$root/conf/httpd.conf" -DFOREGROUND </dev/null &
else
    setsid "$apache" -d "$root" -f "$root/conf/httpd.conf" -DFOREGROUND </dev/null >>"$root/logs/stderr.log" 2>&1 &
fi
launched=$!

tries=0
until [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$base/login" 2>/dev/null)" = 200 ]; do
    if ! kill -0 "$launched" 2>/dev/null; then
        echo "demo: Apache did not start. The end of $root/logs/error.log:" >&2
        tail -n 15 "$root/logs/error.log" >&2 2>/dev/null || true
        [ -s "$root/logs/stderr.log" ] && tail -n 15 "$root/logs/stderr.log" >&2
        exit 1
    fi
    tries=$((tries + 1))
    if [ $tries -gt 150 ]; then
        echo "demo: Apache does not answer on $base after 30 seconds; see $root/logs/error.log" >&2
        stop_root "$root"
        kill -TERM "$launched" 2>/dev/null || true
        exit 1
    fi
    sleep 0.2
done
pid=$(pid_of_root "$root") || pid=$launched

cat <<EOF

mod_qv demo: Apache (PID $pid) listens on $base

  Application (protected)   $base/app/
  Development login page    $base/login
  Agent start page          $base/app/start-page
  Sign out                  $base/logout
  Error page                $base/error

  Configuration  $root/conf/httpd.conf, $root/conf/agent.conf
  Logs           $root/logs/error.log, $root/logs/access.log

EOF

if [ "$action" = start ]; then
    echo "Stop it with: make demo-stop (or demo/run.sh stop --root $root)"
    exit 0
fi
echo "Press Ctrl-C to stop (or run make demo-stop elsewhere)."
# Returns when Apache ends, or when a signal arrives (handled above).
while kill -0 "$launched" 2>/dev/null; do
    wait "$launched" || true
done
echo "demo: Apache has stopped"

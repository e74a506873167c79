#!/bin/sh
# Compares Apache serving a 1 KiB file unprotected with the same file behind
# mod_qv (valid session cookie: decode, validate, renew, re-issue the cookie,
# expose a dozen attributes). Alternating pairs of bounded wrk runs on
# 127.0.0.1; prints each pair and, last, the median ratio protected/unprotected.
# Both requests carry the session cookie, as a browser sends it to every path
# under the cookie's; the ratio then shows the agent's own cost only.
#
#   bench/apache/run.sh [--build DIR] [--pairs N] [--seconds S] [--connections C]
set -eu

BUILD=build
PAIRS=3
SECONDS_PER_RUN=5
CONNECTIONS=16
while [ $# -gt 0 ]; do
    case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --pairs) PAIRS=$2; shift 2 ;;
    --seconds) SECONDS_PER_RUN=$2; shift 2 ;;
    --connections) CONNECTIONS=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--pairs N] [--seconds S] [--connections C]" >&2; exit 2 ;;
    esac
done

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$BUILD" && pwd)
MODULE="$BUILD/agent-module/mod_qv.so"
TOOL="$BUILD/tools/nubrel"
APACHE=/usr/sbin/apache2
MODULE_DIR=$(apxs -q LIBEXECDIR)
for needed in "$MODULE" "$TOOL" "$APACHE"; do
    [ -x "$needed" ] || [ -f "$needed" ] || { echo "missing $needed (run make build)" >&2; exit 1; }
done
command -v wrk >/dev/null || { echo "wrk is missing (run sh scripts/install-deps.sh)" >&2; exit 1; }

# A private server root that Apache's children (www-data when run as root) can read.
ROOT=$(mktemp -d /tmp/qv-bench-XXXXXX)
chmod 755 "$ROOT"
PID_FILE="$ROOT/run/httpd.pid"
stop_server() {
    if [ -f "$PID_FILE" ]; then
        pid=$(cat "$PID_FILE")
        kill "$pid" 2>/dev/null || true
        i=0
        while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    fi
    rm -rf "$ROOT"
}
trap stop_server EXIT INT TERM

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null || echo 18080)
mkdir -p "$ROOT/run" "$ROOT/logs" "$ROOT/conf" "$ROOT/htdocs/open" "$ROOT/htdocs/app"
head -c 1024 /dev/zero | tr '\0' 'x' > "$ROOT/htdocs/open/file.html"
cp "$ROOT/htdocs/open/file.html" "$ROOT/htdocs/app/file.html"
PASSWORD=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' | "$TOOL" encode-password)
cat > "$ROOT/conf/agent.conf" <<CONF
password = $PASSWORD
cipher-suite = 1
token-name = QVSESSION
cookie-path = /
use-cookie = true
token-lifetime = 3600
token-notbefore-tolerance = 60
CONF
chmod 644 "$ROOT/conf/agent.conf"
USER_GROUP=""
[ "$(id -u)" -eq 0 ] && USER_GROUP="User www-data
Group www-data"
cat > "$ROOT/httpd.conf" <<CONF
ServerRoot "$ROOT"
ServerName 127.0.0.1
Listen 127.0.0.1:$PORT
PidFile "$PID_FILE"
DefaultRuntimeDir "$ROOT/run"
ErrorLog "$ROOT/logs/error.log"
LogLevel warn
$USER_GROUP
LoadModule mpm_event_module "$MODULE_DIR/mod_mpm_event.so"
LoadModule authz_core_module "$MODULE_DIR/mod_authz_core.so"
LoadModule mime_module "$MODULE_DIR/mod_mime.so"
StartServers 2
ServerLimit 4
ThreadsPerChild 25
MaxRequestWorkers 100
TypesConfig /etc/mime.types
DocumentRoot "$ROOT/htdocs"
<Directory "$ROOT/htdocs">
  Require all granted
</Directory>
LoadModule qv_module "$MODULE"
QuorvelAgentConfigurationFile "$ROOT/conf/agent.conf"
QuorvelFilter ^/app/
QuorvelCookieName QVSESSION
QuorvelCookiePath /
QuorvelLoginPageURL http://127.0.0.1:$PORT/login
QuorvelAuthnPrefix QV_AUTH_
CONF

setsid "$APACHE" -d "$ROOT" -f "$ROOT/httpd.conf" -DFOREGROUND >"$ROOT/logs/stdout.log" 2>&1 &
i=0
until curl -s -o /dev/null "http://127.0.0.1:$PORT/open/file.html"; do
    i=$((i + 1))
    [ $i -lt 100 ] || { echo "Apache did not start:" >&2; cat "$ROOT/logs/error.log" "$ROOT/logs/stdout.log" >&2; exit 1; }
    sleep 0.1
done

TOKEN=$("$TOOL" mint --agent-config "$ROOT/conf/agent.conf" --subject bench.user@example.com \
    --lifetime 3600 --max-lifetime 28800 \
    --attr givenName=Bench --attr sn=User --attr displayName="Bench User" --attr mail=bench.user@example.com \
    --attr employeeNumber=0042917 --attr department=Research --attr title=Engineer --attr locale=en-GB \
    --attr group=staff --attr group=engineering --attr group=vpn-users --attr costCenter=4711)
COOKIE="Cookie: QVSESSION=$TOKEN"

# Both URLs must answer 200 with the file before any rate is trusted, and the
# protected one must renew the session.
check() {
    out=$(curl -s -D - -o /dev/null -w 'STATUS %{http_code} %{size_download}\n' "$@")
    echo "$out" | grep -q '^STATUS 200 1024$' || { echo "unexpected answer for $*:" >&2; echo "$out" >&2; exit 1; }
    echo "$out"
}
check -H "$COOKIE" "http://127.0.0.1:$PORT/open/file.html" >/dev/null
check -H "$COOKIE" "http://127.0.0.1:$PORT/app/file.html" | grep -qi '^set-cookie: QVSESSION=' ||
    { echo "the protected request did not renew the session" >&2; exit 1; }

# wrk counts redirects as successes: the script counts every status but 200.
run_wrk() {
    url=$1; shift
    wrk -t2 -c"$CONNECTIONS" -d"${SECONDS_PER_RUN}s" -s "$HERE/count_status.lua" "$@" "$url" 2>&1
}
rate_of() { echo "$1" | awk '/^Requests\/sec:/ {print $2}'; }
bad_of() { echo "$1" | awk '/^non-200 responses:/ {print $3}'; }

echo "pairs of ${SECONDS_PER_RUN}s runs, $CONNECTIONS connections, 1 KiB file"
ratios=""
pair=1
while [ $pair -le "$PAIRS" ]; do
    open=$(run_wrk "http://127.0.0.1:$PORT/open/file.html" -H "$COOKIE")
    prot=$(run_wrk "http://127.0.0.1:$PORT/app/file.html" -H "$COOKIE")
    open_rate=$(rate_of "$open")
    prot_rate=$(rate_of "$prot")
    open_bad=$(bad_of "$open")
    prot_bad=$(bad_of "$prot")
    if [ "${open_bad:-1}" != 0 ] || [ "${prot_bad:-1}" != 0 ]; then
        echo "pair $pair: responses other than 200 (unprotected $open_bad, protected $prot_bad)" >&2
        exit 1
    fi
    ratio=$(awk -v p="$prot_rate" -v o="$open_rate" 'BEGIN {printf "%.3f", p / o}')
    echo "pair $pair: unprotected $open_rate req/s, protected $prot_rate req/s, ratio $ratio"
    ratios="$ratios $ratio"
    pair=$((pair + 1))
done

for url in "open/file.html" "app/file.html"; do
    out=$(wrk -t1 -c1 -d"${SECONDS_PER_RUN}s" --latency -H "$COOKIE" "http://127.0.0.1:$PORT/$url")
    echo "$out" | awk -v u="/$url" '$1 == "50%" {p50 = $2} $1 == "99%" {p99 = $2} END {print "1 connection " u ": p50 " p50 ", p99 " p99}'
done

if grep -q 'exit signal' "$ROOT/logs/error.log"; then
    echo "a worker crashed:" >&2
    grep 'exit signal' "$ROOT/logs/error.log" >&2
    exit 1
fi
echo "$ratios" | tr ' ' '\n' | grep . | sort -n |
    awk '{v[NR] = $1} END {m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "median ratio protected/unprotected: %.3f over %d pairs\n", m, NR}'

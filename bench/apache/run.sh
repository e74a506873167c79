#!/bin/sh
# Apache serving a 1 KiB file unprotected and behind mod_qv (decode, validate,
# renew and re-issue the session cookie, expose the session's attributes), in
# three workloads, each on a fresh server:
#   fixed   every request carries the same cookie (plain wrk);
#   follow  each client sends the cookie the last Set-Cookie gave it, as a
#           browser does;
#   unique  every request carries a token no request of the run sent before,
#           minted for the run: what no cache can help.
# Both URLs get requests of the same shape from the same client script
# (session.lua), in alternating pairs of bounded wrk runs on 127.0.0.1. Each
# pair is printed as throughput and as Apache's CPU time per request (user
# and system time of the server's processes, from /proc): the client shares
# the machine, so the CPU figure is the one a slow client cannot flatter.
# Then, per workload: the medians, p50/p99 at one connection, and the token
# cache's hit rate (from mod_status).
#
#   bench/apache/run.sh [--build DIR] [--pairs N] [--seconds S] [--connections C] [--workloads "fixed follow unique"]
#                       [--server-directives FILE]
set -eu

BUILD=build
PAIRS=3
SECONDS_PER_RUN=5
CONNECTIONS=16
WORKLOADS="fixed follow unique"
EXTRA_DIRECTIVES=""
while [ $# -gt 0 ]; do
    case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --pairs) PAIRS=$2; shift 2 ;;
    --seconds) SECONDS_PER_RUN=$2; shift 2 ;;
    --connections) CONNECTIONS=$2; shift 2 ;;
    --workloads) WORKLOADS=$2; shift 2 ;;
    --server-directives) EXTRA_DIRECTIVES=$(cat "$2"); shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--pairs N] [--seconds S] [--connections C] [--workloads LIST] [--server-directives FILE]" >&2; exit 2 ;;
    esac
done

. "$(dirname "$0")/common.sh"
MINT="$BUILD/bench/bench_mint_tokens"
APACHE=/usr/sbin/apache2
for needed in "$MODULE" "$TOOL" "$MINT" "$APACHE"; do
    [ -x "$needed" ] || [ -f "$needed" ] || { echo "missing $needed (run make build)" >&2; exit 1; }
done
THREADS=2
TICKS=$(getconf CLK_TCK)

ROOT=$(new_root qv-bench)
PID_FILE="$ROOT/run/httpd.pid"
stop_server() { stop_apache "$PID_FILE"; }
cleanup() { stop_server; [ -n "${QV_KEEP_BENCH_ROOT:-}" ] || rm -rf "$ROOT"; }
trap cleanup EXIT INT TERM

PORT=$(free_port)
mkdir -p "$ROOT/run" "$ROOT/logs" "$ROOT/conf" "$ROOT/htdocs/open" "$ROOT/htdocs/app"
head -c 1024 /dev/zero | tr '\0' 'x' > "$ROOT/htdocs/open/file.html"
cp "$ROOT/htdocs/open/file.html" "$ROOT/htdocs/app/file.html"
PASSWORD=$(random_password)
cat > "$ROOT/conf/agent.conf" <<CONF
password = $PASSWORD
cipher-suite = 2
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
# One server process, so that its figures (CPU, the token cache's counts) are
# the whole server's.
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
LoadModule authz_host_module "$MODULE_DIR/mod_authz_host.so"
LoadModule mime_module "$MODULE_DIR/mod_mime.so"
LoadModule status_module "$MODULE_DIR/mod_status.so"
StartServers 1
ServerLimit 1
ThreadsPerChild 64
MaxRequestWorkers 64
MinSpareThreads 1
MaxSpareThreads 64
TypesConfig /etc/mime.types
DocumentRoot "$ROOT/htdocs"
<Directory "$ROOT/htdocs">
  Require all granted
</Directory>
<Location /server-status>
  SetHandler server-status
  Require ip 127.0.0.1
</Location>
LoadModule qv_module "$MODULE"
QuorvelAgentConfigurationFile "$ROOT/conf/agent.conf"
QuorvelFilter ^/app/
QuorvelCookieName QVSESSION
QuorvelCookiePath /
QuorvelLoginPageURL http://127.0.0.1:$PORT/login
QuorvelAuthnPrefix QV_AUTH_
QuorvelSessionAttrFilter .*
$EXTRA_DIRECTIVES
CONF

start_server() {
    : > "$ROOT/logs/error.log"
    setsid "$APACHE" -d "$ROOT" -f "$ROOT/httpd.conf" -DFOREGROUND >"$ROOT/logs/stdout.log" 2>&1 &
    i=0
    until curl -s -o /dev/null "http://127.0.0.1:$PORT/open/file.html"; do
        i=$((i + 1))
        [ $i -lt 100 ] || { echo "Apache did not start:" >&2; cat "$ROOT/logs/error.log" "$ROOT/logs/stdout.log" >&2; exit 1; }
        sleep 0.1
    done
}

# User and system time of every process of the server, in clock ticks.
server_ticks() {
    parent=$(cat "$PID_FILE")
    total=0
    for pid in $parent $(pgrep -P "$parent"); do
        [ -r "/proc/$pid/stat" ] || continue
        ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
        total=$((total + ticks))
    done
    echo "$total"
}

status_value() { curl -s "http://127.0.0.1:$PORT/server-status?auto" | awk -v k="$1:" '$1 == k {print $2}'; }

start_server
TOKEN=$("$TOOL" mint --agent-config "$ROOT/conf/agent.conf" --subject bench.user@example.com \
    --lifetime 3600 --max-lifetime 28800 \
    --attr givenName=Bench --attr sn=User --attr displayName="Bench User" --attr mail=bench.user@example.com \
    --attr employeeNumber=0042917 --attr department=Research --attr title=Engineer --attr locale=en-GB \
    --attr group=staff --attr group=engineering --attr group=vpn-users --attr costCenter=4711)

# Both URLs must answer 200 with the file before any rate is trusted, and the
# protected one must renew the session.
check() {
    out=$(curl -s -D - -o /dev/null -w 'STATUS %{http_code} %{size_download}\n' "$@")
    echo "$out" | grep -q '^STATUS 200 1024$' || { echo "unexpected answer for $*:" >&2; echo "$out" >&2; exit 1; }
    echo "$out"
}
check -H "Cookie: QVSESSION=$TOKEN" "http://127.0.0.1:$PORT/open/file.html" >/dev/null
check -H "Cookie: QVSESSION=$TOKEN" "http://127.0.0.1:$PORT/app/file.html" | grep -qi '^set-cookie: QVSESSION=' ||
    { echo "the protected request did not renew the session" >&2; exit 1; }
stop_server

# A wrk run: prints "RATE REQUESTS TICKS" after checking every answer was 200
# and, for unique, that no token was sent twice.
run_wrk() {
    url=$1 workload=$2 argument=$3 connections=$4
    threads=$THREADS
    [ "$connections" -ge "$threads" ] || threads=$connections
    before=$(server_ticks)
    out=$(wrk -t"$threads" -c"$connections" -d"${SECONDS_PER_RUN}s" --latency -s "$HERE/session.lua" "$url" -- \
          "$workload" "$argument" "$threads" 2>&1)
    after=$(server_ticks)
    bad=$(echo "$out" | awk '/^non-200 responses:/ {print $3}')
    reused=$(echo "$out" | awk '/^token file reused:/ {print $4}')
    [ "${bad:-1}" = 0 ] || { echo "responses other than 200 ($bad) from $url" >&2; echo "$out" >&2; exit 1; }
    requests=$(echo "$out" | awk '/requests in/ {print $1}')
    echo "$out" | awk -v t=$((after - before)) -v n="$requests" -v r="${reused:-0}" \
        '/^Requests\/sec:/ {rate = $2} $1 == "50%" {p50 = $2} $1 == "99%" {p99 = $2}
         END {print rate, n, t, p50, p99, r}'
}

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR] = $1} END {if (NR == 0) {print "nan"; exit} m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f", m}'; }

echo "per workload: $PAIRS pairs of ${SECONDS_PER_RUN}s runs, $CONNECTIONS connections, $THREADS client threads, 1 KiB file"
for workload in $WORKLOADS; do
    start_server
    argument=$TOKEN
    rate_ratios="" cpu_ratios=""
    pair=1
    while [ $pair -le "$PAIRS" ]; do
        if [ "$workload" = unique ]; then
            # Generously more tokens than the protected side can use.
            count=$((SECONDS_PER_RUN * 20000))
            "$MINT" "$ROOT/conf/agent.conf" "$TOKEN" "$count" > "$ROOT/tokens.txt"
            argument="$ROOT/tokens.txt"
        fi
        # The sides take turns at going first, so that a machine speeding up
        # or slowing down over the run favours neither.
        if [ $((pair % 2)) -eq 1 ]; then order="open app"; else order="app open"; fi
        for side in $order; do
            set -- $(run_wrk "http://127.0.0.1:$PORT/$side/file.html" "$workload" "$argument" "$CONNECTIONS")
            # The protected side must never see a token twice; the other side decodes none.
            [ "$workload" != unique ] || [ "$side" = open ] || [ "$6" = 0 ] ||
                { echo "the token file ran out: raise the token count" >&2; exit 1; }
            cpu=$(awk -v t="$3" -v n="$2" -v h="$TICKS" 'BEGIN {printf "%.1f", t * 1e6 / h / n}')
            if [ "$side" = open ]; then open_rate=$1 open_cpu=$cpu; else prot_rate=$1 prot_cpu=$cpu; fi
        done
        rate_ratio=$(awk -v p="$prot_rate" -v o="$open_rate" 'BEGIN {printf "%.3f", p / o}')
        cpu_ratio=$(awk -v p="$prot_cpu" -v o="$open_cpu" 'BEGIN {printf "%.3f", (p > 0) ? o / p : 0}')
        echo "$workload pair $pair: unprotected $open_rate req/s ${open_cpu} us CPU/req, protected $prot_rate req/s ${prot_cpu} us CPU/req, ratio $rate_ratio (CPU $cpu_ratio)"
        rate_ratios="$rate_ratios $rate_ratio" cpu_ratios="$cpu_ratios $cpu_ratio"
        pair=$((pair + 1))
    done
    lookups=$(status_value QvTokenCacheLookups) hits=$(status_value QvTokenCacheHits)
    hit_rate=$(awk -v h="${hits:-0}" -v l="${lookups:-0}" 'BEGIN {printf "%.1f%%", (l > 0) ? 100 * h / l : 0}')
    for side in open app; do
        [ "$workload" != unique ] || "$MINT" "$ROOT/conf/agent.conf" "$TOKEN" $((SECONDS_PER_RUN * 5000)) > "$ROOT/tokens.txt"
        set -- $(run_wrk "http://127.0.0.1:$PORT/$side/file.html" "$workload" "$argument" 1)
        echo "$workload 1 connection /$side/file.html: p50 $4, p99 $5"
    done
    if grep -q 'exit signal' "$ROOT/logs/error.log"; then
        echo "a worker crashed:" >&2
        grep 'exit signal' "$ROOT/logs/error.log" >&2
        exit 1
    fi
    echo "$workload token cache: ${lookups:-0} lookups, ${hits:-0} hits ($hit_rate)"
    echo "$workload median ratio protected/unprotected: $(echo "$rate_ratios" | median) throughput, $(echo "$cpu_ratios" | median) CPU per request, over $PAIRS pairs"
    stop_server
done

#!/bin/sh
# The cost of the revocation check. One Apache serves a 1 KiB protected file
# through name-based virtual hosts that differ only in their revocation store:
# none, shmcb and Redis with the default check interval, and shmcb and Redis
# with interval 0 (one look-up per request: what a token never seen before
# costs). Rounds of bounded wrk runs pair each host with the host without a
# store, the two taking turns at going first, for the
# "fixed" workload (one session cookie sent again and again) and the "follow"
# workload (each connection sends the cookie the agent renewed last). Prints
# each run, then per host the median ratio to the host without a store and
# the look-ups per second Redis answered.
#
#   bench/apache/revocation.sh [--build DIR] [--rounds N] [--seconds S] [--connections C]
set -eu

BUILD=build
ROUNDS=3
SECONDS_PER_RUN=5
CONNECTIONS=16
while [ $# -gt 0 ]; do
    case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    --seconds) SECONDS_PER_RUN=$2; shift 2 ;;
    --connections) CONNECTIONS=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--rounds N] [--seconds S] [--connections C]" >&2; exit 2 ;;
    esac
done

. "$(dirname "$0")/common.sh"
for needed in "$MODULE" "$TOOL" /usr/sbin/apache2 /usr/bin/redis-server /usr/bin/redis-cli; do
    [ -e "$needed" ] || { echo "missing $needed (run make build, sh scripts/install-deps.sh)" >&2; exit 1; }
done

ROOT=$(new_root qv-bench-revocation)
PORT=$(free_port)
REDIS_PORT=$(free_port)
REDIS_PID=""
stop_all() {
    stop_apache "$ROOT/run/httpd.pid"
    if [ -n "$REDIS_PID" ]; then kill "$REDIS_PID" 2>/dev/null && wait "$REDIS_PID" 2>/dev/null || true; fi
    rm -rf "$ROOT" 2>/dev/null || { sleep 1; rm -rf "$ROOT"; }
}
trap stop_all EXIT INT TERM

/usr/bin/redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save "" --appendonly no --dir "$ROOT" \
    --logfile "$ROOT/redis.log" >/dev/null 2>&1 &
REDIS_PID=$!
redis() { /usr/bin/redis-cli -p "$REDIS_PORT" "$@"; }
i=0
until redis ping >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "Redis did not start" >&2; exit 1; }; sleep 0.1
done
redis_gets() { redis info commandstats | awk -F'[=,]' '/^cmdstat_get:/ {print $2}' | grep . || echo 0; }

mkdir -p "$ROOT/run" "$ROOT/logs" "$ROOT/conf" "$ROOT/htdocs/app"
head -c 1024 /dev/zero | tr '\0' 'x' > "$ROOT/htdocs/app/file.html"
PASSWORD=$(random_password)
printf 'password = %s\ncipher-suite = 1\ntoken-lifetime = 3600\ntoken-notbefore-tolerance = 60\n' "$PASSWORD" \
    > "$ROOT/conf/agent.conf"
chmod 644 "$ROOT/conf/agent.conf"
USER_GROUP=""
[ "$(id -u)" -eq 0 ] && USER_GROUP="User www-data
Group www-data"
host() { printf '<VirtualHost 127.0.0.1:%s>\n  ServerName %s\n%s\n</VirtualHost>\n' "$PORT" "$1" "$2"; }
cat > "$ROOT/httpd.conf" <<CONF
ServerRoot "$ROOT"
ServerName 127.0.0.1
Listen 127.0.0.1:$PORT
PidFile "$ROOT/run/httpd.pid"
DefaultRuntimeDir "$ROOT/run"
ErrorLog "$ROOT/logs/error.log"
LogLevel warn
$USER_GROUP
LoadModule mpm_event_module "$MODULE_DIR/mod_mpm_event.so"
LoadModule authz_core_module "$MODULE_DIR/mod_authz_core.so"
LoadModule mime_module "$MODULE_DIR/mod_mime.so"
LoadModule socache_redis_module "$MODULE_DIR/mod_socache_redis.so"
LoadModule socache_shmcb_module "$MODULE_DIR/mod_socache_shmcb.so"
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
QuorvelLoginPageURL http://127.0.0.1:$PORT/login
QuorvelAuthnPrefix QV_AUTH_
$(host none.test "")
$(host shm.test "  QuorvelRevocationStore shmcb:$ROOT/run/revoked(1024000)")
$(host redis.test "  QuorvelRevocationStore redis:127.0.0.1:$REDIS_PORT")
$(host shm0.test "  QuorvelRevocationStore shmcb:$ROOT/run/revoked(1024000)
  QuorvelRevocationCheckInterval 0")
$(host redis0.test "  QuorvelRevocationStore redis:127.0.0.1:$REDIS_PORT
  QuorvelRevocationCheckInterval 0")
CONF

setsid /usr/sbin/apache2 -d "$ROOT" -f "$ROOT/httpd.conf" -DFOREGROUND >"$ROOT/logs/stdout.log" 2>&1 &
i=0
until [ -f "$ROOT/run/httpd.pid" ] && curl -s -o /dev/null "http://127.0.0.1:$PORT/"; do
    i=$((i + 1))
    [ $i -lt 100 ] || { echo "Apache did not start:" >&2; cat "$ROOT/logs/error.log" "$ROOT/logs/stdout.log" >&2; exit 1; }
    sleep 0.1
done

TOKEN=$("$TOOL" mint --agent-config "$ROOT/conf/agent.conf" --subject bench.user@example.com \
    --lifetime 3600 --max-lifetime 28800 --attr mail=bench.user@example.com --attr group=staff)
URL="http://127.0.0.1:$PORT/app/file.html"
for name in none shm redis shm0 redis0; do
    out=$(curl -s -o /dev/null -w '%{http_code} %{size_download}' -H "Host: $name.test" -H "Cookie: QVSESSION=$TOKEN" "$URL")
    [ "$out" = "200 1024" ] || { echo "unexpected answer from $name.test: $out" >&2; cat "$ROOT/logs/error.log" >&2; exit 1; }
done

# One bounded run: "RATE GETS" (Redis look-ups answered during it).
run() {
    name=$1 script=$2
    before=$(redis_gets)
    out=$(wrk -t2 -c"$CONNECTIONS" -d"${SECONDS_PER_RUN}s" -s "$HERE/$script" -H "Host: $name.test" \
        -H "Cookie: QVSESSION=$TOKEN" "$URL" 2>&1)
    after=$(redis_gets)
    bad=$(echo "$out" | awk '/^non-200 responses:/ {print $3}')
    [ "${bad:-1}" = 0 ] || { echo "$name.test: $bad responses other than 200" >&2; exit 1; }
    echo "$out" | awk -v g=$((after - before)) '/^Requests\/sec:/ {print $2, g}'
}

RESULTS="$ROOT/results"
: > "$RESULTS"
echo "rounds of ${SECONDS_PER_RUN}s runs, $CONNECTIONS connections, 1 KiB protected file"
round=1
while [ "$round" -le "$ROUNDS" ]; do
    for workload in fixed follow; do
        script=count_status.lua
        [ "$workload" = follow ] && script=follow_cookie.lua
        hosts="shm redis"
        [ "$workload" = fixed ] && hosts="shm redis shm0 redis0"
        # Each host with a store is paired with a run of the host without
        # one, the two taking turns at going first, so that the machine's
        # drift favours neither.
        for name in $hosts; do
            if [ $((round % 2)) -eq 1 ]; then order="none $name"; else order="$name none"; fi
            for side in $order; do
                set -- $(run "$side" "$script")
                if [ "$side" = none ]; then none_rate=$1; else rate=$1 gets=$2; fi
            done
            echo "round $round $workload $name: $rate req/s, no store $none_rate req/s, Redis look-ups $gets"
            echo "$workload $name $round $rate $gets $none_rate" >> "$RESULTS"
        done
    done
    round=$((round + 1))
done

if grep -q 'exit signal' "$ROOT/logs/error.log"; then
    echo "a worker crashed:" >&2; grep 'exit signal' "$ROOT/logs/error.log" >&2; exit 1
fi
# Per workload and host: the median of the ratios to the paired run without a store.
awk -v seconds="$SECONDS_PER_RUN" '
    { ratio[$1, $2, $3] = $4 / $6; gets[$1, $2] += $5; runs[$1, $2]++; names[$1, $2] = 1 }
    END {
        for (key in names) {
            split(key, part, SUBSEP); w = part[1]; h = part[2]
            n = 0
            for (r = 1; (w, h, r) in ratio; r++) v[++n] = ratio[w, h, r]
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
            m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
            printf "%s %s: median ratio to no store %.3f, Redis look-ups %.1f/s\n", w, h, m, gets[w, h] / (runs[w, h] * seconds)
        }
    }' "$RESULTS" | sort

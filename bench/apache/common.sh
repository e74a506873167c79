# What the Apache benchmarks share; sourced after BUILD is set.
#   HERE MODULE TOOL MODULE_DIR    the scripts' folder, the built module and tool, Apache's modules
#   free_port                      a free port on 127.0.0.1
#   stop_apache PID_FILE           ends the server of that PID file and waits for it
#   random_password                a fresh encoded agent password, made with the tool
#   new_root NAME                  a private server root that Apache's children
#                                  (www-data when run as root) can read
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$BUILD" && pwd)
MODULE="$BUILD/agent-module/mod_qv.so"
TOOL="$BUILD/tools/nubrel"
MODULE_DIR=$(apxs -q LIBEXECDIR)
command -v wrk >/dev/null || { echo "wrk is missing (run sh scripts/install-deps.sh)" >&2; exit 1; }

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

stop_apache() {
    [ -f "$1" ] || return 0
    pid=$(cat "$1")
    kill "$pid" 2>/dev/null || true
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    rm -f "$1"
}

random_password() { head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' | "$TOOL" encode-password; }

new_root() {
    root=$(mktemp -d "/tmp/$1-XXXXXX")
    chmod 755 "$root"
    echo "$root"
}

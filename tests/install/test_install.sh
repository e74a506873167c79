#!/bin/sh
# Installs the build tree into a DESTDIR and uses only the installed files:
# the file list, pkg-config and find_package callers of libnubrel, and an
# Apache that loads the installed module with the installed sample
# configuration (plus a filter and the password, as an operator adds them).
#
#   test_install.sh BUILD_DIR WORK_DIR PREFIX SOURCE_DIR APACHE_BINARY APACHE_MODULE_DIR
set -eu
build=$1 work=$2 prefix=$3 here=$4 apache=$5 apache_modules=$6

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { if [ -e "$1" ] || [ -L "$1" ]; then :; else fail "missing $1"; fi; }

rm -rf "$work"
mkdir -p "$work"
root=$work/root
DESTDIR=$root cmake --install "$build" >"$work/install.log"

# --- Files ---------------------------------------------------------------
top=$root$prefix
pc=$(find "$root" -name nubrel.pc)
[ -n "$pc" ] || { echo "FAIL: no nubrel.pc installed" >&2; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
module=$(find "$root" -name mod_qv.so)
load=$(find "$root" -path '*/mods-available/qv.load')
[ -n "$module" ] && [ -n "$load" ] || { echo "FAIL: module or qv.load missing" >&2; exit 1; }
available=$(dirname "$load")
confdir=$(dirname "$available")/qv
for file in "$top/bin/nubrel" "$top/include/nubrel.h" "$top/share/man/man1/nubrel.1" \
            "$libdir/libnubrel.so" "$libdir/cmake/nubrel/nubrelConfig.cmake" \
            "$libdir/cmake/nubrel/nubrelConfigVersion.cmake" "$available/qv.conf" \
            "$confdir/agent.conf" "$confdir/error-page.html" "$confdir/start-page.html"; do
    check "$file"
done
# The soname chain: libnubrel.so -> libnubrel.so.MAJOR -> the versioned file.
[ "$(readlink "$libdir/libnubrel.so")" = "libnubrel.so.2" ] || fail "libnubrel.so does not point to libnubrel.so.2"
case "$(readlink "$libdir/libnubrel.so.2")" in libnubrel.so.2.*) ;; *) fail "libnubrel.so.2 is not a link to the versioned file" ;; esac
[ -f "$(readlink -f "$libdir/libnubrel.so")" ] || fail "the soname links lead nowhere"
# The module is installed in Apache's module folder for this prefix.
case "$module" in "$root$prefix"/*/apache2/modules/mod_qv.so|"$root$apache_modules"/mod_qv.so) ;;
    *) fail "mod_qv.so in an unexpected place: $module" ;; esac
grep -q "^LoadModule qv_module ${module#"$root"}\$" "$load" || fail "qv.load does not load ${module#"$root"}"
# The configuration follows the prefix: Debian's /etc/apache2 for /usr.
case "$prefix" in
    /usr) expected_available=$root/etc/apache2/mods-available ;;
    /usr/local) expected_available=$root/usr/local/etc/apache2/mods-available ;;
    *) expected_available=$available ;;
esac
[ "$available" = "$expected_available" ] || fail "qv.load in $available, expected $expected_available"
# The agent file will hold the shared password.
[ "$(stat -c %a "$confdir/agent.conf")" = 640 ] || fail "agent.conf is not mode 640"
# Nothing of the demonstration set-up, least of all its login page.
if find "$root" -name 'qv_demo*' -o -name '*login*' | grep -q .; then fail "demo files installed"; fi
# Every directive of the module appears in the sample configuration and has
# its section in the installed reference.
reference=$top/share/doc/nubrel/configuration.md
check "$reference"
for directive in $(grep -o '"Quorvel[A-Za-z]*"' "$here/../../agent-module/config/directives.cpp" | tr -d '"' | sort -u); do
    grep -q "^ *#\{0,1\}$directive " "$available/qv.conf" || fail "qv.conf does not show $directive"
    grep -q "^## $directive\$" "$reference" 2>/dev/null || fail "configuration.md has no section for $directive"
done

# --- pkg-config ----------------------------------------------------------
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$(dirname "$pc") pkg-config --cflags --libs nubrel)
case "$flags" in *"-I$root"*"-L$root"*|*"-L$root"*"-I$root"*) ;; *) fail "pkg-config flags outside the installed tree: $flags" ;; esac
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror -pedantic "$here/client.c" $flags -o "$work/pkgconfig-client"
LD_LIBRARY_PATH=$libdir "$work/pkgconfig-client" >"$work/pkgconfig-client.out" || fail "pkg-config client failed"
grep -q '^Nubrel/[0-9.]* subject=installed$' "$work/pkgconfig-client.out" || fail "pkg-config client printed: $(cat "$work/pkgconfig-client.out")"
LD_LIBRARY_PATH=$libdir ldd "$work/pkgconfig-client" | grep -q "libnubrel.so.2 => $libdir/" || fail "client not bound to the installed library"

# --- find_package ----------------------------------------------------------
cmake -S "$here/cmake-client" -B "$work/cmake-client" -G Ninja -DCMAKE_PREFIX_PATH="$top" >"$work/cmake-client.log" 2>&1 &&
    cmake --build "$work/cmake-client" >>"$work/cmake-client.log" 2>&1 || fail "find_package client does not build: $(tail -5 "$work/cmake-client.log")"
if [ -x "$work/cmake-client/client" ]; then
    "$work/cmake-client/client" | grep -q 'subject=installed$' || fail "find_package client failed"
fi

# --- Apache from the installed files ---------------------------------------
# The installed configuration names its files by their final paths; below
# the DESTDIR they are found by putting the DESTDIR in front.
server=$work/server
mkdir -p "$server/conf" "$server/logs" "$server/run" "$server/htdocs/protected"
final_confdir=${confdir%/qv}
final_confdir=${final_confdir#"$root"}
final_moduledir=$(dirname "${module#"$root"}")
for file in qv.load qv.conf; do
    sed -e "s|$final_confdir/|$root$final_confdir/|g" -e "s|$final_moduledir/|$root$final_moduledir/|g" \
        "$available/$file" >"$server/conf/$file"
done
printf protected >"$server/htdocs/protected/page.html"
printf open >"$server/htdocs/open.html"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
       echo $((20000 + $$ % 20000)))
user_group=""
if [ "$(id -u)" -eq 0 ]; then user_group="User www-data
Group www-data"; fi
write_httpd_conf() {
    cat >"$server/conf/httpd.conf" <<CONF
ServerRoot "$server"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$server/run/httpd.pid"
DefaultRuntimeDir "$server/run"
ErrorLog "$server/logs/error.log"
LogLevel info
$user_group
LoadModule mpm_event_module "$apache_modules/mod_mpm_event.so"
LoadModule authz_core_module "$apache_modules/mod_authz_core.so"
StartServers 1
ServerLimit 1
ThreadsPerChild 16
MaxRequestWorkers 16
DocumentRoot "$server/htdocs"
<Directory "$server/htdocs">
  Require all granted
</Directory>
Include "$server/conf/qv.load"
Include "$server/conf/qv.conf"
$1
CONF
}

# The sample configuration as installed is read by Apache; the configuration
# test, which runs the module's start-up checks, names what the operator must
# still add.
write_httpd_conf ""
if "$apache" -t -d "$server" -f "$server/conf/httpd.conf" >"$work/configtest.log" 2>&1; then
    fail "configtest passed without a password and a filter"
fi
grep -q 'password is not defined' "$work/configtest.log" || fail "configtest: $(cat "$work/configtest.log")"
grep -q 'URI filters are not configured' "$work/configtest.log" || fail "configtest: $(cat "$work/configtest.log")"

# What an operator adds: the shared password, made with the installed tool,
# and something to protect. Then the test passes.
password=$(printf '%s' 'installed tree' | LD_LIBRARY_PATH= "$top/bin/nubrel" encode-password)
echo "password = $password" >>"$confdir/agent.conf"
write_httpd_conf "QuorvelFilter ^/protected/"
"$apache" -t -d "$server" -f "$server/conf/httpd.conf" >"$work/configtest.log" 2>&1 || fail "configtest: $(cat "$work/configtest.log")"
grep -q 'Syntax OK' "$work/configtest.log" || fail "configtest did not say Syntax OK"

setsid "$apache" -d "$server" -f "$server/conf/httpd.conf" -DFOREGROUND </dev/null >"$server/logs/stdout.log" 2>&1 &
stop_apache() {
    if [ -s "$server/run/httpd.pid" ]; then
        pid=$(cat "$server/run/httpd.pid")
        kill -TERM "$pid" 2>/dev/null || true
        i=0; while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    fi
}
trap stop_apache EXIT
i=0
until curl -s -o /dev/null "http://127.0.0.1:$port/open.html"; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then
        echo "FAIL: Apache did not start" >&2
        cat "$server/logs/error.log" "$server/logs/stdout.log" >&2 2>/dev/null || true
        exit 1
    fi
    sleep 0.1
done

# A protected URL without a session goes to the login page of the sample.
out=$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "http://127.0.0.1:$port/protected/page.html")
expected="302 https://sso.example.com/login?TargetResource=http%3A%2F%2F127.0.0.1%3A$port%2Fprotected%2Fpage.html"
[ "$out" = "$expected" ] || fail "protected URL: got '$out', expected '$expected'"
# An unprotected one is served as before.
out=$(curl -s -w ' %{http_code}' "http://127.0.0.1:$port/open.html")
[ "$out" = "open 200" ] || fail "open URL: got '$out'"
# A session token issued with the same agent file opens the protected URL.
token=$(LD_LIBRARY_PATH= "$top/bin/nubrel" mint --agent-config "$confdir/agent.conf" --subject alice)
out=$(curl -s -w ' %{http_code}' -b "QVSESSION=$token" "http://127.0.0.1:$port/protected/page.html")
[ "$out" = "protected 200" ] || fail "protected URL with a session: got '$out'"
grep -q 'mod_qv/' "$server/logs/error.log" || fail "the error log does not show the module's banner"

stop_apache
trap - EXIT
if [ "$failures" -ne 0 ]; then
    echo "--- error log" >&2; tail -20 "$server/logs/error.log" >&2 || true
    echo "$failures failed" >&2
    exit 1
fi
echo "install tree: all checks passed"

# Checks shared by the install tests, run on an installed tree: a DESTDIR of
# make install or the unpacked Debian packages. Sourced; the caller defines
# fail MESSAGE and sets $here (this folder), $apache and $apache_modules.

# A folder for a test's trees where Apache's children, which run as www-data
# when the tests run as root, can read: the given one when every folder on
# its path lets others through, else a new one in /tmp. A checkout in a
# private folder (a clone under /root, say) keeps its build tree from them.
# Sets $place and, for a folder of its own, $place_own (to remove at the end).
choose_place() {
    place=$1 place_own=""
    if [ "$(id -u)" -eq 0 ]; then
        mkdir -p "$(dirname "$place")"
        at=$(cd "$(dirname "$place")" && pwd)
        while :; do
            case "$(stat -c %A "$at")" in *x|*t) ;; *) place_own=yes; break ;; esac
            [ "$at" = / ] && break
            at=$(dirname "$at")
        done
    fi
    if [ -n "$place_own" ]; then
        place=$(mktemp -d /tmp/qv-install-test.XXXXXX)
        chmod 0755 "$place"
    else
        rm -rf "$place" && mkdir -p "$place"
    fi
}

# check_clients ROOT PC_FILE PREFIX WORK: a C99 caller built with the
# tree's pkg-config flags and one built with find_package(nubrel) from the
# tree's PREFIX encode and decode a token with the tree's library.
check_clients() {
    c_root=$1 c_pc=$2 c_prefix=$3 c_work=$4
    c_libdir=$(dirname "$(dirname "$c_pc")")
    flags=$(PKG_CONFIG_SYSROOT_DIR=$c_root PKG_CONFIG_LIBDIR=$(dirname "$c_pc") pkg-config --cflags --libs nubrel)
    case "$flags" in *"-I$c_root"*"-L$c_root"*|*"-L$c_root"*"-I$c_root"*) ;; *) fail "pkg-config flags outside the installed tree: $flags" ;; esac
    # shellcheck disable=SC2086
    cc -std=c99 -Wall -Wextra -Werror -pedantic "$here/client.c" $flags -o "$c_work/pkgconfig-client"
    LD_LIBRARY_PATH=$c_libdir "$c_work/pkgconfig-client" >"$c_work/pkgconfig-client.out" || fail "pkg-config client failed"
    grep -q '^Nubrel/[0-9.]* subject=installed$' "$c_work/pkgconfig-client.out" ||
        fail "pkg-config client printed: $(cat "$c_work/pkgconfig-client.out")"
    LD_LIBRARY_PATH=$c_libdir ldd "$c_work/pkgconfig-client" | grep -q "libnubrel.so.2 => $c_libdir/" ||
        fail "client not bound to the installed library"

    cmake -S "$here/cmake-client" -B "$c_work/cmake-client" -G Ninja -DCMAKE_PREFIX_PATH="$c_prefix" >"$c_work/cmake-client.log" 2>&1 &&
        cmake --build "$c_work/cmake-client" >>"$c_work/cmake-client.log" 2>&1 ||
        fail "find_package client does not build: $(tail -5 "$c_work/cmake-client.log")"
    if [ -x "$c_work/cmake-client/client" ]; then
        LD_LIBRARY_PATH=$c_libdir "$c_work/cmake-client/client" | grep -q 'subject=installed$' || fail "find_package client failed"
    fi
}

# check_apache ROOT AVAILABLE CONFDIR MODULE TOOL LIBRARY_PATH SERVER:
# an Apache whose configuration includes the tree's qv.load and qv.conf (in
# AVAILABLE) fails the configuration test as installed, naming the missing
# password and filter; with a password written into the tree's agent file
# (in CONFDIR) and a filter, it passes it, sends a protected URL without a
# session to the sample's login page, serves it with a token minted by the
# tree's TOOL (also through mod_proxy, loaded before the module), and serves
# an open URL as before. LIBRARY_PATH is the LD_LIBRARY_PATH for the tree's
# module and tool (empty when their RUNPATH finds the library). SERVER is the
# server's folder, made here.
check_apache() {
    a_root=$1 a_available=$2 a_confdir=$3 a_module=$4 a_tool=$5 a_libpath=$6 server=$7
    # The installed configuration names its files by their final paths; below
    # the tree's root they are found by putting the root in front.
    mkdir -p "$server/conf" "$server/logs" "$server/run" "$server/htdocs/protected"
    final_confdir=${a_confdir%/qv}
    final_confdir=${final_confdir#"$a_root"}
    final_moduledir=$(dirname "${a_module#"$a_root"}")
    for file in qv.load qv.conf; do
        sed -e "s|$final_confdir/|$a_root$final_confdir/|g" -e "s|$final_moduledir/|$a_root$final_moduledir/|g" \
            "$a_available/$file" >"$server/conf/$file"
    done
    printf protected >"$server/htdocs/protected/page.html"
    printf open >"$server/htdocs/open.html"

    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
           echo $((20000 + $$ % 20000)))
    user_group=""
    if [ "$(id -u)" -eq 0 ]; then user_group="User www-data
Group www-data"; fi

    # The sample configuration as installed is read by Apache; the
    # configuration test, which runs the module's start-up checks, names what
    # the operator must still add.
    write_httpd_conf ""
    if LD_LIBRARY_PATH=$a_libpath "$apache" -t -d "$server" -f "$server/conf/httpd.conf" >"$server/configtest.log" 2>&1; then
        fail "configtest passed without a password and a filter"
    fi
    grep -q 'password is not defined' "$server/configtest.log" || fail "configtest: $(cat "$server/configtest.log")"
    grep -q 'URI filters are not configured' "$server/configtest.log" || fail "configtest: $(cat "$server/configtest.log")"

    # What an operator adds: the shared password, made with the tree's tool,
    # and something to protect. Then the test passes.
    password=$(printf '%s' 'installed tree' | LD_LIBRARY_PATH=$a_libpath "$a_tool" encode-password)
    echo "password = $password" >>"$a_confdir/agent.conf"
    # A proxied path is protected as well: operators put the agent in front
    # of application servers, with mod_proxy loaded first as Debian orders
    # mods-enabled (proxy*.load before qv.load).
    write_httpd_conf "QuorvelFilter ^/(protected|app)/
ProxyPass /app/ http://127.0.0.1:$port/"
    LD_LIBRARY_PATH=$a_libpath "$apache" -t -d "$server" -f "$server/conf/httpd.conf" >"$server/configtest.log" 2>&1 ||
        fail "configtest: $(cat "$server/configtest.log")"
    grep -q 'Syntax OK' "$server/configtest.log" || fail "configtest did not say Syntax OK"

    LD_LIBRARY_PATH=$a_libpath setsid "$apache" -d "$server" -f "$server/conf/httpd.conf" -DFOREGROUND \
        </dev/null >"$server/logs/stdout.log" 2>&1 &
    trap stop_apache EXIT
    i=0
    until curl -s -o /dev/null "http://127.0.0.1:$port/open.html"; do
        i=$((i + 1))
        if [ $i -gt 100 ]; then
            fail "Apache did not start: $(cat "$server/logs/error.log" "$server/logs/stdout.log" 2>/dev/null)"
            stop_apache
            return
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
    token=$(LD_LIBRARY_PATH=$a_libpath "$a_tool" mint --agent-config "$a_confdir/agent.conf" --subject alice)
    out=$(curl -s -w ' %{http_code}' -b "QVSESSION=$token" "http://127.0.0.1:$port/protected/page.html")
    [ "$out" = "protected 200" ] || fail "protected URL with a session: got '$out'"
    # The proxied path: to the login page without a session, to the back-end with one.
    out=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/app/open.html")
    [ "$out" = "302" ] || fail "proxied protected URL without a session: got '$out'"
    out=$(curl -s -w ' %{http_code}' -b "QVSESSION=$token" "http://127.0.0.1:$port/app/open.html")
    [ "$out" = "open 200" ] || fail "proxied protected URL with a session: got '$out'"
    grep -q 'mod_qv/' "$server/logs/error.log" || fail "the error log does not show the module's banner"
    stop_apache
    trap - EXIT
}

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
LoadModule proxy_module "$apache_modules/mod_proxy.so"
LoadModule proxy_http_module "$apache_modules/mod_proxy_http.so"
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

stop_apache() {
    if [ -s "$server/run/httpd.pid" ]; then
        pid=$(cat "$server/run/httpd.pid")
        kill -TERM "$pid" 2>/dev/null || true
        i=0; while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    fi
}

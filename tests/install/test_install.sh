#!/bin/sh
# Installs the build tree into a DESTDIR and uses only the installed files:
# the file list, pkg-config and find_package callers of libnubrel, and an
# Apache that loads the installed module with the installed sample
# configuration (plus a filter and the password, as an operator adds them).
# A second install into the same DESTDIR keeps the operator's files.
#
#   test_install.sh BUILD_DIR WORK_DIR PREFIX SOURCE_DIR APACHE_BINARY APACHE_MODULE_DIR
set -eu
build=$1 work=$2 prefix=$3 here=$4 apache=$5 apache_modules=$6
umask 022

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { if [ -e "$1" ] || [ -L "$1" ]; then :; else fail "missing $1"; fi; }
. "$here/tree_checks.sh"

choose_place "$work"
work=$place
[ -z "$place_own" ] || echo "install tree: working in $work, where Apache's children can read"
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
# The directive table may sit anywhere below agent-module/.
directives=$(grep -rhoE --include='*.cpp' 'QV_DIRECTIVE\("Quorvel[A-Za-z]+"' "$here/../../agent-module" | sed 's/.*"\(Quorvel[A-Za-z]*\)"/\1/' | sort -u)
[ -n "$directives" ] || fail "no directive names found below agent-module/"
for directive in $directives; do
    grep -q "^ *#\{0,1\}$directive " "$available/qv.conf" || fail "qv.conf does not show $directive"
    grep -q "^## $directive\$" "$reference" 2>/dev/null || fail "configuration.md has no section for $directive"
done

# --- Callers of the library and Apache from the installed files ----------
check_clients "$root" "$pc" "$top" "$work"
# The module and the tool find the library through their RUNPATH.
check_apache "$root" "$available" "$confdir" "$module" "$top/bin/nubrel" "" "$work/server"

# --- Installing again keeps what the operator changed ----------------------
# The agent file now holds the password; the page template gets an edit too.
cp "$confdir/agent.conf" "$work/agent.conf.edited"
echo "<!-- edited -->" >>"$confdir/error-page.html"
cp "$confdir/error-page.html" "$work/error-page.html.edited"
DESTDIR=$root cmake --install "$build" >"$work/install-again.log"
cmp -s "$confdir/agent.conf" "$work/agent.conf.edited" || fail "a second install changed the edited agent.conf"
cmp -s "$confdir/error-page.html" "$work/error-page.html.edited" || fail "a second install changed the edited error-page.html"
for edited in agent.conf error-page.html; do
    [ -f "$confdir/$edited.dist" ] || fail "no $edited.dist beside the kept $edited"
    grep -q "$edited.dist" "$work/install-again.log" || fail "the install did not say where the new $edited went"
done
[ "$(stat -c %a "$confdir/agent.conf.dist")" = 640 ] || fail "agent.conf.dist is not mode 640"
grep -q '^# password =' "$confdir/agent.conf.dist" || fail "agent.conf.dist is not the sample"
# Files the operator left as installed are simply installed again.
for unchanged in start-page.html; do
    [ ! -e "$confdir/$unchanged.dist" ] || fail "$unchanged.dist written for an unchanged $unchanged"
done
[ ! -e "$available/qv.conf.dist" ] || fail "qv.conf.dist written for an unchanged qv.conf"

if [ "$failures" -ne 0 ]; then
    echo "--- error log" >&2; tail -20 "$work/server/logs/error.log" >&2 || true
    echo "$failures failed" >&2
    exit 1
fi
[ -z "$place_own" ] || rm -rf "$work"
echo "install tree: all checks passed"

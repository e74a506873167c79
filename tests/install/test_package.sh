#!/bin/sh
# Builds the Debian package (in a build folder of its own, prefix /usr) and
# checks its control fields, maintainer scripts and file list.
#
#   test_package.sh SOURCE_DIR WORK_DIR
set -eu
source_dir=$1 work=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

mkdir -p "$work"
package=$(sh "$source_dir/packaging/make-deb.sh" --build "$work/build" --out "$work")
[ -f "$package" ] || { echo "FAIL: no package built" >&2; exit 1; }

depends=$(dpkg-deb -f "$package" Depends)
for dependency in apache2-bin libssl3 zlib1g; do
    echo "$depends" | grep -q "\(^\|, \)$dependency\( \|,\|$\)" || fail "Depends lacks $dependency: $depends"
done
[ "$(dpkg-deb -f "$package" Package)" = libapache2-mod-qv ] || fail "package name"

dpkg-deb --contents "$package" | awk '{ sub(/^\./, "", $6); print $6 ($7 == "->" ? " -> " $8 : "") }' |
    grep -v '/$' | sort >"$work/contents"
arch_dir=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
cat >"$work/expected" <<LIST
/etc/apache2/mods-available/qv.conf
/etc/apache2/mods-available/qv.load
/etc/apache2/qv/agent.conf
/etc/apache2/qv/error-page.html
/etc/apache2/qv/start-page.html
/usr/bin/nubrel
/usr/include/nubrel.h
/usr/lib/apache2/modules/mod_qv.so
/usr/lib/$arch_dir/cmake/nubrel/nubrelConfig.cmake
/usr/lib/$arch_dir/cmake/nubrel/nubrelConfigVersion.cmake
/usr/lib/$arch_dir/libnubrel.so -> libnubrel.so.2
/usr/lib/$arch_dir/libnubrel.so.2 -> libnubrel.so.2.3.1
/usr/lib/$arch_dir/libnubrel.so.2.3.1
/usr/lib/$arch_dir/pkgconfig/nubrel.pc
/usr/share/doc/libapache2-mod-qv/README.Debian
/usr/share/man/man1/nubrel.1.gz
LIST
# Every expected file is there; besides them only the CMake target files and
# the documentation.
missing=$(sort "$work/expected" | comm -23 - "$work/contents")
[ -z "$missing" ] || fail "missing from the package: $missing"
extra=$(sort "$work/expected" | comm -13 - "$work/contents" |
        grep -v "^/usr/lib/$arch_dir/cmake/nubrel/nubrelTargets[-a-z]*\.cmake\$" | grep -v '^/usr/share/doc/nubrel/[A-Za-z-]*\.md$' || true)
[ -z "$extra" ] || fail "unexpected files in the package: $extra"
grep -q '^/usr/share/doc/nubrel/configuration.md$' "$work/contents" || fail "the configuration reference is missing"

# Configuration files survive upgrades and go on purge; the maintainer
# scripts disable the module before its file goes away.
rm -rf "$work/control" && dpkg-deb -e "$package" "$work/control"
grep '^/etc/' "$work/contents" | sort | cmp -s - "$work/control/conffiles" || fail "conffiles differ from the files in /etc"
grep -q 'a2dismod' "$work/control/prerm" || fail "prerm does not disable the module"
grep -q 'purge' "$work/control/postrm" || fail "postrm does not handle purge"

# Unpacked, the configuration loads the packaged module file, and the module
# finds the packaged library.
rm -rf "$work/root" && dpkg-deb -x "$package" "$work/root"
grep -q '^LoadModule qv_module /usr/lib/apache2/modules/mod_qv.so$' "$work/root/etc/apache2/mods-available/qv.load" ||
    fail "qv.load does not name /usr/lib/apache2/modules/mod_qv.so"
readelf -d "$work/root/usr/lib/apache2/modules/mod_qv.so" | grep -q "RUNPATH.*\\\$ORIGIN/../../$arch_dir" ||
    fail "mod_qv.so does not find libnubrel in /usr/lib/$arch_dir"
grep -q "^QuorvelAgentConfigurationFile /etc/apache2/qv/agent.conf\$" "$work/root/etc/apache2/mods-available/qv.conf" ||
    grep -q "QuorvelAgentConfigurationFile /etc/apache2/qv/agent.conf\$" "$work/root/etc/apache2/mods-available/qv.conf" ||
    fail "qv.conf does not name /etc/apache2/qv/agent.conf"

if [ "$failures" -ne 0 ]; then echo "$failures failed" >&2; exit 1; fi
echo "package $(basename "$package"): all checks passed"

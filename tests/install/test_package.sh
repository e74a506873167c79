#!/bin/sh
# Builds the Debian packages (packaging/make-deb.sh, dpkg-buildpackage in a
# copy of the source) and checks them as they are: lintian on every package,
# each package's files, dependencies and maintainer scripts, and, unpacked
# with dpkg-deb -x into a throw-away root, callers of the library and an
# Apache that includes the packaged qv.load and qv.conf.
#
#   test_package.sh SOURCE_DIR WORK_DIR APACHE_BINARY APACHE_MODULE_DIR
set -eu
source_dir=$1 work=$2 apache=$3 apache_modules=$4
here=$source_dir/tests/install
umask 022
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
. "$here/tree_checks.sh"

mkdir -p "$work"
packages=$(sh "$source_dir/packaging/make-deb.sh" --build "$work/build" --out "$work/debs")
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
upstream=${version%%-*}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb() { echo "$work/debs/${1}_${version}_$arch.deb"; }
for name in libapache2-mod-qv libnubrel2 libnubrel-dev nubrel-tools; do
    [ -f "$(deb $name)" ] || { echo "FAIL: $name was not built; built: $packages" >&2; exit 1; }
done

# --- lintian: no error and no warning that is not overridden ---------------
# shellcheck disable=SC2046
if ! lintian --allow-root --fail-on error,warning -I --pedantic $(for name in libapache2-mod-qv libnubrel2 libnubrel-dev nubrel-tools; do deb $name; done) \
        >"$work/lintian.log" 2>&1; then
    fail "lintian: $(cat "$work/lintian.log")"
fi

# --- What each package holds ----------------------------------------------
contents() {
    dpkg-deb --contents "$1" | awk '{ sub(/^\./, "", $6); print $6 ($7 == "->" ? " -> " $8 : "") }' |
        grep -v '/$' | grep -v '^/usr/share/doc/' | grep -v '^/usr/share/lintian/overrides/' | sort
}
expect_contents() {
    name=$1; shift
    printf '%s\n' "$@" | sort >"$work/$name.expected"
    contents "$(deb "$name")" >"$work/$name.contents"
    cmp -s "$work/$name.expected" "$work/$name.contents" ||
        fail "$name holds other files: $(diff "$work/$name.expected" "$work/$name.contents" | grep '^[<>]' | tr '\n' ' ')"
}
expect_contents libapache2-mod-qv /etc/apache2/mods-available/qv.conf /etc/apache2/mods-available/qv.load \
    /etc/apache2/qv/agent.conf /etc/apache2/qv/error-page.html /etc/apache2/qv/start-page.html \
    /usr/lib/apache2/modules/mod_qv.so
expect_contents libnubrel2 "/usr/lib/$multiarch/libnubrel.so.2 -> libnubrel.so.$upstream" "/usr/lib/$multiarch/libnubrel.so.$upstream"
expect_contents libnubrel-dev /usr/include/nubrel.h "/usr/lib/$multiarch/libnubrel.so -> libnubrel.so.2" \
    "/usr/lib/$multiarch/pkgconfig/nubrel.pc" "/usr/lib/$multiarch/cmake/nubrel/nubrelConfig.cmake" \
    "/usr/lib/$multiarch/cmake/nubrel/nubrelConfigVersion.cmake" "/usr/lib/$multiarch/cmake/nubrel/nubrelTargets.cmake" \
    "/usr/lib/$multiarch/cmake/nubrel/nubrelTargets-none.cmake"
expect_contents nubrel-tools /usr/bin/nubrel /usr/share/man/man1/nubrel.1.gz
dpkg-deb --contents "$(deb libapache2-mod-qv)" >"$work/libapache2-mod-qv.list"
grep -q ' \./usr/share/doc/libapache2-mod-qv/configuration\.md' "$work/libapache2-mod-qv.list" ||
    fail "libapache2-mod-qv lacks the configuration reference"
grep -q '^-rw-r----- .* \./etc/apache2/qv/agent\.conf$' "$work/libapache2-mod-qv.list" ||
    fail "the agent file is not mode 0640"

# Dependencies come from the symbols and shared library information.
depends() { dpkg-deb -f "$(deb "$1")" Depends; }
# "PACKAGE DEPENDENCY": the dependency as written, or a package name with
# any version.
for expected in "libapache2-mod-qv libnubrel2 (>= $upstream)" "libapache2-mod-qv apache2-api-20120211" \
                "nubrel-tools libnubrel2 (>= $upstream)" "libnubrel-dev libnubrel2 (= $version)" \
                "libnubrel2 libssl3" "libnubrel2 zlib1g"; do
    name=${expected%% *} dependency=${expected#* }
    list=$(depends "$name" | tr ',' '\n' | sed 's/^ *//; s/ *$//')
    printf '%s\n' "$list" | grep -qxF "$dependency" || printf '%s\n' "$list" | sed 's/ (.*//' | grep -qxF "$dependency" ||
        fail "$name does not depend on $dependency: $(depends "$name")"
done

# The symbols file lists exactly the exported functions, under NUBREL_2.
rm -rf "$work/control" && dpkg-deb -e "$(deb libnubrel2)" "$work/control"
grep '^ [a-z_0-9]*@NUBREL_2 ' "$work/control/symbols" | sed 's/^ \([a-z_0-9]*\)@.*/\1/' | sort >"$work/symbols.names"
grep '^[a-z_0-9]*$' "$here/../exported-symbols.txt" | sort | cmp -s - "$work/symbols.names" ||
    fail "the symbols file does not list exactly the exported functions"

# Installing does not enable the module, removal disables it through
# Apache's helper, and the files in /etc are configuration files.
rm -rf "$work/control" && dpkg-deb -e "$(deb libapache2-mod-qv)" "$work/control"
if grep -qs 'enmod' "$work/control/postinst"; then fail "postinst enables the module"; fi
grep -q 'apache2-maintscript-helper' "$work/control/prerm" && grep -q 'apache2_invoke dismod' "$work/control/prerm" ||
    fail "prerm does not disable the module through apache2-maintscript-helper"
if grep -qs 'a2dismod\|a2enmod' "$work/control/prerm" "$work/control/postrm" "$work/control/postinst"; then
    fail "a maintainer script calls a2enmod or a2dismod directly"
fi
grep '^/etc/' "$work/libapache2-mod-qv.contents" | cmp -s - "$work/control/conffiles" ||
    fail "conffiles differ from the files in /etc: $(cat "$work/control/conffiles")"

# --- Unpacked: the library, its callers and Apache ---------------------------
choose_place "$work/unpacked"
root=$place/root
for name in libapache2-mod-qv libnubrel2 libnubrel-dev nubrel-tools; do dpkg-deb -x "$(deb "$name")" "$root"; done
for binary in usr/lib/apache2/modules/mod_qv.so usr/bin/nubrel "usr/lib/$multiarch/libnubrel.so.$upstream"; do
    if readelf -d "$root/$binary" | grep -q 'RPATH\|RUNPATH'; then fail "$binary has a RUNPATH"; fi
done
grep -q '^LoadModule qv_module /usr/lib/apache2/modules/mod_qv.so$' "$root/etc/apache2/mods-available/qv.load" ||
    fail "qv.load does not name /usr/lib/apache2/modules/mod_qv.so"
libdir=$root/usr/lib/$multiarch
check_clients "$root" "$libdir/pkgconfig/nubrel.pc" "$root/usr" "$place"
# Without a RUNPATH the module and the tool find the unpacked library only
# through LD_LIBRARY_PATH; installed, it is in the linker's own folder.
check_apache "$root" "$root/etc/apache2/mods-available" "$root/etc/apache2/qv" \
    "$root/usr/lib/apache2/modules/mod_qv.so" "$root/usr/bin/nubrel" "$libdir" "$place/server"

if [ "$failures" -ne 0 ]; then
    echo "--- error log" >&2; tail -20 "$place/server/logs/error.log" >&2 2>/dev/null || true
    echo "$failures failed" >&2
    exit 1
fi
[ -z "$place_own" ] || rm -rf "$place"
echo "packages $(for name in libapache2-mod-qv libnubrel2 libnubrel-dev nubrel-tools; do printf '%s ' "$(basename "$(deb "$name")")"; done): all checks passed"
echo "--- lintian"
cat "$work/lintian.log"

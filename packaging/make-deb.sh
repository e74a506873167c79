#!/bin/sh
# Builds the Debian package libapache2-mod-qv: mod_qv, libnubrel with its
# header and pkg-config and CMake files, the nubrel tool, and the sample
# configuration in /etc/apache2 (configuration files of the package, kept on
# removal and deleted on purge).
#
#   sh packaging/make-deb.sh [--build DIR] [--out DIR]
#
# --build: the CMake build folder for the package (prefix /usr), default
# build/deb; --out: where the .deb is written, default build. Prints the
# path of the package.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=build/deb
out_dir=build
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build_dir=$2; shift 2 ;;
        --out) out_dir=$2; shift 2 ;;
        -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "make-deb: unknown option $1" >&2; exit 2 ;;
    esac
done
for tool in cmake ninja dpkg-deb dpkg strip gzip; do
    command -v "$tool" >/dev/null 2>&1 || { echo "make-deb: $tool is missing" >&2; exit 1; }
done

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}" --target nubrel mod_qv nubrel_tool qv_templates >/dev/null

stage=$(cd "$build_dir" && pwd)/package-root
rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build_dir" >/dev/null

# Debian's conventions: compressed man pages, stripped binaries, the
# package's own documentation folder.
gzip -9nf "$stage/usr/share/man/man1/nubrel.1"
find "$stage/usr" -type f \( -name '*.so' -o -name '*.so.*' -o -path '*/bin/*' \) \
     -exec strip --strip-unneeded --remove-section=.comment --remove-section=.note {} +
doc_dir="$stage/usr/share/doc/libapache2-mod-qv"
mkdir -p "$doc_dir"
cat > "$doc_dir/README.Debian" <<'TEXT'
mod_qv for Debian
=================

1. Put the password shared with the federation server into
   /etc/apache2/qv/agent.conf (printf '%s' 'PASSWORD' | nubrel encode-password).
2. In /etc/apache2/mods-available/qv.conf set QuorvelLoginPageURL and at least
   one QuorvelFilter.
3. a2enmod qv && apache2ctl configtest && systemctl restart apache2

The documentation is in /usr/share/doc/nubrel/.
TEXT

version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
mkdir -p "$stage/DEBIAN"
installed_size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat > "$stage/DEBIAN/control" <<TEXT
Package: libapache2-mod-qv
Version: $version
Architecture: $arch
Section: httpd
Priority: optional
Maintainer: mod_qv developers <root@localhost>
Installed-Size: $installed_size
Depends: apache2-bin (>= 2.4), apache2-api-20120211, libssl3 (>= 3.0.0), zlib1g (>= 1:1.2.0), libc6 (>= 2.34), libstdc++6 (>= 12)
Description: single sign-on agent for Apache httpd with Nubrel session tokens
 mod_qv protects URLs of an Apache server: it sends users without a valid
 Nubrel session token to the federation server's login page, validates and
 renews sessions, handles logout and hands the user's attributes to the
 application as request headers or environment variables.
 .
 The package also holds libnubrel, the token library, with its header,
 pkg-config and CMake files, and the nubrel command-line tool.
TEXT
( cd "$stage" && find etc -type f | sort | sed 's|^|/|' ) > "$stage/DEBIAN/conffiles"
echo "activate-noawait ldconfig" > "$stage/DEBIAN/triggers"
install -m 0755 "$source_dir/packaging/debian/prerm" "$source_dir/packaging/debian/postrm" "$stage/DEBIAN/"

mkdir -p "$out_dir"
package="$out_dir/libapache2-mod-qv_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$package" >/dev/null
echo "$package"

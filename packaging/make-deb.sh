#!/bin/sh
# Builds the Debian packages of debian/ (libapache2-mod-qv, libnubrel2,
# libnubrel-dev, nubrel-tools) with dpkg-buildpackage, in a fresh copy of
# the source tree so that the checkout and its build folders stay as they are.
#
#   sh packaging/make-deb.sh [--build DIR] [--out DIR]
#
# --build: the folder for the copy and the package build, emptied first,
# default build/deb (the build log is DIR/build.log); --out: where the .deb
# files are put, default build. Prints the paths of the packages.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=build/deb
out_dir=build
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build_dir=$2; shift 2 ;;
        --out) out_dir=$2; shift 2 ;;
        -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "make-deb: unknown option $1" >&2; exit 2 ;;
    esac
done
for tool in dpkg-buildpackage dpkg-parsechangelog dh fakeroot tar; do
    command -v "$tool" >/dev/null 2>&1 || { echo "make-deb: $tool is missing (make deps installs it)" >&2; exit 1; }
done

rm -rf "$build_dir"
mkdir -p "$build_dir/nubrel" "$out_dir"
build_dir=$(cd "$build_dir" && pwd)
tree=$build_dir/nubrel
# The files of the checkout (with new ones not yet committed), without build
# folders and other ignored files.
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
        tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$tree"
else
    (cd "$source_dir" && tar --exclude='./build*' --exclude=./.git -cf - .) | tar -xf - -C "$tree"
fi

log=$build_dir/build.log
if ! (cd "$tree" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=${JOBS:-2}}" \
        dpkg-buildpackage -us -uc -b) >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "make-deb: dpkg-buildpackage failed; the whole log is $log" >&2
    exit 1
fi

version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
found=0
for package in "$build_dir"/*_"$version"_*.deb; do
    case "$package" in *-dbgsym_*) continue ;; esac
    [ -f "$package" ] || continue
    cp "$package" "$out_dir/"
    echo "$out_dir/$(basename "$package")"
    found=$((found + 1))
done
[ "$found" -gt 0 ] || { echo "make-deb: no package in $build_dir" >&2; exit 1; }

#!/bin/sh
# Installs the browser test's npm packages, as locked in package-lock.json,
# into the given folder. Does nothing when the locked versions are there.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
target=$1
mkdir -p "$target"
if [ -f "$target/package-lock.json" ] && cmp -s "$here/package-lock.json" "$target/package-lock.json" &&
   [ -f "$target/node_modules/.package-lock.json" ]; then
    exit 0
fi
for tool in node npm; do
    command -v $tool >/dev/null 2>&1 || { echo "browser test: $tool is missing; run scripts/install-deps.sh" >&2; exit 1; }
done
cp "$here/package.json" "$here/package-lock.json" "$target/"
cd "$target"
# Without a home folder npm has no cache of its own; keep one here.
[ -n "${HOME:-}" ] || export npm_config_cache="$target/.npm-cache"
npm ci --no-audit --no-fund --loglevel=error >/dev/null

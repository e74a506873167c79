#!/bin/sh
# Installs the Debian packages the project needs to build, test and run.
# Idempotent and quiet when everything is present; runs without input.
set -eu

PACKAGES="
  g++ cmake ninja-build make pkg-config binutils
  libssl-dev zlib1g-dev
  libgtest-dev googletest libbenchmark-dev
  apache2 apache2-dev libapr1-dev libaprutil1-dev
  redis-server memcached
  libcurl4-openssl-dev curl
  valgrind wrk python3
  clang-14 libclang-rt-14-dev
  chromium fonts-dejavu-core
  debhelper dpkg-dev fakeroot lintian
"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
# The browser test drives Chromium from Node.js. A Node.js that came from
# elsewhere brings its own npm and conflicts with Debian's npm package, so
# these two are asked for only when the commands are missing.
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        SUDO="sudo"
    else
        echo "install-deps: missing packages:$missing; run as root to install them" >&2
        exit 1
    fi
else
    SUDO=""
fi

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# Debian starts the system Apache, Redis and memcached after installing them;
# the tests run their own servers, so keep the packaged services from starting.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod +x "$policy"
    trap '$SUDO rm -f "$policy"' EXIT
fi
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null

#!/bin/sh
# make test-package: installs the four packages of make deb into this machine
# with dpkg, as an operator would, and takes them out again. For root on a
# machine you can throw away afterwards; never part of make test.
#
#   test_dpkg.sh BUILD_DIR     (where make deb put the .deb files)
#
# Checks: installing leaves the module disabled; with the password in the
# agent file, a2enmod qv, apache2ctl configtest and apache2ctl -M show it;
# removal disables it and keeps the edited agent file; purge removes
# /etc/apache2/qv. Service starts are blocked (policy-rc.d) while it runs,
# so the system's Apache is neither started nor restarted.
set -eu
build=$1
[ "$(id -u)" -eq 0 ] || { echo "test-package: run as root, on a disposable machine" >&2; exit 1; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

version=$(dpkg-parsechangelog -l "$(dirname "$0")/../../debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
debs=""
for name in libnubrel2 libnubrel-dev nubrel-tools libapache2-mod-qv; do
    file=$build/${name}_${version}_$arch.deb
    [ -f "$file" ] || { echo "test-package: $file is missing (make deb)" >&2; exit 1; }
    debs="$debs $file"
done

policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Written by make test-package: no service starts.\nexit 101\n' >"$policy"
    chmod 0755 "$policy"
    trap 'rm -f "$policy"' EXIT
fi
export DEBIAN_FRONTEND=noninteractive

# shellcheck disable=SC2086
dpkg -i $debs
[ ! -e /etc/apache2/mods-enabled/qv.load ] || fail "installing enabled the module"
[ "$(stat -c %a /etc/apache2/qv/agent.conf)" = 640 ] || fail "the agent file is not mode 0640"

password=$(printf '%s' 'package test' | nubrel encode-password)
echo "password = $password" >>/etc/apache2/qv/agent.conf
a2enmod -q qv
[ -L /etc/apache2/mods-enabled/qv.load ] || fail "a2enmod qv did not enable the module"
apache2ctl configtest || fail "apache2ctl configtest refused the enabled module"
apache2ctl -M 2>/dev/null | grep -q 'qv_module (shared)' || fail "apache2ctl -M does not list qv_module"

dpkg -r libapache2-mod-qv
[ ! -e /etc/apache2/mods-enabled/qv.load ] || fail "removal left the module enabled"
grep -q "^password = $password\$" /etc/apache2/qv/agent.conf || fail "removal did not keep the edited agent file"
apache2ctl configtest || fail "Apache's configuration is broken after removal"

# shellcheck disable=SC2086
dpkg -P libapache2-mod-qv nubrel-tools libnubrel-dev libnubrel2
[ ! -e /etc/apache2/qv ] || fail "purge left /etc/apache2/qv"
[ ! -e /var/lib/apache2/module/enabled_by_admin/qv ] || fail "purge left a2enmod's state for qv"

if [ "$failures" -ne 0 ]; then echo "test-package: $failures failed" >&2; exit 1; fi
echo "test-package: all checks passed"

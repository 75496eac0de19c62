#!/usr/bin/env bash
# The Debian package that scripts/package writes: unpacked with dpkg-deb it holds the installed
# tree and nothing else; it depends on the runtime libraries, never on a -dev package; its
# maintainer scripts reload the udev rules and never fail where udev is missing or refuses; lintian
# finds no error in it.
# Usage: package_test.sh DEB SOURCE_DIR
set -euo pipefail
deb=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fault() { echo "package: $*" >&2; status=1; }

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
# shellcheck source=installed_files.sh
. "$src/tests/scripts/installed_files.sh"
check_installed "$work/root/usr" || status=1
# Everything under /usr (merged /usr: the udev rule too).
extra=$(cd "$work/root" && find . -mindepth 1 -maxdepth 1 ! -name usr)
[ -z "$extra" ] || fault "files outside /usr: $extra"

[ "$(dpkg-deb -f "$deb" Package)" = quillon-downloader ] || fault "package name"
depends=$(dpkg-deb -f "$deb" Depends)
# The package names alone, one a line.
names=$(sed -e 's/([^)]*)//g' -e 's/[|,]/\n/g' <<<"$depends" | tr -d ' ' | sed '/^$/d')
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libmosquitto1; do
  grep -qxF "$lib" <<<"$names" || fault "does not depend on $lib: $depends"
done
if grep -qE -- '-dev$' <<<"$names"; then fault "depends on a -dev package: $depends"; fi

# The maintainer scripts, run with a udevadm that records its calls and fails: with no udev
# running (no /run/udev, as in a container) nothing is called; either way they succeed.
for script in postinst postrm; do
  [ -x "$work/control/$script" ] || { fault "no executable $script"; continue; }
done
mkdir -p "$work/stub"
cat >"$work/stub/udevadm" <<STUB
#!/bin/sh
echo "udevadm \$*" >>"$work/udevadm.calls"
exit 1
STUB
chmod +x "$work/stub/udevadm"
PATH="$work/stub:$PATH" sh "$work/control/postinst" configure || fault "postinst failed where udevadm fails"
PATH="$work/stub:$PATH" sh "$work/control/postrm" remove || fault "postrm failed where udevadm fails"
if [ -d /run/udev ]; then
  grep -q 'control --reload-rules' "$work/udevadm.calls" 2>/dev/null || fault "postinst does not reload the udev rules"
else
  [ ! -e "$work/udevadm.calls" ] || fault "udevadm called without a running udev"
fi
PATH="/nonexistent" /bin/sh "$work/control/postinst" configure || fault "postinst failed without udevadm"

# Debian's own judge of packages finds no error in it.
lintian_errors=$(lintian --no-tag-display-limit "$deb" 2>/dev/null | grep '^E: ' || true)
[ -z "$lintian_errors" ] || fault "lintian: $lintian_errors"

exit "$status"

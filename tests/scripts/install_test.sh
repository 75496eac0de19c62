#!/usr/bin/env bash
# cmake --install puts every file of the station where a Debian system looks for it, and nothing
# else; the installed programs run from there.
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

DESTDIR="$work/dest" cmake --install "$build" --prefix /usr >"$work/install.log"
# shellcheck source=installed_files.sh
. "$src/tests/scripts/installed_files.sh"
check_installed "$work/dest/usr"
for p in "${QUILLON_PROGRAMS[@]}"; do
  "$work/dest/usr/bin/$p" --help >/dev/null || { echo "installed $p --help failed" >&2; exit 1; }
done

#!/usr/bin/env bash
# scripts/check-layering accepts the tree as it stands and refuses a copy of it with one include
# planted a floor too high, or a Qt header planted in the core.
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fresh_copy() {
  rm -rf "$work/tree"; mkdir "$work/tree"
  for d in station images link protocol engine line sim tools bench; do
    [ -d "$src/$d" ] && cp -r "$src/$d" "$work/tree/"
  done
}
expect() {  # expect pass|fail WHAT
  local got=pass
  "$src/scripts/check-layering" "$work/tree" >/dev/null 2>&1 || got=fail
  if [ "$got" != "$1" ]; then echo "check-layering should $1: $2" >&2; exit 1; fi
}

fresh_copy
expect pass "the tree as it stands"

echo '#include "engine/cycle.h"' >>"$work/tree/link/serial_device.cpp"
expect fail "link/ including engine/"

fresh_copy
echo '#include "protocol/frame.h"' >>"$work/tree/station/station_core.h"
expect fail "station/ including protocol/"

fresh_copy
echo '#include "line/line_publisher.h"' >>"$work/tree/engine/cycle.cpp"
expect fail "engine/ including line/, the floor above it"

fresh_copy
echo '#include <QString>' >>"$work/tree/images/image_file.cpp"
expect fail "a Qt header in images/"

fresh_copy
echo '#include "station/clock.h"' >>"$work/tree/engine/cycle.cpp"
expect pass "engine/ including a floor below"
echo "check_layering_test: passed"

#!/usr/bin/env bash
# scripts/check-layering accepts the tree as it stands and refuses a copy of it with one include
# planted a floor too high, or a Qt header planted in the core; an include the table does not
# allow, a private header and a circle inside a folder each with a line naming the fault.
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fresh_copy() {
  rm -rf "$work/tree"; mkdir "$work/tree"
  for d in station images link protocol records engine ports line udev sim headless settings console tools bench; do
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
expect fail "engine/ including line/, a floor beside it"

fresh_copy
echo '#include <QString>' >>"$work/tree/images/image_file.cpp"
expect fail "a Qt header in images/"

fresh_copy
echo '#include "station/clock.h"' >>"$work/tree/engine/cycle.cpp"
expect pass "engine/ including a floor below"

# Faults the table finds besides the floors' order, each named on a line of its own.
expect_saying() {  # expect_saying PATTERN WHAT
  local out status=0
  out=$("$src/scripts/check-layering" "$work/tree" 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then echo "check-layering should fail: $2" >&2; exit 1; fi
  if ! grep -qE "$1" <<<"$out"; then echo "check-layering should say /$1/ for $2; it said: $out" >&2; exit 1; fi
}
while IFS='|' read -r file line pattern what; do
  fresh_copy
  echo "$line" >>"$work/tree/$file"
  expect_saying "$pattern" "$what"
done <<'EOF'
sim/flash_model.cpp|#include "engine/cycle.h"|sim/flash_model.cpp:[0-9]+ includes engine/cycle.h: sim/ may include station/|engine/ in sim/
sim/flash_model.cpp|#include "station/station_core.h"|sim/flash_model.cpp:[0-9]+ includes station/station_core.h, which is private to station/|the station object in sim/
images/image_trailer.h|#include "station/station_core.h"|sim/[a-z_.]+ reaches station/station_core.h through images/|the station object handed on to sim/ by a header
images/region_fit.cpp|#include "images/image_select.h"|a circle inside images/: images/image_select -> images/region_fit -> images/image_select|a circle inside images/
EOF

# A floor of the table that is not there (being made elsewhere) is skipped.
fresh_copy
rm -rf "$work/tree/sim"
expect pass "the tree without sim/"
echo "check_layering_test: passed"

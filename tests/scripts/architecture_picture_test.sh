#!/usr/bin/env bash
# The picture of the floors in docs/architecture.md is the one scripts/check-layering draws from
# its table, so that the document cannot tell of floors the check does not hold.
set -euo pipefail
src=$1
shown=$(sed -n '/^<!-- picture: scripts\/check-layering --graph -->$/,/^```$/p' "$src/docs/architecture.md" | sed '1,2d;$d')
drawn=$("$src/scripts/check-layering" --graph)
if [ "$shown" != "$drawn" ]; then
  echo "docs/architecture.md shows another picture than scripts/check-layering --graph draws:" >&2
  diff <(echo "$drawn") <(echo "$shown") >&2 || true
  exit 1
fi
echo "architecture_picture_test: passed"

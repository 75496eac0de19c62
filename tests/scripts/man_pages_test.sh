#!/usr/bin/env bash
# Every program's manual page renders without a warning (groff's and mandoc's linters) and
# documents every option its --help names, so that neither can grow an option the other lacks.
set -euo pipefail
build=$1
src=$2
status=0
for p in quillon-downloader quillon-flash quillon-line quillon-mkimage quillon-phone-sim; do
  page="$src/docs/man/$p.1"
  warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1 || true)
  warnings+=$(mandoc -Tlint -W warning "$page" 2>&1 || true)
  if [ -n "$warnings" ]; then echo "$p.1: $warnings" >&2; status=1; fi
  text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
  while IFS= read -r opt; do
    grep -qE -- "${opt}([^a-z0-9-]|\$)" <<<"$text" || { echo "$p.1 lacks $opt (from --help)" >&2; status=1; }
  done < <("$build/$p" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
done
exit "$status"

# Sourced by the install and package tests: check_installed ROOT judges an installed tree (ROOT is
# the prefix, e.g. DESTDIR/usr) and prints every fault it finds; non-zero when there is one.

QUILLON_PROGRAMS=(quillon-downloader quillon-flash quillon-line quillon-mkimage quillon-phone-sim)

check_installed() {
  local root=$1 faults=0 f
  installed_fault() { echo "installed tree: $*" >&2; faults=$((faults + 1)); }

  local expected=()
  for f in "${QUILLON_PROGRAMS[@]}"; do
    expected+=("bin/$f" "share/man/man1/$f.1.gz")
    [ -x "$root/bin/$f" ] || installed_fault "bin/$f missing or not executable"
    [ -s "$root/share/man/man1/$f.1.gz" ] || installed_fault "share/man/man1/$f.1.gz missing"
    gzip -dc "$root/share/man/man1/$f.1.gz" 2>/dev/null | grep -q "^\.TH $(echo "$f" | tr a-z A-Z) 1 " ||
      installed_fault "share/man/man1/$f.1.gz is not the section 1 page of $f"
  done

  local rules
  rules=$(ls "$root"/lib/udev/rules.d/*quillon-phone.rules 2>/dev/null | head -n 1)
  if [ -z "$rules" ]; then
    installed_fault "no udev rule in lib/udev/rules.d"
  else
    expected+=("lib/udev/rules.d/$(basename "$rules")")
    grep -q 'GROUP="dialout"' "$rules" || installed_fault "the udev rule gives phone ports no dialout group"
    grep -q 'ID_MM_DEVICE_IGNORE' "$rules" || installed_fault "the udev rule does not keep ModemManager away"
  fi

  local desktop=share/applications/quillon-downloader.desktop
  local icon=share/icons/hicolor/scalable/apps/quillon-downloader.svg
  expected+=("$desktop" "$icon")
  grep -qx 'Exec=quillon-downloader' "$root/$desktop" 2>/dev/null || installed_fault "$desktop does not start the program"
  grep -qx 'Icon=quillon-downloader' "$root/$desktop" 2>/dev/null || installed_fault "$desktop names no icon"
  grep -q '<svg ' "$root/$icon" 2>/dev/null || installed_fault "$icon is not an SVG image"

  local doc=share/doc/quillon-downloader
  expected+=("$doc/operator-guide.md" "$doc/copyright" "$doc/changelog.gz")
  for f in operator-guide.md copyright changelog.gz; do
    [ -s "$root/$doc/$f" ] || installed_fault "$doc/$f missing"
  done
  # Every picture the guide shows is installed beside it.
  local pic
  while IFS= read -r pic; do
    expected+=("$doc/$pic")
    [ -s "$root/$doc/$pic" ] || installed_fault "$doc/$pic, shown in the guide, missing"
  done < <(grep -oE '\]\((screenshots/[^)]+\.png)\)' "$root/$doc/operator-guide.md" 2>/dev/null |
           sed -E 's/^\]\((.*)\)$/\1/' | sort -u)

  # Nothing else: no test, benchmark or screenshot program, no stray file.
  while IFS= read -r f; do
    local known=0 e
    for e in "${expected[@]}"; do [ "$f" = "$e" ] && known=1 && break; done
    case $f in "$doc"/screenshots/*.png) known=1 ;; esac
    [ "$known" = 1 ] || installed_fault "unexpected file $f"
  done < <(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)

  return $((faults > 0))
}

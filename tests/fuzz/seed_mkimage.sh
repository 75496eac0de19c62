#!/usr/bin/env bash
# Seeds made with the image builder, kept small so that the fuzzers stay fast.
# $1: quillon-mkimage; $2: the corpus directory; $3: "trailers" (image files as they are) or
# "containers" (packed CSC files in the compact form of fuzz_multi_csc).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mk=${1:?quillon-mkimage}
corpus=${2:?corpus directory}
mode=${3:?trailers or containers}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=seed_words.sh
. "$here/seed_words.sh"

make() { "$mk" "$@" >/dev/null; }

case "$mode" in
trailers)
  make --kind phone --out "$work/phone-new" --region 1:0x100:0:64:0x800 --region 9:0x2000000:0:0:0x100000 \
       --region 10:0x3000000:0:0:16777216 --head 0x55
  make --kind phone --old --out "$work/phone-old" --region 8:0x800000:0:32:0x900000
  make --kind phone --old --out "$work/phone-0x40" --kind-word 0x40 --start-marker 0 --end-marker 0 --body 40
  make --kind eboot --out "$work/eboot-new" --region 6:0x6000:0:64:0x8000 --region 7:0:64:16:0
  make --kind pda --out "$work/pda-new" --region 8:0:0:2056:0x40000 --region 7:0xACAC:5000:0:0
  # Its own Hidden area is 2,056 bytes long, as long as the file: the same bytes are also a Hidden image.
  make --kind phone --out "$work/phone-own-hidden" --region 10:0x3000000:0:0:657408 --body 1864
  make --kind csc --out "$work/csc-new" --region 8:0:0:2056:0x40000
  make --kind csc --old --out "$work/csc-old" --region 8:0:0:2056:0x40000
  make --kind unified --out "$work/unified-new" --region 0:0:0:64:0x800
  mkdir -p "$work/set"
  make --set "$work/set" --qcsbl 64 --oemsbl 64 --amss 64 --fota 64 --appsbl 64 --pda 2056 --csc-bytes 2056 \
       --efs2-erase 4096 --hidden-erase 1048576
  # The set's Phone and Hidden images are hundreds of kilobytes: too slow to mutate.
  for f in "$work"/set/eboot.eb0 "$work"/set/pda.pda "$work"/set/csc.csc; do cp "$f" "$work/set-$(basename "$f")"; done
  rm -rf "$work/set"
  cp "$work"/* "$corpus"/
  ;;
containers)
  make --multi-csc "$work/zulu-alpha" --entry ZULU:64 --entry ALPHA:32
  make --multi-csc "$work/duplicates" --entry SAME:16 --entry SAME:48 --entry OTHER:2056 --carrier 0x2000000:0x100000
  make --marked-csc "$work/marked" --bytes 300 --carrier 0x2000000:0x600000
  # The compact form: the header up to its last entry, then what follows the header (for a file
  # shorter than a header, what follows the part kept).
  for f in "$work"/*; do
    count=$(od -An -tu4 -j36 -N4 "$f" | tr -d ' ')
    first=$(od -An -tx4 -N4 "$f" | tr -d ' ')
    if [ "$first" = "aaaaaaaa" ] && [ "$count" -ge 1 ] && [ "$count" -le 1023 ]; then
      head_len=$((128 + 128 * count))
    else
      head_len=128
    fi
    rest_from=131073
    [ "$(stat -c %s "$f")" -ge 131072 ] || rest_from=$((head_len + 1))
    { le32 "$head_len"; head -c "$head_len" "$f"; tail -c +"$rest_from" "$f"; } >"$corpus/mk-$(basename "$f")"
  done
  ;;
*)
  echo "seed_mkimage.sh: unknown mode $mode" >&2
  exit 2
  ;;
esac

# Little helpers for the fuzz seed scripts: little-endian words, zero runs and descriptor blocks.
# Sourced, not run.

# le32 WORD... : each word as four little-endian bytes
le32() {
  local v
  for v in "$@"; do
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $(((v >> 8) & 255)) $(((v >> 16) & 255)) $(((v >> 24) & 255)))"
  done
}

# zeros COUNT : COUNT zero bytes
zeros() { head -c "$1" /dev/zero; }

# fill COUNT BYTE : COUNT copies of one byte (0-255)
fill() { head -c "$1" /dev/zero | tr '\0' "$(printf '\\%03o' "$2")"; }

# new_block KIND HEAD REGION_WORDS... : a 192-byte block, regions padded with zeros to 44 words
new_block() {
  local kind=$1 head=$2; shift 2
  local words=("$@")
  while [ ${#words[@]} -lt 44 ]; do words+=(0); done
  le32 0x7E "$kind" "$head" "${words[@]:0:44}" 0x7D
}

# old_block KINDWORD MARKED REGION_WORDS... : a 160-byte block with nine regions
old_block() {
  local kind=$1 marked=$2; shift 2
  local words=("$@")
  while [ ${#words[@]} -lt 36 ]; do words+=(0); done
  if [ "$marked" = 1 ]; then le32 0x7E; else le32 0; fi
  le32 "$kind" 0x12345678 "${words[@]:0:36}"
  if [ "$marked" = 1 ]; then le32 0x7D; else le32 0; fi
}

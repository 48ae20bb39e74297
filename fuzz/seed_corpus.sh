#!/usr/bin/env bash
# Fills a seed corpus for codec_fuzzer:
#   fuzz/seed_corpus.sh DIRECTORY
# with the encodings below (the toolkit's own item encoding, undefined
# lengths, a meta group that switches syntax, and inputs that once broke the
# round trip) and, when Debian's python3-pydicom is installed, its test files
# of up to 1 MiB (larger inputs are skipped by the target), each whole and,
# for a file with a preamble, also from its data set on (the target decodes
# from offset 0). Nothing is written into the source tree. Then, for
# instance, with new inputs going to the first directory:
#   build-fuzz/fuzz/codec_fuzzer -runs=10000000 NEW-CORPUS DIRECTORY
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DIRECTORY" >&2; exit 2; }
corpus=$1
mkdir -p "$corpus"

# name, then the bytes in hex
while read -r name hex; do
  [ -n "$name" ] || continue
  printf '%b' "$(printf '%s' "${hex// /}" | sed 's/../\\x&/g')" >"$corpus/$name"
done <<'EOF'
explicit-little-sequence 08000000554c040032000000080015115351000000000000feff00e0535100001a00000008000000040000000e0000000800000106000000414243444546
implicit-undefined-item 0800151100000000feff00e0ffffffff08005011020000003132feff0de000000000feffdde00000000010002000020000004944
explicit-big-name 00100010504e0006010203040506
meta-switch-to-big 0200100055491400312e322e3834302e31303030382e312e322e32000008006043530002435400100010504e0004444f4520
empty-item-big 1300e00000000000fffee000000000020000000000000000
empty-item-little 001300e000000000feff00e0020000000000000000000000
item-before-any-element feff00e00a0000000800600002000000435410001000020000005820
meta-then-implicit-item 0200100055491200312e322e3834302e31303030382e312e3200feff00e00a00000008006000020000004354
meta-then-big-item 0200100055491400312e322e3834302e31303030382e312e322e3200fffee000535100000000000a00080060000000024354
meta-then-group-0100 0200100055491400312e322e3834302e31303030382e312e322e32000001001043530002435401000010435300024d52
meta-two-syntaxes 0200100055491400312e322e3834302e31303030382e312e322e31000200100055491200312e322e3834302e31303030382e312e320008006000435302004354
EOF

pydicom=$(dpkg -L python3-pydicom 2>/dev/null | grep '/test_files/' || true)
count=0
for file in $pydicom; do
  [ -f "$file" ] || continue
  size=$(stat -c %s "$file")
  [ "$size" -le 1048576 ] || continue
  name=pydicom-$(printf '%s' "${file#*/test_files/}" | tr '/' '_')
  cp "$file" "$corpus/$name"
  if [ "$size" -gt 132 ] && [ "$(dd if="$file" bs=1 skip=128 count=4 2>/dev/null)" = DICM ]; then
    tail -c +133 "$file" >"$corpus/$name.dataset"
  fi
  count=$((count + 1))
done
echo "$corpus: $(ls "$corpus" | wc -l) seeds ($count pydicom test files)"

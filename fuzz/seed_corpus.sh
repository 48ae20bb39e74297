#!/usr/bin/env bash
# Fills a seed corpus for one libFuzzer target:
#   fuzz/seed_corpus.sh DIRECTORY [TARGET]
# TARGET is codec (the default), association_pdu, pdata, file, dictionary,
# configuration or find_key. The seeds come from the project's own fixtures
# (read from the source tree at run time) and, for the targets that read
# DICOM encodings, from the test files of Debian's python3-pydicom when it is
# installed (files of up to 1 MiB; larger inputs are skipped by the
# targets). Nothing is written into the source tree. Then, for instance,
# with new inputs going to the first directory:
#   build-fuzz/fuzz/codec_fuzzer -runs=10000000 NEW-CORPUS DIRECTORY
#
# codec: the encodings below (the toolkit's own item encoding, undefined
# lengths, a meta group that switches syntax, and inputs that once broke the
# round trip) and pydicom's test files, each whole and, for a file with a
# preamble, also from its data set on (the target decodes from offset 0).
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 DIRECTORY [TARGET]" >&2; exit 2; }
corpus=$1
target=${2:-codec}
source_tree=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$corpus"
pydicom=$(dpkg -L python3-pydicom 2>/dev/null | grep '/test_files/' || true)

# Writes hex seeds: each line a name, then the bytes in hex.
hex_seeds() {
  while read -r name hex; do
    [ -n "$name" ] || continue
    printf '%b' "$(printf '%s' "${hex// /}" | sed 's/../\\x&/g')" >"$corpus/$name"
  done
}

# pydicom's test files of up to 1 MiB, one path a line.
pydicom_files() {
  for file in $pydicom; do
    [ -f "$file" ] && [ "$(stat -c %s "$file")" -le 1048576 ] && printf '%s\n' "$file"
  done
  return 0
}

case "$target" in
  codec) ;;
  association_pdu)
    # The PDUs captured from DCMTK's tools, as the network tests hold them.
    python3 - "$source_tree/tests/network/CapturedPdus.h" "$corpus" <<'PYTHON'
import re, sys
text = open(sys.argv[1]).read()
for name, body in re.findall(r"const uint8_t (\w+)\[\] = \{(.*?)\};", text, re.S):
    body = re.sub(r"//[^\n]*", "", body)
    data = bytes(int(value, 16) for value in re.findall(r"0x([0-9A-Fa-f]{2})", body))
    open(f"{sys.argv[2]}/captured-{name}", "wb").write(data)
PYTHON
    hex_seeds <<'EOF2'
abort 07000000000400000301
release-request 05000000000400000000
reject 03000000000400010301
EOF2
    ;;
  pdata)
    # A C-ECHO-RQ command, and pydicom's data sets (after their meta group)
    # as data-set PDVs on the context of their transfer syntax, cut at 16 KiB.
    python3 - "$corpus" $(pydicom_files) <<'PYTHON'
import struct, sys
contexts = {b"1.2.840.10008.1.2": 1, b"1.2.840.10008.1.2.1": 3, b"1.2.840.10008.1.2.2": 5,
            b"1.2.840.10008.1.2.1.99": 7, b"1.2.840.10008.1.2.4.50": 9}
def pdu(context, control, payload):
    pdv = struct.pack(">IBB", len(payload) + 2, context, control) + payload
    return b"\x04\x00" + struct.pack(">I", len(pdv)) + pdv
def element(element, value):
    return struct.pack("<HHI", 0, element, len(value)) + value
fields = (element(0x0002, b"1.2.840.10008.1.1\x00") + element(0x0100, struct.pack("<H", 0x0030)) +
          element(0x0110, struct.pack("<H", 1)) + element(0x0800, struct.pack("<H", 0x0101)))
echo = element(0x0000, struct.pack("<I", len(fields))) + fields
open(f"{sys.argv[1]}/echo-command", "wb").write(pdu(1, 3, echo))
open(f"{sys.argv[1]}/echo-command-in-two", "wb").write(pdu(1, 1, echo[:20]) + pdu(1, 3, echo[20:]))
for path in sys.argv[2:]:
    data = open(path, "rb").read()
    if data[128:132] != b"DICM" or data[136:138] != b"UL":
        continue
    start = 144 + struct.unpack("<I", data[140:144])[0]
    meta, body = data[132:start], data[start:start + 16000]
    context = 3
    for uid, number in contexts.items():
        if uid + b"\x00" in meta or uid + b" " in meta:
            context = number
    name = path.split("/test_files/")[1].replace("/", "_")
    open(f"{sys.argv[1]}/pydicom-{name}", "wb").write(pdu(1, 3, echo) + pdu(context, 2, body))
PYTHON
    ;;
  file)
    for file in $(pydicom_files); do
      cp "$file" "$corpus/pydicom-$(printf '%s' "${file#*/test_files/}" | tr '/' '_')"
    done
    ;;
  dictionary)
    # The standard dictionary in pieces of 40 lines, and lines the loader
    # takes apart with care (escapes, quotes, decimal tags, no keyword).
    split -l 40 -a 3 "$source_tree/dictionary/dicom.dic" "$corpus/dicom-dic-"
    printf '%s\n' '{0x0010, 0x0010, "PN", "Patient'"'"'s Name", "PatientName"}' \
      '{16, 32, "LO", "Escaped \"quote\" and \\ backslash", "Escaped"}' \
      "{0X7FE0,0x0010,'OB or OW','Pixel Data'}" '{0x0008 0x0005 CS' >"$corpus/hand-made"
    ;;
  configuration)
    printf '%s\n' '# acceptance policy' 'scanner   CT_SCANNER             RemoteAE' \
      'archive   ARCHIVE                LocalAE' 'dicom     1.2.840.10008.3.1.1.1  Application' \
      'ct        1.2.840.10008.5.1.4.1.1.2  sop' 'mr        1.2.840.10008.5.1.4.1.1.4  abstract' \
      'explicit  1.2.840.10008.1.2.1    transfer' >"$corpus/every-list"
    printf 'x CT1 RemoteAE\r\nx\tMR1\tremoteae extra fields\n  # CT3 RemoteAE\nCT4 RemoteAE\n' >"$corpus/separators"
    ;;
  find_key)
    for key in PatientName 'PatientName=DOE^*' '0010,0020=ID?' '(0008,0020)=20240101-20241231' 00100010 \
      'StudyInstanceUID=1.2.3\1.2.4' 'SOPInstanceUID=1.2.3' '0020,000D' 'Modality=CT' 'x=y=z'; do
      printf '%s' "$key" >"$corpus/key-$(printf '%s' "$key" | md5sum | cut -c1-8)"
    done
    ;;
  *)
    echo "$0: no seeds for target $target" >&2
    exit 2
    ;;
esac
if [ "$target" != codec ]; then
  echo "$corpus: $(ls "$corpus" | wc -l) seeds for $target"
  exit 0
fi

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
meta-switch-then-group-0200 020010010000000000021511000000000200100055491400312e322e3834302e31303030382e312e32003200
EOF

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

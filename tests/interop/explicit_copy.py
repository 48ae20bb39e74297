#!/usr/bin/python3
"""`dicomtk copy --explicit` against DCMTK's dcmdump and pydicom.

Every implicit VR little endian file among pydicom's test files that dicomtk
loads completely is copied with --explicit; then

- dcmdump reads the copy with exit status 0 and without an error or warning
  line;
- pydicom reads the copy as explicit VR little endian, and each element of
  the source is there with the same value bytes and the VR of the toolkit's
  dictionary (dictionary/dicom.dic): UN for elements the dictionary does not
  know (private ones) and for sequences, which a file read in implicit VR
  keeps as the implicit VR bytes of their items, exactly what UN holds;
- where pydicom gives the source element the same VR, the values pydicom
  decodes from source and copy are equal.

Usage: explicit_copy.py DICOMTK DICTIONARY
Exit status: 0 all good, 1 a check failed, 77 a peer is missing.
Run it with Debian's interpreter (/usr/bin/python3), which has pydicom.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import warnings

SKIP = 77
IMPLICIT_LE = "1.2.840.10008.1.2"
EXPLICIT_LE = "1.2.840.10008.1.2.1"

try:
    import pydicom
    from pydicom.filereader import data_element_generator, read_preamble
except ImportError as error:  # pragma: no cover - depends on the machine
    print(f"SKIP: pydicom is not importable by {sys.executable} ({error})")
    sys.exit(SKIP)

ENTRY = re.compile(r'^\{0x([0-9A-Fa-f]{4}), 0x([0-9A-Fa-f]{4}), "([A-Z]{2})"')


def dictionary_vrs(path):
    vrs = {}
    with open(path, encoding="ascii") as lines:
        for line in lines:
            match = ENTRY.match(line)
            if match:
                vrs[int(match.group(1) + match.group(2), 16)] = match.group(3)
    return vrs


def raw_elements(path, implicit):
    """Top-level (tag -> (VR, value bytes)) after the meta group, as stored."""
    with open(path, "rb") as stream:
        read_preamble(stream, force=True)
        pydicom.filereader._read_file_meta_info(stream)
        found = {}
        for raw in data_element_generator(stream, implicit, True, defer_size=None):
            found[raw.tag] = (raw.VR, bytes(raw.value or b""))
        return found


def implicit_samples():
    folder = os.path.join(os.path.dirname(pydicom.__file__), "data", "test_files")
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not name.endswith(".dcm"):
            continue
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                meta = pydicom.filereader.read_file_meta_info(path)
        except Exception:
            continue
        if str(getattr(meta, "TransferSyntaxUID", "")) == IMPLICIT_LE:
            yield name, path


def check(vrs, source, copy):
    problems = []
    status, out, err = run(["dcmdump", copy])
    complaints = [line for line in (out + err).splitlines() if line.startswith(("E:", "W:"))]
    if status != 0 or complaints:
        problems.append(f"dcmdump status {status}: {' / '.join(complaints[:3])}")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        copied = pydicom.dcmread(copy)
        original = pydicom.dcmread(source)
    if copied.is_implicit_VR or not copied.is_little_endian:
        problems.append("pydicom does not read the copy as explicit VR little endian")
    if str(copied.file_meta.TransferSyntaxUID) != EXPLICIT_LE:
        problems.append(f"transfer syntax {copied.file_meta.TransferSyntaxUID}")

    expected = raw_elements(source, True)
    got = raw_elements(copy, False)
    for tag, (_, value) in expected.items():
        if tag.element == 0:
            continue
        if tag not in got:
            problems.append(f"{tag} missing")
            continue
        vr, copied_value = got[tag]
        wanted = vrs.get(int(tag), "UN")
        if wanted == "SQ":
            wanted = "UN"
        if vr != wanted:
            problems.append(f"{tag} written as {vr}, the dictionary says {wanted}")
        padded = value + (b"\0" if len(value) % 2 else b"")
        if copied_value != padded:
            problems.append(f"{tag} value bytes differ")
        if tag in original and original[tag].VR == vr and vr != "UN":
            if copied[tag].value != original[tag].value:
                problems.append(f"{tag} decodes to {copied[tag].value!r}, not {original[tag].value!r}")
    extra = [tag for tag in got if tag not in expected and tag.element != 0]
    if extra:
        problems.append(f"elements added: {extra[:5]}")
    return problems, len(expected)


def run(command):
    done = subprocess.run(command, capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")


def main(arguments):
    if len(arguments) != 2:
        print(__doc__)
        return 2
    dicomtk, dictionary = arguments
    if shutil.which("dcmdump") is None:
        print("SKIP: dcmdump (Debian package dcmtk) is not installed")
        return SKIP
    vrs = dictionary_vrs(dictionary)
    failures = 0
    checked = 0
    with tempfile.TemporaryDirectory() as scratch:
        for name, source in implicit_samples():
            copy = os.path.join(scratch, name)
            status, _, err = run([dicomtk, "copy", "--explicit", source, copy])
            if status != 0:
                # Files the toolkit cannot load (elements of undefined length)
                # are the load checks' business, not this one's.
                print(f"--   {name}: not copied ({err.strip()[:100]})")
                continue
            problems, count = check(vrs, source, copy)
            checked += 1
            if problems:
                failures += 1
                print(f"FAIL {name}: " + "; ".join(problems[:6]))
            else:
                print(f"ok   {name}: {count} elements")
    if checked < 5:
        print(f"FAIL only {checked} implicit samples could be copied")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

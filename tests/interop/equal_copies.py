#!/usr/bin/python3
"""Copies that pydicom finds equal to their source.

Every pydicom sample that pydicom reads and dicomtk loads is copied with
`dicomtk copy --mode 3` (which keeps the file's transfer syntax) with the
default options, and again with --keep-undefined-lengths; pydicom then reads
source and copy and must find their data sets equal (`==`), and equal
element for element at every depth: the same tags (group length elements
included: a copy holds those its source holds and no others), the same VRs
and the same values, sequences item by item. The file meta information is
not compared: mode 3 completes it (a Transfer Syntax UID where it lacks one,
the whole group where a file has none).

Samples pydicom itself cannot read, and those that dicomtk refuses to load
or copy, are skipped with their reason, listed in the output. Two
differences are the copy's right and are listed as notes, not faults: a
group length whose value in the source is not the size of its group (the
copy's is recomputed, and must then be the exact size), and a value of odd
length in the source, which the copy pads to even length with a zero byte
as every value must be.

Usage: equal_copies.py DICOMTK
Exit status: 0 all good, 1 a copy differs, 2 usage error, 77 pydicom missing.
Run it with Debian's interpreter (/usr/bin/python3), which has pydicom.
"""

import os
import sys
import tempfile
import warnings

import interop

pydicom = interop.pydicom

OPTIONS = ([], ["--keep-undefined-lengths"])


def read(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pydicom.dcmread(path, force=True)


def tag_text(tag):
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


def padded(expected, got):
    """Whether got is expected, an odd-length value, with a zero pad byte."""
    if isinstance(expected, bytes) and isinstance(got, bytes):
        return len(expected) % 2 == 1 and got == expected + b"\0"
    if isinstance(expected, str) and isinstance(got, str):
        return len(expected.encode("latin-1", "replace")) % 2 == 1 and got == expected + "\0"
    return False


def differences(want, have, notes, where=""):
    """Element by element at every depth: what the copy has otherwise than its source."""
    found = []
    want_tags, have_tags = set(want.keys()), set(have.keys())
    for tag in sorted(want_tags - have_tags):
        found.append(f"{where}{tag_text(tag)} missing")
    for tag in sorted(have_tags - want_tags):
        found.append(f"{where}{tag_text(tag)} added")
    for tag in sorted(want_tags & have_tags):
        expected, got = want[tag], have[tag]
        name = f"{where}{tag_text(tag)}"
        if expected.VR != got.VR:
            found.append(f"{name} VR {expected.VR} became {got.VR}")
        elif expected.VR == "SQ":
            if len(expected.value) != len(got.value):
                found.append(f"{name} has {len(got.value)} items, not {len(expected.value)}")
                continue
            for number, (item, copied) in enumerate(zip(expected.value, got.value), 1):
                found += differences(item, copied, notes, f"{name} item {number} ")
        elif expected.value != got.value and padded(expected.value, got.value):
            notes.append(f"{name} odd length {len(expected.value)} padded to even")
        elif expected.value != got.value and tag & 0xFFFF == 0 and where == "":
            notes.append(f"{name} group length {expected.value} recomputed as {got.value}")
        elif expected.value != got.value:
            found.append(f"{name} value {str(expected.value)[:40]!r} became {str(got.value)[:40]!r}")
    return found


def recomputed_problems(source_path, output, notes):
    """A group length the copy recomputed: wrong in the source, exact in the copy."""
    tags = [note.split()[0] for note in notes if "group length" in note]
    if not tags:
        return []
    wrong_in_source = {problem.split()[0] for problem in interop.group_length_problems(interop.Reference(source_path))}
    problems = [f"{tag} group length differs, yet the source's was right" for tag in tags if tag not in wrong_in_source]
    problems += interop.group_length_problems(interop.Reference(output))
    return problems


def main(arguments):
    if len(arguments) != 1 or not os.access(arguments[0], os.X_OK):
        print(__doc__)
        return 2
    dicomtk = arguments[0]
    print(f"pydicom {pydicom.__version__}; samples in {interop.sample_folder()}")
    warnings.simplefilter("ignore")
    compared, skipped, failures, noted = 0, [], [], []
    with tempfile.TemporaryDirectory(prefix="dicomtk-equal-") as folder:
        for number, path in enumerate(interop.sample_files()):
            name = interop.sample_name(path)
            if name in interop.DELIBERATELY_BROKEN:
                skipped.append(f"{name}: {interop.DELIBERATELY_BROKEN[name]}")
                continue
            try:
                source = read(path)
                # Values are read when compared: a damaged one shows now.
                source.walk(lambda dataset, element: element.value)
            except Exception as error:
                skipped.append(f"{name}: pydicom cannot read it ({type(error).__name__}: {error})")
                continue
            for options in OPTIONS:
                case = " ".join([name] + options)
                output = os.path.join(folder, f"{number}-{len(options)}.dcm")
                status, _, stderr = interop.run([dicomtk, "copy", "--mode", "3"] + options + [path, output])
                crashes = interop.crash_problems(status, stderr)
                if crashes:
                    failures.append(case)
                    print(f"DIFF {case}: " + "; ".join(crashes))
                    continue
                if status != 0:
                    skipped.append(f"{case}: dicomtk refuses it ({stderr.strip()})")
                    continue
                notes = []
                try:
                    copy = read(output)
                    found = differences(source, copy, notes)
                    equal = source == copy
                except Exception as error:
                    found, equal = [f"pydicom cannot read the copy ({type(error).__name__}: {error})"], False
                found += recomputed_problems(path, output, notes)
                compared += 1
                if found or (not equal and not notes):
                    failures.append(case)
                    print(f"DIFF {case}: " + ("; ".join(found[:6]) or "pydicom finds them unequal"))
                elif notes:
                    noted.append(case)
                    print(f"note {case}: " + "; ".join(notes[:6]))
                else:
                    print(f"ok   {case}")
    print()
    for reason in skipped:
        print(f"skipped {reason}")
    print(f"equal copies: {compared} copies compared, {compared - len(failures) - len(noted)} equal, "
          f"{len(noted)} equal but for the noted corrections, {len(failures)} differ, {len(skipped)} skipped")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

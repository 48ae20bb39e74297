#!/usr/bin/python3
"""Interoperability checks of dicomtk against independent DICOM programs.

The peers are Debian's DCMTK tools (dcmdump, dcmconv) and Debian's pydicom
together with the sample files it ships. pydicom serves as the reference
reader: its element parser walks each file and yields every element with the
length and the value bytes found in the file, without converting anything;
sequences are split into their items at every depth (element_trees.py).
dicomtk's `dump --hex` output is compared with that.

Usage: interop.py SUBCOMMAND DICOMTK

  samples    every pydicom sample, in every transfer syntax, loads with the
             same elements at every depth (tag, VR where the file has it,
             length, value bytes; sequences item by item), or is one of the
             broken ones and is refused with one message line
  written    files saved by `dicomtk copy --mode 2|3` are read by dcmdump
             and pydicom with the same elements as the source
  dcmtk      files converted by dcmconv into the three byte encodings, with
             sequences of defined (+e) and undefined (-e) length, and
             compressed files re-encoded in their own transfer syntax, load in
             dicomtk with the same elements at every depth as pydicom reads
  copies     every sample dicomtk reads, saved with `copy --mode 3` (and, where
             it has undefined lengths, with --keep-undefined-lengths too), is
             read by dcmdump without an error line and by pydicom with the
             same elements at every depth, compressed pixel data included
  undefined  the samples holding sequences, items or pixel data of undefined
             length load whole with the same elements at every depth: a table

Run it with Debian's interpreter (/usr/bin/python3), which has pydicom.
Exit status: 0 all good, 1 a check failed, 2 usage error, 77 a peer is missing.

Group length elements (gggg,0000) are left out of these comparisons: the
toolkit recomputes their values when it writes (where they stand, a copy
keeps them as its source has them: equal_copies.py).
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import warnings
import zlib
from io import BytesIO

SKIP = 77

try:
    import pydicom
    import pydicom.dataset
    import pydicom.filereader
    import pydicom.uid
    from pydicom.dataelem import RawDataElement
    from pydicom.filereader import data_element_generator, read_preamble
    import element_trees
except ImportError as error:  # pragma: no cover - depends on the machine
    print(f"SKIP: pydicom is not importable by {sys.executable} ({error}); "
          "install Debian's python3-pydicom and run /usr/bin/python3")
    sys.exit(SKIP)

UNDEFINED = 0xFFFFFFFF
IMPLICIT_LE = "1.2.840.10008.1.2"
EXPLICIT_LE = "1.2.840.10008.1.2.1"
EXPLICIT_BE = "1.2.840.10008.1.2.2"
DEFLATED_LE = "1.2.840.10008.1.2.1.99"
MEDIA_STORAGE_DIRECTORY = "1.2.840.10008.1.3.10"
# Transfer syntax -> (implicit VR, little endian)
ENCODINGS = {
    IMPLICIT_LE: (True, True),
    EXPLICIT_LE: (False, True),
    EXPLICIT_BE: (False, False),
}
ENCODING_NAMES = {
    (True, True): "implicit VR little endian",
    (False, True): "explicit VR little endian",
    (False, False): "explicit VR big endian",
    (True, False): "implicit VR big endian",
}

# Differences confirmed as accepted, as {(subcommand, case): reason}. A case
# listed here is reported but does not fail the run.
KNOWN_DIFFERENCES = {}

# Seconds each program run may take; every run takes well under one.
TIMEOUT = 30


# --------------------------------------------------------------------------
# Small helpers

def tag_text(tag):
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


def hex_preview(value, limit=24):
    text = value[:limit].hex().upper()
    return text + ("..." if len(value) > limit else "")


def is_group_length(tag):
    return tag & 0xFFFF == 0


def sample_folder():
    return os.path.join(os.path.dirname(pydicom.__file__), "data", "test_files")


def sample_name(path):
    return os.path.relpath(path, sample_folder())


def sample_path(name):
    return os.path.join(sample_folder(), name)


def stripped_uid(value):
    return value.rstrip(b"\0 ").decode("ascii", "replace") if value is not None else None


TIMED_OUT = -1000


def run(command):
    """Runs a program; returns (exit status, stdout bytes, stderr text)."""
    try:
        completed = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        return TIMED_OUT, expired.stdout or b"", (expired.stderr or b"").decode("utf-8", "replace")
    return completed.returncode, completed.stdout, completed.stderr.decode("utf-8", "replace")


SANITIZER_MARKS = ("Sanitizer", "runtime error:")


def crash_problems(status, stderr):
    """Problems that count as a crash whatever the file: a signal, a hang or a sanitizer report."""
    problems = []
    if status == TIMED_OUT:
        problems.append(f"did not finish within {TIMEOUT} s")
    elif status < 0:
        problems.append(f"killed by signal {-status}")
    for mark in SANITIZER_MARKS:
        if mark in stderr:
            problems.append(f"sanitizer report on stderr ({mark!r})")
            break
    return problems


# --------------------------------------------------------------------------
# The reference: pydicom's raw reading

class Reference:
    """A file as pydicom reads it: top-level elements raw, as in the file.

    With encoding=(implicit VR, little endian) the data set is walked in that
    encoding whatever (0002,0010) says or pydicom would guess.
    """

    def __init__(self, path, encoding=None):
        self.path = path
        self.forced = encoding
        self.error = None
        self.meta = []      # [(tag, length, value bytes)], file order
        self.data = []
        self.undefined = []  # tags of elements of undefined length
        self.damaged = []    # tags whose value runs past the end of the file
        self.transfer_syntax = None
        self.has_meta = False
        self.meta_implicit = False
        self.implicit = True
        self.little = True
        self.warnings = []
        self.dataset = None
        self.vrs = {}        # tag -> VR as found in the file (explicit VR only)
        self.order = []      # every top-level tag in file order
        self.raw_meta = []   # pydicom's elements as its parser yields them
        self.directory_error = None  # why pydicom cannot follow a DICOMDIR's record offsets
        self.ends = {}       # tag -> offset where the element ends in its stream
        self.raw_data = []
        try:
            self._read()
        except Exception as error:  # pydicom's own failure is a finding to report
            self.error = f"{type(error).__name__}: {error}"

    def _read(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                dataset = pydicom.dcmread(self.path, force=True, defer_size=None)
            except Exception as error:
                dataset = self._directory_without_records(error)
        self.warnings = [str(item.message) for item in caught]
        self.dataset = dataset
        file_meta = getattr(dataset, "file_meta", None)
        meta_dict = file_meta._dict if file_meta is not None else {}
        self.has_meta = len(meta_dict) > 0
        if file_meta is not None and 0x00020010 in meta_dict:
            self.transfer_syntax = str(file_meta[0x00020010].value).rstrip("\0 ")
        # How pydicom actually decoded each part: the flags of its raw elements
        # (it may fall back to another encoding than the one announced).
        meta_raw = [item for item in meta_dict.values() if isinstance(item, RawDataElement)]
        if meta_raw:
            self.meta_implicit = meta_raw[0].is_implicit_VR
        data_raw = [item for item in dataset._dict.values() if isinstance(item, RawDataElement)]
        if data_raw:
            self.implicit, self.little = data_raw[0].is_implicit_VR, data_raw[0].is_little_endian
        else:
            self.implicit = getattr(dataset, "read_implicit_vr", True)
            self.little = getattr(dataset, "read_little_endian", True)
        if self.forced is not None:
            self.implicit, self.little = self.forced
        # Walk the file again with pydicom's element parser, positioned the way
        # dcmread positions it, and keep every element exactly as found.
        with open(self.path, "rb") as handle:
            read_preamble(handle, True)
            meta = self._walk(handle, data_element_generator(handle, self.meta_implicit, True,
                                                             stop_when=lambda tag, vr, length: tag.group != 2))
            named = next((stripped_uid(bytes(item.value or b"")) for item in meta if int(item.tag) == 0x00020010), None)
            data_stream = handle
            if named == DEFLATED_LE:
                # The data set is one raw deflate stream after the meta group.
                data_stream = BytesIO(zlib.decompress(handle.read(), -zlib.MAX_WBITS))
            data = self._walk(data_stream, data_element_generator(data_stream, self.implicit, self.little))
        self.raw_meta, self.raw_data = meta, data
        if [item.tag for item in meta] != list(meta_dict.keys()):
            raise RuntimeError("walking the meta group found other elements than dcmread")
        if self.forced is None and self.directory_error is None and [item.tag for item in data] != list(dataset._dict.keys()):
            raise RuntimeError("walking the data set found other elements than dcmread")
        for source, target in ((meta, self.meta), (data, self.data)):
            for item in source:
                tag = int(item.tag)
                self.order.append(tag)
                if not isinstance(item, RawDataElement) or item.length == UNDEFINED:
                    self.undefined.append(tag)
                    continue
                value = bytes(item.value or b"")
                if len(value) != item.length:
                    self.damaged.append(tag)
                target.append((tag, item.length, value))
                if item.VR:
                    self.vrs[tag] = item.VR
        for tag, length, value in self.meta:
            if tag == 0x00020010:
                self.transfer_syntax = stripped_uid(value)  # exactly as in the file

    def _directory_without_records(self, error):
        """A DICOMDIR whose record offsets pydicom cannot follow: its elements
        are still walked, in the encoding its meta group names."""
        file_meta = pydicom.filereader.read_file_meta_info(self.path)
        if str(file_meta.get("MediaStorageSOPClassUID", "")) != MEDIA_STORAGE_DIRECTORY:
            raise error
        self.directory_error = f"{type(error).__name__}: {error}"
        encoding = encoding_named(str(file_meta.get("TransferSyntaxUID", IMPLICIT_LE)))
        dataset = pydicom.dataset.FileDataset(self.path, {}, file_meta=file_meta)
        dataset.read_implicit_vr, dataset.read_little_endian = encoding or (True, True)
        return dataset

    def _walk(self, stream, elements):
        """The elements, noting where each ends in its stream (for group lengths)."""
        found = []
        for element in elements:
            found.append(element)
            self.ends[int(element.tag)] = stream.tell()
        return found

    def tree(self):
        """Every element of meta group and data set at every depth, as element_trees nodes."""
        return (element_trees.reference_nodes(self.raw_meta, self.meta_implicit, True) +
                element_trees.reference_nodes(self.raw_data, self.implicit, self.little))

    def elements(self, with_group_lengths=False):
        """{tag: (length, value)} of meta group and data set."""
        return {tag: (length, value) for tag, length, value in self.meta + self.data
                if with_group_lengths or not is_group_length(tag)}

    def value(self, tag):
        for item_tag, _, value in self.meta + self.data:
            if item_tag == tag:
                return value
        return None

    def count(self):
        """Top-level elements pydicom found, group lengths left out."""
        return len(self.elements()) + len([tag for tag in self.undefined if not is_group_length(tag)])


def element_differences(expected, got, limit=8):
    """Differences between two {tag: (length, value)} maps, described for a reader."""
    if expected and not got:
        return [f"dicomtk printed no elements; pydicom finds {len(expected)}"]
    lines = []
    for tag in sorted(set(expected) | set(got)):
        if tag not in got:
            length, value = expected[tag]
            lines.append(f"{tag_text(tag)} missing in dicomtk (pydicom: length {length}, {hex_preview(value)})")
        elif tag not in expected:
            length, value = got[tag]
            lines.append(f"{tag_text(tag)} only in dicomtk (length {length}, {hex_preview(value)})")
        elif expected[tag] != got[tag]:
            (want_length, want), (got_length, have) = expected[tag], got[tag]
            if want_length != got_length:
                lines.append(f"{tag_text(tag)} length: pydicom {want_length}, dicomtk {got_length}")
            else:
                first = next((index for index, (a, b) in enumerate(zip(want, have)) if a != b), min(len(want), len(have)))
                lines.append(f"{tag_text(tag)} value differs from byte {first}: pydicom {hex_preview(want[first:])}, "
                             f"dicomtk {hex_preview(have[first:])}")
    if len(lines) > limit:
        lines = lines[:limit] + [f"... and {len(lines) - limit} more"]
    return lines


def encoding_named(uid):
    """(implicit VR, little endian) of a transfer syntax UID, or None when it is not one."""
    if uid in ENCODINGS:
        return ENCODINGS[uid]
    try:
        syntax = pydicom.uid.UID(uid)
        if syntax.is_transfer_syntax:
            return syntax.is_implicit_VR, syntax.is_little_endian
    except (ValueError, AttributeError, TypeError):
        pass
    return None


def named_encoding_compressed(uid):
    try:
        return pydicom.uid.UID(uid).is_encapsulated
    except (ValueError, AttributeError, TypeError):
        return False


def encoding_of(reference):
    return (reference.implicit, reference.little)


# --------------------------------------------------------------------------
# samples

def sample_files():
    """Every file of pydicom's sample folder that is DICOM to pydicom."""
    found = []
    for folder, _, names in os.walk(sample_folder()):
        for name in sorted(names):
            path = os.path.join(folder, name)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    pydicom.dcmread(path, stop_before_pixels=True)
                found.append(path)
            except Exception:
                # Without preamble and "DICM" only a .dcm name says it is meant
                # as DICOM; pydicom then reads it with force=True.
                if name.endswith(".dcm"):
                    found.append(path)
    return sorted(found, key=sample_name)


def report_case(subcommand, case, problems, failures, notes=(), detail=""):
    """Prints one case; a case with problems fails unless KNOWN_DIFFERENCES lists it."""
    known = KNOWN_DIFFERENCES.get((subcommand, case))
    label = f"{case} [{detail}]" if detail else case
    if problems and known is None:
        failures.append(case)
        print(f"DIFF {label}")
    elif problems:
        print(f"KNOWN {label} ({known})")
    else:
        print(f"OK   {label}")
    for line in problems:
        print(f"       {line}")
    for line in notes:
        print(f"       note: {line}")


# Sample files that are broken on purpose, with what is wrong in them. dicomtk
# must refuse them with a non-zero status and one message line, and print
# only elements as they are in the file.
DELIBERATELY_BROKEN = {
    "dicomdirtests/DICOMDIR-nooffset": "its last directory record item claims 24 bytes more than its sequence "
                                       "and the file hold",
}


def message_problems(status, stderr_lines):
    """A failed load must end with a non-zero status and one 'dicomtk:' line."""
    if status <= 0:
        return []
    if len(stderr_lines) != 1 or not stderr_lines[0].startswith("dicomtk: "):
        return [f"non-zero status {status} without a one-line message: {stderr_lines[:3]}"]
    return []


def deep_check(dicomtk, path, reference, broken=None):
    """Compares dicomtk's reading of one file with pydicom's at every depth.

    Returns (problems, status, message): message is dicomtk's one line on
    standard error, if any. A damaged file (pydicom finds a value running
    past the end of the file) or one listed as broken must be refused
    cleanly; what is printed before the damage must still agree.
    """
    status, out, stderr = run([dicomtk, "dump", "--hex", path])
    stderr_lines = [line for line in stderr.splitlines() if line.strip()]
    problems = crash_problems(status, stderr)
    got, format_problems = element_trees.dump_nodes(out.decode("latin-1"))
    problems += format_problems
    expected = reference.tree()
    if reference.damaged or broken:
        if status == 0:
            what = ", ".join(tag_text(tag) for tag in reference.damaged) + " running past the end of the file" \
                if reference.damaged else broken
            problems.append(f"exit status 0 although the file is broken ({what})")
        problems += message_problems(status, stderr_lines)
        in_file = reference.elements(with_group_lengths=True)
        for tag in reference.damaged:
            expected = [node for node in expected if node.tag != tag]
            for node in [node for node in got if node.tag == tag]:
                got.remove(node)
                if node.items is not None or not in_file[tag][1].startswith(node.value):
                    problems.append(f"{tag_text(tag)} printed with bytes that are not in the file")
        if broken and status != 0:
            # Refused as it should be: what was printed must be in the file.
            printed = {node.tag for node in got}
            expected = sorted((node for node in expected if node.tag in printed), key=lambda node: node.tag)
            got = sorted(got, key=lambda node: node.tag)
            if expected and got and expected[-1].tag == got[-1].tag:
                # The element being read when the decoder stopped: its complete
                # items are printed, the one that failed is not.
                last, printed_last = expected[-1], got[-1]
                if last.items is not None and printed_last.items is not None:
                    expected[-1] = element_trees.Node(last.tag, last.vr, None, None,
                                                      last.items[:len(printed_last.items)])
                else:
                    expected, got = expected[:-1], got[:-1]
    else:
        if status != 0:
            problems.append(f"exit status {status}: {' / '.join(stderr_lines[:2])}")
        elif stderr_lines:
            problems.append(f"messages on stderr: {stderr_lines[:2]}")
    differences = element_trees.tree_differences(expected, got)
    if len(differences) > 8:
        differences = differences[:8] + [f"... and {len(differences) - 8} more"]
    problems += differences
    message = stderr_lines[0].replace(path, "FILE") if stderr_lines else ""
    return problems, status, message


def syntax_label(reference):
    if reference.transfer_syntax:
        return reference.transfer_syntax
    return ENCODING_NAMES[encoding_of(reference)] + ("" if reference.has_meta else ", no meta group")


def command_samples(dicomtk):
    failures, refused, unreadable, compared = [], [], [], 0
    for path in sample_files():
        name = sample_name(path)
        reference = Reference(path)
        if reference.error:
            # Not even pydicom reads it: dicomtk may refuse it, cleanly.
            status, _, stderr = run([dicomtk, "dump", "--hex", path])
            lines = [line for line in stderr.splitlines() if line.strip()]
            problems = crash_problems(status, stderr) + message_problems(status, lines)
            unreadable.append((name, reference.error, lines[0].replace(path, "FILE") if lines else "loaded"))
            report_case("samples", name, problems, failures, detail="pydicom cannot read it")
            continue
        compared += 1
        broken = DELIBERATELY_BROKEN.get(name)
        problems, status, message = deep_check(dicomtk, path, reference, broken)
        if status != 0:
            refused.append((name, broken or "damaged: " + ", ".join(tag_text(tag) for tag in reference.damaged)
                            if (broken or reference.damaged) else "not expected to fail", message))
        tree = reference.tree()
        report_case("samples", name, problems, failures,
                    detail=f"{syntax_label(reference)}, {element_trees.count_nodes(tree)} elements, "
                           f"items {element_trees.deepest(tree)} deep")
    print()
    if refused:
        print(f"refused by dicomtk ({len(refused)}):")
        for name, why, message in refused:
            print(f"  {name}: {why}; {message}")
    if unreadable:
        print(f"not read by pydicom ({len(unreadable)}):")
        for name, error, message in unreadable:
            print(f"  {name}: {error}; dicomtk: {message}")
    print()
    print(f"samples: {compared} files compared at every depth, {compared - len(failures)} agree, "
          f"{len(failures)} differ, {len(refused)} refused as broken")
    return 1 if failures else 0


# --------------------------------------------------------------------------
# written: files saved by dicomtk, read by dcmdump and pydicom

WRITTEN_SOURCES = [
    "CT_small.dcm",            # explicit VR little endian
    "MR_small.dcm",            # explicit VR little endian
    "MR_small_implicit.dcm",   # implicit VR little endian
    "MR_small_bigendian.dcm",  # explicit VR big endian
    "test-SR.dcm",             # explicit VR little endian, sequences of defined length
    "rtplan.dcm",              # implicit VR little endian, nested sequences
    "ExplVR_LitEndNoMeta.dcm",  # bare data set: the toolkit adds a meta group
]

ADDED_META = {
    0x00020001: b"\x00\x01",
    0x00020010: b"1.2.840.10008.1.2\0",
    0x00020012: b"none yet",
    0x00020013: b"0.1AlphaTEVAR ",
    0x00020016: b"none" + b" " * 12,
}


DCMDUMP_LINE = re.compile(r"^\(([0-9a-f]{4}),([0-9a-f]{4})\) (\S\S) .*#\s*(\d+|u/l),[^#]*$")


def dcmdump_elements(text):
    """Top-level (tag -> length) as dcmdump prints them; nested lines are indented."""
    found = {}
    for line in text.splitlines():
        match = DCMDUMP_LINE.match(line)
        # (fffe,e0dd) lines are dcmdump's own markers of where a sequence ends.
        if match and match.group(4) != "u/l" and match.group(1) != "fffe":
            found[int(match.group(1) + match.group(2), 16)] = int(match.group(4))
    return found


def group_length_problems(reference):
    """Each (gggg,0000) must count the bytes of the rest of its group exactly."""
    problems = []
    byte_order = "little" if reference.little else "big"
    for tag, length, value in reference.meta + reference.data:
        if not is_group_length(tag):
            continue
        order = "little" if tag >> 16 == 2 else byte_order
        if length != 4:
            problems.append(f"{tag_text(tag)} has length {length}")
            continue
        stated = int.from_bytes(value, order)
        members = [other for other in reference.ends if other >> 16 == tag >> 16 and other != tag]
        if not members:
            problems.append(f"{tag_text(tag)} heads an empty group")
            continue
        actual = max(reference.ends[other] for other in members) - reference.ends[tag]
        if stated != actual:
            problems.append(f"{tag_text(tag)} says {stated} bytes, the group has {actual}")
    return problems


def written_cases(dicomtk, subcommand, cases):
    """Copies each (sample, mode, options) with dicomtk and checks the file written."""
    if shutil.which("dcmdump") is None:
        print("SKIP: dcmdump (Debian package dcmtk) is not installed")
        return SKIP
    failures = []
    with tempfile.TemporaryDirectory(prefix=f"dicomtk-{subcommand}-") as folder:
        for number, (name, mode, options) in enumerate(cases):
            source_path = sample_path(name)
            source = Reference(source_path)
            case = " ".join([name, "--mode", str(mode)] + options)
            if source.error or source.damaged:
                failures.append(case)
                print(f"DIFF {case}: source not usable ({source.error or 'damaged'})")
                continue
            detail = "source in " + syntax_label(source)
            problems, notes = [], []
            output = os.path.join(folder, f"{number}-mode{mode}-{os.path.basename(name)}")
            status, _, stderr = run([dicomtk, "copy", "--mode", str(mode)] + options + [source_path, output])
            problems += crash_problems(status, stderr)
            if status != 0 or not os.path.exists(output):
                problems.append(f"copy failed with status {status}: {stderr.strip()}")
                report_case(subcommand, case, problems, failures, detail=detail)
                continue
            problems += written_file_problems(mode, source, output, notes, "--keep-undefined-lengths" in options)
            report_case(subcommand, case, problems, failures, notes, detail=detail)
    print()
    print(f"{subcommand}: {len(cases)} files written and read back, {len(failures)} with problems")
    return 1 if failures else 0


def command_written(dicomtk):
    return written_cases(dicomtk, "written", [(name, mode, []) for name in WRITTEN_SOURCES for mode in (2, 3)])


def command_copies(dicomtk):
    # Every sample dicomtk reads, saved in mode 3: in its own transfer syntax,
    # sequences with exact lengths and, a second time, with the undefined
    # lengths they came with; compressed pixel data as they are.
    cases = []
    for path in sample_files():
        name = sample_name(path)
        reference = Reference(path)
        if reference.error or reference.damaged or name in DELIBERATELY_BROKEN:
            continue
        cases.append((name, 3, []))
        if reference.undefined:
            cases.append((name, 3, ["--keep-undefined-lengths"]))
    return written_cases(dicomtk, "copies", cases)


def written_file_problems(mode, source, output, notes, keeps_undefined=False):
    problems = []
    with open(output, "rb") as handle:
        head = handle.read(132)
    if head[:128] != bytes(128) or head[128:132] != b"DICM":
        problems.append("no 128-byte zero preamble followed by DICM")

    # pydicom, as any reader would: trusting (0002,0010), guessing where it must.
    written = Reference(output)
    if written.error:
        problems.append(f"pydicom cannot read it: {written.error}")
        return problems
    for message in sorted(set(written.warnings)):
        notes.append(f"pydicom warning: {message}")
    if written.directory_error and not source.directory_error:
        # Record offsets are byte positions in the file, which the toolkit's
        # re-encoding (exact sequence and item lengths) moves; the elements are intact.
        notes.append(f"pydicom cannot follow the directory's record offsets any more ({written.directory_error})")

    # DCMTK
    status, out, stderr = run(["dcmdump", output])
    text = out.decode("latin-1") + stderr
    errors = [line for line in text.splitlines() if line.startswith("E:")]
    warnings_seen = [line for line in text.splitlines() if line.startswith("W:")]
    notes += [f"dcmdump {line}" for line in warnings_seen[:6]]
    if len(warnings_seen) > 6:
        notes.append(f"dcmdump: {len(warnings_seen) - 6} more warnings")
    if status != 0 or errors:
        problems.append(f"dcmdump status {status}: " + (" / ".join(errors[:2]) or stderr.strip()[:200]))
    else:
        # DCMTK sees the same top-level elements with the same lengths.
        seen = {tag: length for tag, length in dcmdump_elements(out.decode("latin-1")).items()
                if not is_group_length(tag)}
        expected = {tag: length for tag, (length, _) in written.elements().items()}
        if seen != expected:
            missing = sorted(set(expected) - set(seen))
            extra = sorted(set(seen) - set(expected))
            unequal = sorted(tag for tag in set(seen) & set(expected) if seen[tag] != expected[tag])
            problems.append("dcmdump lists other elements than pydicom: "
                            f"missing {[tag_text(t) for t in missing[:4]]}, extra {[tag_text(t) for t in extra[:4]]}, "
                            f"other length {[tag_text(t) for t in unequal[:4]]}")

    # Layout: mode 2 all implicit VR little endian; mode 3 the meta group in
    # explicit VR little endian and the data set as (0002,0010) names.
    if mode == 2 and not written.meta_implicit:
        problems.append("meta group not in implicit VR")
    if mode == 3 and written.meta_implicit:
        problems.append("meta group not in explicit VR")
    named = written.transfer_syntax
    named_encoding = encoding_named(named)
    if named_encoding is None:
        problems.append(f"(0002,0010) names {named!r}")
        return problems
    written_as = (True, True) if mode == 2 else named_encoding
    if named_encoding != written_as:
        problems.append(f"(0002,0010) names {named} ({ENCODING_NAMES[named_encoding]}) while the data set "
                        f"is written in {ENCODING_NAMES[written_as]}; pydicom, following it, "
                        f"{'misreads the data set' if written.damaged or written.undefined else 'has to guess'}")
    elif encoding_of(written) != written_as:
        problems.append(f"pydicom reads the data set as {ENCODING_NAMES[encoding_of(written)]}")

    # The content, walked in the encoding the toolkit wrote it in: the same
    # elements as the source with unchanged value bytes.
    content = Reference(output, encoding=written_as)
    if content.error or content.damaged:
        problems.append(f"the data set does not walk as {ENCODING_NAMES[written_as]}: "
                        f"{content.error or 'elements cut short'}")
        return problems
    # Every element at every depth, sequences item by item, encapsulated
    # pixel data fragment by fragment.
    want = [node for node in source.tree() if node.tag >> 16 != 2]
    have = [node for node in content.tree() if node.tag >> 16 != 2]
    differences = element_trees.tree_differences(want, have, names=("source", "written file"), written=True)
    problems += differences[:8] + ([f"... and {len(differences) - 8} more"] if len(differences) > 8 else [])
    # Undefined lengths: encapsulated pixel data always; sequences only
    # where they came so and were asked to stay so.
    # Undefined lengths: all that came so when they are kept; otherwise only
    # where they are needed (encapsulated pixel data, a sequence under UN).
    source_undefined = {tag for tag in source.undefined if tag >> 16 != 2}
    written_undefined = set(content.undefined)
    pixels = {tag for tag in source_undefined if tag == 0x7FE00010 and named_encoding_compressed(named) and mode == 3}
    if keeps_undefined and written_undefined != source_undefined or \
            not keeps_undefined and not pixels <= written_undefined <= source_undefined:
        problems.append("undefined lengths: the source has them at " + (" ".join(tag_text(tag) for tag in sorted(source_undefined)) or "none")
                        + ", the written file at " + (" ".join(tag_text(tag) for tag in sorted(written_undefined)) or "none"))
    elif not keeps_undefined and written_undefined - pixels:
        notes.append("undefined lengths kept where a defined one would change the meaning: "
                     + " ".join(tag_text(tag) for tag in sorted(written_undefined - pixels)))

    # The meta group: the source's, or the one the toolkit adds.
    have_meta = {tag: item for tag, item in content.elements().items() if tag >> 16 == 2}
    if source.has_meta:
        want_meta = {tag: item for tag, item in source.elements().items() if tag >> 16 == 2}
        if mode == 2 or 0x00020010 not in want_meta:
            # A file written all in implicit VR little endian says so, and a
            # meta group without a Transfer Syntax UID gets that one.
            want_meta[0x00020010] = (18, b"1.2.840.10008.1.2\0")
    else:
        want_meta = {tag: (len(value), value) for tag, value in ADDED_META.items()}
        for copied, original in ((0x00020002, 0x00080016), (0x00020003, 0x00080018)):
            if source.value(original) is not None:
                want_meta[copied] = (len(source.value(original)), source.value(original))
    problems += [line.replace("dicomtk", "written file").replace("pydicom", "expected")
                 for line in element_differences(want_meta, have_meta)]

    problems += group_length_problems(content)

    # Values never change byte order: a big-endian source's numbers stay
    # big-endian bytes when the data set is written little endian.
    if not source.little and written_as[1]:
        changed = numbers_in_other_byte_order(source)
        if changed:
            notes.append(f"{len(changed)} numeric elements keep their big-endian value bytes in a little-endian "
                         f"data set (the toolkit never converts values), so a reader sees other numbers, "
                         f"e.g. {'; '.join(changed[:2])}")
    return problems


NUMBER_FORMATS = {"US": "H", "SS": "h", "UL": "I", "SL": "i", "FL": "f", "FD": "d", "OW": "H", "AT": "H"}


def numbers_in_other_byte_order(source):
    """Numeric elements of a big-endian source whose first number reads otherwise in little endian."""
    changed = []
    for tag, length, value in source.data:
        code = NUMBER_FORMATS.get(source.vrs.get(tag))
        if code is None or is_group_length(tag) or length < struct.calcsize(code):
            continue
        size = struct.calcsize(code)
        big = struct.unpack(">" + code, value[:size])[0]
        little = struct.unpack("<" + code, value[:size])[0]
        if value[:size] != value[:size][::-1]:
            changed.append(f"{tag_text(tag)} {source.vrs[tag]} {big} read as {little}")
    return changed


# --------------------------------------------------------------------------
# dcmtk: files converted by dcmconv, loaded by dicomtk

DCMTK_SOURCES = [
    "CT_small.dcm",
    "MR_small_bigendian.dcm",
    "test-SR.dcm",
    "rtplan.dcm",
    "reportsi.dcm",      # sequences of undefined length in the source
    "waveform_ecg.dcm",  # sequences of undefined length in the source
    "liver_1frame.dcm",  # sequences nested four items deep
]
DCMCONV_SYNTAXES = [("+ti", IMPLICIT_LE), ("+te", EXPLICIT_LE), ("+tb", EXPLICIT_BE)]
# +e: sequences and items with explicit lengths; -e: with undefined lengths
# and delimitation items.
DCMCONV_LENGTHS = ["+e", "-e"]
# Sources also written as bare data sets (dcmconv -F: no preamble, no meta
# group), where the loader has to find the encoding by itself.
BARE_SOURCES = ["CT_small.dcm", "rtplan.dcm"]
# Compressed sources, re-encoded by dcmconv in their own transfer syntax: the
# encapsulated pixel data stay as they are, the sequences around change.
COMPRESSED_SOURCES = ["JPEG2000.dcm", "SC_rgb_rle_2frame.dcm", "MR_small_jpeg_ls_lossless.dcm"]


def dcmconv_cases():
    for name in DCMTK_SOURCES:
        for option, syntax in DCMCONV_SYNTAXES:
            for lengths in DCMCONV_LENGTHS:
                yield name, [option, lengths], syntax, True
    for name in BARE_SOURCES:
        for option, syntax in DCMCONV_SYNTAXES:
            for lengths in DCMCONV_LENGTHS:
                yield name, [option, lengths, "-F"], syntax, False
    for name in COMPRESSED_SOURCES:
        for lengths in DCMCONV_LENGTHS:
            yield name, [lengths], None, True


def command_dcmtk(dicomtk):
    if shutil.which("dcmconv") is None:
        print("SKIP: dcmconv (Debian package dcmtk) is not installed")
        return SKIP
    failures, compared = [], 0
    with tempfile.TemporaryDirectory(prefix="dicomtk-dcmtk-") as folder:
        for number, (name, options, syntax, with_meta) in enumerate(dcmconv_cases()):
            case = f"{name} dcmconv {' '.join(options)}"
            output = os.path.join(folder, f"{number}-{os.path.basename(name)}")
            status, _, stderr = run(["dcmconv"] + options + [sample_path(name), output])
            if status != 0:
                failures.append(case)
                print(f"DIFF {case}: dcmconv failed with status {status}: {stderr.strip()[:200]}")
                continue
            reference = Reference(output)
            source = Reference(sample_path(name))
            reason = f"pydicom cannot read it ({reference.error})" if reference.error else None
            if reason is None and reference.has_meta != with_meta:
                reason = "dcmconv wrote " + ("a" if reference.has_meta else "no") + " meta group"
            if reason is None and syntax is None:
                syntax = source.transfer_syntax
            if reason is None and reference.has_meta and reference.transfer_syntax != syntax:
                reason = f"dcmconv wrote {reference.transfer_syntax}"
            if reason is None and encoding_of(reference) != encoding_named(syntax):
                reason = f"pydicom reads it as {ENCODING_NAMES[encoding_of(reference)]}"
            # The lengths asked for, so that both forms are really read.
            undefined = [tag for tag in reference.undefined if tag != 0x7FE00010]
            if reason is None and "+e" in options and undefined:
                reason = "dcmconv wrote sequences of undefined length"
            if reason is None and "-e" in options and not undefined and any(node.items for node in reference.tree()):
                reason = "dcmconv wrote sequences of defined length"
            if reason:
                failures.append(case)
                print(f"DIFF {case}: {reason}")
                continue
            compared += 1
            problems, _, _ = deep_check(dicomtk, output, reference)
            form = ENCODING_NAMES[encoding_named(syntax)] + ("" if with_meta else ", bare data set")
            tree = reference.tree()
            report_case("dcmtk", case, problems, failures,
                        detail=f"{form}, {element_trees.count_nodes(tree)} elements, "
                               f"{len(undefined)} top-level of undefined length")
    print()
    print(f"dcmtk: {compared} converted files compared at every depth, {len(failures)} differ")
    return 1 if failures else 0


# --------------------------------------------------------------------------
# undefined: samples holding elements of undefined length

def command_undefined(dicomtk):
    rows, failures = [], []
    for path in sample_files():
        reference = Reference(path)
        if reference.error or not reference.undefined:
            continue
        name = sample_name(path)
        # Sequences, items and pixel data of undefined length: every file
        # loads whole and agrees with pydicom at every depth.
        problems, status, message = deep_check(dicomtk, path, reference, DELIBERATELY_BROKEN.get(name))
        tree = reference.tree()
        syntax = reference.transfer_syntax or ("(none in meta group)" if reference.has_meta else "(no meta group)")
        undefined = [tag for tag in reference.undefined if not is_group_length(tag)]
        rows.append((name, syntax, tag_text(undefined[0]) if undefined else "-", len(undefined),
                     element_trees.count_nodes(tree), element_trees.deepest(tree), status, message))
        report_case("undefined", name, problems, failures)
    print()
    header = ("file", "transfer syntax", "first undefined", "undefined", "elements", "depth", "status", "stderr")
    widths = [max(len(str(row[index])) for row in rows + [header]) for index in range(len(header) - 1)]
    print("  ".join(str(cell).ljust(width) for cell, width in zip(header, widths)) + "  " + header[-1])
    for row in rows:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)) + "  " + row[-1])
    print()
    print("first undefined: first top-level element of undefined length; undefined: top-level elements of "
          "undefined length; elements: elements at every depth pydicom finds (group lengths left out); "
          "depth: deepest item nesting")
    print(f"undefined: {len(rows)} files with elements of undefined length, {len(failures)} with problems")
    return 1 if failures else 0


COMMANDS = {
    "samples": command_samples,
    "written": command_written,
    "dcmtk": command_dcmtk,
    "undefined": command_undefined,
    "copies": command_copies,
}


def main(arguments):
    if len(arguments) != 2 or arguments[0] not in COMMANDS:
        print(__doc__)
        return 2
    dicomtk = arguments[1]
    if not os.access(dicomtk, os.X_OK):
        print(f"dicomtk not found at {dicomtk}")
        return 2
    print(f"pydicom {pydicom.__version__} from {os.path.dirname(pydicom.__file__)}; samples in {sample_folder()}")
    return COMMANDS[arguments[0]](dicomtk)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

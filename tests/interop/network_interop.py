#!/usr/bin/python3
"""Interoperability of dicomtk echo, store and serve with DCMTK's network tools.

Every case runs on 127.0.0.1 on ports that were free a moment ago, with
every program given a bounded time. The peers are Debian's DCMTK programs
(echoscu, storescu, storescp) used as black boxes; the files sent are
pydicom's sample files (Debian's python3-pydicom), and pydicom is the
reference reader that compares what arrived with what was sent.

Usage: network_interop.py CASE DICOMTK

  serve-echoscu       echoscu verifies dicomtk serve: success, exit 0
  serve-storescu      storescu sends samples of several SOP classes and the
                      three uncompressed transfer syntaxes in one association
                      to dicomtk serve: every file stored, values equal
  serve-default-aec   storescu with its default called AE title: stored
  echo-storescp       dicomtk echo verifies storescp: success
  store-storescp      dicomtk store sends the samples to storescp: every file
                      received, values equal
  store-serve         dicomtk store sends the samples to dicomtk serve: the
                      same, ours on both sides
  echo-nothing        dicomtk echo to a port where nothing listens: one line
                      naming the peer, exit status not 0
  serve-keeps-samples every sample pydicom ships with a SOP Instance UID,
                      sent by dicomtk store to dicomtk serve one at a time:
                      pydicom finds the stored file equal to the sample,
                      element for element at every depth, group lengths
                      included, in the same transfer syntax, naming the
                      sender in Source Application Entity Title

Run it with Debian's interpreter (/usr/bin/python3), which has pydicom.
Exit status: 0 all good, 1 a check failed, 2 usage error, 77 a peer is missing.

"Values equal" compares the raw value bytes of every element outside the
meta group (group lengths left out), read by pydicom from both files; where
the two files differ in byte order, the numbers of binary VRs are compared
in the byte order of the source.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import warnings

SKIP = 77

try:
    import pydicom
    from pydicom.datadict import dictionary_VR
    from pydicom.filereader import data_element_generator, read_preamble
except ImportError as error:  # pragma: no cover - depends on the machine
    print(f"SKIP: pydicom is not importable by {sys.executable} ({error}); "
          "install Debian's python3-pydicom and run /usr/bin/python3")
    sys.exit(SKIP)

# Seconds any one program may take; every run here takes well under one.
TIMEOUT = 30

IMPLICIT_LE = "1.2.840.10008.1.2"
EXPLICIT_LE = "1.2.840.10008.1.2.1"
EXPLICIT_BE = "1.2.840.10008.1.2.2"
UNCOMPRESSED = {IMPLICIT_LE: "implicit VR little endian", EXPLICIT_LE: "explicit VR little endian",
                EXPLICIT_BE: "explicit VR big endian"}

# The samples sent: five SOP classes in the three uncompressed transfer
# syntaxes (MR in two of them), each with a SOP Instance UID of its own, all
# read by the toolkit's codecs completely (no sequences).
SAMPLES = [
    "MR_small_implicit.dcm",             # MR, implicit VR little endian
    "dicomdirtests/77654033/CT2/17106",  # CT, explicit VR little endian, a private OB element
    "dicomdirtests/77654033/CR1/6154",   # CR, explicit VR little endian
    "ExplVR_BigEnd.dcm",                 # US, explicit VR big endian, 8-bit RGB
    "SC_rgb_jpeg_dcmd.dcm",              # Secondary Capture, implicit VR little endian, RGB
    "dicomdirtests/98892003/MR700/4467",  # MR again, explicit VR little endian
]
# pydicom samples in those transfer syntaxes left out, and why.
EXCLUDED = {
    "CT_small.dcm": "holds sequences, which the toolkit's explicit VR codec does not carry faithfully yet",
    "test-SR.dcm": "holds sequences (explicit VR)",
    "rtplan.dcm": "holds nested sequences",
    "MR_small.dcm": "same SOP Instance UID as MR_small_implicit.dcm: one would replace the other in the store",
    "MR_small_bigendian.dcm": "same SOP Instance UID as MR_small_implicit.dcm",
    "MR_small_expb.dcm": "same SOP Instance UID as MR_small_implicit.dcm",
    "MR_small_padded.dcm": "same SOP Instance UID as MR_small_implicit.dcm",
    "MR_truncated.dcm": "its pixel data is cut short by the end of the file",
}

# (group, element) VR -> size of the numbers whose byte order a big-endian
# file reverses.
NUMBER_SIZES = {"US": 2, "SS": 2, "OW": 2, "AT": 2, "UL": 4, "SL": 4, "FL": 4, "OF": 4, "OL": 4,
                "FD": 8, "OD": 8, "UV": 8, "SV": 8, "OV": 8}


def sample_folder():
    return os.path.join(os.path.dirname(pydicom.__file__), "data", "test_files")


def sample_path(name):
    return os.path.join(sample_folder(), name)


def dcmtk_environment():
    environment = dict(os.environ)
    environment["TCP_NODELAY"] = "1"
    return environment


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run(command, environment=None):
    """Runs a program to its end; (exit status, stdout, stderr); status None when it timed out."""
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT,
                              env=environment)
    except subprocess.TimeoutExpired as expired:
        return None, (expired.stdout or b"").decode("utf-8", "replace"), (expired.stderr or b"").decode("utf-8", "replace")
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def listening_on(port):
    """Whether some socket of this machine listens on the TCP port (from /proc/net/tcp)."""
    try:
        with open("/proc/net/tcp") as table:
            next(table)
            for line in table:
                fields = line.split()
                if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                    return True
    except OSError:
        pass
    return False


class Background:
    """A server program in the background, its output collected by a thread."""

    def __init__(self, command, environment=None):
        self.command = command
        self.lines = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        env=environment)
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()

    def _collect(self):
        for raw in self.process.stdout:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)
            self.changed.notify_all()

    def output(self):
        with self.changed:
            return "\n".join(line for line in self.lines if line is not None)

    def wait_for(self, text, count=1, seconds=TIMEOUT):
        """Waits until the output holds text count times (False when it ends or the time passes first)."""
        def enough():
            return sum(1 for line in self.lines if line is not None and text in line) >= count
        with self.changed:
            return self.changed.wait_for(lambda: enough() or None in self.lines, timeout=seconds) and enough()

    def wait_listening(self, port):
        """For a program that says nothing when it listens: its port is looked at a bounded number of times."""
        for _ in range(TIMEOUT * 20):
            if listening_on(port):
                return True
            if self.process.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def stop(self, signal_number=15):
        """Ends the program with the signal; its exit status (None when it had to be killed)."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        try:
            status = self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = None
        self.reader.join(timeout=TIMEOUT)
        return status


def start_serve(dicomtk, folder):
    """dicomtk serve on a free port: (server, port), the server None when it did not start."""
    for _ in range(5):
        port = free_port()
        server = Background([dicomtk, "serve", "--port", str(port), "--store-dir", folder, "--request-timeout", "5"])
        if server.wait_for("listening on port"):
            return server, port
        server.stop()
    return None, 0


def start_storescp(folder):
    for _ in range(5):
        port = free_port()
        # -od: received files go to folder; the rest of the options are
        # DCMTK's defaults (every uncompressed transfer syntax accepted).
        server = Background(["storescp", "-od", folder, str(port)], dcmtk_environment())
        if server.wait_listening(port):
            return server, port
        server.stop()
    return None, 0


# --------------------------------------------------------------------------
# Comparing what arrived with what was sent

def raw_elements(path):
    """{tag: (VR as in the file or None, raw value bytes)} outside the meta group, group lengths left out,
    and whether the data set is little endian: the file walked with pydicom's element parser, which
    yields every element as found, converting nothing."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        syntax = str(pydicom.dcmread(path, stop_before_pixels=True).file_meta.TransferSyntaxUID)
    implicit, little = syntax == IMPLICIT_LE, syntax != EXPLICIT_BE
    found = {}
    with open(path, "rb") as handle:
        read_preamble(handle, False)
        # The meta group: explicit VR little endian in every file compared here.
        for _ in data_element_generator(handle, False, True, stop_when=lambda tag, vr, length: tag.group != 2):
            pass
        for raw in data_element_generator(handle, implicit, little):
            tag = raw.tag
            if tag.element == 0:
                continue
            vr = None if raw.is_implicit_VR or raw.VR in (None, "UN") else raw.VR
            found[int(tag)] = (vr, bytes(raw.value or b""))
    return found, little, None


def known_vr(tag, *candidates):
    for vr in candidates:
        if vr:
            return str(vr)
    try:
        return dictionary_VR(tag)
    except KeyError:
        return None


def swapped(value, size):
    return b"".join(value[index:index + size][::-1] for index in range(0, len(value) - len(value) % size, size)) + \
        value[len(value) - len(value) % size:]


def value_differences(source_path, stored_path, limit=6):
    """Differences between the data set elements of two files, described for a reader."""
    source, source_little, _ = raw_elements(source_path)
    stored, stored_little, _ = raw_elements(stored_path)
    problems = []
    for tag in sorted(set(source) | set(stored)):
        name = f"({tag >> 16:04X},{tag & 0xFFFF:04X})"
        if tag not in stored:
            problems.append(f"{name} missing in the stored file")
            continue
        if tag not in source:
            problems.append(f"{name} only in the stored file")
            continue
        (source_vr, want), (stored_vr, have) = source[tag], stored[tag]
        if source_little != stored_little:
            size = NUMBER_SIZES.get(known_vr(tag, source_vr, stored_vr))
            if size:
                have = swapped(have, size)
        if want != have:
            first = next((index for index, (a, b) in enumerate(zip(want, have)) if a != b), min(len(want), len(have)))
            problems.append(f"{name} differs (lengths {len(want)} and {len(have)}, first at byte {first})")
    if len(problems) > limit:
        problems = problems[:limit] + [f"... and {len(problems) - limit} more"]
    return problems


def meta_problems(stored_path, dataset):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        stored = pydicom.dcmread(stored_path, stop_before_pixels=True)
    problems = []
    meta = stored.file_meta
    if str(meta.get("MediaStorageSOPInstanceUID", "")) != str(dataset.SOPInstanceUID):
        problems.append(f"(0002,0003) is {meta.get('MediaStorageSOPInstanceUID')!r}")
    if str(meta.get("MediaStorageSOPClassUID", "")) != str(dataset.SOPClassUID):
        problems.append(f"(0002,0002) is {meta.get('MediaStorageSOPClassUID')!r}")
    if str(meta.get("TransferSyntaxUID", "")) not in UNCOMPRESSED:
        problems.append(f"(0002,0010) is {meta.get('TransferSyntaxUID')!r}")
    return problems


def sample_datasets():
    found = []
    for name in SAMPLES:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            dataset = pydicom.dcmread(sample_path(name), stop_before_pixels=True)
        found.append((name, dataset))
    return found


def stored_names(store):
    """The names in a store folder, sorted, without the query index that
    dicomtk serve keeps there (index.sqlite and SQLite's files beside it)."""
    return sorted(name for name in os.listdir(store) if not name.startswith("index.sqlite"))


def check_arrivals(received, by_uid, failures, label):
    """Each sample must be in received ({SOP Instance UID: path}) with the source's values."""
    for name, dataset in sample_datasets():
        uid = str(dataset.SOPInstanceUID)
        syntax = UNCOMPRESSED.get(str(dataset.file_meta.TransferSyntaxUID), "?")
        path = received.get(uid)
        if path is None:
            failures.append(name)
            print(f"DIFF {name} [{syntax}]: not {label}")
            continue
        problems = meta_problems(path, dataset) if by_uid else []
        problems += value_differences(sample_path(name), path)
        stored_as = UNCOMPRESSED.get(str(pydicom.dcmread(path, stop_before_pixels=True).file_meta.TransferSyntaxUID), "?")
        if problems:
            failures.append(name)
            print(f"DIFF {name} [{syntax}, {label} as {stored_as}]")
            for line in problems:
                print(f"       {line}")
        else:
            print(f"OK   {name} [{syntax}, {label} as {stored_as}]")


def files_by_uid(folder):
    found = {}
    for entry in sorted(os.listdir(folder)):
        path = os.path.join(folder, entry)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                found[str(pydicom.dcmread(path, stop_before_pixels=True).SOPInstanceUID)] = path
        except Exception:
            found.setdefault("(unreadable)", path)
    return found


def print_excluded():
    print("samples left out:")
    for name, reason in EXCLUDED.items():
        print(f"  {name}: {reason}")


def report(failures):
    print()
    print("FAILED: " + ", ".join(failures) if failures else "all checks passed")
    return 1 if failures else 0


def expect(condition, what, failures, detail=""):
    print(f"{'OK  ' if condition else 'FAIL'} {what}")
    if not condition:
        failures.append(what)
        for line in detail.strip().splitlines()[-12:]:
            print(f"       {line}")


# --------------------------------------------------------------------------
# The cases

def case_serve_echoscu(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        server, port = start_serve(dicomtk, os.path.join(folder, "store"))
        if server is None:
            return report(["dicomtk serve did not start"])
        status, out, err = run(["echoscu", "-v", "127.0.0.1", str(port)], dcmtk_environment())
        expect(status == 0, "echoscu exits 0", failures, out + err)
        expect("Received Echo Response (Success)" in out + err, "echoscu receives Success", failures, out + err)
        expect(server.wait_for("(ECHOSCU -> ANY-SCP) released: 0 stored, 0 failed, 1 echoes"),
               "dicomtk serve prints the association", failures, server.output())
        expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures, server.output())
    return report(failures)


def serve_with_storescu(dicomtk, called_title):
    failures = []
    print_excluded()
    print()
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        store = os.path.join(folder, "store")
        server, port = start_serve(dicomtk, store)
        if server is None:
            return report(["dicomtk serve did not start"])
        title = ["-aec", called_title] if called_title else []
        command = ["storescu", "-v"] + title + ["127.0.0.1", str(port)] + [sample_path(name) for name in SAMPLES]
        status, out, err = run(command, dcmtk_environment())
        expect(status == 0, f"storescu {'-aec ' + called_title if called_title else '(default called AE title)'} "
               "exits 0", failures, out + err)
        successes = (out + err).count("Received Store Response (Success)")
        expect(successes == len(SAMPLES), f"storescu receives Success {len(SAMPLES)} times (got {successes})",
               failures, out + err)
        expect((out + err).count("Requesting Association") == 1, "storescu sends them in one association",
               failures, out + err)
        shown = called_title or "ANY-SCP"
        expect(server.wait_for(f"(STORESCU -> {shown}) released: {len(SAMPLES)} stored, 0 failed"),
               "dicomtk serve prints one association with every object stored", failures, server.output())
        expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures, server.output())
        expected_names = sorted(str(dataset.SOPInstanceUID) + ".dcm" for _, dataset in sample_datasets())
        expect(stored_names(store) == expected_names, "the store holds exactly one file per object",
               failures, "\n".join(stored_names(store)))
        received = {name[:-4]: os.path.join(store, name) for name in os.listdir(store) if name.endswith(".dcm")}
        check_arrivals(received, True, failures, "stored")
    return report(failures)


def case_serve_storescu(dicomtk):
    return serve_with_storescu(dicomtk, "DICOMTK")


def case_serve_default_aec(dicomtk):
    return serve_with_storescu(dicomtk, None)


def case_echo_storescp(dicomtk):
    if shutil.which("storescp") is None:
        return skip("storescp")
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        server, port = start_storescp(folder)
        if server is None:
            return report(["storescp did not start"])
        status, out, err = run([dicomtk, "echo", "--repeat", "3", "127.0.0.1", str(port)])
        expect(status == 0, "dicomtk echo exits 0", failures, out + err)
        expect(out.startswith(f"127.0.0.1:{port}: 3 C-ECHO answered with success in ") and out.count("\n") == 1,
               "dicomtk echo prints one line with the peer and the count", failures, out + err)
        server.stop()
    return report(failures)


def case_store_storescp(dicomtk):
    if shutil.which("storescp") is None:
        return skip("storescp")
    failures = []
    print_excluded()
    print()
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        received = os.path.join(folder, "received")
        os.mkdir(received)
        server, port = start_storescp(received)
        if server is None:
            return report(["storescp did not start"])
        status, out, err = run([dicomtk, "store", "127.0.0.1", str(port)] + [sample_path(name) for name in SAMPLES])
        expect(status == 0, "dicomtk store exits 0", failures, out + err)
        expect(out.count("stored (status 0x0000)") == len(SAMPLES), "every file is answered with status 0x0000",
               failures, out + err)
        expect(f"{len(SAMPLES)} files sent, 0 failed" in out, "the summary line counts them", failures, out)
        server.stop()
        check_arrivals(files_by_uid(received), False, failures, "received")
    return report(failures)


def case_store_converts(dicomtk):
    """dicomtk store of big endian files to a storescp that accepts implicit VR little endian only."""
    if shutil.which("storescp") is None:
        return skip("storescp")
    failures = []
    names = ["MR_small_bigendian.dcm", "ExplVR_BigEnd.dcm"]
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        received = os.path.join(folder, "received")
        os.mkdir(received)
        for _ in range(5):
            port = free_port()
            server = Background(["storescp", "+xi", "-od", received, str(port)], dcmtk_environment())
            if server.wait_listening(port):
                break
            server.stop()
            server = None
        if server is None:
            return report(["storescp +xi did not start"])
        status, out, err = run([dicomtk, "store", "127.0.0.1", str(port)] + [sample_path(name) for name in names])
        server.stop()
        expect(status == 0 and out.count("stored (status 0x0000)") == len(names),
               "dicomtk store sends both big endian files to storescp +xi", failures, out + err)
        arrived = files_by_uid(received)
        for name in names:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                uid = str(pydicom.dcmread(sample_path(name), stop_before_pixels=True).SOPInstanceUID)
            path = arrived.get(uid)
            if path is None:
                failures.append(name)
                print(f"FAIL {name}: not received")
                continue
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                syntax = str(pydicom.dcmread(path, stop_before_pixels=True).file_meta.TransferSyntaxUID)
            expect(syntax == IMPLICIT_LE, f"{name} arrives in implicit VR little endian", failures, syntax)
            problems = value_differences(sample_path(name), path)
            expect(not problems, f"{name} arrives with equal values", failures, "\n".join(problems))
    return report(failures)


def case_store_serve(dicomtk):
    failures = []
    print_excluded()
    print()
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        store = os.path.join(folder, "store")
        server, port = start_serve(dicomtk, store)
        if server is None:
            return report(["dicomtk serve did not start"])
        status, out, err = run([dicomtk, "store", "127.0.0.1", str(port)] + [sample_path(name) for name in SAMPLES])
        expect(status == 0, "dicomtk store exits 0", failures, out + err)
        expect(f"{len(SAMPLES)} files sent, 0 failed" in out, "the summary line counts them", failures, out)
        expect(server.wait_for(f"(DICOMTK -> ANY-SCP) released: {len(SAMPLES)} stored, 0 failed"),
               "dicomtk serve stores them all in one association", failures, server.output())
        expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures, server.output())
        received = {name[:-4]: os.path.join(store, name) for name in os.listdir(store) if name.endswith(".dcm")}
        expect(len(received) == len(stored_names(store)), "nothing but the stored files in the store", failures,
               "\n".join(stored_names(store)))
        check_arrivals(received, True, failures, "stored")
    return report(failures)


def case_echo_nothing(dicomtk):
    failures = []
    port = free_port()
    status, out, err = run([dicomtk, "echo", "127.0.0.1", str(port)])
    expect(status not in (0, None), f"dicomtk echo exits with a status other than 0 (got {status})", failures, err)
    lines = [line for line in err.splitlines() if line.strip()]
    expect(len(lines) == 1 and lines[0].startswith(f"dicomtk: 127.0.0.1:{port}: "),
           "one line on stderr naming the peer", failures, err)
    expect(out == "", "nothing on stdout", failures, out)
    print(f"       the line: {lines[0] if lines else ''}")
    return report(failures)


# --------------------------------------------------------------------------
# Every sample through dicomtk serve, compared with pydicom at every depth

# Samples that dicomtk store does not send, and why: nothing of theirs
# reaches serve, so there is nothing to compare.
NOT_SENT = {
    "MR_truncated.dcm": "its pixel data is cut short by the end of the file: store refuses it",
    "rtplan_truncated.dcm": "cut short inside a sequence: store refuses it",
}
# Samples whose group length values are wrong: serve writes the true sizes,
# so those elements are there but hold other numbers.
WRONG_GROUP_LENGTHS = {
    "693_J2KI.dcm": "(7FE0,0000) says 105406 in a file of 3590 bytes",
}


def sample_files():
    """Every sample pydicom ships that it reads as a DICOM file with a SOP Instance UID, by name."""
    found = []
    for directory, _, names in os.walk(sample_folder()):
        for name in sorted(names):
            path = os.path.join(directory, name)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    dataset = pydicom.dcmread(path, stop_before_pixels=True)
                uid = str(dataset.get("SOPInstanceUID", ""))
            except Exception:
                continue
            if uid:
                found.append((os.path.relpath(path, sample_folder()), uid))
    return sorted(found)


def element_differences(source, stored, where="", limit=6, group_length_values=True):
    """Differences between two pydicom data sets, element for element at every depth, group lengths
    included (an element added or dropped is a difference; their values unless group_length_values
    is false)."""
    problems = []
    for tag in sorted(set(source.keys()) | set(stored.keys())):
        name = f"{where}({tag.group:04X},{tag.element:04X})"
        if tag not in stored:
            problems.append(f"{name} missing in the stored file")
        elif tag not in source:
            problems.append(f"{name} only in the stored file")
        else:
            want, have = source[tag], stored[tag]
            if want.VR == "SQ" and have.VR == "SQ":
                if len(want.value) != len(have.value):
                    problems.append(f"{name} has {len(have.value)} items, not {len(want.value)}")
                else:
                    for index, (item, kept) in enumerate(zip(want.value, have.value)):
                        problems += element_differences(item, kept, f"{name} item {index + 1} ", limit,
                                                        group_length_values)
            elif want != have and (group_length_values or tag.element != 0):
                problems.append(f"{name} differs: {want.VR} {str(want.value)[:40]!r} and "
                                f"{have.VR} {str(have.value)[:40]!r}")
        if len(problems) > limit:
            break
    return problems


def case_serve_keeps_samples(dicomtk):
    failures = []
    samples = sample_files()
    print(f"{len(samples)} samples with a SOP Instance UID; left out:")
    for name, reason in NOT_SENT.items():
        print(f"  {name}: {reason}")
    print("group length values not compared:")
    for name, reason in WRONG_GROUP_LENGTHS.items():
        print(f"  {name}: {reason}")
    print()
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        store = os.path.join(folder, "store")
        server, port = start_serve(dicomtk, store)
        if server is None:
            return report(["dicomtk serve did not start"])
        # One association each: samples share SOP Instance UIDs, and each
        # is compared before the next one replaces it.
        for name, uid in samples:
            if name in NOT_SENT:
                continue
            status, out, err = run([dicomtk, "store", "-aet", "FIDELITY", "127.0.0.1", str(port),
                                    sample_path(name)])
            stored_path = os.path.join(store, uid + ".dcm")
            if status != 0 or not os.path.exists(stored_path):
                failures.append(name)
                print(f"FAIL {name}: not stored (status {status})")
                for line in (out + err).strip().splitlines()[-3:]:
                    print(f"       {line}")
                continue
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                source = pydicom.dcmread(sample_path(name))
                stored = pydicom.dcmread(stored_path)
            problems = element_differences(source, stored, group_length_values=name not in WRONG_GROUP_LENGTHS)
            sender = str(stored.file_meta.get("SourceApplicationEntityTitle", "")).strip()
            if sender != "FIDELITY":
                problems.append(f"(0002,0016) is {sender!r}, not the calling AE title FIDELITY")
            syntax, kept = str(source.file_meta.TransferSyntaxUID), str(stored.file_meta.TransferSyntaxUID)
            if syntax != kept:
                problems.append(f"stored in {kept}, sent in {syntax}")
            if problems:
                failures.append(name)
                print(f"DIFF {name}")
                for line in problems:
                    print(f"       {line}")
            else:
                print(f"OK   {name}")
        expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures, server.output())
    return report(failures)


def skip(program):
    print(f"SKIP: {program} (Debian package dcmtk) is not installed")
    return SKIP


CASES = {
    "serve-echoscu": (case_serve_echoscu, "echoscu"),
    "serve-storescu": (case_serve_storescu, "storescu"),
    "serve-default-aec": (case_serve_default_aec, "storescu"),
    "echo-storescp": (case_echo_storescp, "storescp"),
    "store-storescp": (case_store_storescp, "storescp"),
    "store-converts": (case_store_converts, "storescp"),
    "store-serve": (case_store_serve, None),
    "echo-nothing": (case_echo_nothing, None),
    "serve-keeps-samples": (case_serve_keeps_samples, None),
}


def main(arguments):
    if len(arguments) != 2 or arguments[0] not in CASES:
        print(__doc__)
        return 2
    case, peer = CASES[arguments[0]]
    dicomtk = arguments[1]
    if not os.access(dicomtk, os.X_OK):
        print(f"dicomtk not found at {dicomtk}")
        return 2
    if peer is not None and shutil.which(peer) is None:
        return skip(peer)
    return case(dicomtk)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Interoperability of dicomtk serve, find and move with DCMTK's query/retrieve tools.

Every case runs on 127.0.0.1 on ports that were free a moment ago, every
program given a bounded time and every server stopped at the end. The peers
are Debian's DCMTK programs (findscu, movescu, storescu, storescp, dcmqrscp)
used as black boxes; the objects are small Secondary Capture files written
here with pydicom (Debian's python3-pydicom), which is also the reference
reader that compares what arrived with what was sent.

Usage: query_interop.py CASE DICOMTK

  serve-findscu     findscu -P and -S at each level against dicomtk serve,
                    with wildcard, range and UID list keys: exactly the
                    expected matches; the counts, Modalities in Study,
                    Retrieve AE Title, Instance Availability and image keys
                    from the files: exact values; no worklist context
  serve-movescu     movescu asks dicomtk serve to send a study to storescp:
                    every instance of it arrives, none other, values equal
  serve-getscu      getscu retrieves from dicomtk serve with C-GET at PATIENT,
                    STUDY, SERIES and IMAGE level, Patient and Study Root:
                    every selected instance arrives on getscu's own
                    association, none other, values equal
  serve-get-syntaxes  getscu, which proposes explicit VR little endian first for
                    what it receives, retrieves big endian objects and a
                    JPEG 2000 one: the first arrive converted into little
                    endian, values equal, the last fails (0xB000, a log line
                    naming it); getscu preferring JPEG 2000 (+xw) receives it
                    in its own syntax, pixel data identical
  serve-cancel      findscu --cancel 1 and movescu --cancel 1 against dicomtk
                    serve: the operation ends with status 0xFE00 (Cancel),
                    a C-MOVE with the counts so far, and serve goes on
  find-dcmqrscp     dicomtk find against dcmqrscp (loaded with storescu):
                    exactly the expected matches
  move-dcmqrscp     dicomtk move has dcmqrscp send to a dicomtk serve: every
                    selected instance arrives, values equal
  serve-move-syntaxes  movescu has dicomtk serve send big endian objects and
                    a JPEG 2000 one to storescp +xi (implicit VR little
                    endian only): the first arrive converted, values equal,
                    the last fails with a log line; and every compressed
                    sample of pydicom to storescp +xa and to another dicomtk
                    serve: each arrives in its own syntax, pixel data identical
  serve-bad-input   a raw client sends dicomtk serve a C-FIND identifier with
                    an absurd length, C-MOVEs with odd Move Destinations and
                    a query for a level the model has not: a failure status
                    or a closed association, and the server still answers
                    an echo

Run it with Debian's interpreter (/usr/bin/python3), which has pydicom.
Exit status: 0 all good, 1 a check failed, 2 usage error, 77 a peer is missing.
"""

import os
import re
import shutil
import socket
import struct
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import network_interop as net  # noqa: E402  (the shared helpers; it skips itself without pydicom)

import pydicom  # noqa: E402
from pydicom.dataset import Dataset, FileMetaDataset  # noqa: E402
from pydicom.uid import ExplicitVRLittleEndian  # noqa: E402

SKIP = 77
SECONDARY_CAPTURE = "1.2.840.10008.5.1.4.1.1.7"
ROOT = "1.2.826.0.1.3680043.10.999"

# The store: three patients, four studies, five series, seven instances.
#  patient (id, name)        study (uid suffix, date)   series (suffix) -> instances
PATIENTS = [
    ("PID1", "ALPHA^ANN", [("1", "20240315", [("1", 2), ("2", 1)]),
                           ("2", "20230610", [("1", 1)])]),
    ("PID2", "BRAVO^BOB", [("3", "20241120", [("1", 2)])]),
    ("PID3", "ADAMS^AL", [("4", "20250101", [("1", 1)])]),
]


def study_uid(study):
    return f"{ROOT}.{study}"


def series_uid(study, series):
    return f"{ROOT}.{study}.{series}"


def instance_uid(study, series, number):
    return f"{ROOT}.{study}.{series}.{number}"


def objects():
    """[(patient id, name, study uid, date, series uid, instance uid)] of the store."""
    found = []
    for patient, name, studies in PATIENTS:
        for study, date, series_list in studies:
            for series, count in series_list:
                for number in range(1, count + 1):
                    found.append((patient, name, study_uid(study), date, series_uid(study, series),
                                  instance_uid(study, series, number)))
    return found


def write_objects(folder):
    """Writes every object as a small file; {SOP Instance UID: path}."""
    os.makedirs(folder, exist_ok=True)
    paths = {}
    for index, (patient, name, study, date, series, instance) in enumerate(objects()):
        meta = FileMetaDataset()
        meta.MediaStorageSOPClassUID = SECONDARY_CAPTURE
        meta.MediaStorageSOPInstanceUID = instance
        meta.TransferSyntaxUID = ExplicitVRLittleEndian
        meta.ImplementationClassUID = ROOT + ".0"
        dataset = Dataset()
        dataset.file_meta = meta
        dataset.SOPClassUID = SECONDARY_CAPTURE
        dataset.SOPInstanceUID = instance
        dataset.StudyDate = date
        dataset.StudyTime = "101500"
        dataset.AccessionNumber = f"ACC{index}"
        # Series 2 of a study is CT, for Modalities in Study to gather.
        dataset.Modality = "CT" if series.endswith(".2") else "OT"
        dataset.ConversionType = "WSD"
        dataset.PatientName = name
        dataset.PatientID = patient
        dataset.PatientBirthDate = "19700101"
        dataset.PatientSex = "O"
        dataset.StudyInstanceUID = study
        dataset.SeriesInstanceUID = series
        dataset.StudyID = study.rsplit(".", 1)[1]
        dataset.SeriesNumber = series.rsplit(".", 1)[1]
        dataset.InstanceNumber = str(index + 1)
        dataset.SamplesPerPixel = 1
        dataset.PhotometricInterpretation = "MONOCHROME2"
        dataset.Rows = 4
        dataset.Columns = 4
        dataset.BitsAllocated = 8
        dataset.BitsStored = 8
        dataset.HighBit = 7
        dataset.PixelRepresentation = 0
        dataset.PixelData = bytes((index * 16 + pixel) & 0xFF for pixel in range(16))
        path = os.path.join(folder, f"object{index}.dcm")
        dataset.is_little_endian = True
        dataset.is_implicit_VR = False
        dataset.preamble = bytes(128)
        dataset.save_as(path, write_like_original=False)
        paths[instance] = path
    return paths


def select(level, patient=None, study=None, series=None, name_prefix=None, dates=None):
    """The unique keys at level of the objects matching the filters."""
    column = {"PATIENT": 0, "STUDY": 2, "SERIES": 4, "IMAGE": 5}[level]
    found = set()
    for entry in objects():
        if patient and entry[0] != patient:
            continue
        if study and entry[2] != study:
            continue
        if series and entry[4] != series:
            continue
        if name_prefix and not entry[1].startswith(name_prefix):
            continue
        if dates and not (dates[0] <= entry[3] <= dates[1]):
            continue
        found.add(entry[column])
    return found


UNIQUE = {"PATIENT": "PatientID", "STUDY": "StudyInstanceUID", "SERIES": "SeriesInstanceUID",
          "IMAGE": "SOPInstanceUID"}
YEAR = ("20240101", "20241231")
S1, S3 = study_uid("1"), study_uid("3")

# (model, level, keys, expected unique keys): the queries asked of every C-FIND provider.
QUERIES = [
    ("P", "PATIENT", ["PatientName=A*"], select("PATIENT", name_prefix="A")),
    ("P", "PATIENT", ["PatientName"], select("PATIENT")),
    ("P", "PATIENT", ["PatientID=PID2", "PatientName"], {"PID2"}),
    ("P", "STUDY", ["PatientID=PID1", "StudyDate"], select("STUDY", patient="PID1")),
    ("P", "STUDY", ["PatientID=PID1", "StudyDate=20240101-20241231"], select("STUDY", patient="PID1", dates=YEAR)),
    ("P", "SERIES", ["PatientID=PID1", f"StudyInstanceUID={S1}"], select("SERIES", study=S1)),
    ("P", "IMAGE", ["PatientID=PID1", f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series_uid('1', '1')}"],
     select("IMAGE", series=series_uid("1", "1"))),
    ("S", "STUDY", ["StudyDate=20240101-20241231"], select("STUDY", dates=YEAR)),
    ("S", "STUDY", ["PatientName=A*", "StudyDate"], select("STUDY", name_prefix="A")),
    ("S", "STUDY", ["StudyDate=-20231231"], select("STUDY", dates=("", "20231231"))),
    ("S", "STUDY", [f"StudyInstanceUID={S1}\\{S3}"], {S1, S3}),
    ("S", "SERIES", [f"StudyInstanceUID={S3}", "Modality"], select("SERIES", study=S3)),
    ("S", "IMAGE", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series_uid('1', '2')}"],
     select("IMAGE", series=series_uid("1", "2"))),
    ("S", "IMAGE", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series_uid('1', '1')}",
                    f"SOPInstanceUID={instance_uid('1', '1', 2)}"], {instance_uid("1", "1", 2)}),
]


def describe(model, level, keys):
    return f"-{model} {level} " + " ".join(keys)


def with_unique(level, keys):
    """The keys with the level's unique key asked for when not given."""
    unique = UNIQUE[level]
    return keys if any(key.split("=")[0] == unique for key in keys) else keys + [unique]


# --------------------------------------------------------------------------
# Servers

def start_serve(dicomtk, folder, title="DICOMTK", destinations=None):
    for _ in range(5):
        port = net.free_port()
        command = [dicomtk, "serve", "--port", str(port), "--aet", title, "--store-dir", folder,
                   "--request-timeout", "5", "--no-fsync"]
        if destinations:
            command += ["--destinations", destinations]
        server = net.Background(command)
        if server.wait_for("listening on port"):
            return server, port
        server.stop()
    return None, 0


def load_with_storescu(port, paths, failures, called="DICOMTK"):
    status, out, err = net.run(["storescu", "-aec", called, "127.0.0.1", str(port)] + sorted(paths.values()),
                               net.dcmtk_environment())
    net.expect(status == 0, f"storescu loads {len(paths)} objects into {called}", failures, out + err)


def start_dcmqrscp(folder, destination_port):
    """dcmqrscp as QRSCP with a storage area of its own and DESTSCP at destination_port."""
    storage = os.path.join(folder, "qrscp")
    os.makedirs(storage, exist_ok=True)
    for _ in range(5):
        port = net.free_port()
        config = os.path.join(folder, "dcmqrscp.cfg")
        with open(config, "w") as handle:
            handle.write(f"NetworkTCPPort = {port}\nMaxPDUSize = 16384\nMaxAssociations = 16\n\n"
                         "HostTable BEGIN\n"
                         f"destscp = (DESTSCP, 127.0.0.1, {destination_port})\n"
                         "HostTable END\n\nVendorTable BEGIN\nVendorTable END\n\n"
                         "AETable BEGIN\n"
                         f"QRSCP {storage} RW (200, 1024mb) ANY\n"
                         "AETable END\n")
        server = net.Background(["dcmqrscp", "-c", config], net.dcmtk_environment())
        if server.wait_listening(port):
            return server, port
        server.stop()
    return None, 0


# --------------------------------------------------------------------------
# Reading the responses

def findscu_matches(dicomtk_port, model, level, keys, folder):
    """Runs findscu --extract; (exit status, output, [identifiers read by pydicom])."""
    out_folder = tempfile.mkdtemp(dir=folder)
    command = ["findscu", "-v", f"-{model}", "-aec", "DICOMTK", "--extract", "-od", out_folder,
               "-k", f"QueryRetrieveLevel={level}"]
    for key in keys:
        command += ["-k", key]
    command += ["127.0.0.1", str(dicomtk_port)]
    status, out, err = net.run(command, net.dcmtk_environment())
    identifiers = []
    for name in sorted(os.listdir(out_folder)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            identifiers.append(pydicom.dcmread(os.path.join(out_folder, name), force=True))
    return status, out + err, identifiers


def dump_blocks(text):
    """dicomtk find's output: one {tag: value} per '# match' block, from lines such as
    '(0008,0018) UI 32 "1.2.3.4" # SOP Instance UID'."""
    blocks = []
    for line in text.splitlines():
        if line.startswith("# match"):
            blocks.append({})
            continue
        found = re.match(r'\s*\(([0-9a-fA-F]{4}),([0-9a-fA-F]{4})\)\s+\S\S\s+\d+\s+"([^"]*)"', line)
        if found and blocks:
            blocks[-1][(found.group(1) + "," + found.group(2)).upper()] = found.group(3).rstrip(" \0")
    return blocks


UNIQUE_TAGS = {"PATIENT": "0010,0020", "STUDY": "0020,000D", "SERIES": "0020,000E", "IMAGE": "0008,0018"}


def dicomtk_find(dicomtk, port, model, level, keys, called):
    command = [dicomtk, "find", "-aec", called, f"-{model}", "-L", level]
    for key in keys:
        command += ["-k", key]
    return net.run(command + ["127.0.0.1", str(port)])


# --------------------------------------------------------------------------
# The cases

def text_of(value):
    """A value as its DICOM text: several values separated by backslashes."""
    if isinstance(value, (list, pydicom.multival.MultiValue)):
        return "\\".join(str(part) for part in value)
    return str(value)


def case_serve_findscu(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        paths = write_objects(os.path.join(folder, "objects"))
        server, port = start_serve(dicomtk, os.path.join(folder, "store"))
        if server is None:
            return net.report(["dicomtk serve did not start"])
        try:
            load_with_storescu(port, paths, failures)
            for model, level, keys, expected in QUERIES:
                asked = with_unique(level, keys)
                status, output, identifiers = findscu_matches(port, model, level, asked, folder)
                got = [str(identifier.get(UNIQUE[level], "")) for identifier in identifiers]
                levels = {str(identifier.get("QueryRetrieveLevel", "")) for identifier in identifiers}
                good = status == 0 and sorted(got) == sorted(expected) and levels <= {level}
                net.expect(good, f"findscu {describe(model, level, keys)}: {len(expected)} matches", failures,
                           f"exit {status}, got {sorted(got)}, levels {sorted(levels)}\nexpected {sorted(expected)}\n"
                           + output)
            # A return key is filled from the index.
            status, output, identifiers = findscu_matches(port, "P", "PATIENT", ["PatientID=PID3", "PatientName"],
                                                          folder)
            names = [str(identifier.get("PatientName", "")) for identifier in identifiers]
            net.expect(names == ["ADAMS^AL"], "findscu -P PATIENT PatientID=PID3: the name returned", failures,
                       f"got {names}\n" + output)
            # An identifier serve builds carries only what was asked: no
            # group length elements (findscu -v without --extract prints
            # each answer as it arrived).
            status, out, err = net.run(["findscu", "-v", "-S", "-aec", "DICOMTK", "-k", "QueryRetrieveLevel=STUDY",
                                        "-k", "StudyInstanceUID", "-k", "PatientName", "-k", "StudyDate",
                                        "127.0.0.1", str(port)], net.dcmtk_environment())
            answers = (out + err).split("Find Response", 1)[1] if "Find Response" in out + err else ""
            lengths = re.findall(r"\([0-9a-fA-F]{4},0000\)", answers)
            net.expect(status == 0 and "(0020,000d)" in answers and not lengths,
                       "findscu -S STUDY: the answers carry no group lengths", failures, f"found {lengths}\n" + out + err)
            # The counts, Modalities in Study, Retrieve AE Title and Instance
            # Availability, and image keys the index does not keep.
            counted = [
                ("P", "PATIENT", ["PatientID=PID1", "NumberOfPatientRelatedStudies",
                                  "NumberOfPatientRelatedSeries", "NumberOfPatientRelatedInstances",
                                  "RetrieveAETitle"],
                 {"NumberOfPatientRelatedStudies": "2", "NumberOfPatientRelatedSeries": "3",
                  "NumberOfPatientRelatedInstances": "4", "RetrieveAETitle": "DICOMTK"}),
                ("S", "STUDY", [f"StudyInstanceUID={S1}", "NumberOfStudyRelatedSeries",
                                "NumberOfStudyRelatedInstances", "ModalitiesInStudy", "SOPClassesInStudy",
                                "NumberOfPatientRelatedStudies", "RetrieveAETitle", "InstanceAvailability"],
                 {"NumberOfStudyRelatedSeries": "2", "NumberOfStudyRelatedInstances": "3",
                  "ModalitiesInStudy": "CT\\OT", "SOPClassesInStudy": SECONDARY_CAPTURE,
                  "NumberOfPatientRelatedStudies": "2", "RetrieveAETitle": "DICOMTK",
                  "InstanceAvailability": "ONLINE"}),
                ("S", "SERIES", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series_uid('1', '1')}",
                                 "NumberOfSeriesRelatedInstances", "RetrieveAETitle"],
                 {"NumberOfSeriesRelatedInstances": "2", "RetrieveAETitle": "DICOMTK"}),
                ("S", "IMAGE", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series_uid('1', '2')}",
                                "SOPInstanceUID", "Rows", "Columns", "BitsAllocated", "PhotometricInterpretation",
                                "InstanceAvailability", "RetrieveAETitle"],
                 {"Rows": "4", "Columns": "4", "BitsAllocated": "8", "PhotometricInterpretation": "MONOCHROME2",
                  "InstanceAvailability": "ONLINE", "RetrieveAETitle": "DICOMTK"}),
            ]
            for model, level, keys, expected in counted:
                status, output, identifiers = findscu_matches(port, model, level, keys, folder)
                got = [{key: text_of(identifier.get(key, "")) for key in expected} for identifier in identifiers]
                net.expect(status == 0 and got == [expected], f"findscu -{model} {level} {keys[0]}: "
                           + ", ".join(f"{key} {value}" for key, value in expected.items()), failures,
                           f"got {got}\n" + output)
            # Modality Worklist is no service of serve: refused at negotiation.
            status, out, err = net.run(["findscu", "-W", "-aec", "DICOMTK", "-k", "PatientName", "127.0.0.1",
                                        str(port)], net.dcmtk_environment())
            net.expect("No Acceptable Presentation Contexts" in out + err,
                       "findscu -W: serve accepts no Modality Worklist context", failures, out + err)
            # Study Root has no PATIENT level: a failure status and nothing matched.
            status, output, identifiers = findscu_matches(port, "S", "PATIENT", ["PatientID"], folder)
            final = [line for line in output.splitlines() if "Received Final Find Response" in line]
            net.expect(not identifiers and len(final) == 1 and "Success" not in final[0],
                       "findscu -S PATIENT: no match, a final status other than Success", failures, output)
            print(f"       the final response: {final[0].split('Response', 1)[1].strip() if final else ''}")
        finally:
            net.expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures, server.output())
    return net.report(failures)


def case_serve_movescu(dicomtk):
    if shutil.which("storescp") is None:
        return net.skip("storescp")
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        paths = write_objects(os.path.join(folder, "objects"))
        received = os.path.join(folder, "received")
        os.mkdir(received)
        destination, destination_port = net.start_storescp(received)
        if destination is None:
            return net.report(["storescp did not start"])
        destinations = os.path.join(folder, "destinations")
        with open(destinations, "w") as handle:
            handle.write(f"# where C-MOVE may send\nSTORESCP 127.0.0.1 {destination_port}\n")
        server, port = start_serve(dicomtk, os.path.join(folder, "store"), destinations=destinations)
        try:
            if server is None:
                return net.report(["dicomtk serve did not start"])
            load_with_storescu(port, paths, failures)
            # (model, keys, expected instances)
            moves = [
                ("S", ["QueryRetrieveLevel=STUDY", f"StudyInstanceUID={S1}"], select("IMAGE", study=S1)),
                ("P", ["QueryRetrieveLevel=PATIENT", "PatientID=PID2"], select("IMAGE", patient="PID2")),
                ("P", ["QueryRetrieveLevel=SERIES", "PatientID=PID1", f"StudyInstanceUID={S1}",
                       f"SeriesInstanceUID={series_uid('1', '2')}"], select("IMAGE", series=series_uid("1", "2"))),
            ]
            for model, keys, expected in moves:
                for name in os.listdir(received):
                    os.remove(os.path.join(received, name))
                command = ["movescu", f"-{model}", "-aec", "DICOMTK", "--move", "STORESCP"]
                for key in keys:
                    command += ["-k", key]
                status, out, err = net.run(command + ["127.0.0.1", str(port)], net.dcmtk_environment())
                what = f"movescu -{model} " + " ".join(keys)
                net.expect(status == 0, f"{what}: exits 0", failures, out + err)
                arrived = net.files_by_uid(received)
                net.expect(sorted(arrived) == sorted(expected), f"{what}: the {len(expected)} instances arrive, "
                           "no other", failures, f"got {sorted(arrived)}\nexpected {sorted(expected)}")
                for uid in sorted(expected & set(arrived)):
                    problems = net.value_differences(paths[uid], arrived[uid])
                    net.expect(not problems, f"{what}: {uid} values equal", failures, "\n".join(problems))
            # A destination serve does not know: 0xA801, nothing sent.
            status, out, err = net.run(["movescu", "-S", "-v", "-aec", "DICOMTK", "--move", "NOWHERE", "-k",
                                        "QueryRetrieveLevel=STUDY", "-k", f"StudyInstanceUID={S1}",
                                        "127.0.0.1", str(port)], net.dcmtk_environment())
            net.expect("Received Final Move Response (Refused: MoveDestinationUnknown)" in out + err,
                       "movescu to an unknown destination: status 0xA801", failures, out + err)
        finally:
            if server is not None:
                net.expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures,
                           server.output())
            destination.stop()
    return net.report(failures)


def case_serve_getscu(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        paths = write_objects(os.path.join(folder, "objects"))
        received = os.path.join(folder, "received")
        server, port = start_serve(dicomtk, os.path.join(folder, "store"))
        try:
            if server is None:
                return net.report(["dicomtk serve did not start"])
            load_with_storescu(port, paths, failures)
            series = series_uid("1", "2")
            image = sorted(select("IMAGE", series=series))[0]
            # (model, keys, expected instances)
            gets = [
                ("P", ["QueryRetrieveLevel=PATIENT", "PatientID=PID2"], select("IMAGE", patient="PID2")),
                ("P", ["QueryRetrieveLevel=STUDY", "PatientID=PID1", f"StudyInstanceUID={S1}"],
                 select("IMAGE", study=S1)),
                ("S", ["QueryRetrieveLevel=STUDY", f"StudyInstanceUID={S1}"], select("IMAGE", study=S1)),
                ("S", ["QueryRetrieveLevel=SERIES", f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series}"],
                 select("IMAGE", series=series)),
                ("S", ["QueryRetrieveLevel=IMAGE", f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series}",
                       f"SOPInstanceUID={image}"], {image}),
                ("P", ["QueryRetrieveLevel=IMAGE", "PatientID=PID1", f"StudyInstanceUID={S1}",
                       f"SeriesInstanceUID={series}", f"SOPInstanceUID={image}"], {image}),
            ]
            for model, keys, expected in gets:
                shutil.rmtree(received, ignore_errors=True)
                os.mkdir(received)
                command = ["getscu", f"-{model}", "-aec", "DICOMTK", "-od", received]
                for key in keys:
                    command += ["-k", key]
                status, out, err = net.run(command + ["127.0.0.1", str(port)], net.dcmtk_environment())
                what = f"getscu -{model} " + " ".join(keys)
                net.expect(status == 0, f"{what}: exits 0", failures, out + err)
                arrived = net.files_by_uid(received)
                net.expect(sorted(arrived) == sorted(expected), f"{what}: the {len(expected)} instances arrive, "
                           "no other", failures, f"got {sorted(arrived)}\nexpected {sorted(expected)}")
                for uid in sorted(expected & set(arrived)):
                    problems = net.value_differences(paths[uid], arrived[uid])
                    net.expect(not problems, f"{what}: {uid} values equal", failures, "\n".join(problems))
            net.expect(server.wait_for("1 gets", count=len(gets)), "dicomtk serve counts each C-GET", failures,
                       server.output())
        finally:
            if server is not None:
                net.expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures,
                           server.output())
    return net.report(failures)


def start_storescp_with(folder, options):
    """storescp with extra options (such as +xi or +xa) on a free port: (server, port)."""
    for _ in range(5):
        port = net.free_port()
        server = net.Background(["storescp"] + options + ["-od", folder, str(port)], net.dcmtk_environment())
        if server.wait_listening(port):
            return server, port
        server.stop()
    return None, 0


def sample_meta(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pydicom.dcmread(net.sample_path(name), stop_before_pixels=True)


UNCOMPRESSED_OR_DEFLATED = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2",
                            "1.2.840.10008.1.2.1.99"}


def compressed_samples():
    """pydicom's samples with compressed pixel data that dicomtk store sends, the first by name of
    each SOP Instance UID: {uid: name}."""
    found = {}
    for name, uid in net.sample_files():
        if name in net.NOT_SENT or uid in found:
            continue
        dataset = sample_meta(name)
        if str(dataset.file_meta.TransferSyntaxUID) in UNCOMPRESSED_OR_DEFLATED:
            continue
        found[uid] = name
    return found


def movescu_images(port, destination, uids):
    command = ["movescu", "-d", "-S", "-aec", "DICOMTK", "--move", destination, "-k", "QueryRetrieveLevel=IMAGE",
               "-k", "SOPInstanceUID=" + "\\".join(sorted(uids)), "127.0.0.1", str(port)]
    return net.run(command, net.dcmtk_environment())


def pixel_problems(name, path):
    """How the pixel data and transfer syntax of a received file differ from the sample's."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        source = pydicom.dcmread(net.sample_path(name))
        arrived = pydicom.dcmread(path)
    problems = []
    want, have = str(source.file_meta.TransferSyntaxUID), str(arrived.file_meta.TransferSyntaxUID)
    if want != have:
        problems.append(f"arrived in {have}, kept in {want}")
    if source.PixelData != arrived.get("PixelData"):
        problems.append("the pixel data differ")
    return problems


def load_big_endian_and_jpeg2000(dicomtk, port, failures):
    """dicomtk store sends serve two big endian samples and a JPEG 2000 one:
    ({uid: name} of the big endian ones, the JPEG 2000 one's name, uid and syntax)."""
    big = {str(sample_meta(name).SOPInstanceUID): name for name in ("MR_small_bigendian.dcm", "ExplVR_BigEnd.dcm")}
    j2k_name = "JPEG2000.dcm"
    j2k = sample_meta(j2k_name)
    status, out, err = net.run([dicomtk, "store", "-aec", "DICOMTK", "127.0.0.1", str(port)]
                               + [net.sample_path(name) for name in list(big.values()) + [j2k_name]])
    net.expect(status == 0, "dicomtk store loads two big endian objects and a JPEG 2000 one", failures, out + err)
    return big, j2k_name, str(j2k.SOPInstanceUID), str(j2k.file_meta.TransferSyntaxUID)


def converted_arrivals(received, big, syntax, syntax_name, failures):
    """The big endian samples ({uid: name}) must have arrived in received, and nothing else (the
    JPEG 2000 one stays behind), converted into syntax with the samples' values."""
    arrived = net.files_by_uid(received)
    net.expect(sorted(arrived) == sorted(big), "the big endian objects arrive, the JPEG 2000 one does not",
               failures, f"got {sorted(arrived)}")
    for uid, name in sorted(big.items()):
        if uid not in arrived:
            continue
        kept = str(pydicom.dcmread(arrived[uid], stop_before_pixels=True).file_meta.TransferSyntaxUID)
        net.expect(kept == syntax, f"{name} arrives in {syntax_name}", failures, f"arrived in {kept}")
        problems = net.value_differences(net.sample_path(name), arrived[uid])
        net.expect(not problems, f"{name} arrives with equal values", failures, "\n".join(problems))


def logged_refusal(server, uid, syntax, word, what, failures):
    """serve's log must name the object uid that was not sent, its syntax and word (the receiver or the service)."""
    logged = server.wait_for(f"instance {uid} ", seconds=5)
    line = next((text for text in server.output().splitlines() if f"instance {uid} " in text), "")
    net.expect(logged and syntax in line and word in line, what, failures, server.output())
    print(f"       the line: {line}")


def case_serve_move_syntaxes(dicomtk):
    """C-MOVE of big endian and compressed objects to receivers that accept some syntaxes or all."""
    failures = []
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        places = {}
        servers = []
        try:
            for title, options in (("IMPLICIT", ["+xi"]), ("EVERY", ["+xa"])):
                received = os.path.join(folder, title)
                os.mkdir(received)
                server, port = start_storescp_with(received, options)
                if server is None:
                    return net.report([f"storescp {options} did not start"])
                servers.append(server)
                places[title] = (received, port)
            other_store = os.path.join(folder, "other")
            other, other_port = start_serve(dicomtk, other_store, title="OTHER")
            if other is None:
                return net.report(["the second dicomtk serve did not start"])
            servers.append(other)
            destinations = os.path.join(folder, "destinations")
            with open(destinations, "w") as handle:
                for title, (_, port) in places.items():
                    handle.write(f"{title} 127.0.0.1 {port}\n")
                handle.write(f"OTHER 127.0.0.1 {other_port}\n")

            # Big endian objects (16-bit OW and 8-bit OB pixel data) and a
            # JPEG 2000 one to a receiver of implicit VR little endian only.
            server, port = start_serve(dicomtk, os.path.join(folder, "store"), destinations=destinations)
            if server is None:
                return net.report(["dicomtk serve did not start"])
            servers.append(server)
            big, j2k_name, j2k_uid, j2k_syntax = load_big_endian_and_jpeg2000(dicomtk, port, failures)
            received, _ = places["IMPLICIT"]
            status, out, err = movescu_images(port, "IMPLICIT", set(big) | {j2k_uid})
            final = (out + err).rsplit("Remaining Suboperations", 1)[-1]
            net.expect("DIMSE Status                  : 0xb000" in final,
                       "movescu to storescp +xi: the final status 0xB000 says sub-operations failed",
                       failures, final)
            counts = {kind: re.search(kind + r" Suboperations\s*:\s*(\d+)", final)
                      for kind in ("Completed", "Failed", "Warning")}
            counts = {kind: found.group(1) if found else None for kind, found in counts.items()}
            net.expect(counts == {"Completed": "2", "Failed": "1", "Warning": "0"},
                       "the final response counts 2 completed, 1 failed, 0 with a warning", failures,
                       f"got {counts}\n" + final)
            converted_arrivals(received, big, "1.2.840.10008.1.2", "implicit VR little endian", failures)
            logged_refusal(server, j2k_uid, j2k_syntax, "IMPLICIT",
                           "serve logs the JPEG 2000 object, its syntax and the receiver", failures)

            # Every compressed sample to a receiver of every syntax, and to
            # another dicomtk serve: each arrives in its own syntax.
            samples = compressed_samples()
            store = os.path.join(folder, "compressed")
            server, port = start_serve(dicomtk, store, destinations=destinations)
            if server is None:
                return net.report(["dicomtk serve did not start"])
            servers.append(server)
            status, out, err = net.run([dicomtk, "store", "-aec", "DICOMTK", "127.0.0.1", str(port)]
                                       + [net.sample_path(name) for name in samples.values()])
            net.expect(status == 0, f"dicomtk store loads the {len(samples)} compressed samples", failures,
                       out + err)
            for title, folder_of in (("EVERY", places["EVERY"][0]), ("OTHER", other_store)):
                status, out, err = movescu_images(port, title, set(samples))
                net.expect(status == 0 and "DIMSE Status                  : 0x0000" in (out + err).rsplit(
                           "Remaining Suboperations", 1)[-1],
                           f"movescu of {len(samples)} compressed objects to {title}: Success", failures, out + err)
                arrived = net.files_by_uid(folder_of) if title == "EVERY" else {
                    name[:-4]: os.path.join(folder_of, name) for name in os.listdir(folder_of) if name.endswith(".dcm")}
                for uid, name in sorted(samples.items(), key=lambda entry: entry[1]):
                    problems = pixel_problems(name, arrived[uid]) if uid in arrived else ["did not arrive"]
                    net.expect(not problems, f"{title}: {name} arrives in its own syntax, pixel data identical",
                               failures, "\n".join(problems))
        finally:
            for running in servers:
                running.stop()
    return net.report(failures)


def getscu_images(port, options, uids, folder):
    command = ["getscu", "-d", "-S", "-aec", "DICOMTK", "-od", folder] + options + [
        "-k", "QueryRetrieveLevel=IMAGE", "-k", "SOPInstanceUID=" + "\\".join(sorted(uids)), "127.0.0.1", str(port)]
    return net.run(command, net.dcmtk_environment())


def case_serve_get_syntaxes(dicomtk):
    """C-GET of big endian and compressed objects by a requester that accepts some syntaxes."""
    failures = []
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        server, port = start_serve(dicomtk, os.path.join(folder, "store"))
        if server is None:
            return net.report(["dicomtk serve did not start"])
        try:
            big, j2k_name, j2k_uid, j2k_syntax = load_big_endian_and_jpeg2000(dicomtk, port, failures)
            received = os.path.join(folder, "uncompressed")
            os.mkdir(received)
            status, out, err = getscu_images(port, [], set(big) | {j2k_uid}, received)
            final = (out + err).rsplit("Message Type                  : C-GET RSP", 1)[-1]
            report = (out + err).rsplit("Final status report", 1)[-1]
            net.expect("DIMSE Status                  : 0xb000" in final and
                       re.search(r"Completed Suboperations\s*:\s*2\b", report) and
                       re.search(r"Failed Suboperations\s*:\s*1\b", report),
                       "getscu: the final status 0xB000 counts 2 completed, 1 failed", failures, final)
            converted_arrivals(received, big, "1.2.840.10008.1.2.1", "explicit VR little endian", failures)
            logged_refusal(server, j2k_uid, j2k_syntax, "C-GET", "serve logs the JPEG 2000 object and its syntax",
                           failures)

            received = os.path.join(folder, "j2k")
            os.mkdir(received)
            status, out, err = getscu_images(port, ["+xw"], {j2k_uid}, received)
            net.expect(status == 0, "getscu +xw: exits 0", failures, out + err)
            arrived = net.files_by_uid(received)
            problems = pixel_problems(j2k_name, arrived[j2k_uid]) if j2k_uid in arrived else ["did not arrive"]
            net.expect(not problems, f"getscu +xw: {j2k_name} arrives in its own syntax, pixel data identical",
                       failures, "\n".join(problems))
        finally:
            server.stop()
    return net.report(failures)


def case_serve_cancel(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        paths = write_objects(os.path.join(folder, "objects"))
        received = os.path.join(folder, "received")
        os.mkdir(received)
        # A destination that takes a second over each object, so that the
        # cancel always arrives while sub-operations are still to go.
        destination, destination_port = start_storescp_with(received, ["--sleep-during", "1"])
        if destination is None:
            return net.report(["storescp did not start"])
        destinations = os.path.join(folder, "destinations")
        with open(destinations, "w") as handle:
            handle.write(f"STORESCP 127.0.0.1 {destination_port}\n")
        server, port = start_serve(dicomtk, os.path.join(folder, "store"), destinations=destinations)
        try:
            if server is None:
                return net.report(["dicomtk serve did not start"])
            load_with_storescu(port, paths, failures)
            every = select("IMAGE")
            # C-FIND of every image, cancelled after the first answer. serve
            # sends the seven answers faster than the cancel comes back, so
            # the cancel may meet a query already answered: either way the
            # query ends cleanly (the toolkit's own tests stop one midway).
            status, out, err = net.run(["findscu", "-v", "-S", "-aec", "DICOMTK", "--cancel", "1", "-k",
                                        "QueryRetrieveLevel=IMAGE", "-k", "SOPInstanceUID", "127.0.0.1", str(port)],
                                       net.dcmtk_environment())
            answers = (out + err).count("Find Response:")
            # (The cancel may also come after the last match but before the
            # final response: then every match went out, and the end is Cancel.)
            cancelled = "Received Final Find Response (Cancel" in out + err and answers <= len(every)
            answered = "Received Final Find Response (Success)" in out + err and answers == len(every)
            net.expect(status == 0 and (cancelled or answered),
                       "findscu --cancel 1: the query ends with Cancel, or Success when the cancel came late",
                       failures, out + err)
            print(f"       {'cancelled' if cancelled else 'answered whole'} after {answers} of {len(every)} answers")
            # C-MOVE of every image, cancelled after the first pending answer.
            status, out, err = net.run(["movescu", "-v", "-S", "-aec", "DICOMTK", "--move", "STORESCP", "--cancel", "1",
                                        "-k", "QueryRetrieveLevel=IMAGE", "-k",
                                        "SOPInstanceUID=" + "\\".join(sorted(every)), "127.0.0.1", str(port)],
                                       net.dcmtk_environment())
            arrived = net.files_by_uid(received)
            net.expect("Received Final Move Response (Cancel" in out + err and 0 < len(arrived) < len(every),
                       "movescu --cancel 1: the move ends with Cancel (0xFE00), some but not every instance sent",
                       failures, out + err + f"\narrived: {sorted(arrived)}")
            print(f"       {len(arrived)} of {len(every)} instances sent before the cancel")
            status, out, err = net.run([dicomtk, "echo", "127.0.0.1", str(port)])
            net.expect(status == 0, "dicomtk serve goes on: an echo is answered", failures, out + err)
        finally:
            if server is not None:
                net.expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures,
                           server.output())
            destination.stop()
    return net.report(failures)


def loaded_dcmqrscp(dicomtk, folder, failures, destination_port):
    paths = write_objects(os.path.join(folder, "objects"))
    server, port = start_dcmqrscp(folder, destination_port)
    if server is not None:
        load_with_storescu(port, paths, failures, "QRSCP")
    return paths, server, port


def case_find_dcmqrscp(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        paths, server, port = loaded_dcmqrscp(dicomtk, folder, failures, net.free_port())
        if server is None:
            return net.report(["dcmqrscp did not start"])
        try:
            for model, level, keys, expected in QUERIES:
                asked = with_unique(level, keys)
                status, out, err = dicomtk_find(dicomtk, port, model, level, asked, "QRSCP")
                blocks = dump_blocks(out)
                got = [block.get(UNIQUE_TAGS[level], "") for block in blocks]
                summary = f"{len(expected)} matches, final status 0x0000"
                good = status == 0 and sorted(got) == sorted(expected) and summary in out
                net.expect(good, f"dicomtk find {describe(model, level, keys)}: {len(expected)} matches", failures,
                           f"exit {status}, got {sorted(got)}\nexpected {sorted(expected)}\n" + out + err)
        finally:
            server.stop()
    return net.report(failures)


def case_move_dcmqrscp(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        store = os.path.join(folder, "destination")
        destination, destination_port = start_serve(dicomtk, store, title="DESTSCP")
        if destination is None:
            return net.report(["dicomtk serve did not start"])
        paths, server, port = loaded_dcmqrscp(dicomtk, folder, failures, destination_port)
        try:
            if server is None:
                return net.report(["dcmqrscp did not start"])
            # dcmqrscp's Patient Root wants the PatientID with a study below PATIENT level.
            moves = [
                ("S", "STUDY", [f"StudyInstanceUID={S1}"], select("IMAGE", study=S1)),
                ("P", "STUDY", ["PatientID=PID2", f"StudyInstanceUID={S3}"], select("IMAGE", study=S3)),
                ("P", "PATIENT", ["PatientID=PID3"], select("IMAGE", patient="PID3")),
                ("S", "IMAGE", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={series_uid('1', '1')}",
                                f"SOPInstanceUID={instance_uid('2', '1', 1)}"], set()),
            ]
            arrived_before = set()
            for model, level, keys, expected in moves:
                command = [dicomtk, "move", "-aec", "QRSCP", f"-{model}", "-L", level]
                for key in keys:
                    command += ["-k", key]
                status, out, err = net.run(command + ["--dest", "DESTSCP", "127.0.0.1", str(port)])
                what = f"dicomtk move -{model} {level} " + " ".join(keys)
                final = [line for line in out.splitlines() if line.startswith("final")]
                net.expect(status == 0 and len(final) == 1 and f"completed {len(expected)}, failed 0" in final[0],
                           f"{what}: exit 0, {len(expected)} completed", failures, out + err)
                on_disk = {name[:-4] for name in os.listdir(store) if name.endswith(".dcm")}
                new = on_disk - arrived_before
                net.expect(new == expected, f"{what}: the {len(expected)} instances arrive at dicomtk serve",
                           failures, f"got {sorted(new)}\nexpected {sorted(expected)}")
                for uid in sorted(expected & new):
                    problems = net.value_differences(paths[uid], os.path.join(store, uid + ".dcm"))
                    net.expect(not problems, f"{what}: {uid} values equal", failures, "\n".join(problems))
                arrived_before = on_disk
            status, out, err = net.run([dicomtk, "move", "-aec", "QRSCP", "-S", "-L", "STUDY", "-k",
                                        f"StudyInstanceUID={S1}", "--dest", "NOWHERE", "127.0.0.1", str(port)])
            net.expect(status not in (0, None), "dicomtk move to a destination dcmqrscp does not know: exit status "
                       "not 0", failures, out + err)
        finally:
            if server is not None:
                server.stop()
            destination.stop()
    return net.report(failures)


# --------------------------------------------------------------------------
# A raw client for the bad input

PATIENT_FIND = "1.2.840.10008.5.1.4.1.2.1.1"
PATIENT_MOVE = "1.2.840.10008.5.1.4.1.2.1.2"
STUDY_FIND = "1.2.840.10008.5.1.4.1.2.2.1"
STUDY_MOVE = "1.2.840.10008.5.1.4.1.2.2.2"
CONTEXTS = {1: PATIENT_FIND, 3: PATIENT_MOVE, 5: STUDY_FIND, 7: STUDY_MOVE}
IMPLICIT = "1.2.840.10008.1.2"


def even(text, pad=b"\0"):
    data = text.encode() if isinstance(text, str) else text
    return data + pad if len(data) % 2 else data


def item(kind, body):
    return struct.pack(">BBH", kind, 0, len(body)) + body


def associate_request(called):
    variable = item(0x10, b"1.2.840.10008.3.1.1.1")
    for context, syntax in CONTEXTS.items():
        variable += item(0x20, bytes([context, 0, 0, 0]) + item(0x30, syntax.encode()) + item(0x40, IMPLICIT.encode()))
    variable += item(0x50, item(0x51, struct.pack(">I", 16384)) + item(0x52, b"1.2.826.0.1.3680043.10.999.0"))
    body = struct.pack(">HH", 1, 0) + called.ljust(16).encode() + b"RAWCLIENT".ljust(16) + bytes(32) + variable
    return struct.pack(">BBI", 1, 0, len(body)) + body


def element(group, number, value):
    """An implicit VR little endian element; value bytes, or an int as US, or (length, bytes) as given."""
    if isinstance(value, int):
        value = struct.pack("<H", value)
    if isinstance(value, tuple):
        length, data = value
        return struct.pack("<HHI", group, number, length) + data
    return struct.pack("<HHI", group, number, len(value)) + value


def command_set(elements):
    body = b"".join(elements)
    return element(0x0000, 0x0000, struct.pack("<I", len(body))) + body


def pdata(context, control, data):
    pdv = struct.pack(">IB", len(data) + 2, context) + bytes([control]) + data
    return struct.pack(">BBI", 4, 0, len(pdv)) + pdv


class RawAssociation:
    def __init__(self, port, called="DICOMTK"):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=net.TIMEOUT)
        self.socket.sendall(associate_request(called))
        kind, body = self.read_pdu()
        if kind != 2:
            raise RuntimeError(f"association not accepted (PDU type {kind})")

    def read_exact(self, count):
        data = b""
        while len(data) < count:
            chunk = self.socket.recv(count - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def read_pdu(self):
        header = self.read_exact(6)
        if header is None:
            return None, b""
        kind, _, length = struct.unpack(">BBI", header)
        return kind, self.read_exact(length) or b""

    def request(self, context, command, identifier):
        """Sends a request; the statuses of the responses up to the final one, then 'closed' or 'aborted'
        when the association ended before that."""
        try:
            self.socket.sendall(pdata(context, 0x03, command) + pdata(context, 0x02, identifier))
        except OSError:
            return ["closed"]
        statuses = []
        command_bytes = b""
        while True:
            try:
                kind, body = self.read_pdu()
            except OSError:
                return statuses + ["closed"]
            if kind is None:
                return statuses + ["closed"]
            if kind == 7:
                return statuses + ["aborted"]
            if kind != 4:
                return statuses + [f"PDU type {kind}"]
            offset = 0
            while offset + 6 <= len(body):
                length = struct.unpack(">I", body[offset:offset + 4])[0]
                control = body[offset + 5]
                data = body[offset + 6:offset + 4 + length]
                offset += 4 + length
                if control & 0x01:
                    command_bytes += data
                    if control & 0x02:
                        status = command_status(command_bytes)
                        command_bytes = b""
                        statuses.append(status)
                        if status not in (0xFF00, 0xFF01):
                            return statuses

    def release(self):
        try:
            self.socket.sendall(struct.pack(">BBI", 5, 0, 4) + bytes(4))
            self.read_pdu()
        except OSError:
            pass
        self.socket.close()


def command_status(data):
    offset = 0
    while offset + 8 <= len(data):
        group, number, length = struct.unpack("<HHI", data[offset:offset + 8])
        if (group, number) == (0x0000, 0x0900):
            return struct.unpack("<H", data[offset + 8:offset + 10])[0]
        offset += 8 + length
    return None


def find_command(sop_class, message_id):
    return command_set([element(0x0000, 0x0002, even(sop_class)), element(0x0000, 0x0100, 0x0020),
                        element(0x0000, 0x0110, message_id), element(0x0000, 0x0700, 0),
                        element(0x0000, 0x0800, 0x0001)])


def move_command(sop_class, message_id, destination):
    return command_set([element(0x0000, 0x0002, even(sop_class)), element(0x0000, 0x0100, 0x0021),
                        element(0x0000, 0x0110, message_id), element(0x0000, 0x0600, destination),
                        element(0x0000, 0x0700, 0), element(0x0000, 0x0800, 0x0001)])


def identifier(level, *elements):
    return element(0x0008, 0x0052, even(level, b" ")) + b"".join(elements)


STUDY_KEY = element(0x0020, 0x000D, even(S1))

# (what, context, command, identifier, accepted outcomes): each on an association of its own.
BAD_INPUT = [
    ("C-FIND, PatientID of length 0xFFFFFFF0 in 6 bytes", 1, find_command(PATIENT_FIND, 1),
     identifier("PATIENT", element(0x0010, 0x0020, (0xFFFFFFF0, b"PID1  "))), "failure"),
    ("C-FIND, Query/Retrieve Level of length 0x7FFFFFFF", 5, find_command(STUDY_FIND, 2),
     element(0x0008, 0x0052, (0x7FFFFFFF, b"STUDY ")), "failure"),
    ("C-FIND, a key of odd length 0xFFFFFFFF (undefined) ending the identifier", 5, find_command(STUDY_FIND, 3),
     identifier("STUDY", element(0x0010, 0x0010, (0xFFFFFFFF, b""))), "failure"),
    ("C-FIND, Study Root at PATIENT level", 5, find_command(STUDY_FIND, 4),
     identifier("PATIENT", element(0x0010, 0x0020, b"")), "failure"),
    ("C-FIND, Patient Root at level FOO", 1, find_command(PATIENT_FIND, 5),
     identifier("FOO", element(0x0010, 0x0020, b"")), "failure"),
    ("C-MOVE, Study Root at PATIENT level", 7, move_command(STUDY_MOVE, 6, b"STORESCP".ljust(16)),
     identifier("PATIENT", element(0x0010, 0x0020, b"PID1")), "failure"),
    # An AE title has at most 16 characters: a longer Move Destination names no destination, even
    # when its first 16 bytes hold a known title.
    ("C-MOVE, Move Destination of 64 bytes, a known title in the first 16", 7,
     move_command(STUDY_MOVE, 7, b"STORESCP".ljust(16) + b"X" * 48), identifier("STUDY", STUDY_KEY), "failure"),
    ("C-MOVE, Move Destination of 64 letters", 7, move_command(STUDY_MOVE, 8, b"D" * 64),
     identifier("STUDY", STUDY_KEY), "failure"),
    ("C-MOVE, Move Destination of 16 letters, no padding, unknown", 7, move_command(STUDY_MOVE, 9, b"ABCDEFGHIJKLMNOP"),
     identifier("STUDY", STUDY_KEY), "failure"),
    ("C-MOVE, Move Destination of 7 bytes, odd, no terminator", 7, move_command(STUDY_MOVE, 10, b"NOWHERE"),
     identifier("STUDY", STUDY_KEY), "failure"),
    ("C-MOVE, Move Destination of length 0xFFFFFFF0", 7,
     move_command(STUDY_MOVE, 11, (0xFFFFFFF0, b"STORESCP")), identifier("STUDY", STUDY_KEY), "failure"),
    ("C-MOVE, empty Move Destination", 7, move_command(STUDY_MOVE, 12, b""), identifier("STUDY", STUDY_KEY),
     "failure"),
    # The sound request of the same shape: the known destination, 16 bytes with spaces, is sent to.
    ("C-MOVE, Move Destination STORESCP padded to 16 (sound)", 7, move_command(STUDY_MOVE, 13, b"STORESCP".ljust(16)),
     identifier("STUDY", STUDY_KEY), "success"),
]


def case_serve_bad_input(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        paths = write_objects(os.path.join(folder, "objects"))
        received = os.path.join(folder, "received")
        os.mkdir(received)
        destination, destination_port = net.start_storescp(received)
        if destination is None:
            return net.report(["storescp did not start"])
        destinations = os.path.join(folder, "destinations")
        with open(destinations, "w") as handle:
            handle.write(f"STORESCP 127.0.0.1 {destination_port}\n")
        server, port = start_serve(dicomtk, os.path.join(folder, "store"), destinations=destinations)
        try:
            if server is None:
                return net.report(["dicomtk serve did not start"])
            load_with_storescu(port, paths, failures)
            for what, context, command, data, outcome in BAD_INPUT:
                try:
                    association = RawAssociation(port)
                except (OSError, RuntimeError) as problem:
                    net.expect(False, f"{what}: association accepted", failures, str(problem))
                    continue
                statuses = association.request(context, command, data)
                association.release()
                final = statuses[-1] if statuses else "nothing"
                shown = ", ".join(f"0x{s:04X}" if isinstance(s, int) else str(s) for s in statuses)
                if outcome == "success":
                    good = final == 0x0000
                else:
                    # A failure status (not Success, not Pending, not Cancel) or an ended association.
                    good = final in ("closed", "aborted") or (isinstance(final, int) and final not in
                                                               (0x0000, 0xFF00, 0xFF01, 0xFE00))
                net.expect(good, f"{what}: {shown}", failures, server.output())
                net.expect(server.process.poll() is None, f"{what}: dicomtk serve still runs", failures,
                           server.output())
                if server.process.poll() is not None:
                    break
            unreadable = server.output().count("C-FIND request of no served model or with an unreadable identifier")
            net.expect(unreadable == 3, f"dicomtk serve names the 3 unreadable C-FIND identifiers (got {unreadable})",
                       failures, server.output())
            arrived = net.files_by_uid(received)
            net.expect(sorted(arrived) == sorted(select("IMAGE", study=S1)),
                       "only the C-MOVEs to STORESCP sent anything: the study's instances", failures, f"{sorted(arrived)}")
            status, out, err = net.run([dicomtk, "echo", "127.0.0.1", str(port)])
            net.expect(status == 0, "dicomtk serve answers a fresh C-ECHO afterwards", failures, out + err)
            status, out, err = dicomtk_find(dicomtk, port, "S", "STUDY", ["StudyInstanceUID"], "DICOMTK")
            net.expect(status == 0 and f"{len(select('STUDY'))} matches" in out,
                       "dicomtk serve answers a fresh C-FIND afterwards", failures, out + err)
        finally:
            if server is not None:
                net.expect(server.stop() == 0, "dicomtk serve ends with status 0 on SIGTERM", failures,
                           server.output())
            destination.stop()
    return net.report(failures)


CASES = {
    "serve-findscu": (case_serve_findscu, ["findscu", "storescu"]),
    "serve-movescu": (case_serve_movescu, ["movescu", "storescu", "storescp"]),
    "serve-getscu": (case_serve_getscu, ["getscu", "storescu"]),
    "serve-get-syntaxes": (case_serve_get_syntaxes, ["getscu"]),
    "serve-cancel": (case_serve_cancel, ["findscu", "movescu", "storescu", "storescp"]),
    "find-dcmqrscp": (case_find_dcmqrscp, ["dcmqrscp", "storescu"]),
    "move-dcmqrscp": (case_move_dcmqrscp, ["dcmqrscp", "storescu"]),
    "serve-bad-input": (case_serve_bad_input, ["storescu", "storescp"]),
    "serve-move-syntaxes": (case_serve_move_syntaxes, ["movescu", "storescp"]),
}


def main(arguments):
    if len(arguments) != 2 or arguments[0] not in CASES:
        print(__doc__)
        return 2
    case, peers = CASES[arguments[0]]
    dicomtk = arguments[1]
    if not os.access(dicomtk, os.X_OK):
        print(f"dicomtk not found at {dicomtk}")
        return 2
    for peer in peers:
        if shutil.which(peer) is None:
            return net.skip(peer)
    return case(dicomtk)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Interoperability of dicomtk get with DCMTK's dcmqrscp.

dcmqrscp (loaded with storescu) answers dicomtk get over one association;
pydicom (Debian's python3-pydicom) compares each file that arrived with the
one sent. Every case runs on 127.0.0.1 on ports that were free a moment ago,
every program given a bounded time and every server stopped at the end. The
store is the one of query_interop.py: three patients, four studies, five
series, seven Secondary Capture instances.

Usage: get_interop.py CASE DICOMTK

  get-dcmqrscp      dicomtk get -P and -S at STUDY, SERIES and IMAGE level
                    (and PATIENT with -P): exactly the selected instances
                    arrive, as DIR/<SOP Instance UID>.dcm, values equal; a
                    selection of nothing ends with Success and no file
  get-refused       dcmqrscp run with C-GET turned off, which refuses the
                    model's presentation context: dicomtk get says so,
                    exits non-zero and writes nothing

Run it with Debian's interpreter (/usr/bin/python3), which has pydicom.
Exit status: 0 all good, 1 a check failed, 2 usage error, 77 a peer is missing.
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import network_interop as net  # noqa: E402  (the shared helpers; it skips itself without pydicom)
import query_interop as query  # noqa: E402  (the store, dcmqrscp and storescu)

import pydicom  # noqa: E402

S1, S3 = query.S1, query.S3
SERIES_11 = query.series_uid("1", "1")
SERIES_12 = query.series_uid("1", "2")

# (model, level, keys, expected instances). dcmqrscp's Patient Root wants the
# PatientID below PATIENT level.
GETS = [
    ("S", "STUDY", [f"StudyInstanceUID={S1}"], query.select("IMAGE", study=S1)),
    ("P", "STUDY", ["PatientID=PID2", f"StudyInstanceUID={S3}"], query.select("IMAGE", study=S3)),
    ("S", "SERIES", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={SERIES_12}"],
     query.select("IMAGE", series=SERIES_12)),
    ("P", "SERIES", ["PatientID=PID1", f"StudyInstanceUID={S1}", f"SeriesInstanceUID={SERIES_11}"],
     query.select("IMAGE", series=SERIES_11)),
    ("S", "IMAGE", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={SERIES_11}",
                    f"SOPInstanceUID={query.instance_uid('1', '1', 2)}"], {query.instance_uid("1", "1", 2)}),
    ("P", "IMAGE", ["PatientID=PID1", f"StudyInstanceUID={S1}", f"SeriesInstanceUID={SERIES_11}",
                    f"SOPInstanceUID={query.instance_uid('1', '1', 1)}"], {query.instance_uid("1", "1", 1)}),
    ("P", "PATIENT", ["PatientID=PID1"], query.select("IMAGE", patient="PID1")),
    # A SOP Instance UID of another series: nothing is selected.
    ("S", "IMAGE", [f"StudyInstanceUID={S1}", f"SeriesInstanceUID={SERIES_11}",
                    f"SOPInstanceUID={query.instance_uid('2', '1', 1)}"], set()),
]


def dicomtk_get(dicomtk, port, model, level, keys, out):
    command = [dicomtk, "get", "-aec", "QRSCP", f"-{model}", "-L", level, "--out", out]
    for key in keys:
        command += ["-k", key]
    return net.run(command + ["127.0.0.1", str(port)])


def case_get_dcmqrscp(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        paths, server, port = query.loaded_dcmqrscp(dicomtk, folder, failures, net.free_port())
        if server is None:
            return net.report(["dcmqrscp did not start"])
        try:
            for index, (model, level, keys, expected) in enumerate(GETS):
                out = os.path.join(folder, f"got{index}")
                what = f"dicomtk get -{model} {level} " + " ".join(keys)
                status, stdout, stderr = dicomtk_get(dicomtk, port, model, level, keys, out)
                count = len(expected)
                net.expect(status == 0 and f"final 0x0000: completed {count}, failed 0, warning 0" in stdout and
                           f"{count} objects received, {count} written to {out}, 0 refused" in stdout,
                           f"{what}: exit 0, {count} completed and written", failures, stdout + stderr)
                names = sorted(os.listdir(out)) if os.path.isdir(out) else []
                net.expect(names == sorted(uid + ".dcm" for uid in expected),
                           f"{what}: exactly the {count} instances arrive, named by their UIDs", failures,
                           f"got {names}\nexpected {sorted(expected)}")
                for uid in sorted(expected):
                    arrived = os.path.join(out, uid + ".dcm")
                    if not os.path.exists(arrived):
                        continue
                    problems = net.value_differences(paths[uid], arrived)
                    dataset = pydicom.dcmread(arrived)
                    problems += net.meta_problems(arrived, dataset)
                    if str(dataset.file_meta.MediaStorageSOPInstanceUID) != uid:
                        problems.append(f"Media Storage SOP Instance UID {dataset.file_meta.MediaStorageSOPInstanceUID}")
                    net.expect(not problems, f"{what}: {uid} values equal, meta information sound", failures,
                               "\n".join(problems))
        finally:
            server.stop()
    return net.report(failures)


def case_get_refused(dicomtk):
    failures = []
    with tempfile.TemporaryDirectory(prefix="dicomtk-interop-") as folder:
        storage = os.path.join(folder, "qrscp")
        os.makedirs(storage)
        server, port = None, 0
        for _ in range(5):
            port = net.free_port()
            config = os.path.join(folder, "dcmqrscp.cfg")
            with open(config, "w") as handle:
                handle.write(f"NetworkTCPPort = {port}\nMaxPDUSize = 16384\nMaxAssociations = 16\n\n"
                             "HostTable BEGIN\nHostTable END\n\nVendorTable BEGIN\nVendorTable END\n\n"
                             f"AETable BEGIN\nQRSCP {storage} RW (200, 1024mb) ANY\nAETable END\n")
            server = net.Background(["dcmqrscp", "--disable-get", "-c", config], net.dcmtk_environment())
            if server.wait_listening(port):
                break
            server.stop()
            server = None
        if server is None:
            return net.report(["dcmqrscp did not start"])
        try:
            out = os.path.join(folder, "got")
            status, stdout, stderr = dicomtk_get(dicomtk, port, "S", "STUDY", [f"StudyInstanceUID={S1}"], out)
            net.expect(status not in (0, None) and stdout == "" and
                       stderr == f"dicomtk: 127.0.0.1:{port}: no association for C-GET: the model "
                                 "1.2.840.10008.5.1.4.1.2.2.3 was not accepted\n",
                       "dicomtk get from a dcmqrscp without C-GET: the model refused, exit status not 0", failures,
                       stdout + stderr)
            net.expect(not os.listdir(out), "nothing written", failures, f"{os.listdir(out)}")
        finally:
            server.stop()
    return net.report(failures)


CASES = {
    "get-dcmqrscp": (case_get_dcmqrscp, ["dcmqrscp", "storescu"]),
    "get-refused": (case_get_refused, ["dcmqrscp"]),
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

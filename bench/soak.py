#!/usr/bin/python3
"""A soak run of dicomtk serve: many associations from several peers at once.

Usage: bench/soak.py BUILD_DIRECTORY [ASSOCIATIONS [PEERS]]

BUILD_DIRECTORY holds tools/dicomtk and tools/make_ct, best built with
AddressSanitizer (the run's point), for instance:

  cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DDICOMTOOLKIT_SANITIZE=ON
  cmake --build build-sanitize -j2 --target dicomtk make_ct
  bench/soak.py build-sanitize 10000 4

Starts one `dicomtk serve` on a free port of 127.0.0.1 (leak detection on,
its quarantine limited to 16 MiB so that freed memory shows as freed) and
runs ASSOCIATIONS associations (10,000 unless given) from PEERS (4) peers
at once. Each association is one run of a peer program, taken in turn from
DCMTK's echoscu, storescu and findscu and dicomtk's echo, store and find
(C-ECHO, C-STORE of a CT slice, C-FIND at PATIENT level). Prints the
server's resident memory as the run goes, then the figures: associations
by kind, failures, rate, memory at 10 % and at the end of the run, and the
server's exit status after SIGTERM (non-zero, with its report, when
AddressSanitizer found a leak or a fault). Exit status 0 when no
association failed, memory at the end is within 16 MiB of the figure at
10 %, and the server ended with status 0. Not part of the tests: it takes
minutes.
"""

import concurrent.futures
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

MEMORY_MARGIN = 16 << 20


def resident_bytes(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", status.read(), re.M).group(1)) * 1024


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    build = sys.argv[1]
    total = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    peers = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    dicomtk = os.path.abspath(os.path.join(build, "tools", "dicomtk"))
    make_ct = os.path.abspath(os.path.join(build, "tools", "make_ct"))
    dcmtk = all(shutil.which(tool) for tool in ("echoscu", "storescu", "findscu"))

    scratch = tempfile.mkdtemp(prefix="soak-")
    subprocess.run([make_ct, scratch], check=True, stdout=subprocess.DEVNULL)
    slice_path = os.path.join(scratch, "ct.dcm")
    store = os.path.join(scratch, "store")
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = str(probe.getsockname()[1])
    probe.close()
    environment = dict(os.environ)
    environment["ASAN_OPTIONS"] = "detect_leaks=1:quarantine_size_mb=16"
    log = open(os.path.join(scratch, "serve.log"), "w+")
    server = subprocess.Popen([dicomtk, "serve", "--port", port, "--store-dir", store, "--no-fsync",
                               "--max-associations", str(2 * peers)], stdout=log, stderr=subprocess.STDOUT,
                              env=environment)
    for _ in range(600):
        log.seek(0)
        if "listening on port" in log.read():
            break
        time.sleep(0.05)

    quiet = dict(os.environ)
    quiet["ASAN_OPTIONS"] = "detect_leaks=0"
    kinds = [("dicomtk echo", [dicomtk, "echo", "127.0.0.1", port]),
             ("dicomtk store", [dicomtk, "store", "127.0.0.1", port, slice_path]),
             ("dicomtk find", [dicomtk, "find", "-k", "PatientName", "127.0.0.1", port])]
    if dcmtk:
        kinds += [("echoscu", ["echoscu", "-aec", "DICOMTK", "127.0.0.1", port]),
                  ("storescu", ["storescu", "-aec", "DICOMTK", "127.0.0.1", port, slice_path]),
                  ("findscu", ["findscu", "-P", "-aec", "DICOMTK", "-k", "0008,0052=PATIENT", "-k", "0010,0010",
                               "127.0.0.1", port])]
    counts = {name: 0 for name, _ in kinds}
    failures = []
    samples = []
    guard = threading.Lock()
    done = [0]

    def one(index):
        name, command = kinds[index % len(kinds)]
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=quiet, timeout=120)
        with guard:
            counts[name] += 1
            done[0] += 1
            if result.returncode != 0:
                failures.append("%s: status %d: %s" % (name, result.returncode, result.stderr.decode()[-300:]))
            if done[0] % (total // 20 or 1) == 0:
                samples.append((done[0], resident_bytes(server.pid)))
                print("%6d associations, server resident %.1f MiB" % (samples[-1][0], samples[-1][1] / 2**20),
                      flush=True)

    began = time.monotonic()
    try:
        with concurrent.futures.ThreadPoolExecutor(peers) as pool:
            list(pool.map(one, range(total)))
    except BaseException:
        server.kill()
        raise
    elapsed = time.monotonic() - began
    end = resident_bytes(server.pid)
    server.send_signal(signal.SIGTERM)
    status = server.wait(timeout=120)
    log.seek(0)
    output = log.read()

    early = next((rss for count, rss in samples if count >= total // 10), samples[0][1] if samples else end)
    print()
    print("associations: %d in %.0f s (%.1f per second), %d peers at once" % (total, elapsed, total / elapsed, peers))
    print("by kind: " + ", ".join("%s %d" % item for item in counts.items()))
    print("failed: %d" % len(failures))
    for failure in failures[:10]:
        print("  " + failure)
    print("server resident memory: %.1f MiB at 10 %%, %.1f MiB at the end, %.1f MiB at most" %
          (early / 2**20, end / 2**20, max(rss for _, rss in samples) / 2**20 if samples else end / 2**20))
    print("server exit status after SIGTERM: %d" % status)
    if status != 0 or "ERROR: AddressSanitizer" in output or "ERROR: LeakSanitizer" in output:
        print(output[-6000:])
    shutil.rmtree(scratch, ignore_errors=True)
    return 0 if not failures and status == 0 and end <= early + MEMORY_MARGIN else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""C-STORE throughput over loopback: dicomtk against DCMTK, files written by the server.

Generates a series of 512 x 512 16-bit CT slices (about 525 KB each, one SOP
Instance UID each) with make_ct_series, then sends the whole series in one
association for each pairing of sender and server below, the pairings taking
turns (each run in another order), several runs. A server is started for each
send with an empty folder on the same disk as the slices and stopped after
it; the time is the sender's, from its start to its exit (association, every
C-STORE and its response, release), and every file must be in the server's
folder afterwards. MB/s = bytes of the files sent / seconds, 1 MB = 10^6
bytes. DCMTK's programs run with TCP_NODELAY=1 in their environment.

  ours -> ours            dicomtk store -> dicomtk serve (fsync of each file
                          and of the folder before Success, its default)
  ours -> ours, no fsync  dicomtk store -> dicomtk serve --no-fsync
  storescu -> ours        storescu -> dicomtk serve --no-fsync
  ours -> storescp        dicomtk store -> storescp
  storescu -> storescp    the yardstick

storescp writes without fsync, so the no-fsync pairings are the like-for-like
ones. Usage (from the project folder, after building with the bench on):

  bench/store_throughput.py [--build build] [--files 200] [--runs 5] [--work DIR]

(--work /dev/shm puts slices and received files in memory, which leaves the
disk out of the figures.) Before each send the disk is synced. It prints each run and then, per pairing, the median, minimum and maximum
MB/s and the median of the per-run ratios to the yardstick.
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TIMEOUT = 300


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening_on(port):
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                return True
    return False


def dcmtk_environment():
    environment = dict(os.environ)
    environment["TCP_NODELAY"] = "1"
    return environment


class Server:
    def __init__(self, command, port, environment=None):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment)
        self.output = []
        self.reader = threading.Thread(target=lambda: self.output.extend(self.process.stdout), daemon=True)
        self.reader.start()
        # Neither server is waited for by its output: storescp prints nothing
        # when it listens. The port is looked at a bounded number of times.
        for _ in range(2000):
            if listening_on(port) or self.process.poll() is not None:
                break
            time.sleep(0.005)
        if not listening_on(port):
            self.stop()
            raise RuntimeError(f"{command[0]} did not start listening: {b''.join(self.output)[-500:]!r}")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=10)


def serve_command(dicomtk, folder, port, sync):
    return [dicomtk, "serve", "--port", str(port), "--store-dir", folder] + ([] if sync else ["--no-fsync"]), None


def storescp_command(folder, port):
    # DCMTK's defaults otherwise: files as received, no fsync.
    return ["storescp", "-od", folder, str(port)], dcmtk_environment()


def store_command(dicomtk, port, files):
    return [dicomtk, "store", "127.0.0.1", str(port)] + files, None


def storescu_command(port, files):
    # -aec: dicomtk serve takes any called AE title; given for storescp's sake.
    return ["storescu", "-aec", "ANY-SCP", "127.0.0.1", str(port)] + files, dcmtk_environment()


def pairings(dicomtk):
    return [
        ("ours -> ours", lambda f, p: serve_command(dicomtk, f, p, True), lambda p, files: store_command(dicomtk, p, files)),
        ("ours -> ours, no fsync", lambda f, p: serve_command(dicomtk, f, p, False),
         lambda p, files: store_command(dicomtk, p, files)),
        ("storescu -> ours", lambda f, p: serve_command(dicomtk, f, p, False), storescu_command),
        ("ours -> storescp", storescp_command, lambda p, files: store_command(dicomtk, p, files)),
        ("storescu -> storescp", storescp_command, storescu_command),
    ]


def one_send(pairing, files, total_bytes, work):
    name, server_of, sender_of = pairing
    folder = tempfile.mkdtemp(prefix="received-", dir=work)
    try:
        port = free_port()
        # What earlier sends left for the disk to write is written first, so
        # that it does not slow this one.
        os.sync()
        command, environment = server_of(folder, port)
        server = Server(command, port, environment)
        try:
            command, environment = sender_of(port, files)
            start = time.perf_counter()
            done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=environment,
                                  timeout=TIMEOUT)
            seconds = time.perf_counter() - start
        finally:
            server.stop()
        # The objects; dicomtk serve keeps its index of them beside them.
        received = len([name for name in os.listdir(folder) if not name.startswith("index.sqlite")])
        if done.returncode != 0 or received != len(files):
            raise RuntimeError(f"{name}: sender status {done.returncode}, {received} of {len(files)} files received: "
                               f"{done.stderr.decode('utf-8', 'replace')[-500:]}")
        return total_bytes / seconds / 1e6
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main(arguments):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="the build folder (default: build)")
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--work", default=None, help="folder for the slices and the received files "
                        "(default: a temporary folder)")
    options = parser.parse_args(arguments)
    dicomtk = os.path.join(options.build, "tools", "dicomtk")
    maker = os.path.join(options.build, "bench", "make_ct_series")
    for program in (dicomtk, maker):
        if not os.access(program, os.X_OK):
            print(f"{program} is missing: build with the bench (cmake --build {options.build})")
            return 2
    for program in ("storescu", "storescp"):
        if shutil.which(program) is None:
            print(f"{program} is missing: install Debian's dcmtk")
            return 2

    work = tempfile.mkdtemp(prefix="store-throughput-", dir=options.work)
    try:
        series = os.path.join(work, "series")
        os.mkdir(series)
        subprocess.run([maker, series, str(options.files)], check=True, stdout=subprocess.DEVNULL)
        files = sorted(os.path.join(series, name) for name in os.listdir(series))
        total_bytes = sum(os.path.getsize(path) for path in files)
        print(f"{len(files)} files, {total_bytes / 1e6:.1f} MB ({total_bytes / len(files) / 1e3:.0f} KB each), "
              f"{options.runs} runs; dicomtk {os.path.abspath(dicomtk)}")
        # A warm-up send of each pairing, not counted (page cache, first start).
        all_pairings = pairings(dicomtk)
        for pairing in all_pairings:
            one_send(pairing, files, total_bytes, work)
        rates = {pairing[0]: [] for pairing in all_pairings}
        for run in range(options.runs):
            # Each run starts the turn at another pairing.
            order = all_pairings[run % len(all_pairings):] + all_pairings[:run % len(all_pairings)]
            line = []
            for pairing in order:
                rate = one_send(pairing, files, total_bytes, work)
                rates[pairing[0]].append(rate)
                line.append(f"{pairing[0]} {rate:.1f}")
            print(f"run {run + 1}: " + "; ".join(line) + " MB/s", flush=True)
        yardstick = rates["storescu -> storescp"]
        print()
        print(f"{'pairing':<24} {'median MB/s':>11} {'min':>7} {'max':>7}  {'ratio to storescu -> storescp (median of runs)':>10}")
        for name, values in rates.items():
            ratio = statistics.median(value / base for value, base in zip(values, yardstick))
            print(f"{name:<24} {statistics.median(values):>11.1f} {min(values):>7.1f} {max(values):>7.1f}  {ratio:>6.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

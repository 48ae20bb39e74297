#!/usr/bin/python3
"""Time and peak memory of dicomtk on one large object, beside DCMTK and the
file's size, in one run.

Run through bench/large_objects.sh, which installs what is missing and builds
the release tools first. make_large_object writes a multi-frame object of
512 x 512 16-bit frames in explicit VR little endian: 400 frames (200 MiB)
by default, 4,000 frames (about 2 GB) with --huge. Then, runs taking turns
where there is a yardstick:

  dump       dicomtk dump FILE > /dev/null   beside dcmdump FILE > /dev/null
  load       load_files --load-only FILE     (the file loaded and freed, no printing)
  copy       dicomtk copy --mode 3 FILE OUT
  receive    dicomtk store -> dicomtk serve --no-fsync, and storescu -> dicomtk
             serve --no-fsync: the sender's and the server's peak memory;
             storescu -> storescp beside them for reference

Wall seconds are the whole process's (for a send, the sender's, start to
exit). A program's peak memory is its maximum resident set size as GNU time
reports it; a server's is VmHWM from /proc/PID/status once the object is
stored, read before the server is stopped. The limits are 1.25 times the
file plus 16 MiB (load, dump, copy) or plus 32 MiB (server and sender).
MiB = 2^20 bytes.

  bench/large_objects.py [--build build-release] [--runs 5] [--huge] [--work DIR]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
import store_throughput as st  # noqa: E402

TIMEOUT = 1800
MIB = 1 << 20


def run_measured(command, work, environment=None):
    """(wall seconds, peak resident KiB) of a whole process under GNU time;
    fails unless it exits 0."""
    descriptor, report = tempfile.mkstemp(prefix="time-", dir=work)
    os.close(descriptor)
    try:
        with open(os.devnull, "wb") as sink:
            start = time.perf_counter()
            done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, stdout=sink,
                                  stderr=subprocess.PIPE, env=environment, timeout=TIMEOUT)
            seconds = time.perf_counter() - start
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(command[:3])}...: status {done.returncode}: "
                               f"{done.stderr.decode('utf-8', 'replace')[-500:]}")
        with open(report) as figures:
            peak = int(figures.read().split()[-1])
        return seconds, peak
    finally:
        if os.path.exists(report):
            os.remove(report)


class LargeObjects:
    def __init__(self, build, work, runs, frames):
        self.dicomtk = os.path.abspath(os.path.join(build, "tools", "dicomtk"))
        self.maker = os.path.abspath(os.path.join(build, "bench", "make_large_object"))
        self.loader = os.path.abspath(os.path.join(build, "bench", "load_files"))
        self.work = work
        self.runs = runs
        self.frames = frames
        self.rows = []

    def missing(self):
        found = [path for path in (self.dicomtk, self.maker, self.loader) if not os.access(path, os.X_OK)]
        found += [name for name in ("storescu", "storescp", "dcmdump") if shutil.which(name) is None]
        return found + ([] if os.access("/usr/bin/time", os.X_OK) else ["/usr/bin/time"])

    def make_object(self):
        self.path = os.path.join(self.work, "large.dcm")
        subprocess.run([self.maker, self.path, str(self.frames)], check=True, stdout=subprocess.DEVNULL)
        self.size = os.path.getsize(self.path)
        print(f"object: {self.frames} frames of 512 x 512 16-bit, {self.size} bytes ({self.size / MIB:.1f} MiB); "
              f"{self.runs} runs of each", flush=True)

    def limit(self, extra_mib):
        return 1.25 * self.size / MIB + extra_mib

    def add(self, work, seconds, peak_kib, extra_mib, note=""):
        peak = peak_kib / 1024
        limit = self.limit(extra_mib) if extra_mib is not None else None
        self.rows.append((work, f"{seconds:.2f} s" if seconds is not None else "-", f"{peak:.1f}",
                          f"{peak * MIB / self.size:.2f}", f"{limit:.0f}" if limit else "-",
                          peers.yes_no(peak <= limit) if limit else "-", note))

    def show(self, name, figures):
        print(f"  {name}: " + "; ".join(f"{seconds:.2f} s {peak / 1024:.1f} MiB" for seconds, peak in figures),
              flush=True)

    def dump_rows(self):
        figures = peers.alternate([("dump", lambda: run_measured([self.dicomtk, "dump", self.path], self.work)),
                                   ("dcmdump", lambda: run_measured(["dcmdump", self.path], self.work))],
                                  self.runs, warmup=self.frames <= 1000)
        for name, values in figures.items():
            self.show(name, values)
        ours, theirs = figures["dump"], figures["dcmdump"]
        ratio = peers.paired_ratio([seconds for seconds, _ in ours], [seconds for seconds, _ in theirs])
        self.add("dicomtk dump", statistics.median(s for s, _ in ours), statistics.median(p for _, p in ours), 16,
                 f"wall {ratio:.2f} x dcmdump's (target <= 1: {peers.yes_no(ratio <= 1)})")
        self.add("dcmdump (yardstick)", statistics.median(s for s, _ in theirs),
                 statistics.median(p for _, p in theirs), None)

    def load_and_copy_rows(self):
        output = os.path.join(self.work, "copy.dcm")

        def copy():
            measured = run_measured([self.dicomtk, "copy", "--mode", "3", self.path, output], self.work)
            os.remove(output)
            return measured

        figures = peers.alternate([("load", lambda: run_measured([self.loader, "--load-only", self.path], self.work)),
                                   ("copy", copy)], self.runs, warmup=False)
        for name, values in figures.items():
            self.show(name, values)
        for name, work in (("load", "load_files --load-only"), ("copy", "dicomtk copy --mode 3")):
            values = figures[name]
            self.add(work, statistics.median(s for s, _ in values), statistics.median(p for _, p in values), 16)

    def receive(self, server_of, sender_of):
        folder = tempfile.mkdtemp(prefix="received-", dir=self.work)
        try:
            port = st.free_port()
            command, environment = server_of(folder, port)
            server = st.Server(command, port, environment)
            try:
                command, environment = sender_of(port, [self.path])
                seconds, sender_peak = run_measured(command, self.work, environment)
                server_peak = peers.process_memory(server.process.pid)["VmHWM"]
            finally:
                server.stop()
            received = [entry for entry in os.listdir(folder)
                        if not entry.startswith(".") and not entry.startswith("index.sqlite")]
            if len(received) != 1 or os.path.getsize(os.path.join(folder, received[0])) < self.size - 4096:
                raise RuntimeError(f"{' '.join(command[:2])}: the object was not stored ({received})")
            return seconds, sender_peak, server_peak
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def receive_rows(self):
        serve = lambda folder, port: st.serve_command(self.dicomtk, folder, port, False)  # noqa: E731
        store = lambda port, files: st.store_command(self.dicomtk, port, files)  # noqa: E731
        pairings = [("store -> serve", lambda: self.receive(serve, store)),
                    ("storescu -> serve", lambda: self.receive(serve, st.storescu_command)),
                    ("storescu -> storescp", lambda: self.receive(st.storescp_command, st.storescu_command))]
        figures = peers.alternate(pairings, self.runs, warmup=False)
        for name, values in figures.items():
            print(f"  {name}: " + "; ".join(f"{seconds:.2f} s, sender {sender / 1024:.1f} MiB, server "
                                            f"{server / 1024:.1f} MiB" for seconds, sender, server in values),
                  flush=True)
        for name, sender, server in (("store -> serve", "dicomtk store", "dicomtk serve"),
                                     ("storescu -> serve", "storescu", "dicomtk serve"),
                                     ("storescu -> storescp", "storescu", "storescp")):
            values = figures[name]
            seconds = statistics.median(value[0] for value in values)
            reference = name == "storescu -> storescp"
            self.add(f"{name}: {server} (server)", None, statistics.median(value[2] for value in values),
                     None if reference else 32, "reference" if reference else "")
            self.add(f"{name}: {sender} (sender)", seconds, statistics.median(value[1] for value in values),
                     32 if sender == "dicomtk store" else None, "" if sender == "dicomtk store" else "reference")

    def print_table(self):
        headers = ("work", "wall (median)", "peak MiB (median)", "peak / file", "limit MiB", "met", "")
        widths = [max(len(row[index]) for row in self.rows + [headers]) for index in range(len(headers))]
        line = "  ".join(f"{{:<{width}}}" for width in widths)
        print(line.format(*headers).rstrip())
        print("  ".join("-" * width for width in widths))
        for row in self.rows:
            print(line.format(*row).rstrip())


def main(arguments):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-release", help="the release build folder (default: build-release)")
    parser.add_argument("--runs", type=int, default=None, help="runs of each (default 5; 1 with --huge)")
    parser.add_argument("--huge", action="store_true", help="a 4,000-frame object (about 2 GB) instead of 400 frames")
    parser.add_argument("--work", default=None, help="folder for the object, copies and received files "
                        "(default: a temporary folder on the disk)")
    options = parser.parse_args(arguments)
    frames = 4000 if options.huge else 400
    runs = options.runs or (1 if options.huge else 5)
    work = tempfile.mkdtemp(prefix="large-objects-", dir=options.work)
    try:
        bench = LargeObjects(options.build, work, runs, frames)
        missing = bench.missing()
        if missing:
            print("missing: " + ", ".join(missing) + " (bench/large_objects.sh builds and installs them)")
            return 2
        started = time.perf_counter()
        bench.make_object()
        for name, step in (("dump", bench.dump_rows), ("load and copy", bench.load_and_copy_rows),
                           ("receive", bench.receive_rows)):
            print(f"{name}:", flush=True)
            step()
        print()
        print(f"dicomtk {bench.dicomtk}; {runs} runs each; {time.perf_counter() - started:.0f} s in all")
        print(f"file {bench.size / MIB:.1f} MiB; limit = 1.25 x file + 16 MiB (load, dump, copy), "
              f"+ 32 MiB (server, sender)")
        print()
        bench.print_table()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

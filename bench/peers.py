#!/usr/bin/python3
"""dicomtk beside DCMTK and beside the machine's own limits, in one run.

Run through bench/peers.sh, which installs DCMTK and builds the release tools
first. Every row times ours and its yardstick in the same run on the same
files, taking turns run by run (each run starts the turn at another
contestant), and reports medians and the median of the per-run ratios:

  C-STORE over loopback, 200 CT slices of about 525 KB, one association,
  the sender's wall time (start to exit), files written to disk by the server:
    store -> serve --no-fsync, storescu -> serve --no-fsync, store -> storescp
    against storescu -> storescp (DCMTK with TCP_NODELAY=1, the yardstick).
  The same, durable: store -> serve in its default mode (each file fsynced
    and renamed into place, the folder fsynced) against durable_write_ceiling,
    a plain program writing the same files with write, fsync and rename (and
    once more with the folder's fsync as well).
  10,000 C-ECHO in one association: dicomtk echo --repeat -> serve against
    echoscu --repeat -> storescp (TCP_NODELAY=1); whole processes, echoes/s.
  Loading the 200 files in one process and printing every element:
    dicomtk dump against dcmdump, output to /dev/null, wall seconds.
  Loading the same files without printing (load_files) against a memcpy of
    the same bytes from memory (the program takes the turns itself).
  Convert on a 4096 x 4096 16-bit image, lumenar and tonewell, against a
    memcpy of the input (plugin_bench, repetitions interleaved at random).
  Memory of dicomtk serve: VmHWM (peak resident) and VmRSS from
    /proc/PID/status after receiving the 200 files; VmRSS after 100 and after
    10,000 associations of one C-ECHO each (echo_associations).

MB/s = bytes of the files / seconds, 1 MB = 10^6 bytes; MiB = 2^20 bytes.

  bench/peers.py [--build build-release] [--runs 7] [--quick] [--work DIR]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import store_throughput as st  # noqa: E402

TIMEOUT = st.TIMEOUT


def run_timed(command, environment=None, stdout=subprocess.DEVNULL):
    """Wall seconds of a whole process; fails unless it exits 0."""
    start = time.perf_counter()
    done = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, env=environment, timeout=TIMEOUT)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command[:3])}...: status {done.returncode}: "
                           f"{done.stderr.decode('utf-8', 'replace')[-500:]}")
    return seconds


def process_memory(pid):
    """VmHWM and VmRSS of a running process, in KiB."""
    figures = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmHWM", "VmRSS"):
                figures[name] = int(value.split()[0])
    return figures


def alternate(contestants, runs, warmup=True):
    """Runs each contestant (name, function returning a figure) once per
    run, each run starting the turn at another one; a warm-up round first
    that is not counted. Returns {name: [figure per run]}."""
    if warmup:
        for _, measure in contestants:
            measure()
    figures = {name: [] for name, _ in contestants}
    for run in range(runs):
        shift = run % len(contestants)
        for name, measure in contestants[shift:] + contestants[:shift]:
            figures[name].append(measure())
    return figures


def paired_ratio(values, bases):
    return statistics.median(value / base for value, base in zip(values, bases))


class Table:
    def __init__(self):
        self.rows = []

    def add(self, work, ours, yardstick, ratio, target, met):
        self.rows.append((work, ours, yardstick, ratio, target, met))

    def print(self):
        headers = ("work", "ours (median)", "yardstick (median)", "ratio", "target", "met")
        widths = [max(len(str(row[index])) for row in self.rows + [headers]) for index in range(len(headers))]
        line = "  ".join(f"{{:<{width}}}" for width in widths)
        print(line.format(*headers))
        print("  ".join("-" * width for width in widths))
        for row in self.rows:
            print(line.format(*row))


def yes_no(condition):
    return "yes" if condition else "no"


class Bench:
    def __init__(self, build, work, runs, echoes, associations):
        self.dicomtk = os.path.abspath(os.path.join(build, "tools", "dicomtk"))
        self.programs = {name: os.path.abspath(os.path.join(build, "bench", name))
                         for name in ("make_ct_series", "durable_write_ceiling", "load_files", "plugin_bench",
                                      "echo_associations")}
        self.work = work
        self.runs = runs
        self.echoes = echoes
        self.associations = associations
        self.table = Table()
        self.serve_memory = []  # (VmHWM, VmRSS) KiB after each receive of the series

    def check_programs(self):
        missing = [path for path in [self.dicomtk] + list(self.programs.values()) if not os.access(path, os.X_OK)]
        missing += [name for name in ("storescu", "storescp", "echoscu", "dcmdump") if shutil.which(name) is None]
        return missing

    def make_corpus(self, count):
        series = os.path.join(self.work, "series")
        os.mkdir(series)
        subprocess.run([self.programs["make_ct_series"], series, str(count)], check=True, stdout=subprocess.DEVNULL)
        self.files = sorted(os.path.join(series, name) for name in os.listdir(series))
        self.total_bytes = sum(os.path.getsize(path) for path in self.files)
        print(f"corpus: {len(self.files)} files, {self.total_bytes / 1e6:.1f} MB "
              f"({self.total_bytes / len(self.files) / 1e3:.0f} KB each); {self.runs} runs of each")

    # --- C-STORE -----------------------------------------------------------

    def send(self, name, server_of, sender_of, record_memory=False):
        folder = tempfile.mkdtemp(prefix="received-", dir=self.work)
        try:
            port = st.free_port()
            # What earlier sends left for the disk to write is written first.
            os.sync()
            command, environment = server_of(folder, port)
            server = st.Server(command, port, environment)
            try:
                command, environment = sender_of(port, self.files)
                seconds = run_timed(command, environment)
                if record_memory:
                    memory = process_memory(server.process.pid)
                    self.serve_memory.append((memory["VmHWM"], memory["VmRSS"]))
            finally:
                server.stop()
            # serve keeps its query index beside the objects.
            received = len([entry for entry in os.listdir(folder)
                            if not entry.startswith(".") and not entry.startswith("index.sqlite")])
            if received != len(self.files):
                raise RuntimeError(f"{name}: {received} of {len(self.files)} files received")
            return self.total_bytes / seconds / 1e6
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def ceiling(self, sync_folder):
        folder = tempfile.mkdtemp(prefix="ceiling-", dir=self.work)
        try:
            os.sync()
            command = [self.programs["durable_write_ceiling"]] + (["--sync-folder"] if sync_folder else [])
            seconds = run_timed(command + [folder] + self.files)
            return self.total_bytes / seconds / 1e6
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def store_rows(self):
        dicomtk = self.dicomtk
        serve_fast = lambda folder, port: st.serve_command(dicomtk, folder, port, False)  # noqa: E731
        serve_durable = lambda folder, port: st.serve_command(dicomtk, folder, port, True)  # noqa: E731
        store = lambda port, files: st.store_command(dicomtk, port, files)  # noqa: E731
        contestants = [
            ("store -> serve --no-fsync", lambda: self.send("ours", serve_fast, store, record_memory=True)),
            ("storescu -> serve --no-fsync", lambda: self.send("storescu", serve_fast, st.storescu_command)),
            ("store -> storescp", lambda: self.send("storescp", st.storescp_command, store)),
            ("storescu -> storescp", lambda: self.send("yardstick", st.storescp_command, st.storescu_command)),
            ("store -> serve (durable)", lambda: self.send("durable", serve_durable, store, record_memory=True)),
            ("write, fsync, rename", lambda: self.ceiling(False)),
            ("write, fsync, rename, fsync folder", lambda: self.ceiling(True)),
        ]
        rates = alternate(contestants, self.runs)
        for name, values in rates.items():
            print(f"  {name}: " + " ".join(f"{value:.1f}" for value in values) + " MB/s", flush=True)
        yardstick = rates["storescu -> storescp"]
        count = len(self.files)
        for name, target in (("store -> serve --no-fsync", 1.5), ("storescu -> serve --no-fsync", 1.0),
                             ("store -> storescp", 1.0)):
            ratio = paired_ratio(rates[name], yardstick)
            self.table.add(f"C-STORE {count} files, {name}", f"{statistics.median(rates[name]):.1f} MB/s",
                           f"storescu -> storescp {statistics.median(yardstick):.1f} MB/s", f"{ratio:.2f}",
                           f">= {target}", yes_no(ratio >= target))
        durable = rates["store -> serve (durable)"]
        for name, target in (("write, fsync, rename", 0.8), ("write, fsync, rename, fsync folder", None)):
            ratio = paired_ratio(durable, rates[name])
            self.table.add(f"C-STORE {count} files, store -> serve (durable)", f"{statistics.median(durable):.1f} MB/s",
                           f"{name} {statistics.median(rates[name]):.1f} MB/s", f"{ratio:.2f}",
                           f">= {target}" if target else "(same promise as serve)",
                           yes_no(ratio >= target) if target else "-")

    # --- C-ECHO ------------------------------------------------------------

    def echo_row(self):
        # The store rows leave gigabytes to be written back; the kernel's
        # writeback would take a core from the round trips.
        os.sync()
        folders = [tempfile.mkdtemp(prefix=prefix, dir=self.work) for prefix in ("echo-serve-", "echo-storescp-")]
        ours_port, theirs_port = st.free_port(), st.free_port()
        ours_server = st.Server(st.serve_command(self.dicomtk, folders[0], ours_port, False)[0], ours_port)
        try:
            command, environment = st.storescp_command(folders[1], theirs_port)
            theirs_server = st.Server(command, theirs_port, environment)
            try:
                repeat = str(self.echoes)
                ours = [self.dicomtk, "echo", "--repeat", repeat, "127.0.0.1", str(ours_port)]
                theirs = ["echoscu", "-aec", "ANY-SCP", "--repeat", repeat, "127.0.0.1", str(theirs_port)]
                environment = st.dcmtk_environment()
                rates = alternate([("ours", lambda: self.echoes / run_timed(ours)),
                                   ("echoscu", lambda: self.echoes / run_timed(theirs, environment))], self.runs)
            finally:
                theirs_server.stop()
        finally:
            ours_server.stop()
            for folder in folders:
                shutil.rmtree(folder, ignore_errors=True)
        for name, values in rates.items():
            print(f"  echo {name}: " + " ".join(f"{value:.0f}" for value in values) + " echoes/s", flush=True)
        ratio = paired_ratio(rates["ours"], rates["echoscu"])
        self.table.add(f"{self.echoes} C-ECHO in one association, echo -> serve",
                       f"{statistics.median(rates['ours']):.0f} echoes/s",
                       f"echoscu -> storescp {statistics.median(rates['echoscu']):.0f} echoes/s", f"{ratio:.2f}",
                       ">= 2", yes_no(ratio >= 2))

    # --- Loading -------------------------------------------------------------

    def dump_row(self):
        with open(os.devnull, "wb") as sink:
            seconds = alternate([("dump", lambda: run_timed([self.dicomtk, "dump"] + self.files, stdout=sink)),
                                 ("dcmdump", lambda: run_timed(["dcmdump"] + self.files, stdout=sink))], self.runs)
        for name, values in seconds.items():
            print(f"  {name}: " + " ".join(f"{value:.3f}" for value in values) + " s", flush=True)
        # How many times faster ours is: dcmdump's time / ours.
        ratio = paired_ratio(seconds["dcmdump"], seconds["dump"])
        self.table.add(f"load and print {len(self.files)} files, dicomtk dump", f"{statistics.median(seconds['dump']):.3f} s",
                       f"dcmdump {statistics.median(seconds['dcmdump']):.3f} s", f"{ratio:.2f} x faster",
                       ">= 2 x faster", yes_no(ratio >= 2))

    def load_row(self):
        done = subprocess.run([self.programs["load_files"], "--runs", str(self.runs)] + self.files,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT, check=True)
        last = done.stdout.decode().strip().splitlines()[-1]
        print(f"  load_files: {last}", flush=True)
        # "..., median load S s, memcpy S s, ratio R"
        fields = last.split("median load ")[1].replace(",", "").split()
        load, copy, ratio = float(fields[0]), float(fields[3]), float(fields[6])
        self.table.add(f"load {len(self.files)} files without printing (load_files)", f"{load:.4f} s",
                       f"memcpy of the bytes {copy:.4f} s", f"{ratio:.1f} x the time", "(report)", "-")

    # --- Convert -------------------------------------------------------------

    def convert_rows(self):
        directory = tempfile.mkdtemp(prefix="convert-", dir=self.work)
        output = os.path.join(directory, "plugin_bench.json")
        try:
            subprocess.run([self.programs["plugin_bench"], "--benchmark_filter=/4096$",
                            f"--benchmark_repetitions={max(self.runs, 5)}",
                            "--benchmark_enable_random_interleaving=true", f"--benchmark_out={output}",
                            "--benchmark_out_format=json"], stdout=subprocess.DEVNULL, timeout=TIMEOUT, check=True)
            with open(output) as report:
                benchmarks = json.load(report)["benchmarks"]
        finally:
            shutil.rmtree(directory, ignore_errors=True)
        times = {}
        for benchmark in benchmarks:
            if benchmark.get("run_type") != "iteration":
                continue
            unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[benchmark.get("time_unit", "ns")]
            times.setdefault(benchmark["run_name"].split("/")[0], []).append(benchmark["real_time"] * unit)
        memcpy = times["Memcpy"]
        for name, target in (("Lumenar", 2.0), ("Tonewell", 3.0)):
            print(f"  {name}: " + " ".join(f"{value * 1e3:.2f}" for value in times[name]) + " ms; memcpy " +
                  " ".join(f"{value * 1e3:.2f}" for value in memcpy) + " ms", flush=True)
            ratio = statistics.median(times[name]) / statistics.median(memcpy)
            self.table.add(f"Convert 4096 x 4096 16-bit, {name.lower()}", f"{statistics.median(times[name]) * 1e3:.2f} ms",
                           f"memcpy of the input {statistics.median(memcpy) * 1e3:.2f} ms", f"{ratio:.2f} x the time",
                           f"<= {target:g} x", yes_no(ratio <= target))

    # --- Memory --------------------------------------------------------------

    def memory_rows(self):
        if self.serve_memory:
            peak = max(hwm for hwm, _ in self.serve_memory)
            resident = statistics.median(rss for _, rss in self.serve_memory)
            self.table.add(f"serve's memory receiving {len(self.files)} files", f"VmHWM {peak / 1024:.1f} MiB (largest)",
                           f"VmRSS at the end {resident / 1024:.1f} MiB (median)", "-", "< 64 MiB", yes_no(peak < 64 * 1024))
        folder = tempfile.mkdtemp(prefix="associations-", dir=self.work)
        port = st.free_port()
        server = st.Server(st.serve_command(self.dicomtk, folder, port, False)[0], port)
        try:
            churn = self.programs["echo_associations"]
            first = min(100, self.associations)
            run_timed([churn, "127.0.0.1", str(port), str(first)])
            after_first = process_memory(server.process.pid)
            seconds = run_timed([churn, "127.0.0.1", str(port), str(self.associations - first)])
            after_all = process_memory(server.process.pid)
        finally:
            server.stop()
            shutil.rmtree(folder, ignore_errors=True)
        print(f"  {self.associations - first} associations in {seconds:.1f} s; VmRSS {after_first['VmRSS']} KiB "
              f"after {first}, {after_all['VmRSS']} KiB after {self.associations}; "
              f"VmHWM {after_all['VmHWM']} KiB", flush=True)
        growth = after_all["VmRSS"] - after_first["VmRSS"]
        self.table.add(f"serve's VmRSS after {first} / {self.associations} echo associations",
                       f"{after_all['VmRSS'] / 1024:.1f} MiB after {self.associations}",
                       f"{after_first['VmRSS'] / 1024:.1f} MiB after {first}",
                       f"{after_all['VmRSS'] / after_first['VmRSS']:.2f}", "no growth (<= 1 MiB)",
                       yes_no(growth <= 1024))


def main(arguments):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-release", help="the release build folder (default: build-release)")
    parser.add_argument("--runs", type=int, default=None, help="runs of each contestant (default 7, --quick 2)")
    parser.add_argument("--quick", action="store_true", help="fewer runs and associations, for a first look")
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--work", default=None, help="folder for the corpus and the received files "
                        "(default: a temporary folder on the disk)")
    options = parser.parse_args(arguments)
    runs = options.runs or (2 if options.quick else 7)
    associations = 1000 if options.quick else 10000
    work = tempfile.mkdtemp(prefix="peers-", dir=options.work)
    try:
        bench = Bench(options.build, work, runs, echoes=10000, associations=associations)
        missing = bench.check_programs()
        if missing:
            print("missing: " + ", ".join(missing) + " (bench/peers.sh builds and installs them)")
            return 2
        started = time.perf_counter()
        bench.make_corpus(options.files)
        # The echo row first: after minutes of storing, this machine gives
        # every program less of its processors, and round trips suffer most.
        steps = [("C-ECHO", bench.echo_row), ("C-STORE", bench.store_rows), ("dump", bench.dump_row),
                 ("load", bench.load_row), ("Convert", bench.convert_rows), ("memory", bench.memory_rows)]
        for name, step in steps:
            print(f"{name}:", flush=True)
            step()
        print()
        print(f"dicomtk {bench.dicomtk}; {runs} runs each, turns alternated; "
              f"{time.perf_counter() - started:.0f} s in all")
        print("ratio: ours / yardstick for rates; yardstick's time / ours for dump; ours / memcpy for times")
        print()
        bench.table.print()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

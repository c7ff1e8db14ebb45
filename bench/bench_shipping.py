#!/usr/bin/python3.11
"""Log shipping benchmark, against the command-line tools doing the same job.

1. One large log-like file (100 MB by default) shipped by the launcher's own
   upload (bench_shipping_driver upload: read, LZO1X-1 frame, HTTP POST),
   against `lzop -1` of the same file followed by `curl --data-binary` of the
   result. Wall time and peak memory; the aim is at most 1.2 times the
   baseline's wall time, and a peak of at most the file's size plus its
   compressed size plus 1 MiB.
2. A sweep of many small logs (1,000 by default) by the launcher's ship_logs,
   against a shell loop of `lzop -1 | curl` and `rm` per file: files per
   second.

Both sides post to the same log collector (tools/collector.py --discard) on
port 80 of a private loopback: the benchmark moves itself into a network
namespace of its own first, which needs root. Nothing leaves the machine.

Usage: bench_shipping.py [LAUNCHER BUILD_DIR] [--driver PATH] [--size-mb N]
                         [--files N] [--repeat N]
The shipping is measured in-process by bench_shipping_driver (bench/
CMakeLists.txt), so that the interpreter's own memory is not counted; it is
taken from BUILD_DIR/bench, and built there when missing. LAUNCHER is
accepted for the common benchmark convention and not otherwise used.
"""

import argparse
import ctypes
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import lzo

SOURCE_DIR = Path(__file__).resolve().parent.parent
PYTHON = "/usr/bin/python3.11"
CLONE_NEWNET = 0x40000000
HOST = "127.0.0.1"
URL_PATH = "upload_logs/v5/"
URL = "http://%s/%s" % (HOST, URL_PATH)
MIB = 1 << 20

WORDS = ("Loading module from archive lib.dll Finalizing window opened config value "
         "Setting flag to true false Calling Py_Initialize request handler event "
         "user clicked button render frame cache miss hit").split()


def enter_private_network():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        sys.exit("cannot make a private network namespace (%s): run as root"
                 % os.strerror(ctypes.get_errno()))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def log_like_chunk(size, seed):
    rng = random.Random(seed)
    lines = []
    total = 0
    while total < size:
        tag = "STUB:stub:" if rng.random() < 0.3 else ""
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 9)))
        line = "%s%s %d %s\n" % (tag, words, rng.randint(0, 10 ** 6),
                                 rng.choice(("ok", "done", "failed", "0x%08x" % rng.getrandbits(32))))
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


def write_log_like_file(path, size):
    """Unique text in chunks far larger than LZO's window, so it compresses
    as a real log does."""
    chunk_size = 4 * MIB
    chunks = [log_like_chunk(chunk_size, seed) for seed in range(4)]
    with open(path, "wb") as out:
        written = 0
        index = 0
        while written < size:
            piece = chunks[index % len(chunks)][: size - written]
            out.write(piece)
            written += len(piece)
            index += 1


class Collector:
    def __init__(self, storage):
        self.process = subprocess.Popen(
            [PYTHON, str(SOURCE_DIR / "tools" / "collector.py"), "--address", HOST,
             "--port", "80", "--storage", str(storage), "--discard"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if not self.process.stdout.readline().startswith("listening on"):
            raise SystemExit("collector did not start")
        # Its one line per request is read away, so that it never blocks.
        self.reader = threading.Thread(target=self.process.stdout.read, daemon=True)
        self.reader.start()

    def stop(self):
        self.process.terminate()
        self.process.communicate(timeout=30)


def run_measured(command, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL):
    """Runs a command; its wall time in seconds and its peak resident size in bytes."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=stdout, stdin=stdin)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit("%s failed with %d" % (command[0], process.returncode))
    return elapsed, usage.ru_maxrss * 1024


def driver_run(driver, mode, target):
    output = subprocess.run([str(driver), mode, str(target), HOST, URL_PATH],
                            capture_output=True, text=True)
    if output.returncode != 0:
        raise SystemExit("driver %s failed: %s %s" % (mode, output.stdout, output.stderr))
    return json.loads(output.stdout)


def bench_large_file(driver, work, size, repeat):
    log = work / "large.log"
    write_log_like_file(log, size)
    compressed = len(lzo.compress(log.read_bytes(), 1))
    ours_times, ours_peaks, base_times, base_peaks = [], [], [], []
    for _ in range(repeat):
        result = driver_run(driver, "upload", log)
        ours_times.append(result["seconds"])
        ours_peaks.append(result["peak_added_bytes"])

        packed = work / "large.log.lzo"
        with open(packed, "wb") as out:
            lzop_time, lzop_peak = run_measured(["lzop", "-1", "-c", str(log)], stdout=out)
        curl_time, curl_peak = run_measured(
            ["curl", "-s", "-o", "/dev/null", "--fail-with-body", "-A", "agent",
             "-H", "Content-Type: application/octet-stream", "-H", "Expect:",
             "--data-binary", "@" + str(packed), URL])
        base_times.append(lzop_time + curl_time)
        base_peaks.append(max(lzop_peak, curl_peak))
        packed.unlink()

    ours = statistics.median(ours_times)
    base = statistics.median(base_times)
    budget = size + compressed + MIB
    peak = max(ours_peaks)
    print("one log of %.1f MB (LZO1X-1 frame %.1f MB):" % (size / 1e6, compressed / 1e6))
    print("  launcher upload      %7.3f s   peak added %7.1f MiB" % (ours, peak / MIB))
    print("  lzop -1 + curl       %7.3f s   peak       %7.1f MiB (the larger of the two)"
          % (base, max(base_peaks) / MIB))
    print("  time ratio           %7.2f     (aim: at most 1.20)" % (ours / base))
    print("  memory budget        %7.1f MiB (file + compressed + 1 MiB): peak is %.2f of it"
          % (budget / MIB, peak / budget))
    log.unlink()


def make_small_logs(folder, count):
    folder.mkdir(parents=True, exist_ok=True)
    rng = random.Random(5)
    pool = log_like_chunk(4 * MIB, 99)
    for number in range(count):
        size = rng.randint(1024, 16 * 1024)
        start = rng.randint(0, len(pool) - size)
        name = "2026-01-01_00.%02d.%02d.%06d.log" % (number // 60 % 60, number % 60, number)
        (folder / name).write_bytes(pool[start:start + size])


def bench_sweep(driver, work, count, repeat):
    ours_rates, base_rates = [], []
    for _ in range(repeat):
        folder = work / "sweep"
        make_small_logs(folder, count)
        result = driver_run(driver, "sweep", folder)
        if any(folder.iterdir()):
            raise SystemExit("the sweep left files behind")
        ours_rates.append(count / result["seconds"])

        make_small_logs(folder, count)
        loop = ('for f in "$1"/*.log; do lzop -1 -c "$f" | curl -s -o /dev/null --fail '
                '-A agent -H "Content-Type: application/octet-stream" -H "Expect:" '
                '--data-binary @- "$2" && rm -f "$f"; done')
        elapsed, _ = run_measured(["bash", "-c", loop, "sweep", str(folder), URL])
        if any(folder.iterdir()):
            raise SystemExit("the baseline loop left files behind")
        base_rates.append(count / elapsed)
        shutil.rmtree(folder)

    ours = statistics.median(ours_rates)
    base = statistics.median(base_rates)
    print("sweep of %d small logs (1 to 16 KiB):" % count)
    print("  launcher ship_logs   %8.0f files/s" % ours)
    print("  lzop | curl loop     %8.0f files/s" % base)
    print("  rate ratio           %8.2f" % (ours / base))


def find_driver(build_dir):
    """The driver in the build folder, built first when it is not there yet."""
    driver = build_dir / "bench" / "bench_shipping_driver"
    if not driver.is_file():
        built = subprocess.run(["cmake", "--build", str(build_dir), "--target",
                                "bench_shipping_driver"], stdout=subprocess.DEVNULL)
        if built.returncode != 0 or not driver.is_file():
            raise SystemExit("cannot build bench_shipping_driver in %s (is bench/ part of "
                             "the build?)" % build_dir)
    return driver


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("launcher", nargs="?", help="the launcher binary (not used)")
    parser.add_argument("build_dir", nargs="?", type=Path,
                        default=os.environ.get("LAUNCHER_BUILD_DIR"),
                        help="the build folder (default: $LAUNCHER_BUILD_DIR)")
    parser.add_argument("--driver", type=Path, help="bench_shipping_driver to use instead")
    parser.add_argument("--size-mb", type=int, default=100, help="size of the large log in MB")
    parser.add_argument("--files", type=int, default=1000, help="number of small logs to sweep")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each case; medians shown")
    arguments = parser.parse_args()
    if arguments.driver is None:
        if arguments.build_dir is None:
            parser.error("give BUILD_DIR or --driver")
        arguments.driver = find_driver(Path(arguments.build_dir))
    for tool in ("lzop", "curl", "ip"):
        if shutil.which(tool) is None:
            parser.error("%s is not installed" % tool)

    enter_private_network()
    work = Path(tempfile.mkdtemp(prefix="bench-shipping-"))
    collector = Collector(work / "collected")
    try:
        bench_large_file(arguments.driver, work, arguments.size_mb * 1000 * 1000, arguments.repeat)
        bench_sweep(arguments.driver, work, arguments.files, arguments.repeat)
    finally:
        collector.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

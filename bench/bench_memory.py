#!/usr/bin/python3.11
"""Peak memory of log shipping and of the standard-error capture.

    /usr/bin/python3.11 bench/bench_memory.py LAUNCHER BUILD_DIR [--size-mb N] [--stderr-mib N]

Memory is the process's anonymous resident memory (RssAnon in
/proc/PID/status), sampled every millisecond: the pages of a file it maps
read-only belong to the page cache and are not counted.

1. Shipping: bench_shipping_driver uploads one log-like file (100 MB by
   default) to the collector (--discard) on port 80 of a private loopback
   (the benchmark moves into a network namespace of its own: root). Baseline:
   the same driver uploading an empty log. Aim: the difference at most 1.2
   times the compressed size plus 8 MiB.
2. Capture: an application whose boot script writes 100 MiB to standard
   error and then raises, so that the whole of it is drained into the log.
   Baseline: the same application writing nothing before it raises. Aim: the
   difference at most 16 MiB.

Prints the figures, the ratios against the file sizes and whether each aim
is met; it fails only when a run goes wrong.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import lzo

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_shipping  # noqa: E402  (its file, collector and driver helpers)

PYTHON = "/usr/bin/python3.11"
SOURCE_DIR = Path(__file__).resolve().parent.parent
MIB = 1 << 20

CAPTURE_SCRIPT = """\
import stub, sys
stub.set_upload_logs(0)
stub.set_keep_logs(1)
block = ''.join('%09d\\n' % i for i in range(104858))
for i in range({blocks}):
    sys.stderr.write(block)
raise RuntimeError('end of the run')
"""


def rss_anon(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def peak_anon(command, env=None, cwd=None):
    """Runs a command; its exit code and the peak of its RssAnon in bytes."""
    process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        peak = max(peak, rss_anon(process.pid) or 0)
        time.sleep(0.001)
    return process.returncode, peak


def bench_shipping_memory(driver, work, size):
    log = work / "large.log"
    bench_shipping.write_log_like_file(log, size)
    empty = work / "empty.log"
    empty.write_bytes(b"")
    compressed = len(lzo.compress(log.read_bytes(), 1))
    command = [str(driver), "upload"]
    tail = [bench_shipping.HOST, bench_shipping.URL_PATH]
    code, baseline = peak_anon(command + [str(empty)] + tail)
    code_large, peak = peak_anon(command + [str(log)] + tail)
    if code != 0 or code_large != 0:
        raise SystemExit("the driver failed (%d, %d)" % (code, code_large))
    added = peak - baseline
    allowed = 1.2 * compressed + 8 * MIB
    print("shipping one %d MB log (compressed: %.1f MiB)" % (size // 1000000, compressed / MIB))
    print("  peak RssAnon, empty log       %8.1f MiB" % (baseline / MIB))
    print("  peak RssAnon, large log       %8.1f MiB" % (peak / MIB))
    print("  added                         %8.1f MiB" % (added / MIB))
    print("  added / file size             %8.3f" % (added / size))
    print("  added / compressed size       %8.3f" % (added / compressed))
    print("  aim (1.2 x compressed + 8 MiB = %.1f MiB): %s"
          % (allowed / MIB, "met" if added <= allowed else "NOT met"))


def make_app(launcher, work, name, blocks):
    """The boot script alone does the work; the (empty) main module is there
    so that the folder gets its lib.dll with the interpreter's start-up
    modules."""
    script = work / (name + ".py")
    script.write_text(CAPTURE_SCRIPT.format(blocks=blocks))
    source = work / (name + "-source")
    source.mkdir()
    (source / "appmain.py").write_text("")
    app = work / name / "app"
    subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "mkapp.py"), "--launcher", str(launcher),
                    "--boot-script", str(script), "--app", str(source), "--main-module",
                    "appmain", "-o", str(app)], check=True, stdout=subprocess.DEVNULL)
    return app


def bench_capture_memory(launcher, work, mib):
    data_home = work / "data"
    data_home.mkdir()
    env = {"HOME": str(data_home), "XDG_DATA_HOME": str(data_home), "PATH": "/usr/bin:/bin"}
    quiet = make_app(launcher, work, "quiet", 0)
    loud = make_app(launcher, work, "loud", mib)
    results = {}
    for name, app in (("quiet", quiet), ("loud", loud)):
        shutil.rmtree(data_home, ignore_errors=True)
        data_home.mkdir()
        code, peak = peak_anon([str(app)], env=env, cwd=app.parent)
        if code != 1:
            raise SystemExit("%s exited with %d, not 1" % (name, code))
        log_size = sum(p.stat().st_size for p in data_home.rglob("*.log"))
        results[name] = (peak, log_size)
    (quiet_peak, _), (loud_peak, loud_log) = results["quiet"], results["loud"]
    if loud_log < mib * MIB:
        raise SystemExit("the log holds %d bytes, fewer than were written" % loud_log)
    added = loud_peak - quiet_peak
    print("standard error of %d MiB drained into the log (log: %.1f MiB)" % (mib, loud_log / MIB))
    print("  peak RssAnon, nothing written %8.1f MiB" % (quiet_peak / MIB))
    print("  peak RssAnon, %3d MiB written %8.1f MiB" % (mib, loud_peak / MIB))
    print("  added                         %8.1f MiB" % (added / MIB))
    print("  added / bytes written         %8.3f" % (added / (mib * MIB)))
    print("  aim (at most 16 MiB added): %s" % ("met" if added <= 16 * MIB else "NOT met"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("launcher", type=Path, help="the launcher binary")
    parser.add_argument("build_dir", type=Path, help="the build folder")
    parser.add_argument("--size-mb", type=int, default=100, help="size of the shipped log in MB")
    parser.add_argument("--stderr-mib", type=int, default=100,
                        help="MiB the application writes to standard error")
    arguments = parser.parse_args()
    driver = bench_shipping.find_driver(arguments.build_dir)
    bench_shipping.enter_private_network()
    work = Path(tempfile.mkdtemp(prefix="bench-memory-"))
    collector = bench_shipping.Collector(work / "collected")
    try:
        bench_shipping_memory(driver, work, arguments.size_mb * 1000 * 1000)
        bench_capture_memory(arguments.launcher.resolve(), work, arguments.stderr_mib)
    finally:
        collector.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

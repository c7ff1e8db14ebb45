"""What the start-up benchmarks share: their command line, and the timing
loop: runs of a program and of its baseline, interleaved in alternating order
so that a change in the machine's load touches both alike; wall time (spawn
to reaped exit) and CPU time (user and system, from the child's resource
usage) of each run; medians and their ratios."""
import argparse
import resource
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path


@dataclass
class Sample:
    wall: float        # seconds, spawn to reaped exit
    cpu: float         # seconds of user and system time of the process and its children
    stdout: str
    spawn_ns: int      # time.monotonic_ns() just before the spawn


def argument_parser(doc: str, runs: int = 0, warmup: int = 0) -> argparse.ArgumentParser:
    """The arguments bench/run.sh gives a benchmark (the launcher binary, the
    build folder) and, given runs, --runs and --warmup: the timed and the
    untimed runs of each contender, with runs and warmup for defaults."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("launcher", type=Path, help="the launcher binary")
    parser.add_argument("build_dir", type=Path, nargs="?", help="the build folder")
    if runs:
        parser.add_argument("--runs", type=int, default=runs,
                            help="timed runs of each (default %(default)s)")
        parser.add_argument("--warmup", type=int, default=warmup,
                            help="untimed runs of each first (default %(default)s)")
    return parser


def empty_folder(folder: Path) -> None:
    """Removes the files that earlier runs left in folder (their logs), so
    that every run starts with the same folder."""
    if folder.is_dir():
        for entry in folder.iterdir():
            entry.unlink()


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed_run(argv: list, env: dict, cwd=None) -> Sample:
    """One run; exits the benchmark when the program fails. The CPU time is
    what the reaped children's account grew by: runs are one at a time."""
    cpu_before = children_cpu()
    spawn_ns = time.monotonic_ns()
    start = time.perf_counter()
    result = subprocess.run(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("%s failed (exit %d): %s" % (argv[0], result.returncode,
                                              result.stderr.decode(errors="replace")[-2000:]))
    return Sample(wall, children_cpu() - cpu_before, result.stdout.decode(errors="replace"), spawn_ns)


def interleaved(contenders: dict, runs: int, warmup: int) -> dict:
    """name -> list of Sample: each contender (name -> callable returning a
    Sample) run `warmup` times untimed, then `runs` times, in turn, the order
    reversed every other round."""
    for _ in range(warmup):
        for run in contenders.values():
            run()
    samples = {name: [] for name in contenders}
    order = list(contenders.items())
    for i in range(runs):
        for name, run in (order if i % 2 else order[::-1]):
            samples[name].append(run())
    return samples


def median(values) -> float:
    return statistics.median(list(values))


def print_table(rows: dict) -> None:
    """rows: label -> list of seconds; median, mean and minimum in ms."""
    print("  %-36s %10s %10s %10s" % ("", "median", "mean", "min"))
    for label, values in rows.items():
        print("  %-36s %7.1f ms %7.1f ms %7.1f ms" % (label, statistics.median(values) * 1e3,
                                                       statistics.fmean(values) * 1e3,
                                                       min(values) * 1e3))


def print_ratio(label: str, measured, baseline, aim=None) -> float:
    ratio = median(measured) / median(baseline)
    verdict = "" if aim is None else "   aim at most %.2f: %s" % (aim, "met" if ratio <= aim else "NOT met")
    print("  %-40s %.3f%s" % (label, ratio, verdict))
    return ratio

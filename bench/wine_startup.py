"""Start-up time of the Windows launcher under Wine against the Windows
interpreter it embeds, started bare.

    unshare --net /usr/bin/python3.11 bench/wine_startup.py APP_LINK_JSON [--runs N] [--warmup N]

APP_LINK_JSON is tests/windows/app_link.json of a Windows build folder (the
launcher's link inputs, the interpreter's folder, the Wine prefix). The
application's boot script turns log shipping off and returns, so a run is the
launcher's whole start-up and exit clean-up under Wine. The baseline is
python.exe, built from the same sources on the same python311.dll, running
`-I -S -c pass` under the same wineserver. Both run interleaved, in
alternating order; the log folder is emptied before every launcher run,
outside the timed region. Run it in a private network namespace
(`unshare --net`), as the tests do: it starts a wineserver there.

Prints median and mean wall times and their ratio, and whether the ratio of
the medians meets the aim. It fails only on a run that does not exit with 0.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent
AIM = 1.1


def timed_run(command: list, env: dict, cwd: Path) -> float:
    start = time.perf_counter()
    result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("%s exited with status %d" % (command[1], result.returncode))
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("app_link", type=Path)
    parser.add_argument("--runs", type=int, default=40, help="timed runs of each (default 40)")
    parser.add_argument("--warmup", type=int, default=5, help="untimed runs of each first (default 5)")
    args = parser.parse_args()
    os.environ["LAUNCHER_APP_LINK"] = str(args.app_link.resolve())
    sys.path.insert(0, str(SOURCE_ROOT / "tests" / "windows"))
    import wine_harness

    wine_harness.enter_test_network()
    sandbox = wine_harness.WineSandbox()
    try:
        app = sandbox.make_app(boot_source="import stub\nstub.set_upload_logs(0)\n")
        env = wine_harness.wine_environment()
        launcher = wine_harness.WINE, str(app.executable)
        python = (wine_harness.WINE, str(wine_harness.INTERPRETER / "python.exe"),
                  "-I", "-S", "-c", "pass")
        log_folder = sandbox.log_dir(app)

        def run_launcher() -> float:
            shutil.rmtree(log_folder, ignore_errors=True)
            return timed_run(list(launcher), env, sandbox.root)

        def run_python() -> float:
            return timed_run(list(python), env, sandbox.root)

        for _ in range(args.warmup):
            run_launcher()
            run_python()
        launcher_times, python_times = [], []
        for i in range(args.runs):
            order = (run_launcher, run_python) if i % 2 else (run_python, run_launcher)
            for run in order:
                (launcher_times if run is run_launcher else python_times).append(run())
    finally:
        sandbox.cleanup()
        wine_harness.stop_wineserver()

    def ms(seconds: float) -> str:
        return "%8.1f ms" % (seconds * 1000)

    print("start-up under Wine, %d runs each (wall time, spawn to exit)" % args.runs)
    print("  %-28s %11s %11s %11s" % ("", "median", "mean", "min"))
    for name, times in (("launcher.exe", launcher_times),
                        ("python.exe -I -S -c pass", python_times)):
        print("  %-28s %s %s %s" % (name, ms(statistics.median(times)),
                                    ms(statistics.fmean(times)), ms(min(times))))
    median_ratio = statistics.median(launcher_times) / statistics.median(python_times)
    mean_ratio = statistics.fmean(launcher_times) / statistics.fmean(python_times)
    print("  ratio launcher/python: median %.3f, mean %.3f" % (median_ratio, mean_ratio))
    print("  aim: median ratio at most %.2f: %s" % (AIM, "met" if median_ratio <= AIM else "NOT met"))


if __name__ == "__main__":
    main()

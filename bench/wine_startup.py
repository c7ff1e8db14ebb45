"""Start-up time of the Windows launcher under Wine against the Windows
interpreter it embeds, started bare.

    unshare --net /usr/bin/python3.11 bench/wine_startup.py APP_LINK_JSON [--runs N] [--warmup N]

APP_LINK_JSON is tests/windows/app_link.json of a Windows build folder (the
launcher's link inputs, the interpreter's folder, the Wine prefix). The
application's boot script turns log shipping off and returns, so a run is the
launcher's whole start-up and exit clean-up under Wine. The baseline is
python.exe, built from the same sources on the same python311.dll, running
`-I -S -c pass` under the same wineserver, which lives through the whole
measurement, so that no run pays for starting it and Wine's own background
processes. Both run interleaved, in alternating order; the log folder is
emptied before every launcher run, outside the timed region. Run it in a
private network namespace (`unshare --net`), as the tests do: it starts a
wineserver there.

Prints median and mean wall and CPU times and their ratios, whether the ratio
of the medians meets the aim, and the load average before and after. It fails
only on a run that does not exit with 0.
"""
import argparse
import os
import shutil
import sys
from pathlib import Path

import timing

SOURCE_ROOT = Path(__file__).resolve().parent.parent
AIM = 1.1


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("app_link", type=Path)
    parser.add_argument("--runs", type=int, default=40, help="timed runs of each (default 40)")
    parser.add_argument("--warmup", type=int, default=5, help="untimed runs of each first (default 5)")
    args = parser.parse_args()
    os.environ["LAUNCHER_APP_LINK"] = str(args.app_link.resolve())
    sys.path.insert(0, str(SOURCE_ROOT / "tests" / "windows"))
    import wine_harness

    load_before = os.getloadavg()[0]
    wine_harness.enter_test_network()
    sandbox = wine_harness.WineSandbox()
    try:
        app = sandbox.make_app(boot_source="import stub\nstub.set_upload_logs(0)\n")
        env = wine_harness.wine_environment()
        launcher = wine_harness.WINE, str(app.executable)
        python = (wine_harness.WINE, str(wine_harness.INTERPRETER / "python.exe"),
                  "-I", "-S", "-c", "pass")
        log_folder = sandbox.log_dir(app)

        def run_launcher():
            shutil.rmtree(log_folder, ignore_errors=True)
            return timing.timed_run(list(launcher), env, sandbox.root)

        samples = timing.interleaved(
            {"launcher.exe": run_launcher,
             "python.exe -I -S -c pass": lambda: timing.timed_run(list(python), env, sandbox.root)},
            args.runs, args.warmup)
    finally:
        sandbox.cleanup()
        wine_harness.stop_wineserver()

    # The CPU time is that of the wine process the benchmark starts and its
    # children; the wineserver it shares with every run is not in it.
    print("start-up under Wine, %s, %d runs each after %d warm-up runs (spawn to exit)"
          % (wine_harness.WINE, args.runs, args.warmup))
    print("  load average (1 min) %.1f before, %.1f after" % (load_before, os.getloadavg()[0]))
    timing.print_table({"%s, %s" % (name, kind): [getattr(s, kind) for s in runs]
                        for kind in ("wall", "cpu") for name, runs in samples.items()})
    for kind in ("wall", "cpu"):
        timing.print_ratio("ratio launcher/python, " + kind,
                           [getattr(s, kind) for s in samples["launcher.exe"]],
                           [getattr(s, kind) for s in samples["python.exe -I -S -c pass"]], AIM)


if __name__ == "__main__":
    main()

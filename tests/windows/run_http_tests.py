#!/usr/bin/python3.11
"""Runs the upload tests of the Windows test executable against the reference
collector, on port 80 of a private loopback.

Started inside a network namespace of its own (unshare --net), it brings the
loopback up, starts three collectors (127.0.0.1 answering 200, 127.0.0.2
answering 404, 127.0.0.3 answering 500; nothing on 127.0.0.9), and runs the
executable under Wine with their storage folders in the environment.

Wine opens its sockets in the wineserver, so the wineserver must live in this
namespace too: one left over from an earlier run is stopped first, and the
one started here is stopped at the end.

Usage: unshare --net run_http_tests.py COLLECTOR WINEPREFIX EMULATOR... -- PROGRAM.exe [ARG...]
WINEPREFIX is the prefix the emulator uses when the environment names none.
"""

import os
import shutil
import subprocess
import sys

STATUS_ADDRESSES = {200: "127.0.0.1", 404: "127.0.0.2", 500: "127.0.0.3"}
START_TIMEOUT = 30


def stop_wineserver():
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL, check=False)
    subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL, check=False)


def start_collector(collector, status, storage):
    shutil.rmtree(storage, ignore_errors=True)
    process = subprocess.Popen(
        ["/usr/bin/python3.11", collector, "--address", STATUS_ADDRESSES[status], "--port", "80",
         "--status", str(status), "--storage", storage, "--keep-bodies"],
        stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    if not line.startswith("listening on"):
        process.kill()
        raise RuntimeError("collector for %d did not start: %r" % (status, line))
    return process


def main():
    arguments = sys.argv[1:]
    if "--" not in arguments or arguments.index("--") < 3:
        sys.exit(__doc__)
    split = arguments.index("--")
    collector, prefix = arguments[0], arguments[1]
    emulator, program = arguments[2:split], arguments[split + 1:]

    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    os.environ.setdefault("WINEPREFIX", prefix)
    os.environ.setdefault("WINEDEBUG", "-all")
    collectors = []
    try:
        for status in STATUS_ADDRESSES:
            storage = "collected-%d" % status
            collectors.append(start_collector(collector, status, storage))
            os.environ["LAUNCHER_COLLECTED_%d" % status] = storage
        stop_wineserver()
        return subprocess.run(emulator + program, check=False).returncode
    finally:
        stop_wineserver()
        for process in collectors:
            process.terminate()
            process.wait(timeout=START_TIMEOUT)


if __name__ == "__main__":
    sys.exit(main())

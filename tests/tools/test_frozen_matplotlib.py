"""A matplotlib application built with the defaults only (--app,
--main-module, --path /usr/lib/python3/dist-packages): with Agg it saves the
PNG that python3.11 saves, byte for byte; with TkAgg it shows the plot in a
window on a virtual display. Both from an output folder moved to a path
with blanks and non-ASCII letters, with the build machine's Python,
packages, Tcl/Tk and matplotlib data hidden."""

import unittest

import frozen

APP_SOURCE = '''\
"""Plots a red square. Agg: saves it to the PNG named by the second
argument. TkAgg: shows it, prints "shown X Y" (the plot's place on the
screen), closes when the file named by the first argument appears."""
import os
import sys

import matplotlib

matplotlib.use(sys.argv[2])
import matplotlib.pyplot as plt

POLL_MS = 100

figure, axes = plt.subplots(figsize=(3, 2), dpi=50)
axes.axvspan(0, 1, color="#ff0000")
axes.plot([0, 0.5, 1], [0, 1, 0], color="#0000ff")
if sys.argv[2] == "Agg":
    figure.savefig(sys.argv[3])
    print("saved")
    sys.exit(0)

widget = figure.canvas.get_tk_widget()
figure.canvas.manager.window.geometry("+0+0")
state = {"shown": False}


def poll():
    if not state["shown"] and widget.winfo_viewable():
        state["shown"] = True
        centre_x, centre_y = axes.transAxes.transform((0.25, 0.5))
        print("shown", widget.winfo_rootx() + int(centre_x),
              widget.winfo_rooty() + widget.winfo_height() - int(centre_y), flush=True)
    if os.path.exists(sys.argv[1]):
        plt.close(figure)
    else:
        widget.after(POLL_MS, poll)


widget.after(POLL_MS, poll)
plt.show()
print("closed", flush=True)
'''

RED = (255, 0, 0)


class MatplotlibApplicationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        frozen.require_modules("matplotlib", "tkinter")
        cls.workspace = frozen.Workspace.for_test(cls)
        cls.source = cls.workspace.write_app("plot", {"plotapp.py": APP_SOURCE})
        built = cls.workspace.freeze(cls.source, "plotapp", "plotapp",
                                     "--path", frozen.DIST_PACKAGES)
        cls.app = built.moved_to(cls.workspace.root / "moved" / "Prögram Fïles ✓" / "plot app")

    def saved_png(self, hidden):
        target = self.workspace.root / ("plot-%d.png" % self.workspace.runs)
        run = self.workspace.run(self.app, ["-", "Agg", target], hidden=hidden)
        self.assertEqual((run.exit_code, run.stdout), (0, "saved\n"), run.describe())
        return target.read_bytes()

    def test_agg_saves_the_png_python_saves(self):
        expected_png = self.workspace.root / "expected.png"
        expected = self.workspace.run_from_source(self.source, "plotapp",
                                                  ["-", "Agg", expected_png])
        self.assertEqual(expected.exit_code, 0, expected.describe())
        self.assertEqual(self.saved_png(hidden=False), expected_png.read_bytes())
        frozen.require_mount_namespace()
        self.assertEqual(self.saved_png(hidden=True), expected_png.read_bytes())

    def test_tkagg_shows_the_plot_in_a_window(self):
        frozen.require_programs("Xvfb", "/usr/bin/import")
        frozen.require_modules("PIL.Image")
        frozen.require_mount_namespace()
        display = frozen.VirtualDisplay()
        self.addCleanup(display.close)
        screenshot, x, y, _ = frozen.show_window(
            self.workspace, self.app, display, lambda shot, x, y: shot.getpixel((x, y)) == RED,
            args=["TkAgg"], hidden=True)
        self.assertEqual(screenshot.getpixel((x, y)), RED)


if __name__ == "__main__":
    unittest.main()

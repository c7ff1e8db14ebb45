"""A module on --path imports tkinter, not the application: the frozen
application still carries tkinter whole (its submodules, the Tcl/Tk
libraries and the runtime hook) and opens its window, from an output folder
moved to a path with blanks and non-ASCII letters, with the build machine's
Python, packages and Tcl/Tk hidden."""

import unittest

import frozen

TK_USER_SOURCE = '''\
"""A window with a red square on a white canvas (see frozen.show_window)."""
import os
import tkinter
from tkinter import ttk

POLL_MS = 100


def show(done_marker):
    root = tkinter.Tk()
    root.geometry("+0+0")
    ttk.Label(root, text="A module on the search path").pack()
    canvas = tkinter.Canvas(root, width=120, height=80, background="#ffffff",
                            highlightthickness=0, borderwidth=0)
    canvas.pack()
    canvas.create_rectangle(10, 10, 70, 70, fill="#ff0000", outline="#ff0000")
    canvas.wait_visibility()
    root.update()
    print("shown", canvas.winfo_rootx() + 40, canvas.winfo_rooty() + 40, flush=True)

    def close_when_done():
        if os.path.exists(done_marker):
            root.destroy()
        else:
            root.after(POLL_MS, close_when_done)

    root.after(POLL_MS, close_when_done)
    root.mainloop()
    print("closed", flush=True)
'''

MAIN_SOURCE = "import sys\n\nimport tkuser\n\ntkuser.show(sys.argv[1])\n"
RED = (255, 0, 0)


class TkinterFromSearchPathTest(unittest.TestCase):
    def test_the_window_opens(self):
        frozen.require_programs("Xvfb", "/usr/bin/import")
        frozen.require_modules("tkinter", "PIL.Image")
        frozen.require_mount_namespace()
        workspace = frozen.Workspace.for_test(self)
        display = frozen.VirtualDisplay()
        self.addCleanup(display.close)
        source = workspace.write_app("tkmain", {"tkmain.py": MAIN_SOURCE})
        library = workspace.write_app("library", {"tkuser.py": TK_USER_SOURCE})
        built = workspace.freeze(source, "tkmain", "tkmain", "--path", library,
                                 "--path", frozen.DIST_PACKAGES)
        app = built.moved_to(workspace.root / "moved" / "Prögram Fïles ✓" / "tk app")
        screenshot, x, y, _ = frozen.show_window(
            workspace, app, display, lambda shot, x, y: shot.getpixel((x, y)) == RED,
            hidden=True)
        self.assertEqual(screenshot.getpixel((x, y)), RED)


if __name__ == "__main__":
    unittest.main()

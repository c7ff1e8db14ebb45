"""A frozen Tkinter application (ttk widgets, a Canvas, a PhotoImage from a
PNG in its package) shows its window on a virtual display: a screenshot has
the colours it drew where it drew them, and the application exits 0 when its
after() timer sees that the test is done. Also with the build machine's
Python, Tcl/Tk libraries and their shared libraries hidden."""

import io
import unittest

import frozen

APP_SOURCE = '''\
"""A window with ttk widgets and a Canvas that shows a red square and the
PNG image of the package beside it. It prints where the canvas is on the
screen once it is shown, and closes when the file named by its argument
appears (or after a minute)."""
import base64
import importlib.resources
import os
import sys
import tkinter
from tkinter import ttk

POLL_MS = 100
GIVE_UP_MS = 60000


def main():
    done_marker = sys.argv[1]
    root = tkinter.Tk()
    root.title("Frozen Tk")
    root.geometry("+0+0")
    ttk.Label(root, text="A frozen Tk application").pack(padx=8, pady=4)
    ttk.Progressbar(root, value=40, length=200).pack(pady=4)
    ttk.Button(root, text="Close", command=root.destroy).pack(pady=4)
    canvas = tkinter.Canvas(root, width=200, height=100, background="#ffffff",
                            highlightthickness=0, borderwidth=0)
    canvas.pack()
    canvas.create_rectangle(10, 10, 70, 70, fill="#ff0000", outline="#ff0000")
    png = (importlib.resources.files("tkdemo") / "square.png").read_bytes()
    image = tkinter.PhotoImage(data=base64.b64encode(png).decode("ascii"))
    canvas.create_image(100, 10, image=image, anchor="nw")
    canvas.wait_visibility()
    root.update()
    print("shown", canvas.winfo_rootx(), canvas.winfo_rooty(), image.width(), image.height(),
          flush=True)
    waited = [0]

    def close_when_done():
        waited[0] += POLL_MS
        if os.path.exists(done_marker) or waited[0] >= GIVE_UP_MS:
            root.destroy()
        else:
            root.after(POLL_MS, close_when_done)

    root.after(POLL_MS, close_when_done)
    root.mainloop()
    print("closed", flush=True)


if __name__ == "__main__":
    main()
'''

RED, BLUE, WHITE = (255, 0, 0), (0, 0, 255), (255, 255, 255)
IMAGE_SIZE = 32


def blue_png() -> bytes:
    from PIL import Image
    buffer = io.BytesIO()
    Image.new("RGB", (IMAGE_SIZE, IMAGE_SIZE), BLUE).save(buffer, "PNG")
    return buffer.getvalue()


def canvas_drawn(screenshot, x, y) -> bool:
    return screenshot.getpixel((x + 40, y + 40)) == RED


class TkApplicationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        frozen.require_programs("Xvfb", "/usr/bin/import")
        frozen.require_modules("tkinter", "PIL.Image")
        cls.workspace = frozen.Workspace.for_test(cls)
        cls.display = frozen.VirtualDisplay()
        cls.addClassCleanup(cls.display.close)
        source = cls.workspace.write_app("tk", {
            "tkdemo/__init__.py": "",
            "tkdemo/app.py": APP_SOURCE,
            "tkdemo/square.png": blue_png(),
        })
        cls.app = cls.workspace.freeze(source, "tkdemo.app", "tk app")

    def show_window(self, hidden):
        """Runs the application until the canvas's red square is on the
        screen; returns the screenshot, the canvas position and the logs."""
        screenshot, x, y, run = frozen.show_window(
            self.workspace, self.app, self.display, canvas_drawn, hidden=hidden)
        width, height = map(int, run.stdout.split()[3:5])
        self.assertEqual((width, height), (IMAGE_SIZE, IMAGE_SIZE))
        return screenshot, x, y, run.logs

    def screenshot_showing(self, x, y):
        """A screenshot in which the canvas has been drawn (also for the same
        application under Wine)."""
        return frozen.screenshot_when_drawn(self.display, canvas_drawn, x, y)

    def assert_window_drawn(self, screenshot, x, y):
        self.assertEqual(screenshot.getpixel((x + 40, y + 40)), RED, "the canvas's rectangle")
        self.assertEqual(screenshot.getpixel((x + 100 + IMAGE_SIZE // 2, y + 10 + IMAGE_SIZE // 2)),
                         BLUE, "the PNG image")
        self.assertEqual(screenshot.getpixel((x + 180, y + 90)), WHITE, "the canvas's background")

    def test_the_window_shows_what_it_drew_and_the_application_exits_0(self):
        screenshot, x, y, logs = self.show_window(hidden=False)
        self.assert_window_drawn(screenshot, x, y)
        self.assertNotIn("Traceback", "\n".join(logs))

    def test_the_window_shows_without_the_build_machine_s_python_and_tcl_tk(self):
        frozen.require_mount_namespace()
        screenshot, x, y, logs = self.show_window(hidden=True)
        self.assert_window_drawn(screenshot, x, y)

    def test_the_tcl_and_tk_libraries_are_in_the_output_folder(self):
        for name in ("tcl8.6/init.tcl", "tk8.6/tk.tcl", "tk8.6/ttk/ttk.tcl"):
            self.assertTrue((self.app.folder / "tcl" / name).is_file(), name)


if __name__ == "__main__":
    unittest.main()

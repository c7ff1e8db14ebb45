"""Runtime hook of tkinter: the Tcl and Tk script libraries that the build
tool carries into the application folder, in tcl/tcl8.6 and tcl/tk8.6.

Tcl and Tk look for their libraries where they were installed on the build
machine unless TCL_LIBRARY and TK_LIBRARY name another place. The hook sets
each variable that the user has not set to the carried folder, when it is
there. On Windows it sets both always: Tcl would otherwise look first under
the prefix compiled into its DLL, a folder on the current drive that any
user can create.
"""

import os
import sys

LIBRARIES = (("TCL_LIBRARY", "tcl8.6"), ("TK_LIBRARY", "tk8.6"))


def point_at_carried_libraries(app_folder, always):
    for variable, name in LIBRARIES:
        library = os.path.join(app_folder, "tcl", name)
        if always or (not os.environ.get(variable) and os.path.isdir(library)):
            os.environ[variable] = library


point_at_carried_libraries(os.path.dirname(os.path.abspath(sys.executable)),
                           always=sys.platform == "win32")

"""Boot script of Mendrix.

The launcher evaluates this script in the __main__ module of its embedded
interpreter. The application's modules come from lib.dll, the first entry of
sys.path; the launcher names the main module in its configuration and passes
the command line through its native module stub.
"""
import importlib

import stub


def boot():
    name = stub.get_main_module()
    stub.log("boot: starting %s from %s" % (name, stub.get_archive_name()))
    application = importlib.import_module(name)
    status = application.main(stub.get_argv())
    if status:
        stub.log("boot: %s ended with status %d" % (name, status))
        stub.crt_exit(status)


boot()

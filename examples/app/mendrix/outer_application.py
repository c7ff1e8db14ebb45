"""Main module of Mendrix: the boot script calls main() with the command line.

Options (everything else is an error):
  --echo TEXT     write TEXT as a line of the log
  --stderr TEXT   write TEXT to standard error
  --no-upload     do not send the logs to the log server at exit
  --keep-logs     keep the logs after sending them
  --exit N        end the process at once with exit status N
  --fail          end with an unhandled exception
"""
import sys

import stub

from . import __version__
from .session import SessionReport

USAGE = ("usage: mendrix [--echo TEXT] [--stderr TEXT] [--no-upload] [--keep-logs] "
         "[--exit N] [--fail]")


class UsageError(Exception):
    pass


class Options:
    def __init__(self):
        self.echo = []
        self.stderr = []
        self.upload = True
        self.keep = False
        self.exit_status = None
        self.fail = False


def take_value(arguments, option):
    if not arguments:
        raise UsageError("%s needs a value" % option)
    return arguments.pop(0)


def parse_options(arguments):
    options = Options()
    arguments = list(arguments)
    while arguments:
        option = arguments.pop(0)
        if option == "--echo":
            options.echo.append(take_value(arguments, option))
        elif option == "--stderr":
            options.stderr.append(take_value(arguments, option))
        elif option == "--no-upload":
            options.upload = False
        elif option == "--keep-logs":
            options.keep = True
        elif option == "--exit":
            value = take_value(arguments, option)
            try:
                options.exit_status = int(value)
            except ValueError:
                raise UsageError("--exit needs a number, not %r" % value)
        elif option == "--fail":
            options.fail = True
        else:
            raise UsageError("unknown option %r" % option)
    return options


def main(argv):
    stub.log("Mendrix %s starting" % __version__)
    try:
        options = parse_options(argv[1:])
    except UsageError as error:
        stub.log("mendrix: %s" % error)
        stub.log(USAGE)
        return 2
    report = SessionReport(argv)
    stub.log("session: " + report.to_json())
    for line in report.summary_lines():
        stub.log(line)
    for text in options.echo:
        stub.log(text)
    for text in options.stderr:
        sys.stderr.write(text + "\n")
    if not options.upload:
        stub.set_upload_logs(0)
    if options.keep:
        stub.set_keep_logs(1)
    if options.fail:
        raise RuntimeError("Mendrix was asked to fail")
    if options.exit_status is not None:
        stub.log("Mendrix exiting with status %d" % options.exit_status)
        stub.crt_exit(options.exit_status)
    stub.log("Mendrix finished")
    return 0

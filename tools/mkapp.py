#!/usr/bin/python3.11
"""Makes an application executable from the launcher binary (the package
mkapp beside this file does the work; --help explains the options)."""

import sys

from mkapp import main

if __name__ == "__main__":
    sys.exit(main())

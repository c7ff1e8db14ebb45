"""Runtime hook of certifi: the certificate bundle that the build tool
carries in the certifi package's folder (cacert.pem).

A distribution's certifi may name the system's bundle instead (Debian's
names /etc/ssl/certs/ca-certificates.crt). Where that file is missing, and
always on Windows, where a POSIX path names nothing of the system's,
certifi.where() names the carried bundle.
"""

import os
import sys

import certifi
import certifi.core


def use_carried_bundle():
    carried = os.path.join(os.path.dirname(os.path.abspath(certifi.__file__)), "cacert.pem")
    if not os.path.isfile(carried):
        return
    if sys.platform == "win32" or not os.path.isfile(certifi.where()):
        certifi.where = certifi.core.where = lambda: carried


use_carried_bundle()

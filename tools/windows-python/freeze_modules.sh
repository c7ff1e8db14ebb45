#!/usr/bin/env bash
# Generates the frozen modules of CPython's core in SOURCE_TREE, as the
# cross-compiling route of Makefile.pre.in does: Programs/_freeze_module.py
# and Tools/scripts/deepfreeze.py, run by the build machine's python3.11
# (the same version, hence the same bytecode).
#
#   freeze_modules.sh SOURCE_TREE
set -euo pipefail
python=/usr/bin/python3.11
cd "$1"
"$python" -c 'import sys; assert sys.version_info[:2] == (3, 11), sys.version'

# name and path of every module Makefile.pre.in freezes
frozen_list() {
  sed -n '/^FROZEN_FILES_IN = /,/^# End FROZEN_FILES_IN/p' Makefile.pre.in |
    grep -o '[A-Za-z_/.]*\.py' |
    "$python" -c '
import sys
for path in sys.stdin.read().split():
    if path == "Tools/freeze/flag.py":
        name = "frozen_only"
    else:
        name = path[len("Lib/"):-len(".py")].replace("/", ".")
        if name.endswith(".__init__"):
            name = name[:-len(".__init__")]
    print(name, path)'
}

modules=$(frozen_list)
[ "$(echo "$modules" | wc -l)" -ge 20 ] || {
  echo "freeze_modules.sh: Makefile.pre.in no longer lists the frozen modules as expected" >&2
  exit 1
}
"$python" Programs/_freeze_module.py getpath Modules/getpath.py Python/frozen_modules/getpath.h
deepfreeze_args=()
while read -r name path; do
  "$python" Programs/_freeze_module.py "$name" "$path" "Python/frozen_modules/$name.h"
  deepfreeze_args+=("Python/frozen_modules/$name.h:$name")
done <<< "$modules"
"$python" Tools/scripts/deepfreeze.py "${deepfreeze_args[@]}" -o Python/deepfreeze/deepfreeze.c

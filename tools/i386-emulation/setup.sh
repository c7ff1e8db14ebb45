#!/usr/bin/env bash
# Lets this x86-64 machine run 32-bit x86 Linux programs (so 32-bit Wine)
# when its kernel cannot: registers Debian's qemu-user-static for i386 ELF
# files through binfmt_misc. Says what it does; silent when nothing is needed.
#
#   tools/i386-emulation/setup.sh [--emulated | --needed]
#     --emulated  changes nothing: exit 0 when 32-bit programs run here through
#                 this emulation, 1 when they run natively or not at all
#     --needed    registers nothing: exit 0 when this kernel does not run
#                 32-bit programs itself, 1 when it does
#
# Needs root and qemu-user-static of version 10 or later (bookworm-backports;
# tools/install-deps.sh --windows installs it). Debian 12's own 7.2 does not
# serve 32-bit Wine: it gives the guest's signal handler no trap number for a
# page fault, so Wine's processes crash, and it treats MAP_FIXED_NOREPLACE as
# a hint, so each Wine start spends a minute of CPU reserving address space.
set -euo pipefail
# Where an earlier version of this script installed its interpreter wrapper.
old_prefix=/usr/local/lib/launcher-i386-emulation
binfmt=/proc/sys/fs/binfmt_misc
entry=launcher-i386
qemu=/usr/bin/qemu-i386-static
probe=/usr/lib/wine/wine
# ELF, 32-bit, little-endian, version 1, executable or shared object, machine 3 (i386)
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

runs_32bit() { "$probe" --version >/dev/null 2>&1; }

if [ "${1:-}" = --emulated ]; then
  [ -f "$binfmt/$entry" ] && grep -qx enabled "$binfmt/$entry" && runs_32bit
  exit
fi

# The other enabled binfmt entries that take i386 ELF files.
other_i386_entries() {
  local e
  for e in "$binfmt"/*; do
    [ -f "$e" ] && [ "${e##*/}" != "$entry" ] && [ "${e##*/}" != status ] && [ "${e##*/}" != register ] || continue
    grep -qx enabled "$e" && grep -q '^magic 7f454c4601010100000000000000000002000300' "$e" && echo "$e"
  done
  return 0
}

# Whether the kernel itself runs i386 programs: asked with every i386 entry off.
runs_natively() {
  local others e result=1
  others=$(other_i386_entries)
  [ -f "$binfmt/$entry" ] && echo 0 > "$binfmt/$entry"
  for e in $others; do echo 0 > "$e"; done
  runs_32bit && result=0
  for e in $others; do echo 1 > "$e"; done
  [ -f "$binfmt/$entry" ] && echo 1 > "$binfmt/$entry"
  return $result
}

# The major version of $qemu ("qemu-i386 version 10.0.2 (Debian ...)").
qemu_major() { "$qemu" --version | sed -n '1s/^.* version \([0-9]*\)\..*$/\1/p'; }
min_qemu_major=10

if [ "${1:-}" = --needed ]; then
  [ -f "$binfmt/$entry" ] && grep -qx enabled "$binfmt/$entry" && exit 0
  if runs_natively; then exit 1; else exit 0; fi
fi

if [ ! -f "$binfmt/status" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || {
    echo "cannot mount binfmt_misc on $binfmt: 32-bit programs will not run here" >&2; exit 1; }
  echo "mounted binfmt_misc on $binfmt"
fi
if [ ! -f "$binfmt/$entry" ] && runs_natively; then exit 0; fi
[ -x "$qemu" ] || { echo "$qemu is missing (qemu-user-static from bookworm-backports)" >&2; exit 1; }
major=$(qemu_major)
[ "${major:-0}" -ge "$min_qemu_major" ] || {
  echo "$qemu is version ${major:-unknown}; 32-bit Wine needs $min_qemu_major or later (bookworm-backports)" >&2; exit 1; }

if [ -f "$binfmt/$entry" ] && grep -qx "interpreter $qemu" "$binfmt/$entry"; then exit 0; fi
# F: the kernel opens the interpreter now, so it runs inside any mount namespace.
[ -f "$binfmt/$entry" ] && echo -1 > "$binfmt/$entry"
rm -rf "$old_prefix"
printf '%s' ":$entry:M::$magic:$mask:$qemu:F" > "$binfmt/register"
echo "registered qemu-i386 $major (user-mode emulation) for 32-bit x86 programs through binfmt_misc: this kernel does not run them"
runs_32bit || { echo "32-bit Wine still does not run ($probe --version)" >&2; exit 1; }

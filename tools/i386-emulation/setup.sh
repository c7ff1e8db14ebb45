#!/usr/bin/env bash
# Lets this x86-64 machine run 32-bit x86 Linux programs (so 32-bit Wine)
# when its kernel cannot: registers Debian's qemu-user-static for i386 ELF
# files through binfmt_misc. Says what it does; silent when nothing is needed.
#
#   tools/i386-emulation/setup.sh [--emulated]
#     --emulated  changes nothing: exit 0 when 32-bit programs run here through
#                 this emulation, 1 when they run natively or not at all
#
# The registered interpreter is a small wrapper (installed in $prefix) that
# starts qemu-i386 with noreplace_preload.c's library preloaded into the
# emulated process; without it a 32-bit Wine start takes a minute of CPU.
# Needs root, gcc (-m32 for the library) and qemu-user-static; the 32-bit C
# library comes with wine32:i386.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix=/usr/local/lib/launcher-i386-emulation
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

build_library() {
  gcc -m32 -O2 -fPIC -shared -nostdlib -Wall -Wextra -o "$1" \
    "$here/noreplace_preload.c" /lib/i386-linux-gnu/libc.so.6
}

write_wrapper() {
  cat > "$1" <<WRAPPER
#!/bin/sh
# binfmt_misc interpreter for i386 ELF files (tools/i386-emulation/setup.sh)
exec $qemu -E "LD_PRELOAD=$prefix/libnoreplace.so\${LD_PRELOAD:+ \$LD_PRELOAD}" "\$@"
WRAPPER
  chmod 755 "$1"
}

if [ ! -f "$binfmt/status" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || {
    echo "cannot mount binfmt_misc on $binfmt: 32-bit programs will not run here" >&2; exit 1; }
  echo "mounted binfmt_misc on $binfmt"
fi
if [ ! -f "$binfmt/$entry" ] && runs_natively; then exit 0; fi
[ -x "$qemu" ] || { echo "$qemu is missing (Debian's qemu-user-static)" >&2; exit 1; }
[ -f /lib/i386-linux-gnu/libc.so.6 ] || { echo "the 32-bit C library is missing (libc6:i386)" >&2; exit 1; }

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
build_library "$staging/libnoreplace.so"
write_wrapper "$staging/qemu-i386"
if [ -f "$binfmt/$entry" ] && grep -qx "interpreter $prefix/qemu-i386" "$binfmt/$entry" &&
   cmp -s "$staging/libnoreplace.so" "$prefix/libnoreplace.so" &&
   cmp -s "$staging/qemu-i386" "$prefix/qemu-i386"; then
  exit 0
fi
mkdir -p "$prefix"
cp "$staging/libnoreplace.so" "$staging/qemu-i386" "$prefix/"
# F: the kernel opens the interpreter now, so it runs inside any mount namespace.
[ -f "$binfmt/$entry" ] && echo -1 > "$binfmt/$entry"
printf '%s' ":$entry:M::$magic:$mask:$prefix/qemu-i386:F" > "$binfmt/register"
echo "registered qemu-i386 (user-mode emulation) for 32-bit x86 programs through binfmt_misc: this kernel does not run them"
runs_32bit || { echo "32-bit Wine still does not run ($probe --version)" >&2; exit 1; }

#!/usr/bin/env bash
# Installs the Debian packages that building and testing the launcher need.
# Usage: tools/install-deps.sh [--windows]
#   --windows  also the MinGW-w64 cross tools, Wine and the source packages
#              that the Windows build compiles from.
set -euo pipefail

want_windows=0
[ "${1:-}" = "--windows" ] && want_windows=1

native_packages=(
  build-essential cmake pkg-config python3.11 python3-dev libpython3.11-dev
  liblzo2-dev libcurl4-openssl-dev libgtest-dev googletest
  binutils-mingw-w64-i686 python3-lzo lzop curl iproute2 util-linux strace
  patchelf binutils python3-tk tcl8.6 tk8.6
  xvfb imagemagick openssl python3-pil python3-requests python3-jinja2 python3-markupsafe
  python3-yaml python3-pefile
  python3-aiohttp python3-psycopg postgresql chromium chromium-driver python3-selenium
)
# The Windows interpreter is built from source (tools/windows-python/): zlib
# for MinGW, tclsh for SQLite's amalgamation, perl for OpenSSL's Configure.
# The 64-bit tools and Wine run the Windows tests on machines that cannot run
# 32-bit programs; QEMU runs the 32-bit ones there (install_i386_emulation).
windows_packages=(
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 dpkg-dev libz-mingw-w64-dev tcl perl make openssl
)
# Debian 12's own QEMU (7.2) hands 32-bit Wine's signal handler no trap number
# for a page fault, so its 32-bit processes crash; bookworm-backports' QEMU
# (10) runs them. Only that package comes from backports.
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

enable_windows_sources() {
  local changed=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    changed=1
  fi
  if [ -f /etc/apt/sources.list.d/debian.sources ] &&
     ! grep -q '^Types:.*deb-src' /etc/apt/sources.list.d/debian.sources; then
    as_root sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
    changed=1
  elif [ -f /etc/apt/sources.list ] && ! grep -q '^deb-src' /etc/apt/sources.list; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | as_root tee -a /etc/apt/sources.list >/dev/null
    changed=1
  fi
  echo "$changed"
}

need=($(missing "${native_packages[@]}"))
updated=0
if [ "$want_windows" = 1 ]; then
  [ "$(enable_windows_sources)" = 1 ] && { as_root apt-get update -q; updated=1; }
  need+=($(missing "${windows_packages[@]}"))
fi
if [ "${#need[@]}" -gt 0 ]; then
  [ "$updated" = 1 ] || as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi
# Where the kernel runs no 32-bit programs: QEMU from bookworm-backports,
# registered for them by tools/i386-emulation/setup.sh.
install_i386_emulation() {
  local setup; setup="$(dirname "$0")/i386-emulation/setup.sh"
  as_root "$setup" --needed || return 0
  if [ ! -f "$backports_list" ]; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' \
      'Suites: bookworm-backports' 'Components: main' | as_root tee "$backports_list" >/dev/null
    as_root apt-get update -q
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    -t bookworm-backports qemu-user-static && as_root "$setup"
}

if [ "$want_windows" = 1 ]; then
  install_i386_emulation ||
    echo "32-bit Windows programs will not run on this machine; the Windows tests use the 64-bit build" >&2
fi

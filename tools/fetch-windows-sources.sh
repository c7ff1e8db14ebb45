#!/usr/bin/env bash
# Fetches the Debian source packages that the Windows build compiles from:
#   lzo2        the compressor, compiled with the cross compiler
#   python3.11  the interpreter: its headers for the launcher, and the whole
#               of it for the Windows interpreter (tools/windows-python/)
#   libffi sqlite3 bzip2 xz-utils openssl tcl8.6 tk8.6
#               the libraries of the interpreter's extension modules
# Each is unpacked by `apt-get source` into DEST and reachable there under
# its package name (DEST/lzo2, DEST/python3.11), whatever its version.
# Nothing is written into the source tree.
#
# Usage: tools/fetch-windows-sources.sh DEST [PACKAGE...]
# DEST defaults to $LAUNCHER_WINDOWS_SOURCES; PACKAGE to all of the above. Needs deb-src entries in the
# APT sources (tools/install-deps.sh --windows adds them) and dpkg-dev.
set -euo pipefail

dest="${1:-${LAUNCHER_WINDOWS_SOURCES:-}}"
if [ -z "$dest" ]; then
  echo "usage: $0 DEST (or set LAUNCHER_WINDOWS_SOURCES)" >&2
  exit 2
fi
shift || true
packages=(lzo2 python3.11 libffi sqlite3 bzip2 xz-utils openssl tcl8.6 tk8.6)
[ "$#" -gt 0 ] && packages=("$@")

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

has_deb_src() {
  grep -qs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources ||
    grep -qs '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list
}

# apt knows a source package only after an update that saw the deb-src lines.
source_index_ready() {
  apt-cache showsrc "${packages[0]}" 2>/dev/null | grep -q '^Package:'
}

unpacked() { [ -d "$dest/$1" ] && [ -f "$dest/$1/debian/control" ]; }

# Every version the index offers, newest first: a mirror may list a version
# whose files it no longer holds.
source_versions() {
  apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -u -r -V
}

download() {
  local package="$1" version
  for version in $(source_versions "$package"); do
    apt-get source -q "$package=$version" >/dev/null && return 0
    rm -rf ./*
    echo "apt-get source $package=$version failed, trying an older version" >&2
  done
  return 1
}

fetch() {
  local package="$1" work folder
  work="$(mktemp -d "$dest/.fetch-$package.XXXXXX")"
  if ! (cd "$work" && download "$package"); then
    rm -rf "$work"
    echo "could not fetch the source package $package" >&2
    exit 1
  fi
  folder="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)"
  if [ -z "$folder" ]; then
    rm -rf "$work"
    echo "apt-get source $package left no source folder" >&2
    exit 1
  fi
  rm -rf "${dest:?}/$(basename "$folder")"
  mv "$folder" "$dest/"
  ln -sfn "$(basename "$folder")" "$dest/$package"
  rm -rf "$work"
}

mkdir -p "$dest"
needed=()
for package in "${packages[@]}"; do
  unpacked "$package" || needed+=("$package")
done
[ "${#needed[@]}" = 0 ] && exit 0

if ! has_deb_src; then
  echo "no deb-src entries in the APT sources: run tools/install-deps.sh --windows" >&2
  exit 1
fi
command -v dpkg-source >/dev/null || {
  echo "dpkg-source is missing: run tools/install-deps.sh --windows" >&2
  exit 1
}
source_index_ready || as_root apt-get update -q
for package in "${needed[@]}"; do
  echo "fetching the source package $package into $dest"
  fetch "$package"
done

#!/usr/bin/env bash
# Writes the export lists (text-based dylib stubs) of Qt for macOS that the check links
# OrvaneBar against, one framework folder each in OUT:
#
#   qt-exports.sh OUT /usr/lib/x86_64-linux-gnu/libQt6Core.so.6 ...
#
# Each list holds the names the host's build of the same Qt module exports: C++ names are
# mangled alike for ELF and Mach-O (which puts one more underscore first), so a call the
# Linux library resolves resolves on a Mac too. Added to them are the names in
# qt-macos-exports.txt: what Qt exports on macOS alone that the application calls, and the
# libc++ spellings of the functions that take or return a standard library type.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
out=$1
shift
nm=llvm-nm-19
rm -rf "$out"
mkdir -p "$out"
for library in "$@"; do
  [[ $(basename "$library") =~ ^libQt6([A-Za-z]+)\.so ]] || {
    echo "qt-exports: $library is not a Qt 6 library" >&2
    exit 1
  }
  framework=Qt${BASH_REMATCH[1]}
  mkdir -p "$out/$framework.framework"
  {
    # Defined names, without their ELF version ("@@Qt_6") and without the versions' own
    # absolute symbols.
    "$nm" -D --defined-only --format=just-symbols "$library" | sed -e 's/@.*//' -e '/^Qt_6/d'
    awk -v f="$framework" '$1 == f { print substr($2, 2) }' "$here/qt-macos-exports.txt"
  } | sort -u | awk -v f="$framework" '
    BEGIN {
      print "--- !tapi-tbd"
      print "tbd-version:     4"
      print "targets:         [ x86_64-macos ]"
      print "install-name:    \x27@rpath/" f ".framework/Versions/A/" f "\x27"
      print "exports:"
      print "  - targets:         [ x86_64-macos ]"
      printf "    symbols:         [ "
    }
    { printf "%s\x27_%s\x27", (NR > 1 ? ",\n                       " : ""), $0 }
    END { print " ]"; print "..." }' >"$out/$framework.framework/$framework.tbd"
done

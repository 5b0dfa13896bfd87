#!/usr/bin/env python3
"""Checks OrvaneBar.app as the macOS build assembles it:

    check-bundle.py BUNDLE --identifier ID --minimum VERSION --version VERSION

The bundle holds Contents/Info.plist and, in Contents/MacOS, the executable the property list
names and orvtool, where the application looks for it first, both Mach-O x86_64 executables.
The property list parses as one and has the identifier, the minimum macOS and the version
asked for, is an application's, and keeps it out of the Dock (LSUIElement). Prints each
problem; exits 1 if there is one.
"""
import argparse
import os
import plistlib
import struct
import sys

MH_MAGIC_64 = 0xFEEDFACF
CPU_TYPE_X86_64 = 0x01000007
MH_EXECUTE = 2


def macho_problem(path):
    """Why PATH is not a Mach-O x86_64 executable one may run, or None."""
    try:
        with open(path, "rb") as f:
            header = f.read(16)
    except OSError as e:
        return f"cannot be read ({e.strerror})"
    if len(header) < 16:
        return "is not a Mach-O file"
    magic, cpu, _, filetype = struct.unpack("<IiiI", header)
    if magic != MH_MAGIC_64 or cpu != CPU_TYPE_X86_64 or filetype != MH_EXECUTE:
        return "is not a Mach-O x86_64 executable"
    if not os.access(path, os.X_OK):
        return "is not executable"
    return None


def problems(bundle, identifier, minimum, version):
    contents = os.path.join(bundle, "Contents")
    info_path = os.path.join(contents, "Info.plist")
    try:
        with open(info_path, "rb") as f:
            info = plistlib.load(f)
    except (OSError, plistlib.InvalidFileException, ValueError) as e:
        yield f"Contents/Info.plist does not parse: {e}"
        return
    if not isinstance(info, dict):
        yield "Contents/Info.plist is not a dictionary"
        return

    wanted = {
        "CFBundleExecutable": "OrvaneBar",
        "CFBundleIdentifier": identifier,
        "CFBundlePackageType": "APPL",
        "LSMinimumSystemVersion": minimum,
        "CFBundleShortVersionString": version,
        "CFBundleVersion": version,
    }
    for key, value in wanted.items():
        if info.get(key) != value:
            yield f"{key} is {info.get(key)!r}, not {value!r}"
    if info.get("LSUIElement") is not True:
        yield f"LSUIElement is {info.get('LSUIElement')!r}, not true: the Dock would show it"

    executable = info.get("CFBundleExecutable")
    programs = ["orvtool"] + ([executable] if isinstance(executable, str) else [])
    for program in programs:
        path = os.path.join(contents, "MacOS", program)
        if not os.path.isfile(path):
            yield f"Contents/MacOS/{program} is missing"
        elif (why := macho_problem(path)) is not None:
            yield f"Contents/MacOS/{program} {why}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bundle")
    parser.add_argument("--identifier", required=True)
    parser.add_argument("--minimum", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()
    found = list(problems(args.bundle, args.identifier, args.minimum, args.version))
    for problem in found:
        print(f"  {os.path.basename(args.bundle)}: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

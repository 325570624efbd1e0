#!/usr/bin/env python3
"""Compares the layout table of the host's NDIS headers with mingw-w64's.

  check-layout.py --arch ARCH HOST_OBJECT WINDOWS_OBJECT
                  [--host-objcopy PROGRAM] [--windows-objcopy PROGRAM]

Each object is windows/layout/layout_table.cpp compiled for ARCH, one against
the host's headers, one against mingw-w64's DDK headers; its .zr48lay section
holds one 136-byte entry per line of layout_fields.h: a name, two numbers and
a kind. Prints every entry that differs (a member at another offset or of
another size, a type of another size or alignment, a record NDIS fills that
the host makes larger than the image does, a constant of another value) and
exits 1 when there is one.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

ENTRY = struct.Struct("<112sQQII")
FIELD, SIZE, AT_MOST, VALUE = 1, 2, 3, 4


def read_table(obj, objcopy):
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "table.bin")
        subprocess.run([objcopy, "-O", "binary", "--only-section=.zr48lay", obj, raw],
                       check=True)
        with open(raw, "rb") as f:
            data = f.read()
    # The section may be padded to its alignment after the last entry.
    spare = len(data) % ENTRY.size
    if spare and not any(data[-spare:]):
        data = data[:-spare]
    if not data or len(data) % ENTRY.size:
        sys.exit("check-layout: %s: no layout table (%d bytes in .zr48lay)" % (obj, len(data)))
    table = []
    for offset in range(0, len(data), ENTRY.size):
        name, first, second, kind, _ = ENTRY.unpack_from(data, offset)
        table.append((name.rstrip(b"\0").decode(), first, second, kind))
    return table


def describe(kind, first, second):
    if kind == FIELD:
        return "offset %d, %d bytes" % (first, second)
    if kind == SIZE:
        return "%d bytes, aligned to %d" % (first, second)
    if kind == AT_MOST:
        return "%d bytes" % first
    return "0x%x" % first


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", required=True)
    parser.add_argument("--host-objcopy", default="objcopy")
    parser.add_argument("--windows-objcopy", default="objcopy")
    parser.add_argument("host")
    parser.add_argument("windows")
    args = parser.parse_args()

    host = read_table(args.host, args.host_objcopy)
    windows = read_table(args.windows, args.windows_objcopy)
    if [e[0] for e in host] != [e[0] for e in windows]:
        sys.exit("check-layout: the two tables list different entries (objects out of date?)")

    differences = []
    for (name, hf, hs, kind), (_, wf, ws, _) in zip(host, windows):
        if kind == AT_MOST:
            differs = hf > wf
        elif kind == VALUE:
            differs = hf != wf
        else:
            differs = (hf, hs) != (wf, ws)
        if differs:
            what = " (the host's must fit in the image's)" if kind == AT_MOST else ""
            differences.append("%s: %s on the host, %s in mingw-w64's %s headers%s" % (
                name, describe(kind, hf, hs), describe(kind, wf, ws), args.arch, what))
    for d in differences:
        print("check-layout: " + d)
    if differences:
        print("check-layout: %d of %d entries differ between the host's NDIS and mingw-w64's "
              "(%s): a driver image would read or write the wrong bytes"
              % (len(differences), len(host), args.arch))
        return 1
    print("check-layout: %d entries agree between the host's NDIS and mingw-w64's (%s)"
          % (len(host), args.arch))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks a transceiver firmware image before it is packaged as zr48.bin.

  check-firmware.py IMAGE

The driver sends the file unchanged; the card's controller refuses anything
but a whole image of its own format: "ZR48", version 1, flags 0, two zero
bytes, the body length and the CRC-32 of the body (both little-endian), then
the body; 1 MiB at most. Prints what the image is, or exits 1 with why the
card would refuse it.
"""
import hashlib
import os
import struct
import sys
import zlib

MAX_IMAGE = 1 << 20
HEADER = 16


def describe(path):
    if not os.path.exists(path):
        return None, "no such file"
    if not os.path.isfile(path):
        return None, "not a regular file"
    with open(path, "rb") as f:
        data = f.read(MAX_IMAGE + 1)
    if len(data) > MAX_IMAGE:
        return None, "larger than the 1 MiB the card accepts"
    if len(data) < HEADER:
        return None, "%d bytes: shorter than the image header" % len(data)
    magic, version, flags, reserved, body, crc = struct.unpack_from("<4sBBHII", data)
    if magic != b"ZR48":
        return None, "does not start with ZR48: not a zr48 transceiver image"
    if version != 1 or flags != 0 or reserved != 0:
        return None, "format version %d, flags %d: the card knows version 1, flags 0" % (
            version, flags)
    if body != len(data) - HEADER:
        return None, "the header gives a %d-byte body, the file holds %d bytes after it" % (
            body, len(data) - HEADER)
    if zlib.crc32(data[HEADER:]) != crc:
        return None, "the body's CRC-32 is not the header's (damaged image)"
    return ("%d bytes, format 1, body CRC-32 0x%08x, SHA-1 %s"
            % (len(data), crc, hashlib.sha1(data).hexdigest())), None


def main():
    if len(sys.argv) != 2:
        print("usage: check-firmware.py IMAGE", file=sys.stderr)
        return 2
    what, why = describe(sys.argv[1])
    if why:
        print("%s: %s" % (sys.argv[1], why), file=sys.stderr)
        return 1
    print("%s: %s" % (sys.argv[1], what))
    return 0


if __name__ == "__main__":
    sys.exit(main())

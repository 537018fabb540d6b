#!/usr/bin/env python3
"""Writes a ZIP archive with Python's zipfile, an independent writer.

makezip.py OUT [OPTION...] ENTRY...
ENTRY is NAME=FILE (the file's bytes under NAME; names may repeat and may
hold folders) or NAME/ (a folder entry). Options, before the entries:
  --store            entries stored instead of deflated
  --bzip2            entries bzip2-compressed
  --many N           N more entries f00000.bin... of one byte each, stored
  --encrypted NAME   marks entry NAME encrypted (flag bit 0, local and central)
  --declare SIZE     every central header states SIZE uncompressed bytes
"""
import struct
import sys
import warnings
import zipfile


def patch(out, encrypted, declare):
    data = bytearray(open(out, "rb").read())
    end = data.rfind(b"PK\x05\x06")
    count, _, offset = struct.unpack_from("<HII", data, end + 10)
    at = offset
    for _ in range(count):
        flag, = struct.unpack_from("<H", data, at + 8)
        nlen, xlen, clen = struct.unpack_from("<HHH", data, at + 28)
        local, = struct.unpack_from("<I", data, at + 42)
        name = bytes(data[at + 46:at + 46 + nlen]).decode()
        if name in encrypted:
            struct.pack_into("<H", data, at + 8, flag | 1)
            struct.pack_into("<H", data, local + 6, flag | 1)
        if declare is not None:
            struct.pack_into("<I", data, at + 24, declare)
        at += 46 + nlen + xlen + clen
    open(out, "wb").write(data)


def main(argv):
    out, args = argv[1], argv[2:]
    method = zipfile.ZIP_DEFLATED
    many, encrypted, declare = 0, [], None
    while args and args[0].startswith("--"):
        option, args = args[0], args[1:]
        if option == "--store":
            method = zipfile.ZIP_STORED
        elif option == "--bzip2":
            method = zipfile.ZIP_BZIP2
        elif option == "--many":
            many, args = int(args[0]), args[1:]
        elif option == "--encrypted":
            encrypted, args = encrypted + [args[0]], args[1:]
        elif option == "--declare":
            declare, args = int(args[0]), args[1:]
    warnings.simplefilter("ignore")  # repeated names are wanted here
    with zipfile.ZipFile(out, "w", method) as archive:
        for arg in args:
            if arg.endswith("/"):
                archive.mkdir(arg.rstrip("/"))
                continue
            name, _, path = arg.partition("=")
            archive.write(path, name)
        for i in range(many):
            archive.writestr("f%05d.bin" % i, b"x", compress_type=zipfile.ZIP_STORED)
    if encrypted or declare is not None:
        patch(out, encrypted, declare)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

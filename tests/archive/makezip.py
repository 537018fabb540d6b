#!/usr/bin/env python3
"""Writes a ZIP archive with Python's zipfile, an independent writer.

makezip.py OUT [--store] ENTRY...
ENTRY is NAME=FILE (the file's bytes under NAME; names may repeat and may
hold folders) or NAME/ (a folder entry).
"""
import sys
import warnings
import zipfile


def main(argv):
    out, args = argv[1], argv[2:]
    method = zipfile.ZIP_DEFLATED
    if args and args[0] == "--store":
        method, args = zipfile.ZIP_STORED, args[1:]
    warnings.simplefilter("ignore")  # repeated names are wanted here
    with zipfile.ZipFile(out, "w", method) as archive:
        for arg in args:
            if arg.endswith("/"):
                archive.mkdir(arg.rstrip("/"))
                continue
            name, _, path = arg.partition("=")
            archive.write(path, name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Writes ZIP archives with Python's zipfile for the reader's tests.

usage: zipfixture.py many OUT COUNT    OUT/src tree of COUNT files in folders, OUT/many.zip
       zipfixture.py big OUT MIB       OUT/src/big.bin of MIB MiB, OUT/big.zip (deflated)
       zipfixture.py mixed OUT MIB     OUT/src with about MIB MiB of mixed files, OUT/mixed.zip
       zipfixture.py bzip2 OUT         OUT/bz.zip: plain, bzip2 (method 12), plain
Every source file gets an even-second modification time, as a DOS time holds it.
"""
import os
import random
import sys
import zipfile

BASE_TIME = 1700000000  # even


def set_time(path, i):
    t = BASE_TIME + 2 * 3607 * i
    os.utime(path, (t, t))


def text_block(rng, n):
    words = [b"boot ", b"image ", b"section ", b"quorin ", b"flash ", b"erase ", b"verify\n", b"0x1F "]
    out = bytearray()
    while len(out) < n:
        out += words[rng.randrange(8)]
    return bytes(out[:n])


def write(path, data, i):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    set_time(path, i)


def many(out, count):
    src = os.path.join(out, "src")
    rng = random.Random(1234)
    names = []
    for i in range(count):
        folder = "d%02d/e%d" % (i % 17, i % 3) if i % 5 else ""
        name = os.path.join(folder, "f%05d.%s" % (i, "bin" if i % 4 == 0 else "txt"))
        size = rng.choice([0, 1, 100, 4096, 65535, 65536, 70001])
        data = rng.randbytes(size) if i % 4 == 0 else text_block(rng, size)
        write(os.path.join(src, name), data, i)
        names.append(name)
    os.makedirs(os.path.join(src, "empty/inner"), exist_ok=True)
    with zipfile.ZipFile(os.path.join(out, "many.zip"), "w") as zf:
        dirs = sorted({os.path.dirname(n) for n in names if os.path.dirname(n)} | {"empty", "empty/inner"})
        for d in dirs:
            zf.write(os.path.join(src, d), d)
        for i, n in enumerate(names):
            method = zipfile.ZIP_STORED if i % 4 == 0 else zipfile.ZIP_DEFLATED
            zf.write(os.path.join(src, n), n, compress_type=method)


def big(out, mib):
    src = os.path.join(out, "src")
    os.makedirs(src, exist_ok=True)
    rng = random.Random(99)
    half = text_block(rng, 1 << 19)
    path = os.path.join(src, "big.bin")
    with open(path, "wb") as f:
        for i in range(mib):
            f.write(i.to_bytes(4, "little") + rng.randbytes((1 << 19) - 4) + half)
    set_time(path, 1)
    with zipfile.ZipFile(os.path.join(out, "big.zip"), "w", zipfile.ZIP_DEFLATED, compresslevel=1) as zf:
        zf.write(path, "big.bin")


def mixed(out, mib):
    src = os.path.join(out, "src")
    rng = random.Random(7)
    total, i = 0, 0
    entries = []
    while total < mib << 20:
        kind = i % 10
        if kind < 6:
            size = rng.randrange(1, 64 << 10)  # many small files
        elif kind < 9:
            size = rng.randrange(1 << 20, 4 << 20)
        else:
            size = 16 << 20
        data = rng.randbytes(size) if kind in (3, 7) else text_block(rng, size)
        name = "m%03d/f%05d.dat" % (i % 40, i)
        write(os.path.join(src, name), data, i)
        entries.append((name, zipfile.ZIP_STORED if kind == 3 else zipfile.ZIP_DEFLATED))
        total += size
        i += 1
    with zipfile.ZipFile(os.path.join(out, "mixed.zip"), "w") as zf:
        for name, method in entries:
            zf.write(os.path.join(src, name), name, compress_type=method)


def bzip2(out):
    with zipfile.ZipFile(os.path.join(out, "bz.zip"), "w") as zf:
        zf.writestr("first.txt", b"first\n", compress_type=zipfile.ZIP_DEFLATED)
        zf.writestr("packed.txt", b"bzip2 " * 1000, compress_type=zipfile.ZIP_BZIP2)
        zf.writestr("last.txt", b"last\n", compress_type=zipfile.ZIP_DEFLATED)


if __name__ == "__main__":
    cmd, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    if cmd == "many":
        many(out, int(sys.argv[3]))
    elif cmd == "big":
        big(out, int(sys.argv[3]))
    elif cmd == "mixed":
        mixed(out, int(sys.argv[3]))
    elif cmd == "bzip2":
        bzip2(out)
    else:
        sys.exit("unknown command " + cmd)

# Seed inputs of the fuzz target; argument: the corpus folder.
import sys, os, struct
def header(code, entries, numeric):
    h = bytearray(80)
    h[0:8] = code
    for d, (tag, version, size) in enumerate(entries):
        e = 16 + 8 * d
        h[e:e + 2] = tag
        if numeric:
            h[e + 2:e + 4] = struct.pack(">H", version)
            h[e + 4:e + 8] = struct.pack(">I", size)
        else:
            h[e + 2:e + 5] = version.ljust(3, b"\0")
            h[e + 5:e + 8] = struct.pack(">I", size)[1:]
    return bytes(h)
tags = [b"BA", b"SM", b"SC", b"SS", b"SF", b"SR"]
sizes = [32, 20, 0, 17, 48, 1]
body = bytes((i * 37 + 11) & 0xFF for i in range(sum(sizes)))
seeds = {
    "numeric": b"\x01" + header(b"I_QUORIN", [(t, 1 if s else 0, s) for t, s in zip(tags, sizes)], True) + body,
    "text-lower": b"\x03" + header(b"S_QUORIN", [(t, b"V1" if s else b"0", s) for t, s in zip(tags, sizes)], False) + body,
    "text-odd": b"\x05" + header(b"P_QUORIN", [(t, b"123", s) for t, s in zip(tags, sizes)], False) + body,
    "bad-tag": b"\x01" + header(b"I_QUORIN", [(b"XX" if i == 3 else t, 1, s) for i, (t, s) in enumerate(zip(tags, sizes))], True) + body,
    "short": b"\x01" + header(b"I_QUORIN", [(t, 1, s) for t, s in zip(tags, sizes)], True) + body[:40],
    "raw-text": b"\x00" + b"0123456789abcdefABCDEF\n" * 20,
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)

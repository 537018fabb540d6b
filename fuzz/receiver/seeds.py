# Seed inputs of the fuzz target; argument: the corpus folder.
import sys, os
def frame(cmd, sub, payload):
    body = bytes([0xFB, 0x04, cmd, sub, len(payload) >> 8, len(payload) & 0xFF]) + bytes(payload) + b"\xFB"
    x = 0
    for b in body:
        x ^= b
    return body + bytes([x])
run = b"".join([
    frame(0x1E, 0x02, [1]), frame(0x0A, 0x02, b"001002003004005006007"),
    frame(0x32, 0x01, b"##SN123##V1.00 V1.01 V1.02 V1.03 V1.04 "),
    frame(0x0B, 0x02, [1]), frame(0x0B, 0x0C, [1]), frame(0x0B, 0x0E, [1]),
    frame(0x0B, 0x16, [1]), frame(0x0B, 0x18, [0]), frame(0x0C, 0x01, [2]),
    frame(0x0C, 0x02, [0]), frame(0x0D, 0x01, [0, 5]), frame(0x0C, 0x03, [1]),
    frame(0x0D, 0x01, [0, 2]), frame(0x0D, 0x02, [0xFB] * 40), frame(0x0D, 0x03, [1]),
    frame(0x0F, 0x01, [0, 1]), frame(0x0F, 0x02, [0]), frame(0x0F, 0x03, [1]),
    frame(0x0D, 0x04, [1]), frame(0x0E, 0x02, [1]),
])
seeds = {
    "run-whole": b"\x07\x01\x02\x03\x04" + run,
    "run-bytes": b"\x00\x05\x06\x07\x08" + run,
    "oversized": b"\x05\x00\x00\x00\x01" + frame(0x0D, 0x02, [0xFB] * 8193) + frame(0x0E, 0x02, [1]),
    "stray": b"\x03\x09\x09\x09\x09" + b"\xFB\xFB\xFB" + frame(0x0B, 0x02, [1]) + b"\xFB\x04\x0D\x02\x00\x00\xFB\x0B",
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)

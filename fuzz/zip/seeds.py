# Seed inputs of the fuzz target; argument: the corpus folder.
import io, os, sys, zipfile

class Unseekable(io.RawIOBase):
    def __init__(self):
        self.buf = bytearray()
    def writable(self):
        return True
    def write(self, b):
        self.buf += b
        return len(b)

def archive(entries, comment=b"", stream=False):
    out = Unseekable() if stream else io.BytesIO()
    with zipfile.ZipFile(out, "w") as zf:
        zf.comment = comment
        for name, data, method in entries:
            zf.writestr(name, data, compress_type=method)
    return bytes(out.buf) if stream else out.getvalue()

S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
text = b"quorin boot image section " * 40
seeds = {
    "plain": archive([("a.txt", text, D), ("docs/b.bin", bytes(range(256)), S), ("docs/", b"", S)], b"comment"),
    "stream": archive([("s.txt", text, D), ("t.txt", b"stored", S)], stream=True),
    "prefix": b"#!stub\n" * 20 + archive([("p.txt", text, D)]),
    "traversal": archive([("../up.txt", b"x", S), ("/abs.txt", b"y", D), ("C:\\w.txt", b"z", S), ("..", b"", S)]),
    "empty": archive([]),
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)

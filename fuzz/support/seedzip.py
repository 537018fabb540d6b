# Helpers the seed scripts share: archives written by Python's zipfile,
# seekable or streamed (data descriptors), and writing the corpus.
import io, os, zipfile

S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED

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

def write_corpus(folder, seeds):
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)

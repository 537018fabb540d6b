# Seed packages of the info and fileload targets; argument: the corpus folder.
import io, os, sys, zipfile

class Unseekable(io.RawIOBase):
    def __init__(self):
        self.buf = bytearray()
    def writable(self):
        return True
    def write(self, b):
        self.buf += b
        return len(b)

def archive(entries, stream=False):
    out = Unseekable() if stream else io.BytesIO()
    with zipfile.ZipFile(out, "w") as zf:
        for name, data, method in entries:
            zf.writestr(name, data, compress_type=method)
    return bytes(out.buf) if stream else out.getvalue()

S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
def info(model, *keys):
    return (" Result Type : %s\r\n" % model + "".join(" %s : x\r\n" % k for k in keys)).encode()
part = bytes(range(256)) * 2
seeds = {
    "v1": archive([("UpgradeInfo.txt", info("Quorin V1", "Main Source File Path", "CF Source File Path"), D),
                   ("BH_V1.bin", part[:64], S), ("SM_V2.10_x.bin", part, D), ("SF_V1.3.bin", part[:100], S)]),
    "v2": archive([("pkg/UpgradeInfo.txt", info("Quorin V2", "Main Body Source File Path"), S), ("pkg/", b"", S),
                   ("a/SM_V2.bin", part, D), ("b/CDM_V1.02.NHB", part[:40], D), ("BC_V1.bin", b"bc", S)]),
    "board": archive([("UpgradeInfo.txt", info("Upgrade Board", "Upgrade Board Body Source File Path"), S),
                      ("board.UPH", b"h" * 30, S), ("board.UPB", part, D), ("keep.QV1", b"kept", S)],
                     stream=True),
    "same": archive([("UpgradeInfo.txt", info("Quorin V1"), S), ("x/SM_1.bin", b"one", S),
                     ("y/SM_1.bin", b"two", D), ("../SC_up.bin", b"up", S), ("\x1b[2J.bin", b"esc", S)]),
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)

# Seed packages of the info and fileload targets; argument: the corpus folder.
import os, sys
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from seedzip import S, D, archive, write_corpus
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
write_corpus(sys.argv[1], seeds)

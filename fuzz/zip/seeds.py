# Seed inputs of the fuzz target; argument: the corpus folder.
import os, sys
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from seedzip import S, D, archive, write_corpus
text = b"quorin boot image section " * 40
seeds = {
    "plain": archive([("a.txt", text, D), ("docs/b.bin", bytes(range(256)), S), ("docs/", b"", S)], b"comment"),
    "stream": archive([("s.txt", text, D), ("t.txt", b"stored", S)], stream=True),
    "prefix": b"#!stub\n" * 20 + archive([("p.txt", text, D)]),
    "traversal": archive([("../up.txt", b"x", S), ("/abs.txt", b"y", D), ("C:\\w.txt", b"z", S), ("..", b"", S)]),
    "empty": archive([]),
}
write_corpus(sys.argv[1], seeds)

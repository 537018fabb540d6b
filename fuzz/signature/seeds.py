# Seed signatures of the signature target; argument: the corpus folder.
import os, sys
def sig(version=1, key_id="f2c1c48608243d59", name="acme-release", size="123456", digest="ab" * 32,
        signature="0f" * 64, tail=""):
    return ("velunda-signature %s\nkey-id %s\nkey-name %s\npackage-size %s\npackage-sha256 %s\nsignature %s\n%s"
            % (version, key_id, name, size, digest, signature, tail)).encode()
seeds = {
    "valid": sig(),
    "zero": sig(size="0", name="a"),
    "newer": sig(version=2),
    "crlf": sig().replace(b"\n", b"\r\n"),
    "upper": sig(digest="AB" * 32),
    "lead0": sig(size="0123"),
    "extra": sig(tail="comment\n"),
    "long": sig(name="n" * 65),
}
os.makedirs(sys.argv[1], exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)

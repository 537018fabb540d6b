# Yardstick of bench_package_load: makes COUNT one-byte files in a fresh folder
# under BASE and removes them again, as a load of that many entries must.
import os, sys, tempfile
count, base = int(sys.argv[1]), sys.argv[2]
folder = tempfile.mkdtemp(dir=base)
for i in range(count):
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(b"x")
for i in range(count):
    os.unlink(os.path.join(folder, "f%05d.bin" % i))
os.rmdir(folder)

#!/usr/bin/env python3
"""Writes an archive of mixed files, about 15 MiB packed and 100 MiB unpacked:
make_mixed_archive.py ARCHIVE"""
import io
import random
import sys
import zipfile

rng = random.Random(7)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(2000)]


lines = [b" ".join(rng.choice(words) for _ in range(12)) + b"\n" for _ in range(60)]


def text(size):
    out = io.BytesIO()
    while out.tell() < size:
        out.write(rng.choice(lines))
    return out.getvalue()[:size]


with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
    for i in range(55):  # incompressible: textures, sounds
        archive.writestr("data/media/m%03d.bin" % i, rng.randbytes(200 * 1024), zipfile.ZIP_STORED)
    for i in range(300):  # compressible: scripts, tables, text
        archive.writestr("data/text/t%03d/x%03d.txt" % (i // 30, i), text(rng.randint(150, 450) * 1024))
    for i in range(200):  # small files
        archive.writestr("data/small/s%03d.cfg" % i, text(rng.randint(1, 8) * 1024))

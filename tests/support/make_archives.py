#!/usr/bin/env python3
"""Makes the ZIP archives of the extraction tests, with Info-ZIP's zip where it
can and Python's zipfile for names and flags that zip will not write.

  make_archives.py FOLDER

Contents (the tests know them too):
  alpha.txt "alpha\\n"   bin/data/x.dat "data " * 1000   empty.txt ""
"""
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

ALPHA = b"alpha\n"
DATA = b"data " * 1000
# 2021-03-04 05:06:08 local time (DOS times have two-second steps).
DATE_TIME = (2021, 3, 4, 5, 6, 8)


def with_zip(folder, name, level_flag):
    """Packs a small tree with the zip command."""
    with tempfile.TemporaryDirectory() as tree:
        tree = pathlib.Path(tree)
        (tree / "bin" / "data").mkdir(parents=True)
        (tree / "alpha.txt").write_bytes(ALPHA)
        (tree / "bin" / "data" / "x.dat").write_bytes(DATA)
        (tree / "empty.txt").write_bytes(b"")
        subprocess.run(["zip", "-q", "-r", "-D", level_flag, str(folder / name),
                        "alpha.txt", "bin/data/x.dat", "empty.txt"], cwd=tree, check=True)


def with_python(folder, name, items, compression=zipfile.ZIP_DEFLATED):
    """items: (name, data) pairs, or ZipInfo objects paired with data."""
    with zipfile.ZipFile(folder / name, "w", compression) as archive:
        for item, data in items:
            archive.writestr(item, data)


def patch_crc(path, item_name):
    """Gives one item a wrong CRC-32 in both of its headers."""
    data = bytearray(path.read_bytes())
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo(item_name)
    wrong = struct.pack("<I", info.CRC ^ 0x5A5A5A5A)
    data[info.header_offset + 14:info.header_offset + 18] = wrong
    position = 0
    while True:  # the central entry with this name
        position = data.find(b"PK\x01\x02", position)
        name_length = struct.unpack_from("<H", data, position + 28)[0]
        if data[position + 46:position + 46 + name_length] == item_name.encode():
            break
        position += 4
    data[position + 16:position + 20] = wrong
    path.write_bytes(bytes(data))


def flip_data_byte(path, item_name):
    """Damages one item's compressed data."""
    data = bytearray(path.read_bytes())
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo(item_name)
    name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
    start = info.header_offset + 30 + name_length + extra_length
    data[start + info.compress_size // 2] ^= 0xFF
    path.write_bytes(bytes(data))


def zip64_stored(path, items):
    """A stored archive whose every size is in the ZIP64 extra field (the 32-bit
    fields say 0xFFFFFFFF). items: (name, data, declared size, crc) tuples."""
    local, central = b"", b""
    for name, data, declared, crc in items:
        name = name.encode()
        extra = struct.pack("<HHQQ", 1, 16, declared, declared)
        offset = len(local)
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0x5264, crc,
                             0xFFFFFFFF, 0xFFFFFFFF, len(name), len(extra)) + name + extra + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0, 0x5264, crc,
                               0xFFFFFFFF, 0xFFFFFFFF, len(name), len(extra), 0, 0, 0, 0,
                               offset) + name + extra
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(items), len(items), len(central),
                      len(local), 0)
    path.write_bytes(local + central + end)


def make_delta_files(folder):
    """Base files and their next versions, which the tests' deltas are made from
    (tests/support/test_deltas.cpp)."""
    import random
    generator = random.Random(7)
    base = bytes(generator.getrandbits(8) for _ in range(200000))
    result = base[:5000] + b"the next version" + base[5000:]
    # A program's code: its addresses all move when something is put before them.
    program = b"".join(struct.pack("<I", 0x401000 + 16 * at) + bytes(generator.getrandbits(8) for _ in range(12))
                       for at in range(6000))
    moved = b"".join(struct.pack("<I", 0x401040 + 16 * at) + program[16 * at + 4:16 * at + 16] for at in range(6000))
    program_result = moved[:30000] + b"a new function" + moved[30000:]
    for name, data in (("delta-base.dat", base), ("delta-result.dat", result), ("delta-prog-base.dat", program),
                       ("delta-prog-result.dat", program_result)):
        (folder / name).write_bytes(data)


def make_all(folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    with_zip(folder, "stored.zip", "-0")
    with_zip(folder, "deflated.zip", "-9")

    with_python(folder, "folders.zip", [("empty-folder/", b""), ("bin/", b""), ("bin/f.txt", ALPHA)])
    with_python(folder, "no-items.zip", [])
    with_python(folder, "five.zip", [("f%d.txt" % i, b"file %d\n" % i) for i in range(1, 6)])

    dated = zipfile.ZipInfo("dated.txt", DATE_TIME)
    dated.compress_type = zipfile.ZIP_DEFLATED
    with_python(folder, "dated.zip", [(dated, ALPHA)])

    tool = zipfile.ZipInfo("tools/run.sh", DATE_TIME)
    tool.create_system = 3
    tool.external_attr = 0o100755 << 16
    with_python(folder, "exec.zip", [(tool, b"#!/bin/sh\necho ran\n"), ("plain.txt", ALPHA)])

    with_python(folder, "backslash.zip", [("sub\\inner\\b.txt", ALPHA)])
    with_python(folder, "long-name.zip", [("a" * 300 + ".txt", ALPHA)])

    unsafe = {
        "unsafe-parent.zip": "../evil.txt",
        "unsafe-nested-parent.zip": "sub/../../evil.txt",
        "unsafe-backslash-parent.zip": "sub\\..\\..\\evil.txt",
        "unsafe-absolute.zip": "/tmp/evil.txt",
        "unsafe-drive.zip": "C:evil.txt",
        "unsafe-unc.zip": "\\\\server\\share\\evil.txt",
    }
    for archive, bad_name in unsafe.items():
        with_python(folder, archive, [("good.txt", ALPHA), (bad_name, b"evil\n")])
    # Names the updater keeps for itself in the installation folder.
    with_python(folder, "reserved-staging.zip", [("good.txt", ALPHA), (".corvana-staging/sub/y.dat", b"y\n")])
    with_python(folder, "reserved-record.zip", [("good.txt", ALPHA), ("Corvana-Signed-Set.TXT", b"1\n")])
    with_python(folder, "data-item.zip", [("good.txt", ALPHA), ("data/x.dat", b"x\n")])
    with_python(folder, "windows-device.zip", [("good.txt", ALPHA), ("sub/CON.txt", b"evil\n")])
    with_python(folder, "windows-colon.zip", [("good.txt", ALPHA), ("file:name.txt", b"evil\n")])

    make_delta_files(folder)
    with_python(folder, "bad-crc.zip", [("good.txt", ALPHA), ("crc.dat", DATA), ("after.txt", ALPHA)])
    patch_crc(folder / "bad-crc.zip", "crc.dat")
    with_python(folder, "bad-data.zip", [("good.txt", ALPHA), ("broken.dat", DATA), ("after.txt", ALPHA)])
    flip_data_byte(folder / "bad-data.zip", "broken.dat")

    (folder / "not-an-archive.zip").write_bytes(b"this is not a zip file\n")

    import zlib
    # Valid, small, sizes in the ZIP64 extra field only: unzip -t accepts it.
    zip64_stored(folder / "zip64-small.zip", [("alpha.txt", ALPHA, len(ALPHA), zlib.crc32(ALPHA)),
                                               ("data.dat", DATA, len(DATA), zlib.crc32(DATA))])
    # An item that declares 2^32 + 3 bytes, holds 3 and carries a wrong CRC.
    zip64_stored(folder / "zip64-lying.zip", [("good.txt", ALPHA, len(ALPHA), zlib.crc32(ALPHA)),
                                               ("huge.dat", b"abc", 2**32 + 3, 0x12345678)])


if __name__ == "__main__":
    make_all(sys.argv[1])

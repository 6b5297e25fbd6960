#!/usr/bin/env python3
"""Draws the window's pictures: the banner bitmap (393 x 65, 256 colours) and the
program icon (32 x 32 in 16 and in 256 colours), for Windows; for Linux the same
banner and the icon at any size as PNG, or both compiled into a C++ source.

  gen_pictures.py BANNER.bmp ICON.ico
  gen_pictures.py --png-icon SIZE ICON.png
  gen_pictures.py --cpp PICTURES.cpp
"""
import math
import struct
import sys
import zlib

# A 5 x 7 font for the word mark.
GLYPHS = {
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
}


def palette_256():
    """Index 0-127: night-sky gradient; 128-191: gold; 192-255: greys."""
    colours = []
    for i in range(128):
        t = i / 127
        colours.append((int(12 + 40 * t), int(16 + 30 * t), int(40 + 90 * t)))  # (r, g, b)
    for i in range(64):
        t = i / 63
        colours.append((int(150 + 105 * t), int(110 + 100 * t), int(30 + 60 * t)))
    for i in range(64):
        v = int(255 * i / 63)
        colours.append((v, v, v))
    return colours


def banner():
    width, height = 393, 65
    pixels = [[0] * width for _ in range(height)]
    for y in range(height):
        for x in range(width):
            # A diagonal dusk gradient with a soft glow behind the word mark.
            glow = math.exp(-(((x - 250) / 120) ** 2 + ((y - 32) / 40) ** 2))
            pixels[y][x] = min(127, int(20 + 60 * (1 - y / height) + 50 * glow))
    # Mountains along the bottom.
    for x in range(width):
        ridge = 48 + 8 * math.sin(x / 23) + 5 * math.sin(x / 7.3)
        for y in range(int(ridge), height):
            pixels[y][x] = 2
    # A crescent moon.
    for y in range(height):
        for x in range(width):
            if (x - 40) ** 2 + (y - 22) ** 2 < 196 and (x - 46) ** 2 + (y - 18) ** 2 >= 150:
                pixels[y][x] = 170
    # The word mark, 4 pixels per font pixel.
    word, scale, left, top = "CORVANA", 4, 120, 14
    for n, letter in enumerate(word):
        for row, bits in enumerate(GLYPHS[letter]):
            for column, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            x = left + n * 6 * scale + column * scale + dx
                            y = top + row * scale + dy
                            pixels[y][x] = 191 - dy * 8  # gold, lighter at the top
    return width, height, pixels


def bmp_8bit(width, height, pixels, colours):
    stride = (width + 3) & ~3
    rows = b"".join(bytes(pixels[y]) + b"\0" * (stride - width) for y in reversed(range(height)))
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(rows), 2835, 2835, 256, 256)
    offset = 14 + len(header) + len(table)
    return b"BM" + struct.pack("<IHHI", offset + len(rows), 0, 0, offset) + header + table + rows


def icon_image(bits):
    """A 32 x 32 image of the icon: a gold ring with a dark centre on a clear ground."""
    size = 32
    colours = palette_256() if bits == 8 else [
        (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
        (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
        (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    gold, dark = (176, 60) if bits == 8 else (11, 4)
    pixels, mask = [], []
    for y in range(size):
        row, mask_row = [], []
        for x in range(size):
            d = math.hypot(x - 15.5, y - 15.5)
            angle = math.degrees(math.atan2(y - 15.5, x - 15.5))
            ring = 9 <= d <= 14 and not (-35 < angle < 35)  # a "C"
            inside = d < 9
            row.append(gold if ring else dark if inside else 0)
            mask_row.append(0 if (ring or inside) else 1)
        pixels.append(row)
        mask.append(mask_row)
    if bits == 8:
        xor = b"".join(bytes(pixels[y]) for y in reversed(range(size)))
    else:
        xor = b"".join(bytes((pixels[y][x] << 4) | pixels[y][x + 1] for x in range(0, size, 2))
                       for y in reversed(range(size)))
    and_mask = b""
    for y in reversed(range(size)):
        value = 0
        for x in range(size):
            value = (value << 1) | mask[y][x]
        and_mask += struct.pack(">I", value)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(and_mask), 0, 0,
                         len(colours), 0)
    return header + table + xor + and_mask


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for bits, image in images:
        count = 16 if bits == 4 else 0
        out += struct.pack("<BBBBHHII", 32, 32, count, 0, 1, bits, len(image), offset + len(data))
        data += image
    return out + data


def png(width, height, rows):
    """A PNG of 8-bit RGBA rows (each a bytes object of width * 4)."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def banner_png():
    width, height, pixels = banner()
    colours = palette_256()
    rows = [b"".join(bytes(colours[index]) + b"\xff" for index in row) for row in pixels]
    return png(width, height, rows)


def icon_png(size):
    """The icon's gold "C" ring at any size, smoothed at its edges."""
    gold, dark = palette_256()[176], palette_256()[60]
    samples = 4  # per axis, for the edges
    rows = []
    for y in range(size):
        row = b""
        for x in range(size):
            ring_hits = inside_hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    u = (x + (sx + 0.5) / samples) * 32 / size - 16
                    v = (y + (sy + 0.5) / samples) * 32 / size - 16
                    d = math.hypot(u, v)
                    angle = math.degrees(math.atan2(v, u))
                    ring_hits += 9 <= d <= 14.5 and not (-35 < angle < 35)
                    inside_hits += d < 9
            total = samples * samples
            cover = (ring_hits + inside_hits) / total
            if cover == 0:
                row += b"\0\0\0\0"
                continue
            mix = ring_hits / (ring_hits + inside_hits)
            colour = bytes(int(g * mix + d * (1 - mix)) for g, d in zip(gold, dark))
            row += colour + bytes([int(255 * cover)])
        rows.append(row)
    return png(size, size, rows)


def cpp_source():
    """The banner and a 64-pixel icon as byte arrays of the Linux program."""
    def array(name, data):
        body = ",".join(str(b) for b in data)
        return "extern const unsigned char %s[] = {%s};\nextern const unsigned %sSize = %d;\n" % (
            name, body, name, len(data))
    return ("// Generated by cmake/gen_pictures.py: the window's pictures as PNG.\n"
            "namespace corvana {\n" + array("kBannerPng", banner_png()) + array("kIconPng", icon_png(64)) +
            "}  // namespace corvana\n")


def launcher_cpp_source(sizes=(16, 24, 32, 48, 64, 128, 256)):
    """The desktop launcher's icons, one PNG a size, for the publisher."""
    arrays = []
    entries = []
    for size in sizes:
        data = icon_png(size)
        arrays.append("const unsigned char kIcon%d[] = {%s};\n" % (size, ",".join(str(b) for b in data)))
        entries.append("{%d, kIcon%d, %d}" % (size, size, len(data)))
    return ("// Generated by cmake/gen_pictures.py: the launcher's icons as PNG.\n"
            "#include \"publish/launcher.h\"\n"
            "namespace corvana {\nnamespace {\n" + "".join(arrays) + "}  // namespace\n"
            "extern const LauncherIcon kLauncherIcons[] = {" + ", ".join(entries) + "};\n"
            "extern const unsigned kLauncherIconCount = %d;\n}  // namespace corvana\n" % len(sizes))


def main():
    if sys.argv[1] == "--launcher-cpp":
        with open(sys.argv[2], "w") as f:
            f.write(launcher_cpp_source())
        return
    if sys.argv[1] == "--png-icon":
        with open(sys.argv[3], "wb") as f:
            f.write(icon_png(int(sys.argv[2])))
        return
    if sys.argv[1] == "--cpp":
        with open(sys.argv[2], "w") as f:
            f.write(cpp_source())
        return
    width, height, pixels = banner()
    with open(sys.argv[1], "wb") as f:
        f.write(bmp_8bit(width, height, pixels, palette_256()))
    with open(sys.argv[2], "wb") as f:
        f.write(ico([(4, icon_image(4)), (8, icon_image(8))]))


if __name__ == "__main__":
    main()

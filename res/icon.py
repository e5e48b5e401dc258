#!/usr/bin/env python3
# The program's icon. "draw" paints the source image icon.png (a hub relaying to three rooms);
# "ico OUT" turns icon.png into an icon file with six 32-bit images, 256 to 16 pixels.
import math
import struct
import sys
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "icon.png"
SIZES = [256, 128, 64, 48, 32, 16]


def write_png(path, size, pixels):
    rows = b"".join(b"\0" + bytes(pixels[y * size * 4:(y + 1) * size * 4]) for y in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                     chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def read_png(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert width == height and depth == 8 and colour == 6, "expects square 8-bit RGBA"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 4
    out = bytearray(stride * width)
    prev = bytearray(stride)
    for y in range(width):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out[y * stride:(y + 1) * stride] = line
        prev = line
    return width, out


def draw(size=256, samples=4):
    hub = (0.5, 0.56)
    rooms = [(0.5, 0.2), (0.2, 0.76), (0.8, 0.76)]

    def segment_distance(px, py, ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(px - ax - t * dx, py - ay - t * dy)

    def shade(x, y):
        # Rounded square with a vertical teal-to-blue gradient, white hub, spokes and rooms.
        r, inset = 0.2, 0.04
        qx = max(abs(x - 0.5) - (0.5 - inset - r), 0.0)
        qy = max(abs(y - 0.5) - (0.5 - inset - r), 0.0)
        if math.hypot(qx, qy) > r:
            return None
        colour = (int(20 + 20 * y), int(150 - 70 * y), int(170 + 60 * y))
        white = min(math.hypot(x - hub[0], y - hub[1]) - 0.11,
                    min(math.hypot(x - rx, y - ry) - 0.085 for rx, ry in rooms),
                    min(segment_distance(x, y, hub[0], hub[1], rx, ry) - 0.035 for rx, ry in rooms))
        if white < 0:
            inner = math.hypot(x - hub[0], y - hub[1]) < 0.055
            return (255, 190, 60) if inner else (255, 255, 255)
        return colour

    pixels = bytearray(size * size * 4)
    n = samples * samples
    for y in range(size):
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = shade((x + (sx + 0.5) / samples) / size, (y + (sy + 0.5) / samples) / size)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 255
            cover = acc[3] / 255
            i = (y * size + x) * 4
            if cover:
                pixels[i:i + 4] = bytes([round(acc[0] / cover), round(acc[1] / cover),
                                         round(acc[2] / cover), round(acc[3] / n)])
    return pixels


def scale(width, pixels, size):
    """Box-filters a square RGBA image down to size x size (premultiplied, so edges stay clean)."""
    out = bytearray(size * size * 4)
    step = width / size
    for y in range(size):
        y0, y1 = int(y * step), max(int(y * step) + 1, int((y + 1) * step))
        for x in range(size):
            x0, x1 = int(x * step), max(int(x * step) + 1, int((x + 1) * step))
            acc = [0, 0, 0, 0]
            for sy in range(y0, y1):
                for sx in range(x0, x1):
                    i = (sy * width + sx) * 4
                    a = pixels[i + 3]
                    acc[0] += pixels[i] * a
                    acc[1] += pixels[i + 1] * a
                    acc[2] += pixels[i + 2] * a
                    acc[3] += a
            count = (y1 - y0) * (x1 - x0)
            i = (y * size + x) * 4
            if acc[3]:
                out[i:i + 4] = bytes([round(acc[0] / acc[3]), round(acc[1] / acc[3]),
                                      round(acc[2] / acc[3]), round(acc[3] / count)])
    return out


def icon_image(size, rgba):
    """One 32-bit icon image: a bottom-up BGRA bitmap with its AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):
        line = rgba[y * size * 4:(y + 1) * size * 4]
        rows.append(bytes(b for i in range(0, len(line), 4)
                          for b in (line[i + 2], line[i + 1], line[i], line[i + 3])))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        bits = bytearray(mask_stride)
        for x in range(size):
            if rgba[(y * size + x) * 4 + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + b"".join(rows) + bytes(mask)


def write_ico(out):
    width, pixels = read_png(SOURCE)
    images = [icon_image(s, pixels if s == width else scale(width, pixels, s)) for s in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image),
                                 offset)
        offset += len(image)
    Path(out).write_bytes(directory + b"".join(images))


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] == "draw":
        write_png(SOURCE, 256, draw())
    elif len(sys.argv) == 3 and sys.argv[1] == "ico":
        write_ico(sys.argv[2])
    else:
        sys.exit("usage: icon.py draw | icon.py ico OUT.ico")

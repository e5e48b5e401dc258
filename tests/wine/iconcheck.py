# Checks that the program's icon is what the notification area shows: inside the icon window's
# rectangle of a desktop screenshot, the icon's own main colour must cover a fair share of the
# pixels (a blank area, or the system's default icon, does not).
# Usage: iconcheck.py SCREENSHOT.bmp X,Y,W,H ICON.png   (prints the share found)
import struct
import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "res"))
from icon import read_png  # noqa: E402

MIN_SHARE = 0.10
NEAR = 60


def main():
    bmp = Path(sys.argv[1]).read_bytes()
    x, y, w, h = (int(v) for v in sys.argv[2].split(","))
    offset, = struct.unpack_from("<I", bmp, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", bmp, 18)
    assert bits == 24, "expects a 24-bit screenshot"
    stride = ((width * 3 + 3) // 4) * 4

    size, rgba = read_png(Path(sys.argv[3]))
    opaque = Counter((rgba[i] // 16, rgba[i + 1] // 16, rgba[i + 2] // 16)
                     for i in range(0, len(rgba), 4) if rgba[i + 3] > 200)
    main_colour = [c * 16 + 8 for c in opaque.most_common(1)[0][0]]

    near = total = 0
    for py in range(max(0, y), min(height, y + h)):
        row = offset + (height - 1 - py) * stride
        for px in range(max(0, x), min(width, x + w)):
            b, g, r = bmp[row + px * 3:row + px * 3 + 3]
            total += 1
            if sum(abs(a - c) for a, c in zip((r, g, b), main_colour)) <= NEAR:
                near += 1
    share = near / total if total else 0.0
    print(f"{share:.2f} of {total} pixels in the icon's colour {main_colour}")
    sys.exit(0 if share >= MIN_SHARE else 1)


main()

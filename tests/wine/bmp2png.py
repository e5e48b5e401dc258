# Converts a 24-bit BMP screenshot (as the Wine helper writes it) into a PNG file.
# Usage: bmp2png.py IN.bmp OUT.png
import struct, sys, zlib
d = open(sys.argv[1], 'rb').read()
off, = struct.unpack_from('<I', d, 10)
w, h, _, bpp = struct.unpack_from('<iiHH', d, 18)
stride = ((w * 3 + 3) // 4) * 4
rows = []
for y in range(h - 1, -1, -1):
    line = d[off + y * stride: off + y * stride + w * 3]
    rows.append(b'\0' + bytes(b for i in range(0, len(line), 3) for b in (line[i+2], line[i+1], line[i])))
def chunk(k, b): return struct.pack('>I', len(b)) + k + b + struct.pack('>I', zlib.crc32(k + b))
open(sys.argv[2], 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) + chunk(b'IDAT', zlib.compress(b''.join(rows), 6)) + chunk(b'IEND', b''))

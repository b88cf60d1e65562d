#!/usr/bin/env python3
"""Reads 8-bit RGB PNG and binary PPM pictures into (width, height, bytes),
for the whole-program tests: a plain decoder of its own (every PNG filter),
independent of the encoder under test.  As a program it checks the
examples' pictures:
  png_pixels.py size FILE                       prints "W H"
  png_pixels.py pixel FILE X Y                  prints "R G B"
  png_pixels.py same FILE FILE                  exit 0 when the pixels are equal
  png_pixels.py drawn FILE                      prints the share of pixels unlike the top left one
  png_pixels.py blend A B OUT C                 exit 0 when OUT = blend(A, B, c) per byte
  png_pixels.py wash FILE                       exit 0 when FILE is the example stage's wash
"""
import struct
import sys
import zlib


def read_png(path):
    data = open(path, 'rb').read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise ValueError(f'{path}: not a PNG')
    pos, idat, width = 8, b'', None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            width, height, depth, colour = struct.unpack('>IIBB', body[:10])
            if (depth, colour) != (8, 2):
                raise ValueError(f'{path}: not 8-bit RGB')
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 3
    out = bytearray()
    prev = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b = prev[i]
            c = prev[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
        out += line
        prev = line
    return width, height, bytes(out)


def read_ppm(path):
    data = open(path, 'rb').read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b'P6' or fields[3] != b'255':
        raise ValueError(f'{path}: not an 8-bit P6 PPM')
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + width * height * 3]


def read_picture(path):
    return read_ppm(path) if path.endswith(('.ppm', '.pnm')) else read_png(path)


def main(args):
    command = args[0]
    if command == 'size':
        w, h, _ = read_picture(args[1])
        print(w, h)
    elif command == 'pixel':
        w, _, px = read_picture(args[1])
        i = (int(args[3]) * w + int(args[2])) * 3
        print(px[i], px[i + 1], px[i + 2])
    elif command == 'same':
        return 0 if read_picture(args[1]) == read_picture(args[2]) else 1
    elif command == 'drawn':
        w, h, px = read_picture(args[1])
        ground = px[:3]
        print(f'{sum(px[i:i + 3] != ground for i in range(0, len(px), 3)) / (w * h):.3f}')
    elif command == 'blend':
        _, _, a = read_picture(args[1])
        _, _, b = read_picture(args[2])
        _, _, out = read_picture(args[3])
        c = int(args[4])
        want = bytes((255 - c) * x // 256 + c * y // 256 for x, y in zip(a, b))
        return 0 if want == out else 1
    elif command == 'wash':
        w, h, px = read_picture(args[1])
        shift = px[0]
        for y in range(h):
            for x in range(w):
                i = (y * w + x) * 3
                if px[i:i + 3] != bytes(((x + shift) & 0xFF, y & 0xFF, 0x40)):
                    return 1
        return 0
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Writes the scan fuzzer's seed corpus into fuzz/seeds/.

Each seed is a recipe in the format scan_fuzzer.cc reads: a shape byte
(chunk choice in bits 0-1, a trailing partial block in bit 2, unwritten
pieces in bit 3), the block count - 1 (u16), the length of the first
writes' pieces - 1, then operations. Run it again after changing the
format, and commit what it writes.
"""
import os
import struct

(WRITE, TORN, FOREIGN, COPY, POKE, FIELD, ENTRY, ZERO, REWRITE, RAISE, BAD,
 FORM, RESEAL) = range(13)


def u16(v):
    return struct.pack('<H', v)


def head(shape, blocks, piece):
    return bytes([shape]) + u16(blocks - 1) + bytes([piece - 1])


def write(op, first, count, *extra):
    return bytes([op]) + u16(first) + bytes([count - 1, *extra])


SEEDS = {
    # Whole writes only, over three chunks and a partial last one.
    'clean': head(0, 300, 17) + write(WRITE, 60, 10) + write(WRITE, 120, 140),
    # Gaps, writes across chunk boundaries of the odd chunk size, and a
    # block written many times alone.
    'gaps': head(1 | 4 | 8, 200, 5) + write(WRITE, 62, 6) +
            bytes([REWRITE]) + u16(130) + u16(0x1234) + write(WRITE, 129, 3),
    # Lost, torn, misdirected and foreign writes.
    'lost': head(2, 400, 40) + write(TORN, 90, 20, 3, 5) +
            write(FOREIGN, 200, 30, 7) + bytes([COPY]) + u16(33) + u16(260) +
            bytes([ZERO]) + u16(97),
    # Flipped bits in header, map and fill, absurd extents and sequences.
    'hostile': head(3, 512, 100) +
               bytes([FIELD]) + u16(150) + bytes([8]) +
               struct.pack('<q', 0x7FFFFFFFFFFFFFFE) +
               bytes([FIELD]) + u16(151) + bytes([6]) + struct.pack('<I', 600) +
               bytes([FIELD]) + u16(152) + bytes([5]) + struct.pack('<I', 200) +
               bytes([ENTRY]) + u16(300) + bytes([64]) + u16(9) +
               bytes([ENTRY]) + u16(301) + bytes([10]) + u16(3) +
               bytes([POKE]) + u16(400) + u16(305) + bytes([0, 0xFF]) +
               bytes([RAISE]) + struct.pack('<Q', 1 << 40) +
               write(WRITE, 10, 100),
    # A block's generation wraps to 0 after a neighbour's write remembered
    # 0xFFFF.
    'wrap': head(0, 100, 100) + bytes([REWRITE]) + u16(10) + u16(0xFFFE) +
            write(WRITE, 11, 1) + bytes([REWRITE]) + u16(10) + u16(0xFFFF),
    # Stamps with and without checksums side by side, damaged stamps of
    # both forms, and a damaged one summed again as if its writer had
    # stamped it so.
    'forms': head(0, 300, 25) + bytes([FORM, 1]) + write(WRITE, 40, 30) +
             bytes([FORM, 0]) + write(WRITE, 60, 20) +
             bytes([FIELD]) + u16(45) + bytes([4]) + struct.pack('<I', 3) +
             bytes([FIELD]) + u16(65) + bytes([4]) + struct.pack('<I', 3) +
             bytes([ENTRY]) + u16(66) + bytes([70]) + u16(5) +
             bytes([FIELD]) + u16(150) + bytes([8]) + struct.pack('<q', 1 << 50) +
             bytes([RESEAL]) + u16(150),
    # A read that fails in the third chunk.
    'badspot': head(0, 250, 30) + bytes([BAD]) + u16(140) + u16(7),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds')
os.makedirs(here, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(here, name), 'wb') as f:
        f.write(data)

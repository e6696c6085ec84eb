#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into corpus/<target>/: the bundled
examples and small synthetic images of each format. Run it from anywhere; it
writes next to itself. The hash-named inputs beside the seeds are those the
fuzzers found reaching new code (added with libFuzzer's -merge=1), and inputs
that once found a fault are saved there by hand; this script leaves both alone.

A convert_* input is four settings bytes (gain level, inversion bit, sample
rate spread over 8000..192000 as 16 bits little-endian) followed by the image.
A detect input is one byte choosing the file extension, then the image.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")

# Settings: default gain 5 (level 75) at about 44100 Hz, inverted at
# 8000 Hz, and gain 9 (level 135) at 192000 Hz.
SETTINGS = [bytes([75, 0]) + struct.pack("<H", 12841),
            bytes([75, 1, 0, 0]),
            bytes([135, 0, 0xFF, 0xFF])]
# Detect's extension choices: index into its table of suffixes.
EXT = {"cas": 0, "htp": 2, "tap": 4, "none": 6, "prg": 8}


def zero_leader(payload, zeros=256):
    return bytes(zeros) + b"\xA5" + payload


def tap(version, payload, length=None, machine=0, video=0, prefix=b"C64-"):
    n = len(payload) if length is None else length
    return prefix + b"TAPE-RAW" + bytes([version, machine, video, 0]) + struct.pack("<I", n) + payload


CGC_HEADER = b"Colour Genie - Virtual Tape File"


def t64(entries, data):
    # Header (signature, version, entries and used entries, tape name), then
    # 32-byte entries: entry type, file type, start, end, offset, name.
    b = (b"C64 tape image file".ljust(32, b"\0") + struct.pack("<HHH", 0x0100, len(entries), len(entries))
         + b"TAPE".ljust(26, b" "))
    for kind, ftype, start, end, offset, name in entries:
        b += struct.pack("<BBHHHI4x", kind, ftype, start, end, 0, offset) + name.ljust(16, b" ")
    return b + data

IMAGES = {
    "cas": [zero_leader(b"\xD3\xD3\xD3H\x00"), zero_leader(b"", 255), bytes(3),
            zero_leader(b"\x42\x00\x42\x02\x01\x02\xFD", 1) * 2, b"\x55\x55\x7F\x00\x80"],
    "htp": [zero_leader(b"HELLO\x00\x16\x40\x01\x00A\x41\x00"), zero_leader(b"\xFF\x81")],
    "mtap": [tap(0, b"\x30\x00\x00\x00\x42"), tap(1, b"\x30\x00\x10\x27\x00\x56"),
             tap(2, b"\x30\x30\x00\x01\x00\x00\x01"), tap(1, b"\x30" * 8, length=1000),
             tap(1, b"\x30" * 8, length=2), tap(3, b""), tap(0, b"", machine=1, video=1),
             tap(1, b"\x40", machine=2, video=7)],
    "prg": [b"\x01\x08\x0b\x08\x0a\x00\x99\x22HI\x22\x00\x00\x00", b"\xff\xff\x00", b"\x00\xc0",
            b"C64File\0" + b"GAME".ljust(16, b"\0") + b"\0\0\x00\xc0\x60",
            t64([(1, 0x82, 0x0801, 0xFFFF, 0x80, b"ONE"), (3, 0, 0, 0, 0x83, b"FREEZE"),
                 (1, 0x81, 0xC000, 0xC001, 0x84, b"SEQ"), (1, 0x82, 0xC000, 0xC001, 0x85, b"TWO")],
                b"\x00\x00\x00\x01\x60")],
    "cgc": [CGC_HEADER + b" made by hand\x00f\x55GAME\x00\x00\x3C\x01\x00\x70\x41\x71\x78\x00\x70",
            CGC_HEADER + b"\x00\x55\x66\x01", CGC_HEADER + b"no end", b"\x66\x66\x66\x55ABC",
            b"\xAA\xAA\x66\x00"],
}
EXAMPLE_FORMAT = {".cas": "cas", ".htp": "htp", ".tap": "mtap", ".prg": "prg", ".t64": "prg"}


def examples():
    found = {}
    if not os.path.isdir(EXAMPLES):
        return found
    for name in sorted(os.listdir(EXAMPLES)):
        stem, ext = os.path.splitext(name)
        fmt = EXAMPLE_FORMAT.get(ext.lower())
        if fmt is None:
            continue
        if "cgenie" in stem:
            fmt = "cgc"
        with open(os.path.join(EXAMPLES, name), "rb") as f:
            found.setdefault(fmt, []).append((name, f.read()))
    return found


def write(target, name, content):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(content)


def main():
    bundled = examples()
    for fmt in IMAGES:
        images = [("synthetic-%d" % i, im) for i, im in enumerate(IMAGES[fmt])]
        images += [("example-" + n, im) for n, im in bundled.get(fmt, [])]
        ext = {"cas": "cas", "htp": "htp", "mtap": "tap", "cgc": "cas", "prg": "prg"}[fmt]
        for name, image in images:
            # The examples are larger: one set of settings is enough for them.
            settings = SETTINGS[:1] if name.startswith("example-") else SETTINGS
            for i, s in enumerate(settings):
                write("convert_" + fmt, "seed-%s-%d" % (name, i), s + image)
            write("detect", "seed-%s-%s" % (fmt, name), bytes([EXT[ext]]) + image)
        write("detect", "seed-%s-noext" % fmt, bytes([EXT["none"]]) + IMAGES[fmt][0])


main()

#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into corpus/<target>/: the bundled
examples and small synthetic images of each format. Run it from anywhere; it
writes next to itself. The hash-named inputs beside the seeds are those the
fuzzers found reaching new code (added with libFuzzer's -merge=1), and inputs
that once found a fault are saved there by hand; this script leaves both alone.

A convert_* input is four settings bytes (gain level, inversion bit, sample
rate spread over 8000..192000 as 16 bits little-endian) followed by the image.
A detect input is one byte choosing the file extension, then the image.

Given the path of a built korvax, it also writes the read_recording seeds,
from the program's own WAVs of the examples at 22050 Hz (8-bit): a read input
is four settings bytes (sample rate spread over 8000..192000 as 16 bits
little-endian, the reader and the kind of samples, repeats less one), then
samples. Every example gives the whole tape as runs (each byte a level and a
length in 22050ths of a second) with every long steady stretch (a leader, a
silence) cut short, read by its machine's reader; some of them again in two
channels, with -V, or at the ends of the rate's range. A few give a slice of
raw samples around the end of the leader (its last moments, the sync byte and
the bytes after it), read by all four readers.

    fuzz/make_seeds.py [build/release/korvax]
"""
import os
import struct
import subprocess
import sys
import tempfile
import wave

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


# read_recording: each example, its reader (the low 3 bits of the reader
# byte: 0 TRS-80, 1 at 250 baud, 2 at 500, 3 at 1500, 4 Commodore, 5 Colour
# Genie, 6 Homelab, 7 all four) and the options of the run that writes it.
READ_EXAMPLES = [("hello.cas", 2, []), ("hello-level1.cas", 1, []), ("hello-fast.cas", 3, []),
                 ("hello.prg", 4, []), ("hello-cgenie.cas", 5, []), ("hello.htp", 6, [])]
READ_RATE = 22050
ALL_FOUR, RAW8, RUNS_TIMED, STEREO, VERIFY = 7, 0 << 3, 3 << 3, 0x20, 0x40


def rate_spread(rate):
    # The smallest spread the target maps to `rate` or above.
    return -(-(rate - 8000) * 0xFFFF // (192000 - 8000))


def read_settings(rate, reader, repeats=1):
    return struct.pack("<HBB", rate_spread(rate), reader, repeats - 1)


def program_wav(korvax, image, options):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "x.wav")
        subprocess.run([korvax, "-s", str(READ_RATE)] + options + ["-i", os.path.join(EXAMPLES, image), "-o", out],
                       check=True, capture_output=True)
        with wave.open(out, "rb") as w:
            assert w.getsampwidth() == 1 and w.getnchannels() == 1 and w.getframerate() == READ_RATE
            return w.readframes(w.getnframes())


def runs_of(samples):
    # Each sample as a level, -1, 0 or +1 (beyond a quarter of the peak), and
    # the levels as runs [level, length].
    peak = max(abs(b - 128) for b in samples) or 1
    runs = []
    for b in samples:
        v = b - 128
        level = 1 if v > peak / 4 else -1 if v < -peak / 4 else 0
        if runs and runs[-1][0] == level:
            runs[-1][1] += 1
        else:
            runs.append([level, 1])
    return runs


def steady(runs, i, period):
    # Whether run i repeats the run a period before it (the same level, within
    # a sample in length).
    a, b = runs[i], runs[i - period]
    return a[0] == b[0] and abs(a[1] - b[1]) <= 1


def steady_stretches(runs, longest=6, least=64):
    # The stretches [start, end) of runs that repeat with a period of 1 to
    # `longest` runs, at least `least` runs long, in order.
    found, i = [], longest
    while i < len(runs):
        for p in range(1, longest + 1):
            j = i
            while j < len(runs) and steady(runs, j, p):
                j += 1
            if j - i >= least:
                found.append((i - p, j, p))
                i = j
                break
        else:
            i += 1
    return found


def leader_slice(samples, before=0.2, after=0.15):
    # The samples around the end of the first steady stretch that is not
    # silence: the end of the leader, where the sync byte starts.
    runs = runs_of(samples)
    starts = [0]
    for r in runs:
        starts.append(starts[-1] + r[1])
    for a, b, p in steady_stretches(runs):
        if any(runs[k][0] != 0 for k in range(a, a + p)):
            end = starts[b]
            return samples[max(0, end - int(before * READ_RATE)):end + int(after * READ_RATE)]
    raise ValueError("no leader found")


def shortened(runs, keep=1200):
    # The runs with every steady stretch cut to about `keep` runs, so that
    # leaders and silences stay long enough to lock onto but no longer. What
    # is cut is a whole number of the stretch's periods, so that the wave goes
    # on in step into what follows.
    out, at = [], 0
    for a, b, p in steady_stretches(runs):
        if b - a > keep:
            cut = (b - a - keep) // p * p
            out += runs[at:b - cut]
            at = b
    return out + runs[at:]


def run_bytes(runs):
    # Each run as bytes of the read target's runs: the level in the top two
    # bits (0 low, 1 silent, 2 high), the length less one in the low six.
    out = bytearray()
    for level, n in runs:
        while n > 0:
            k = min(n, 64)
            out.append((level + 1) << 6 | (k - 1))
            n -= k
    return bytes(out)


def read_seeds(korvax):
    # The variants: the same tape in two channels, with -V, at the slowest
    # rate and at the fastest.
    variant = {"hello.cas": (READ_RATE, STEREO), "hello-fast.cas": (READ_RATE, VERIFY),
               "hello-cgenie.cas": (8000, 0), "hello.htp": (192000, VERIFY)}
    sliced = ("hello.cas", "hello.htp", "hello.prg")
    for image, reader, options in READ_EXAMPLES:
        samples = program_wav(korvax, image, options)
        if image in sliced:
            write("read_recording", "seed-slice-" + image,
                  read_settings(READ_RATE, ALL_FOUR | RAW8) + leader_slice(samples))
        runs = run_bytes(shortened(runs_of(samples)))
        write("read_recording", "seed-runs-" + image, read_settings(READ_RATE, reader | RUNS_TIMED) + runs)
        if image in variant:
            rate, extra = variant[image]
            write("read_recording", "seed-runs-%d-%x-%s" % (rate, extra, image),
                  read_settings(rate, reader | RUNS_TIMED | extra) + runs)
    # A leader alone, repeated: one 500 baud cell of the TRS-80 (a clock
    # pulse, then quiet) made into a whole leader by the repeat count.
    cell = run_bytes([[1, 3], [-1, 3], [0, 39]])
    write("read_recording", "seed-repeated-cell", read_settings(READ_RATE, ALL_FOUR | RUNS_TIMED, 256) + cell)


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
    if len(sys.argv) > 1:
        read_seeds(sys.argv[1])


main()

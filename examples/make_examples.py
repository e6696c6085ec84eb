#!/usr/bin/env python3
"""Writes the bundled example tape images, laid out the way each machine's
cassette routine writes them. Run it from anywhere; it writes next to itself.

hello.cas  TRS-80 Model I Level II BASIC:  10 PRINT "HELLO FROM KORVAX"
                                           20 GOTO 10
hello-255.cas  the same, after a leader of 255 zero bytes, as most tools
               write it
hello-level1.cas  TRS-80 Level I (250 baud): a block of memory at 0x4200
                  holding the text HELLO FROM KORVAX
hello-fast.cas  TRS-80 Model III high speed (1500 baud): the BASIC program
                of hello.cas
hello.htp  Homelab: one block named HELLO holding the text HELLO FROM KORVAX
hello-cgenie.cas  Colour Genie SYSTEM tape HELLO: copies HELLO FROM KORVAX to
                  the screen and waits, after the emulators' text header
hello.tap  Commodore 64 BASIC, as the ROM loader reads it from tape:
                                           10 PRINT "HELLO FROM KORVAX"
                                           20 GOTO 10
hello.prg  the same program as a C64 program file: load address, then bytes
hello2.t64 a T64 archive of two programs: the same BASIC program named HELLO,
           and machine code at 0xC000 named BORDER (SYS 49152 flashes the
           border)
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def trs80_basic_program():
    # Level II keeps BASIC at 0x42E9; each line is a pointer to the next line,
    # the line number, the tokenised text and a 0x00; two zero bytes end it.
    lines = [(10, bytes([0xB2]) + b' "HELLO FROM KORVAX"'),  # 0xB2 = PRINT
             (20, bytes([0x8D]) + b" 10")]                   # 0x8D = GOTO
    addr = 0x42E9
    program = b""
    for number, text in lines:
        addr += 2 + 2 + len(text) + 1
        program += addr.to_bytes(2, "little") + number.to_bytes(2, "little") + text + b"\0"
    program += b"\0\0"
    # Three 0xD3 and a one-letter name come first.
    return b"\xD3\xD3\xD3H" + program


def trs80_basic(leader=256):
    # Leader of zero bytes, the sync byte, then the program.
    return bytes(leader) + b"\xA5" + trs80_basic_program()


def trs80_level1():
    # Leader, sync byte, the start and end (exclusive) addresses big-endian,
    # the bytes, and a checksum that makes the bytes sum to 0 mod 256 (as in
    # the real Level I images seen).
    data = b"HELLO FROM KORVAX\r"
    start = 0x4200
    return (bytes(255) + b"\xA5" + start.to_bytes(2, "big") + (start + len(data)).to_bytes(2, "big")
            + data + bytes([-sum(data) % 256]))


def trs80_high_speed():
    # A leader of 0x55 bytes and the sync byte 0x7F, then every byte of the
    # tape behind a 0 start bit, packed most significant bit first; 0 bits
    # fill the last byte.
    bits = "".join("0" + format(b, "08b") for b in trs80_basic_program())
    bits += "0" * (-len(bits) % 8)
    return bytes([0x55] * 256) + b"\x7F" + bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


def homelab_block():
    # Leader, sync byte, name ending in 0x00, load address and length (both
    # little-endian), the data, its checksum (sum mod 256), then 0x00 for
    # "last block".
    data = b"HELLO FROM KORVAX"
    load = 0x4016
    return (bytes(256) + b"\xA5" + b"HELLO\0" + load.to_bytes(2, "little")
            + len(data).to_bytes(2, "little") + data + bytes([sum(data) % 256]) + b"\0")


def cgenie_system():
    # A SYSTEM tape loaded at 0x4800: LD HL,text; LD DE,0x4400 (the screen);
    # LD BC,length; LDIR; then JR to itself. The text follows the code.
    text = b"HELLO FROM KORVAX"
    load = 0x4800
    code = (b"\x21" + (load + 13).to_bytes(2, "little")
            + b"\x11\x00\x44"
            + b"\x01" + len(text).to_bytes(2, "little")
            + b"\xED\xB0"
            + b"\x18\xFE")
    data = code + text
    # Sync byte, 0x55, a six-character name, then one block: 0x3C, length,
    # address (little-endian), data and its checksum (address bytes plus data,
    # mod 256); 0x78 and the entry address end the tape.
    block = (b"\x3C" + bytes([len(data)]) + load.to_bytes(2, "little") + data
             + bytes([(load % 256 + load // 256 + sum(data)) % 256]))
    tape = b"\x66\x55" + b"HELLO " + block + b"\x78" + load.to_bytes(2, "little")
    # The text header, its free-text part, 0x1A and the 0x00 that ends it.
    header = (b"Colour Genie - Virtual Tape File"
              + b"\n\rName: HELLO\n\rAuthor: KORVAX\n\r\x1A\x00")
    return header + tape


# C64 tape pulses as TAP version 1 bytes (units of 8 cycles of the 985,248 Hz
# PAL clock): short, medium and long.
S, M, L = 0x30, 0x42, 0x56


def c64_byte(value):
    # A byte marker (long, medium), the eight bits least significant first (0
    # is short-medium, 1 medium-short), then a bit that makes the count of ones
    # odd.
    pulses = [L, M]
    parity = 1
    for bit in range(8):
        one = (value >> bit) & 1
        parity ^= one
        pulses += [M, S] if one else [S, M]
    return pulses + ([M, S] if parity else [S, M])


def c64_block(payload, leader):
    # A pilot of short pulses, then the block twice. Each copy is a sync
    # countdown (0x89..0x81 first, 0x09..0x01 for the repeat), the payload, an
    # XOR checksum and an end-of-data marker (long, short); 79 short pulses part
    # the copies and 78 end the block.
    checksum = 0
    for b in payload:
        checksum ^= b
    pulses = [S] * leader
    for first in (True, False):
        sync = range(0x89, 0x80, -1) if first else range(0x09, 0x00, -1)
        for b in list(sync) + list(payload) + [checksum]:
            pulses += c64_byte(b)
        pulses += [L, S]
        pulses += [S] * (0x4F if first else 0x4E)
    return bytes(pulses)


def c64_basic():
    # BASIC starts at 0x0801; lines are laid out as on the TRS-80.
    lines = [(10, bytes([0x99]) + b' "HELLO FROM KORVAX"'),  # 0x99 = PRINT
             (20, bytes([0x89]) + b" 10")]                   # 0x89 = GOTO
    addr = 0x0801
    program = b""
    for number, text in lines:
        addr += 2 + 2 + len(text) + 1
        program += addr.to_bytes(2, "little") + number.to_bytes(2, "little") + text + b"\0"
    return program + b"\0\0"


def c64_basic_tap():
    program = c64_basic()
    start = 0x0801
    end = start + len(program)
    # Header block: type 1 (BASIC program, loaded to the start of BASIC),
    # start and end (one past the last byte) addresses, the name padded with
    # spaces, and spaces up to 192 bytes.
    header = (bytes([1]) + start.to_bytes(2, "little") + end.to_bytes(2, "little")
              + b"HELLO".ljust(16, b" ")).ljust(192, b" ")
    # A third of a second of silence between the blocks: a zero byte and the
    # pause in cycles, three bytes little-endian.
    pause = b"\0" + (985248 // 3).to_bytes(3, "little")
    data = (c64_block(header, 0x6A00) + pause + c64_block(program, 0x1A00))
    return (b"C64-TAPE-RAW" + bytes([1, 0, 0, 0]) + len(data).to_bytes(4, "little") + data)


def c64_prg():
    # A program file: the load address, little-endian, then the bytes.
    return (0x0801).to_bytes(2, "little") + c64_basic()


def c64_t64():
    # Machine code at 0xC000: INC 0xD020 (the border colour), DEX, BNE back,
    # DEY, BNE back, RTS.
    code = b"\xEE\x20\xD0\xCA\xD0\xFA\x88\xD0\xF7\x60"
    programs = [(b"HELLO", 0x0801, c64_basic()), (b"BORDER", 0xC000, code)]
    # A 64-byte header (its signature, version 0x0101, the number of entries
    # and of used ones, the tape's name), then a 32-byte entry per program
    # (entry type 1, file type 0x82 for a program, start, end, the offset of
    # its bytes, its name padded with spaces), then the bytes.
    header = (b"C64S tape image file".ljust(32, b"\0") + (0x0101).to_bytes(2, "little")
              + len(programs).to_bytes(2, "little") * 2 + bytes(2) + b"KORVAX".ljust(24, b" "))
    offset = 64 + 32 * len(programs)
    entries = b""
    for name, start, data in programs:
        entries += (bytes([1, 0x82]) + start.to_bytes(2, "little") + (start + len(data)).to_bytes(2, "little")
                    + bytes(2) + offset.to_bytes(4, "little") + bytes(4) + name.ljust(16, b" "))
        offset += len(data)
    return header + entries + b"".join(data for _, _, data in programs)


for name, content in [("hello.cas", trs80_basic()), ("hello-255.cas", trs80_basic(255)),
                      ("hello-level1.cas", trs80_level1()), ("hello-fast.cas", trs80_high_speed()),
                      ("hello.htp", homelab_block()),
                      ("hello-cgenie.cas", cgenie_system()), ("hello.tap", c64_basic_tap()),
                      ("hello.prg", c64_prg()), ("hello2.t64", c64_t64())]:
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(content)

#!/usr/bin/env python3
"""Writes the bundled example tape images, laid out the way each machine's
cassette routine writes them. Run it from anywhere; it writes next to itself.

hello.cas  TRS-80 Model I Level II BASIC:  10 PRINT "HELLO FROM KORVAX"
                                           20 GOTO 10
hello.htp  Homelab: one block named HELLO holding the text HELLO FROM KORVAX
hello-cgenie.cas  Colour Genie SYSTEM tape HELLO: copies HELLO FROM KORVAX to
                  the screen and waits, after the emulators' text header
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def trs80_basic():
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
    # Leader of zero bytes, the sync byte, three 0xD3 and a one-letter name.
    return bytes(256) + b"\xA5" + b"\xD3\xD3\xD3H" + program


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


for name, content in [("hello.cas", trs80_basic()), ("hello.htp", homelab_block()),
                      ("hello-cgenie.cas", cgenie_system())]:
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(content)

// Commodore tape pulses, as TAP images hold them and as the C64 ROM's SAVE
// writes them, for the encoders and the readers alike.
//
// A pulse is a whole square wave; its length is counted in units of 8
// cycles of the machine's clock, so a machine's tape frequency (units a
// second) is its clock / 8.
//
// The ROM loader's blocks: pulses short 0x30, medium 0x42 and long 0x56 units
// on the PAL clock. A byte is a marker (long, medium), its eight bits least
// significant first (0 short-medium, 1 medium-short) and a bit that makes the
// count of ones odd. A block is a pilot of short pulses (27,136 before a
// header, 6,656 before data), then two copies: a countdown (0x89 to 0x81 in
// the first, 0x09 to 0x01 in the second), the payload, its XOR checksum, an
// end-of-data marker (long, short), and short pulses after it (79 after the
// first copy, 78 after the second). A header's 192 bytes: type 1 (a program
// loaded at 0x0801, the start of BASIC) or 3 (any other address), start and
// end address (one past the last byte), the name padded with spaces, spaces
// to the end. A third of a second parts the header from the data and one
// program from the next.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvax::cbm {

inline constexpr unsigned cycles_per_unit = 8;

// Tape frequencies.
inline constexpr std::uint32_t c64_pal = 123'156;    // 985,248 Hz / 8
inline constexpr std::uint32_t ntsc = 127'841;       // 1,022,728 Hz / 8, C64 and VIC-20
inline constexpr std::uint32_t vic20_pal = 138'551;  // 1,108,408 Hz / 8
inline constexpr std::uint32_t c264_pal = 110'840;   // 886,720 Hz / 8
inline constexpr std::uint32_t c264_ntsc = 111'860;  // 894,880 Hz / 8

inline constexpr std::uint64_t v0_zero_byte_cycles = 882;  // a TAP version 0 zero byte, not 256 x 8

// Version 2 half-waves start at this level and alternate with it XOR gain.
inline constexpr std::uint8_t v2_first_level = 80;
// A swing from 80 smaller than this (or upwards) is not read as a signal.
inline constexpr int v2_min_swing = 40;

// The ROM loader's blocks.
inline constexpr std::uint64_t short_pulse = 0x30, medium_pulse = 0x42, long_pulse = 0x56;
inline constexpr std::size_t header_pilot = 0x6A00, data_pilot = 0x1A00;
inline constexpr std::size_t first_trailer = 79, second_trailer = 78;
inline constexpr std::uint64_t pause_units = 985'248 / 3 / cycles_per_unit;  // a third of a second
inline constexpr std::size_t header_block_size = 192;
inline constexpr std::size_t name_size = 16;
inline constexpr std::uint16_t basic_start = 0x0801;
inline constexpr std::uint8_t relocatable_program = 1, absolute_program = 3;

// Where a reader tells the ROM loader's pulses apart, in units: halfway
// between short, medium and long, and longer ones are pauses.
inline constexpr double short_medium_split = 57, medium_long_split = 76, long_pause_split = 100;

// A reader of the program's own signal takes each pulse within a sample of
// its length.
inline constexpr double pulse_tolerance_samples = 1.0;

}  // namespace korvax::cbm

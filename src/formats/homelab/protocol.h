// The Homelab cassette signal, as the encoder writes it and the reader
// expects it, in cycles of the machine's 3 MHz clock.
//
// Every bit is single positive pulses in a cell of 4,425 cycles: 570 cycles
// high, then silence. A 1 bit has two pulses, one at the start of each 2,212
// cycle half cell. Bit 0, the last of each byte (bits go most significant
// first), has 680-cycle highs instead, so its cell is 110 cycles longer per
// pulse; the loader uses it to find byte boundaries. A silence of 55,300
// cycles comes first.
#pragma once

#include <cstdint>

namespace korvax::homelab {

inline constexpr std::uint32_t clock_hz = 3'000'000;
inline constexpr std::uint32_t leadin_cycles = 55'300;
inline constexpr std::uint32_t pulse_cycles = 570;
inline constexpr std::uint32_t last_pulse_cycles = 680;
inline constexpr std::uint32_t bit_cell_cycles = 4'425;

inline constexpr std::uint8_t leader_byte = 0x00, sync_byte = 0xA5;

// A reader of the program's own signal frames bytes by counting bits; the
// last bit's longer pulses (2.5% of a cell) are well within an eighth.
inline constexpr double loader_tolerance = 1.0 / 8;

}  // namespace korvax::homelab

// The TRS-80 Model I, III and 4 / Video Genie cassette signal, as the
// encoder writes it and the readers expect it. Timings are in cycles of the
// machine's 1.7472 MHz clock, or in microseconds at high speed.
//
// - 500 baud (Level II): bit cells of 3,566 cycles. Each cell starts with a
//   clock pulse (238 cycles high, 238 low); a 1 bit has a second pulse at the
//   start of the second half cell. The rest of a cell is silence.
// - 250 baud (Level I): the same, in cells of 6,240 cycles (1/280 s: real
//   Level I recordings run at about 280 bits a second).
// - 1500 baud (Model III and 4 high speed): every bit is one whole cycle, a
//   half at the gain, then a half at its negative: 720 us for a 0, 340 us for
//   a 1.
// Bits go most significant first. A silence of 55,300 cycles comes first.
#pragma once

#include <cstdint>

namespace korvax::trs80 {

inline constexpr std::uint32_t clock_hz = 1'747'200;
inline constexpr std::uint32_t leadin_cycles = 55'300;  // 31.7 ms
inline constexpr std::uint32_t pulse_half_cycles = 238;
inline constexpr std::uint32_t pulse_cycles = 2 * pulse_half_cycles;
inline constexpr std::uint32_t level2_cell_cycles = 3'566;
inline constexpr std::uint32_t level1_cell_cycles = 6'240;  // 1,747,200 Hz / 280

inline constexpr std::uint32_t fast_clock_hz = 1'000'000;  // high-speed timings are in microseconds
inline constexpr std::uint32_t fast_zero_us = 720;
inline constexpr std::uint32_t fast_one_us = 340;

inline constexpr std::uint8_t zero_leader_byte = 0x00, zero_sync_byte = 0xA5;
inline constexpr std::uint8_t fast_leader_byte = 0x55, fast_sync_byte = 0x7F;

// How far a reader of the program's own signal lets a gap or a cycle stray
// from its nominal length: an eighth, as a loader with a little margin would.
inline constexpr double loader_tolerance = 1.0 / 8;

inline constexpr std::uint32_t cell_cycles(int baud) { return baud == 250 ? level1_cell_cycles : level2_cell_cycles; }

}  // namespace korvax::trs80

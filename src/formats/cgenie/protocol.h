// The Colour Genie cassette signal (1200 baud), as the encoder writes it and
// the reader expects it.
//
// A square wave whose level changes after every half-wave, between the gain
// level and the silence level, and carries on across bit and byte
// boundaries. A 0 bit is one half-wave of 1/1200 s, a 1 bit two half-waves
// of 1/2400 s; bits go most significant first. Each half-wave is truncated to
// whole samples, so a 1 may be a sample shorter than a 0 (at 11025 Hz: 9
// samples for a 0, 4 + 4 for a 1). The machine's own leader of 255 bytes of
// 0xAA comes before the data, and the leader and the data sit between two
// silences of 15,000 cycles of the 2.21675 MHz clock (6.8 ms); a last
// half-wave at the silence level runs on into the closing silence.
#pragma once

#include <cstdint>

namespace korvax::cgenie {

inline constexpr std::uint32_t machine_clock_hz = 2'216'750;
// The timeline's clock: 48 machine cycles a tick, so that a 1200-baud
// half-wave is a whole number of ticks.
inline constexpr std::uint64_t tick_hz = 48ull * machine_clock_hz;  // 106,404,000 = 1200 x 88,670
inline constexpr std::uint64_t zero_half_wave_ticks = tick_hz / 1200;
inline constexpr std::uint64_t one_half_wave_ticks = tick_hz / 2400;
inline constexpr std::uint64_t silence_ticks = 48ull * 15'000;
inline constexpr double bit_rate = 1200.0;

inline constexpr int leader_bytes = 255;
inline constexpr std::uint8_t leader_byte = 0xAA;
inline constexpr std::uint8_t sync_byte = 0x66;  // "f"

inline constexpr double loader_tolerance = 1.0 / 8;

}  // namespace korvax::cgenie

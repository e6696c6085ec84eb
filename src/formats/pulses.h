// Commodore tape pulses as a TAP image gives them: lengths in units of 8
// machine cycles, played at the machine's tape frequency (its clock / 8).
// Shared by the TAP format and the program file format.
#pragma once

#include <cstdint>

#include "output/wav.h"

namespace korvax {

// Units a second on a PAL C64: 985,248 Hz / 8.
inline constexpr std::uint32_t c64_pal_units = 123'156;

// A pulse of `units` at `units_per_second` in samples of `rate`, rounded to
// the nearest sample, in 64 bits so that the longest pauses come out whole.
inline std::uint64_t pulse_samples(std::uint64_t units, std::uint32_t units_per_second, std::uint32_t rate) {
    return (std::uint64_t{rate} * units + units_per_second / 2) / units_per_second;
}

// One pulse as a whole square wave, its shorter half first: at level 0 and
// then at `gain`, as a TAP image of version 0 or 1 plays it, or with
// `high_first` at `gain` and then at 0, so that every pulse starts with the
// falling edge a loader times it from.
void square_pulse(wav_writer& out, std::uint64_t units, std::uint32_t units_per_second, std::uint8_t gain,
                  bool high_first = false);

}  // namespace korvax

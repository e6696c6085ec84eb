// Commodore pulses onto the timeline, each rounded to the nearest sample.
#pragma once

#include <span>

#include "formats/cbm/pulses.h"
#include "formats/format.h"

namespace korvax::cbm {

// A TAP image's pulse data at `frequency` units a second. In versions 0 and
// 1 a pulse is a whole square wave, its first half at level 0 and its second
// at the gain; in version 2 each pulse is one half-wave, the level swinging
// between 80 and 80 XOR the gain. There is no lead-in: the image carries
// everything, pauses included.
void play_tap(int version, std::span<const std::uint8_t> data, std::uint32_t frequency, const signal_levels& s,
              timeline& t);

// Programs as the C64's SAVE writes them, played as a TAP image of version 1
// on a PAL C64 plays pulses but with the high half of each first: a loader
// times a pulse from the falling edge at its start, so this signal reads back
// without -n.
void play_programs(const std::vector<program>& programs, const signal_levels& s, timeline& t);

}  // namespace korvax::cbm

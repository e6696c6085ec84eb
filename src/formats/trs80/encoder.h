// The TRS-80 signal of an image's bytes, onto the timeline.
#pragma once

#include <span>

#include "formats/format.h"
#include "tape/layout.h"

namespace korvax::trs80 {

// The lead-in, then every byte at 250, 500 or 1500 baud, marking the
// timeline where each of `parts` starts.
void play(std::span<const std::uint8_t> bytes, int baud, const std::vector<tape_part>& parts, const signal_levels& s,
          timeline& t);

}  // namespace korvax::trs80

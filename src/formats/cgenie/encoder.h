// The Colour Genie signal of an image's data, onto the timeline.
#pragma once

#include <span>

#include "formats/format.h"
#include "tape/layout.h"

namespace korvax::cgenie {

// A silence, the leader, every byte of `data`, a silence, marking the
// timeline where each of `parts` (by byte of `data`) starts.
void play(std::span<const std::uint8_t> data, const std::vector<tape_part>& parts, const signal_levels& s,
          timeline& t);

}  // namespace korvax::cgenie

// The Homelab signal of an image's bytes, onto the timeline.
#pragma once

#include <span>

#include "formats/format.h"
#include "tape/layout.h"

namespace korvax::homelab {

// The lead-in, then every byte, marking the timeline where each of `parts`
// starts.
void play(std::span<const std::uint8_t> bytes, const std::vector<tape_part>& parts, const signal_levels& s,
          timeline& t);

}  // namespace korvax::homelab

// The Homelab signal of an image's bytes, onto the timeline.
#pragma once

#include <span>

#include "formats/format.h"

namespace korvax::homelab {

// The lead-in, then every byte.
void play(std::span<const std::uint8_t> bytes, const signal_levels& s, timeline& t);

}  // namespace korvax::homelab

// The Colour Genie signal of an image's data, onto the timeline.
#pragma once

#include <span>

#include "formats/format.h"

namespace korvax::cgenie {

// A silence, the leader, every byte of `data`, a silence.
void play(std::span<const std::uint8_t> data, const signal_levels& s, timeline& t);

}  // namespace korvax::cgenie

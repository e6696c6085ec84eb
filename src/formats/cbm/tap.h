#pragma once

#include "formats/format.h"

namespace korvax {

extern const tape_format tap_format;

}  // namespace korvax

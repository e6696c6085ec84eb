#pragma once

#include "formats/format.h"

namespace korvax {

extern const tape_format cas_trs80_format;

}  // namespace korvax

#pragma once

#include "formats/format.h"

namespace korvax {

extern const tape_format cgc_format;

}  // namespace korvax

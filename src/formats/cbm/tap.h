#pragma once

#include "formats/format.h"

namespace korvax {

extern const tape_format mtap_format;

}  // namespace korvax

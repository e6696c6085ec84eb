#pragma once

#include "formats/format.h"

namespace korvax {

extern const tape_format cbm_prg_format;

}  // namespace korvax

#pragma once

#include "formats/format.h"

namespace korvax {

extern const tape_format htp_format;

}  // namespace korvax

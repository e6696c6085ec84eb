#pragma once

#include "driver/korvax.h"

namespace korvax {
extern const tape_format cas_trs80_format;
}

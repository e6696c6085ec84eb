#pragma once

#include "driver/korvax.h"

namespace korvax {
extern const tape_format htp_format;
}

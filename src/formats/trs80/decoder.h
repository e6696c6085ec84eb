// The TRS-80 signal read back as the machine's loader reads it (-V).
#pragma once

#include <span>

#include "formats/format.h"

namespace korvax::trs80 {

// At 250 and 500 baud a pulse opens every cell, and a second one half a cell
// later makes the bit a 1; at 1500 baud each bit is a whole cycle. The bits
// are compared with `bytes`.
readback read_back(std::span<const std::uint8_t> bytes, int baud, sample_source& wav);

}  // namespace korvax::trs80

// What a TRS-80 tape's bytes hold after each sync byte: a SYSTEM tape, a
// BASIC program or a Level I program, with its name, addresses and checksums,
// and where each part starts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tape/layout.h"

namespace korvax::trs80 {

struct program_layout {
    std::string kind;  // "SYSTEM", "BASIC", "Level I", or "data" when none of these
    std::string name;
    std::optional<unsigned> load_address;
    std::size_t length = 0;       // data bytes (SYSTEM: in its blocks)
    std::size_t size = 0;         // bytes from the first after the sync byte to the program's end
    std::optional<bool> checksums_hold;  // where the kind has them
    std::size_t blocks = 0;       // SYSTEM
};

// The program after a sync byte: `b` starts with the byte after it. A Level I
// program is one only when `level1` (its bytes alone do not tell).
program_layout read_program(std::span<const std::uint8_t> b, bool level1);

// The parts of a whole image at 250 or 500 baud: each leader of zero bytes,
// its sync byte 0xA5, the program's header and data. At 1500 baud: the 0x55
// leader, the sync byte 0x7F and the data.
std::vector<tape_part> parts(std::span<const std::uint8_t> image, int baud);

}  // namespace korvax::trs80

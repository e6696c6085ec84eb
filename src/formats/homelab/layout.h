// The blocks of a Homelab tape's bytes: after each leader of zero bytes and
// the sync byte 0xA5, a name ending in 0x00, the load address and the length
// (both little-endian), the data, the checksum (the data added) and a flag
// byte (0x00 for the last block, 0xD8 when another follows).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tape/layout.h"

namespace korvax::homelab {

struct block_layout {
    std::size_t sync = 0;  // where its sync byte is
    std::string name;
    unsigned load_address = 0;
    std::size_t length = 0;
    bool complete = false;       // its data, checksum and flag are all there
    bool checksum_holds = false;
    std::size_t end = 0;         // one past its flag byte
};

std::vector<block_layout> blocks(std::span<const std::uint8_t> image);
std::vector<tape_part> parts(std::span<const std::uint8_t> image);

}  // namespace korvax::homelab

// The start of a TRS-80 or Homelab image.
//
// Both machines write a leader of zero bytes and the sync byte 0xA5; real
// images have leaders of any length (most have 255 bytes, some 128 or 256).
// The two are told apart only by the file extension. TRS-80 images have two
// more kinds:
// - Level I tapes (250 baud) have a leader of zeros and 0xA5 too, then a
//   program: its start and end addresses (big-endian, the end exclusive), the
//   bytes between them and a checksum. Images often hold it twice.
// - Model III and 4 high-speed tapes (1500 baud) have a leader of 0x55 bytes
//   and the sync byte 0x7F.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace korvax {

struct tape_start {
    enum kind_t { none, low_speed, level1, high_speed } kind = none;
    std::uint64_t leader = 0;  // bytes before the sync byte
    // A Level I program whose bytes run out before its checksum: the data
    // bytes its addresses call for, and those the image has.
    std::uint64_t level1_wanted = 0, level1_found = 0;
};

// How the image starts. Only zero leaders count unless `trs80`, which also
// tells high speed and Level I images.
tape_start read_tape_start(std::span<const std::uint8_t> bytes, bool trs80);

// The line that tells a kind the plain rule (exactly 256 zero bytes, then
// 0xA5) does not cover, for the detection report; empty for that plain kind.
std::string tape_start_line(const tape_start& start);

}  // namespace korvax

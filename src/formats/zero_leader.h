// Recognition shared by the TRS-80 and Homelab images: both start with the
// machine's own leader of exactly 256 zero bytes and the sync byte 0xA5, and
// are told apart only by the file extension.
#pragma once

namespace korvax {

// Whether the path ends in `extension` (with its dot, any letter case) and the
// file starts with 256 bytes of 0x00 followed by 0xA5.
bool has_zero_leader(const char* path, const char* extension);

}  // namespace korvax

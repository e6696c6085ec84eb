#include "formats/zero_leader.h"

#include "formats/format.h"

namespace korvax {

bool has_zero_leader(const char* path, const char* extension) {
    constexpr int leader_bytes = 256;
    constexpr int sync_byte = 0xA5;

    if (!has_extension(path, extension)) return false;
    const file_ptr f = open_image(path);
    if (!f) return false;
    // The end of the file counts as a non-zero byte.
    bool leader = true;
    for (int i = 0; i < leader_bytes && leader; ++i) leader = std::getc(f.get()) == 0;
    leader = leader && std::getc(f.get()) == sync_byte;
    check_read(f.get(), path);
    return leader;
}

}  // namespace korvax

#include "formats/zero_leader.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace korvax {

bool has_extension(const char* path, const char* extension) {
    const char* dot = std::strrchr(path, '.');
    return dot != nullptr && ::strcasecmp(dot, extension) == 0;
}

bool has_zero_leader(const char* path, const char* extension) {
    constexpr int leader_bytes = 256;
    constexpr int sync_byte = 0xA5;

    if (!has_extension(path, extension)) return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path, "rb"), std::fclose);
    if (!f) return false;
    // The end of the file counts as a non-zero byte.
    for (int i = 0; i < leader_bytes; ++i)
        if (std::getc(f.get()) != 0) return false;
    return std::getc(f.get()) == sync_byte;
}

}  // namespace korvax

#include "formats/zero_leader.h"

#include "formats/format.h"

namespace korvax {
namespace {

constexpr int zero_sync = 0xA5;
constexpr int fast_fill = 0x55;
constexpr int fast_sync = 0x7F;
constexpr long level1_lowest_start = 0x4000;
// Bytes after a Level I program that still leave the image one: emulators
// and tools pad or append a little.
constexpr long level1_most_after = 32;

// Counts the bytes equal to `fill` from the stream's position; whether there
// is at least one and the byte after them (the end of the file counts as a
// byte of its own) is `sync`.
bool leader(std::FILE* in, int fill, int sync, std::uint64_t& count) {
    int c;
    count = 0;
    while ((c = std::getc(in)) == fill) ++count;
    return count > 0 && c == sync;
}

// Whether the bytes after the sync byte read as a Level I program: its start
// address (at least 0x4000) and end address (exclusive, not below the start),
// both big-endian, then the bytes between them and a checksum, which is not
// checked. After it the file ends, holds a few bytes more, or starts another
// leader (the program again).
bool level1_program(std::FILE* in) {
    int b[4];
    for (int& x : b)
        if ((x = std::getc(in)) == EOF) return false;
    const long start = b[0] << 8 | b[1], end = b[2] << 8 | b[3];
    if (start < level1_lowest_start || end < start) return false;
    if (std::fseek(in, end - start, SEEK_CUR) != 0 || std::getc(in) == EOF) return false;
    const long after = std::ftell(in);
    if (after < 0) return false;
    std::uint64_t zeros = 0;
    if (leader(in, 0, zero_sync, zeros)) return true;
    return std::fseek(in, 0, SEEK_END) == 0 && std::ftell(in) - after <= level1_most_after;
}

}  // namespace

tape_start read_tape_start(std::FILE* in, bool trs80) {
    tape_start s;
    std::fseek(in, 0, SEEK_SET);
    const int first = std::getc(in);
    std::fseek(in, 0, SEEK_SET);
    if (first == 0 && leader(in, 0, zero_sync, s.leader))
        s.kind = trs80 && level1_program(in) ? tape_start::level1 : tape_start::low_speed;
    else if (trs80 && first == fast_fill && leader(in, fast_fill, fast_sync, s.leader))
        s.kind = tape_start::high_speed;
    else
        s.leader = 0;
    // Not rewind, which would clear a read error.
    std::fseek(in, 0, SEEK_SET);
    return s;
}

tape_start image_start(const char* path, const char* extension, bool trs80) {
    if (extension != nullptr && !has_extension(path, extension)) return {};
    const file_ptr f = open_image(path);
    if (!f) return {};
    const tape_start s = read_tape_start(f.get(), trs80);
    check_read(f.get(), path);
    return s;
}

std::string tape_start_line(const tape_start& start) {
    switch (start.kind) {
        case tape_start::level1:
            return "TRS-80 Level I tape (250 baud).";
        case tape_start::high_speed:
            return "TRS-80 high-speed tape (1500 baud).";
        case tape_start::low_speed:
            if (start.leader == 256) return "";
            return "Leader of " + std::to_string(start.leader) + (start.leader == 1 ? " zero byte." : " zero bytes.");
        default:
            return "";
    }
}

}  // namespace korvax

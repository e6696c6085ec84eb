#include "formats/tape_start.h"


namespace korvax {
namespace {

constexpr int zero_sync = 0xA5;
constexpr int fast_fill = 0x55;
constexpr int fast_sync = 0x7F;
constexpr std::uint64_t level1_lowest_start = 0x4000;
constexpr int level2_system = 0x55, level2_basic = 0xD3;
// Bytes after a Level I program that still leave the image one: emulators
// and tools pad or append a little.
constexpr std::uint64_t level1_most_after = 32;

// Counts the bytes equal to `fill` from `at`; whether there is at least one
// and the byte after them (the end counts as a byte of its own) is `sync`.
bool leader(std::span<const std::uint8_t> b, std::size_t at, int fill, int sync, std::uint64_t& count) {
    std::size_t i = at;
    while (i < b.size() && b[i] == fill) ++i;
    count = i - at;
    return count > 0 && i < b.size() && b[i] == sync;
}

// Whether the bytes from `at` (after the sync byte) read as a Level I
// program: its start address (at least 0x4000) and end address (exclusive,
// not below the start), both big-endian, then the bytes between them and a
// checksum, which is not checked. After it the image ends, holds a few bytes
// more, or starts another leader (the program again). A program whose bytes
// run out before its checksum is one too, cut short: `s` says how far.
bool level1_program(std::span<const std::uint8_t> b, std::size_t at, tape_start& s) {
    if (b.size() < at + 4) return false;
    const std::uint64_t start = b[at] << 8 | b[at + 1], end = b[at + 2] << 8 | b[at + 3];
    if (start < level1_lowest_start || end < start) return false;
    const std::uint64_t checksum = at + 4 + (end - start);
    // Cut short, only the addresses speak for Level I: a Level II tape's
    // first byte (0x55 before a SYSTEM tape's name, 0xD3 before BASIC) is
    // none of its.
    if (checksum >= b.size() && (b[at] == level2_system || b[at] == level2_basic)) return false;
    if (checksum >= b.size()) {
        s.level1_wanted = end - start;
        s.level1_found = b.size() - (at + 4);
        return true;
    }
    const std::uint64_t after = checksum + 1;
    std::uint64_t zeros = 0;
    if (leader(b, after, 0, zero_sync, zeros)) return true;
    return b.size() - after <= level1_most_after;
}

}  // namespace

tape_start read_tape_start(std::span<const std::uint8_t> b, bool trs80) {
    tape_start s;
    const int first = b.empty() ? -1 : b[0];
    if (first == 0 && leader(b, 0, 0, zero_sync, s.leader))
        s.kind = trs80 && level1_program(b, s.leader + 1, s) ? tape_start::level1 : tape_start::low_speed;
    else if (trs80 && first == fast_fill && leader(b, 0, fast_fill, fast_sync, s.leader))
        s.kind = tape_start::high_speed;
    else
        s.leader = 0;
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

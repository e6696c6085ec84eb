#include "formats/trs80/layout.h"

#include <cstdio>

#include "formats/trs80/protocol.h"

namespace korvax::trs80 {
namespace {

constexpr std::uint8_t system_mark = 0x55, block_mark = 0x3C, entry_mark = 0x78, basic_mark = 0xD3;
constexpr std::size_t system_name_size = 6;

std::string hex4(unsigned v) {
    char s[8];
    std::snprintf(s, sizeof s, "$%04X", v & 0xFFFF);
    return s;
}

std::string printable(std::span<const std::uint8_t> raw) {
    std::string s;
    for (std::uint8_t c : raw) s += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

// A SYSTEM tape: 0x55, a 6-character name, blocks of `0x3C len addr_lo
// addr_hi data checksum` (len 0 is 256 bytes; the checksum is the address
// bytes and the data added), then 0x78 and the entry address.
program_layout read_system(std::span<const std::uint8_t> b) {
    program_layout p{"SYSTEM", printable(b.subspan(1, std::min(system_name_size, b.size() - 1))), {}, 0, 0, true, 0};
    std::size_t i = 1 + system_name_size;
    while (i < b.size() && b[i] == block_mark) {
        if (i + 4 > b.size()) break;
        const std::size_t n = b[i + 1] == 0 ? 256 : b[i + 1];
        const unsigned address = b[i + 2] | b[i + 3] << 8;
        if (i + 4 + n + 1 > b.size()) {
            p.checksums_hold = false;
            i = b.size();
            break;
        }
        unsigned sum = b[i + 2] + b[i + 3];
        for (std::size_t k = 0; k < n; ++k) sum += b[i + 4 + k];
        if ((sum & 0xFF) != b[i + 4 + n]) p.checksums_hold = false;
        if (!p.load_address) p.load_address = address;
        p.length += n;
        ++p.blocks;
        i += 4 + n + 1;
    }
    if (i < b.size() && b[i] == entry_mark) i = std::min(b.size(), i + 3);
    p.size = i;
    return p;
}

}  // namespace

program_layout read_program(std::span<const std::uint8_t> b, bool level1) {
    if (level1 && b.size() >= 4) {
        const unsigned start = b[0] << 8 | b[1], end = b[2] << 8 | b[3];
        const std::size_t n = end >= start ? end - start : 0;
        program_layout p{"Level I", "", start, n, std::min(b.size(), 4 + n + 1), std::nullopt, 0};
        // The checksum makes the program's bytes add up to 0, as the Level I
        // tapes seen do.
        if (4 + n < b.size()) {
            unsigned sum = 0;
            for (std::size_t k = 0; k <= n; ++k) sum += b[4 + k];
            p.checksums_hold = (sum & 0xFF) == 0;
        }
        return p;
    }
    if (b.size() > system_name_size && b[0] == system_mark) return read_system(b);
    if (b.size() >= 4 && b[0] == basic_mark && b[1] == basic_mark && b[2] == basic_mark)
        return {"BASIC", printable(b.subspan(3, 1)), {}, b.size() - 4, b.size(), std::nullopt, 0};
    return {"data", "", {}, b.size(), b.size(), std::nullopt, 0};
}

std::vector<tape_part> parts(std::span<const std::uint8_t> image, int baud) {
    std::vector<tape_part> found;
    if (baud == 1500) {
        std::size_t i = 0;
        while (i < image.size() && image[i] == fast_leader_byte) ++i;
        found.push_back({0, tape_mark::what::leader, ""});
        if (i < image.size()) found.push_back({i, tape_mark::what::sync, ""});
        if (i + 1 < image.size()) found.push_back({i + 1, tape_mark::what::data, ""});
        return found;
    }
    for (std::size_t i = 0; i < image.size();) {
        std::size_t sync = i;
        while (sync < image.size() && image[sync] == zero_leader_byte) ++sync;
        if (sync == i || sync >= image.size() || image[sync] != zero_sync_byte) {
            if (i == 0) found.push_back({0, tape_mark::what::data, ""});
            break;
        }
        found.push_back({i, tape_mark::what::leader, ""});
        found.push_back({sync, tape_mark::what::sync, ""});
        const std::span<const std::uint8_t> rest = image.subspan(sync + 1);
        const program_layout p = read_program(rest, baud == 250);
        if (rest.empty()) break;
        std::string label = p.kind;
        if (!p.name.empty()) label += " " + p.name;
        if (p.load_address) label += " at " + hex4(*p.load_address);
        found.push_back({sync + 1, tape_mark::what::header, label});
        const std::size_t data = p.kind == "SYSTEM" ? 1 + system_name_size : p.kind == "data" ? 0 : 4;
        if (data > 0 && data < p.size) found.push_back({sync + 1 + data, tape_mark::what::data, std::to_string(p.length) + " bytes"});
        if (p.size == 0) break;
        i = sync + 1 + p.size;
    }
    return found;
}

}  // namespace korvax::trs80

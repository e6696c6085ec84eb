#include "formats/homelab/layout.h"

#include <algorithm>
#include <cstdio>

#include "formats/homelab/protocol.h"

namespace korvax::homelab {

std::vector<block_layout> blocks(std::span<const std::uint8_t> b) {
    std::vector<block_layout> found;
    for (std::size_t i = 0; i < b.size();) {
        std::size_t sync = i;
        while (sync < b.size() && b[sync] == leader_byte) ++sync;
        if (sync == i || sync >= b.size() || b[sync] != sync_byte) break;
        block_layout k;
        k.sync = sync;
        const auto zero = std::find(b.begin() + static_cast<std::ptrdiff_t>(sync) + 1, b.end(), 0);
        const auto name_end = static_cast<std::size_t>(zero - b.begin());
        for (std::size_t n = sync + 1; n < name_end; ++n)
            k.name += b[n] >= 0x20 && b[n] < 0x7F ? static_cast<char>(b[n]) : '?';
        const std::size_t head = name_end + 1;
        if (head + 4 > b.size()) {
            k.end = b.size();
            found.push_back(k);
            break;
        }
        k.load_address = b[head] | b[head + 1] << 8;
        k.length = b[head + 2] | b[head + 3] << 8;
        const std::size_t data = head + 4;
        k.complete = data + k.length + 2 <= b.size();
        if (k.complete) {
            unsigned sum = 0;
            for (std::size_t n = 0; n < k.length; ++n) sum += b[data + n];
            k.checksum_holds = (sum & 0xFF) == b[data + k.length];
        }
        k.end = std::min(b.size(), data + k.length + 2);
        found.push_back(k);
        i = k.end;
    }
    return found;
}

std::vector<tape_part> parts(std::span<const std::uint8_t> image) {
    std::vector<tape_part> found;
    std::size_t from = 0;
    for (const block_layout& k : blocks(image)) {
        found.push_back({from, tape_mark::what::leader, ""});
        found.push_back({k.sync, tape_mark::what::sync, ""});
        char label[64];
        std::snprintf(label, sizeof label, " at $%04X", k.load_address);
        found.push_back({k.sync + 1, tape_mark::what::header, (k.name.empty() ? "block" : k.name) + label});
        const std::size_t data = k.sync + 1 + k.name.size() + 1 + 4;
        if (data < k.end) found.push_back({data, tape_mark::what::data, std::to_string(k.length) + " bytes"});
        from = k.end;
    }
    return found;
}

}  // namespace korvax::homelab

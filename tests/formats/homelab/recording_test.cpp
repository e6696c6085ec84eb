// Reading Homelab tapes back, beyond the ladder's goals
// (tests/formats/ladder_test.cpp): what the report says of a block, and the
// image's leaders.
#include <gtest/gtest.h>

#include "formats/homelab/recording.h"

using korvax::tape_item;
using bytes = std::vector<std::uint8_t>;

// What the report says of a block, and the image's leaders.
TEST(homelab_recording, report_items_and_image) {
    // 0xA5, "AB", 0x00, load 0x4016, 2 bytes, their sum, the flag.
    const bytes good = {0xA5, 'A', 'B', 0, 0x16, 0x40, 2, 0, 0x10, 0x20, 0x30, 0x00};
    bytes bad = good, cut = good, endless = {0xA5};
    bad[9] ^= 1;
    cut.resize(9);
    endless.insert(endless.end(), 300, 'x');
    struct row {
        const char* what; bytes b; std::string name; int load; std::size_t length; tape_item::checksum check;
    };
    for (const row& c : std::vector<row>{
             {"sum right", good, "AB", 0x4016, 2, tape_item::checksum::holds},
             {"a byte wrong", bad, "AB", 0x4016, 2, tape_item::checksum::fails},
             {"cut short", cut, "AB", 0x4016, 2, tape_item::checksum::fails},
             {"no name's end", endless, std::string(300, 'x'), -1, 0, tape_item::checksum::fails},
         }) {
        const std::vector<tape_item> items = korvax::homelab::describe({{2.5, 0, c.b, {{1, 2.6}}}});
        ASSERT_EQ(items.size(), 1u) << c.what;
        const tape_item& it = items[0];
        EXPECT_EQ(it.machine, "Homelab") << c.what;
        EXPECT_EQ(it.name, c.name) << c.what;
        EXPECT_EQ(it.load_address ? int(*it.load_address) : -1, c.load) << c.what;
        EXPECT_EQ(it.length, c.length) << c.what;
        EXPECT_EQ(it.check, c.check) << c.what;
        EXPECT_EQ(it.start_seconds, 2.5) << c.what;
        EXPECT_EQ(it.doubtful.size(), 1u) << c.what;
    }
    // The first block after 256 zero bytes; a later one after the leader the
    // block before it ended with, or 128 zero bytes after a break.
    bytes led = good, want(256, 0);
    led.insert(led.end(), 200, 0);
    for (const bytes& b : {led, good, good}) want.insert(want.end(), b.begin(), b.end());
    want.insert(want.end() - std::ptrdiff_t(good.size()), 128, 0);
    EXPECT_EQ(korvax::homelab::htp_image({{0, 0, led, {}}, {5, 0, good, {}}, {9, 0, good, {}}}), want);
}

// Reading Colour Genie tapes back, beyond the ladder's goals
// (tests/formats/ladder_test.cpp): what the report says of a stretch, the
// image of several, and a tape through a high-pass far above the ladder's.
#include <gtest/gtest.h>

#include "formats/cgenie/recording.h"
#include "support/reading.h"
#include "support/signal.h"

using korvax::tape_item;
using bytes = std::vector<std::uint8_t>;

// What the report says of a stretch, from its bytes.
TEST(cgenie_recording, report_items) {
    // 0x66, SYSTEM "HELLO ", a block of 2 bytes at 0x4800 (checksum 0x48 +
    // 0x01 + 0x02), a block of 256 (length byte 0) at 0x4900, entry 0x4800.
    bytes system = {0x66, 0x55, 'H', 'E', 'L', 'L', 'O', ' ', 0x3C, 2, 0x00, 0x48, 1, 2, 0x4B, 0x3C, 0, 0x00, 0x49};
    system.insert(system.end(), 256, 1);
    system.insert(system.end(), {0x49, 0x78, 0x00, 0x48});
    bytes bad_sum = system, cut = system;
    bad_sum[12] ^= 0x10;
    cut.resize(cut.size() - 10);
    const bytes leader_run = {0x66, 0x66, 0x66, 0x55, 'A', 'B', 'C', 'D', 'E', 'F', 0x78, 0x00, 0x48};
    struct row {
        const char* what; bytes b; const char* kind; const char* name; int load; std::size_t length; tape_item::checksum check;
    };
    for (const row& c : std::vector<row>{
             {"two blocks, sums right", system, "SYSTEM", "HELLO", 0x4800, 258, tape_item::checksum::holds},
             {"a byte wrong", bad_sum, "SYSTEM", "HELLO", 0x4800, 258, tape_item::checksum::fails},
             {"cut short", cut, "SYSTEM", "HELLO", 0x4800, 258, tape_item::checksum::fails},
             {"sync bytes repeated, no blocks", leader_run, "SYSTEM", "ABCDEF", -1, 0, tape_item::checksum::holds},
             {"not a SYSTEM tape", {0x66, 0xD3, 0xD3, 0xD3, 'X', 0}, "data", "", -1, 5, tape_item::checksum::none},
         }) {
        const std::vector<tape_item> items = korvax::cgenie::describe({{1.5, 0, c.b, {{3, 2.0}}}});
        ASSERT_EQ(items.size(), 1u) << c.what;
        const tape_item& it = items[0];
        EXPECT_EQ(it.machine, "Colour Genie") << c.what;
        EXPECT_EQ(it.kind, c.kind) << c.what;
        EXPECT_EQ(it.name, c.name) << c.what;
        EXPECT_EQ(it.load_address ? int(*it.load_address) : -1, c.load) << c.what;
        EXPECT_EQ(it.length, c.length) << c.what;
        EXPECT_EQ(it.check, c.check) << c.what;
        EXPECT_EQ(it.start_seconds, 1.5) << c.what;
        EXPECT_EQ(it.doubtful.size(), 1u) << c.what;
    }
    // A second stretch gets a leader of its own in the image.
    bytes two = {0x66, 1, 2};
    two.insert(two.end(), 255, 0xAA);
    two.insert(two.end(), {0x66, 3});
    EXPECT_EQ(korvax::cgenie::cas_image({{0, 0, {0x66, 1, 2}, {}}, {9, 0, {0x66, 3}, {}}}), two);
}

// A tape whose level droops fast after each change (a strong first-order
// high-pass: a deck's or an interface's coupling) is still found and read:
// each level change's detector peak is then followed, within a third of a
// cell, by the next one's in the other direction and by a bump of the
// droop, neither of which may hide it or pass for one.
TEST(cgenie_recording, a_strong_high_pass) {
    const std::string image = std::string(KORVAX_EXAMPLES) + "/hello-cgenie.cas";
    const std::vector<std::uint8_t> wav = korvax_test::program_wav(image, 44100);
    for (const double hz : {300.0, 550.0, 800.0, 1500.0})
        for (const bool invert : {false, true}) {
            const korvax_test::rung r{hz, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
            korvax_test::cassette_source in(wav, 44100, r, {false, invert, false, 1});
            const korvax_test::condition c{44100, 0, invert};
            const korvax_test::score s = korvax_test::read_signal(korvax_test::machine::cgenie, image, in, c);
            EXPECT_TRUE(s.exact) << hz << " Hz" << (invert ? ", inverted" : "") << ": " << s.why;
        }
}

// Reading Homelab tapes back, beyond the ladder's goals
// (tests/formats/ladder_test.cpp): what the report says of a block, the
// image's leaders, and a block whose length a dropout hid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/samples.h"
#include "formats/homelab/recording.h"
#include "support/run.h"
#include "support/signal.h"

using korvax::tape_item;
using korvax_test::operator+;
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
        std::string missing = "";
    };
    for (const row& c : std::vector<row>{
             {"sum right", good, "AB", 0x4016, 2, tape_item::checksum::holds},
             {"a byte wrong", bad, "AB", 0x4016, 2, tape_item::checksum::fails},
             {"cut short", cut, "AB", 0x4016, 2, tape_item::checksum::fails, "cut short"},
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
        EXPECT_EQ(it.missing, c.missing) << c.what;
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

// A dropout over a block's length reads it short, in doubt: the block goes
// on past where that length ends it (and past zero bytes there), and all its
// bytes come back, before the next block. So too where both its bytes read 0
// and the first data byte, 0, passes for the checksum of no bytes. The image
// written so reads back as itself.
TEST(homelab_recording, a_length_read_short_loses_no_bytes) {
    // After the sync byte: "A", load 0x5000, 320 bytes (read as 64 when 0x01 is lost).
    bytes block = {'A', 0, 0x00, 0x50, 0x40, 0x01};
    unsigned sum = 0;
    for (int k = 0; k < 320; ++k) {
        block.push_back(std::uint8_t(k == 0 || (k >= 66 && k < 70) ? 0 : k * 7 + 1));
        sum += block.back();
    }
    block.push_back(std::uint8_t(sum));
    // The flag: 0xD8 where another block follows.
    const bytes image =
        korvax_test::with_zero_leader(block + bytes{0xD8} + bytes(128, 0) + bytes{0xA5} + block + bytes{0}, 256);
    const korvax_test::scratch_dir dir;
    constexpr unsigned rate = 22050;
    const std::vector<float> clean = korvax_test::program_signal(dir.write("two.htp", image), rate);
    korvax::memory_source first(clean, rate);
    const double byte_s = 8 * 4425 / 3e6, sync = korvax::homelab::read_recording(first).at(0).start_seconds;
    for (const auto& [from, bytes_lost] : {std::pair{6, 1}, std::pair{5, 2}}) {
        std::vector<float> y = clean;
        for (auto k = std::size_t((sync + from * byte_s) * rate);
             k < std::size_t((sync + (from + bytes_lost) * byte_s) * rate); ++k)
            y[k] *= 0.02f;
        korvax::memory_source in(y, rate);
        const std::vector<korvax::tape_segment> got = korvax::homelab::read_recording(in);
        ASSERT_EQ(got.size(), 2u) << bytes_lost;
        const bytes back = korvax::homelab::htp_image(got);
        ASSERT_EQ(back.size(), image.size()) << bytes_lost;
        for (std::size_t k = 0; k < image.size(); ++k)
            EXPECT_TRUE(back[k] == image[k] || std::any_of(got[0].doubtful.begin(), got[0].doubtful.end(),
                                                           [&](auto& d) { return d.index + 256 == k; }))
                << bytes_lost << ": byte " << k << " wrong, not in doubt";
        EXPECT_NE(back[256 + 6], image[256 + 6]) << bytes_lost << ": the length read right";
        // The image reads back as itself: played, its block runs on past the
        // length it holds, as far as the next leader and sync byte.
        const std::vector<float> played = korvax_test::program_signal(dir.write("back.htp", back), rate);
        korvax::memory_source again(played, rate);
        EXPECT_EQ(korvax::homelab::htp_image(korvax::homelab::read_recording(again)), back) << bytes_lost;
    }
}

// A level that swings fast (a crinkled tape, a head that loses contact: 8
// times a second between full and 30% of it) leaves an envelope that
// follows the start events slowly far above them where it falls: they read
// as missing, and the second of two blocks was lost without a word. With the
// second block's sync byte in a trough, its 1s read unclearly though the
// leader's 0s read clearly, and the block was lost too. Every block comes
// back, each byte right or in doubt.
TEST(homelab_recording, a_level_that_swings_fast_loses_no_block) {
    bytes block = {'A', 0, 0x00, 0x50, 0x00, 0x04};
    unsigned sum = 0;
    for (int k = 0; k < 1024; ++k) block.push_back(std::uint8_t(k * 13 + 5)), sum += block.back();
    block.push_back(std::uint8_t(sum));
    const bytes image =
        korvax_test::with_zero_leader(block + bytes{0xD8} + bytes(128, 0) + bytes{0xA5} + block + bytes{0}, 256);
    const korvax_test::scratch_dir dir;
    constexpr unsigned rate = 44100;
    const std::vector<float> clean = korvax_test::program_signal(dir.write("swing.htp", image), rate);
    // Where the swing starts, as a part of its period.
    for (const double phase : {0.0, 0.25}) {
        std::vector<float> y = clean;
        for (std::size_t k = 0; k < y.size(); ++k)
            y[k] *= float(0.65 + 0.35 * std::cos(2 * 3.14159265358979 * (8 * double(k) / rate + phase)));
        korvax::memory_source in(y, rate);
        const std::vector<korvax::tape_segment> got = korvax::homelab::read_recording(in);
        ASSERT_EQ(got.size(), 2u) << phase;
        const bytes back = korvax::homelab::htp_image(got);
        ASSERT_EQ(back.size(), image.size()) << phase;
        std::size_t wrong = 0;
        for (std::size_t k = 0, at = 256, s = 0; k < image.size(); ++k) {
            if (s + 1 < got.size() && k >= at + got[s].bytes.size()) at = k + 128, ++s;  // the second block's leader
            const bool doubtful = std::any_of(got[s].doubtful.begin(), got[s].doubtful.end(),
                                              [&](const korvax::doubtful_byte& d) { return d.index + at == k; });
            wrong += back[k] != image[k] && !doubtful;
        }
        EXPECT_EQ(wrong, 0u) << phase;
    }
}

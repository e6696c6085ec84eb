// Homelab images: the pulse arithmetic, whole files and detection.
#include <gtest/gtest.h>

#include "driver/korvax.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

// At 44100 Hz: a 0 among bits 7 to 1 is 8 samples high and 56 silent; a 1 is
// twice 8 and 24. Bit 0, the last, has 9-sample highs.
TEST(homelab_signal, bits_at_44100_hz) {
    const runs zero = {{75, 8}, {0, 56}}, one = repeat({{75, 8}, {0, 24}}, 2);
    const runs last_zero = {{75, 9}, {0, 56}}, last_one = repeat({{75, 9}, {0, 24}}, 2);
    // 0x81: a 1 first, six 0s, then a 1 in the long-pulse last bit.
    for (const auto& [byte, expected] : std::vector<std::pair<std::uint8_t, runs>>{
             {0x00, repeat(zero, 7) + last_zero},
             {0xFF, repeat(one, 7) + last_one},
             {0x81, one + repeat(zero, 6) + last_one}})
        EXPECT_EQ(expected, level_runs(raw_levels(korvax::fmt_htp, {byte}))) << int{byte};
}

// The same bytes are a Homelab image as .htp and a TRS-80 one as .cas.
TEST(homelab_detection, extension_tells_it_from_trs80) {
    const bytes image = with_zero_leader({'A', 0});
    EXPECT_EQ("Homelab high level tape image", detected_format("game.htp", image));
    EXPECT_EQ("Homelab high level tape image", detected_format("GAME.HTP", image));
    EXPECT_EQ("TRS-80 Model I/VideoGenie high level tape image", detected_format("game.cas", image));
    EXPECT_EQ("", detected_format("g.htp", with_zero_leader({}, 257)));
}

// A lead-in of 812 samples, silent at rest, then every bit: at 44100 Hz a byte
// is 64 samples for each of bits 7 to 1, then 65 for a 0 in bit 0 or 66 for a 1.
TEST(homelab_file, leadin_then_every_bit) {
    scratch_dir dir;
    const bytes image = with_zero_leader({'H', 'I', 0});
    ASSERT_EQ(0, run_korvax({"-i", dir.write("g.htp", image), "-o", dir.path("o.wav")}).status);
    const bytes s = read_wav(dir.path("o.wav")).samples;
    std::size_t predicted = 812;
    for (std::uint8_t b : image) predicted += 7 * 64 + ((b & 1) ? 66 : 65);
    EXPECT_EQ(predicted, s.size());
    EXPECT_EQ(bytes(812, 128), bytes(s.begin(), s.begin() + 812));
    EXPECT_NE(128, s[812]);
}

}  // namespace

// The filter and the WAV writer.
#include <gtest/gtest.h>

#include "output/fatal.h"
#include "output/wav.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

// Runs are written in one stretch, short ones inline with bytes looked up,
// long ones in stretches with a shortcut once the accumulator settles, and
// levels too far from zero for the lookup with the hold computed; every byte
// must still be what one filter step per sample gives (rest is byte 128, or
// 127 inverted), and that is held at the byte range's ends, not wrapped.
TEST(wav_writer, runs_match_the_filter_sample_by_sample) {
    std::vector<std::pair<int, std::uint64_t>> runs = {
        {0, 100}, {75, 6}, {-75, 6}, {0, 77}, {0, 40000}, {135, 300000}, {-120, 5}, {80, 700000}, {27, 3},
        {0, 200000},  // decays into subnormal numbers before it settles
        {-500, 3000}, {1000, 50}, {-3000, 300}, {75, 20}, {0, 256}, {75, 257}};
    // Short runs of a pulse train, past the end of the writer's buffer.
    for (int k = 0; k < 40000; ++k) runs.emplace_back(k % 2 ? 75 : 0, 8 + k % 5);
    for (bool inverted : {false, true}) {
        korvax::memory_sink sink("o");
        korvax::kept_messages told;
        korvax::wav_writer out(sink, told, 22050, inverted, korvax::wav_header_size);
        for (auto [level, count] : runs) out.run(level, count);
        out.flush();

        korvax::hp_filter filter = korvax::filter_init(22050);
        bytes expected(sink.bytes.begin(), sink.bytes.begin() + korvax::wav_header_size);
        for (auto [level, count] : runs)
            for (std::uint64_t i = 0; i < count; ++i)
                expected.push_back(static_cast<std::uint8_t>(korvax::filter_output(filter, level) + 128) ^
                                   (inverted ? 255 : 0));
        EXPECT_TRUE(expected == sink.bytes) << "inverted " << inverted;
        EXPECT_EQ(filter.hp_accu, out.filter.hp_accu);  // carried on to what follows
    }
}

// The size fields are 32 bits wide: a file may reach 4,294,967,295 bytes and
// not one more.
TEST(wav_writer, stops_at_the_4_gib_limit_instead_of_wrapping) {
    korvax::memory_sink sink("big.wav");
    korvax::kept_messages told;
    korvax::wav_writer out(sink, told, 44100, false, korvax::wav_header_size);
    out.file_size = korvax::wav_max_file_size - 10;
    out.run(0, 10);
    try {
        out.run(0, 1);
        ADD_FAILURE() << "no end at the limit";
    } catch (const korvax::exit_request& e) {
        EXPECT_EQ(5, e.status);
    }
    EXPECT_EQ("Error writing big.wav.\nOutput exceeds the 4 GiB size limit of WAV files.\n", told.text());
}

}  // namespace

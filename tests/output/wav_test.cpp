// The filter and the WAV writer: the filter's arithmetic and the writer's
// failures.
#include <fcntl.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "driver/korvax.h"
#include "output/filter.h"
#include "output/wav.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

// The exit status a call asks for (0 if it returns).
int status_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const korvax::exit_request& e) {
        return e.status;
    }
    return 0;
}

// Runs are written in one stretch, short ones inline with bytes looked up,
// long ones in stretches with a shortcut once the accumulator settles, and
// levels too far from zero for the lookup with the hold computed; every byte
// must still be what one filter step per sample gives (rest is byte 128, or
// 127 inverted), and that is held at the byte range's ends, not wrapped.
TEST(wav_writer, runs_match_the_filter_sample_by_sample) {
    std::vector<std::pair<int, std::uint64_t>> runs = {
        {0, 100}, {75, 6}, {-75, 6}, {0, 77}, {0, 40000}, {135, 300000}, {-120, 5}, {80, 700000},
        {27, 3},
        {0, 200000},  // decays into subnormal numbers before it settles
        {-500, 3000}, {1000, 50}, {-3000, 300}, {75, 20}, {0, 256}, {75, 257}};
    // Short runs of a pulse train, past the end of the writer's buffer.
    for (int k = 0; k < 40000; ++k) runs.emplace_back(k % 2 ? 75 : 0, 8 + k % 5);
    korvax::filter_init(22050);
    EXPECT_EQ((std::vector{127, -127}), (std::vector{korvax::filter_output(1000), korvax::filter_output(-3000)}));
    for (std::uint8_t inverted : {0, 255}) {
        korvax::settings.p_inverted = inverted;
        korvax::filter_init(22050);
        scratch_dir dir;
        korvax::wav_file out;
        korvax::wav_open(out, ::open(dir.path("o").c_str(), O_WRONLY | O_CREAT, 0666), "o");
        for (auto [level, count] : runs) korvax::wav_write_run(level, count, out);
        korvax::wav_flush(out);
        const double accu = korvax::filter.hp_accu;  // carried on to what follows

        korvax::filter_init(22050);
        bytes expected;
        for (auto [level, count] : runs)
            for (std::uint64_t i = 0; i < count; ++i)
                expected.push_back(static_cast<std::uint8_t>(korvax::filter_output(level) + 128) ^ inverted);
        EXPECT_TRUE(expected == read_file(dir.path("o"))) << "inverted " << int{inverted};
        EXPECT_EQ(korvax::filter.hp_accu, accu);
    }
    korvax::settings.p_inverted = 0;
}

// The size fields are 32 bits wide: a file may reach 4,294,967,295 bytes and
// not one more.
TEST(wav_writer, stops_at_the_4_gib_limit_instead_of_wrapping) {
    korvax::filter_init(44100);
    korvax::wav_file out;
    korvax::wav_open(out, ::open("/dev/null", O_WRONLY), "big.wav");
    out.file_size = korvax::wav_max_file_size - 10;
    EXPECT_EQ(0, status_of([&] { korvax::wav_write_run(0, 10, out); }));
    testing::internal::CaptureStderr();
    EXPECT_EQ(5, status_of([&] { korvax::wav_write_run(0, 1, out); }));
    EXPECT_EQ("Error writing big.wav.\nOutput exceeds the 4 GiB size limit of WAV files.\n",
              testing::internal::GetCapturedStderr());
}

// A pipe cannot seek back to patch the sizes: that is a failed output, not
// a success.
TEST(wav_writer, output_that_cannot_seek_fails) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    korvax::filter_init(44100);
    korvax::machine = korvax::machine_timing{};
    korvax::wav_file out;
    korvax::wav_open(out, fds[1], "pipe.wav");
    korvax::wav_init(out);
    korvax::wav_write_run(0, 100, out);
    testing::internal::CaptureStderr();
    EXPECT_EQ(5, status_of([&] { korvax::wav_close(out); }));
    EXPECT_EQ("Error writing pipe.wav.\n", testing::internal::GetCapturedStderr());
    ::close(fds[0]);
}

}  // namespace

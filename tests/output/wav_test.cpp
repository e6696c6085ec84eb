// The filter and the WAV writer: the header a player reads, the filter's
// arithmetic, and the writer's failures.
#include <fcntl.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "driver/korvax.h"
#include "output/filter.h"
#include "output/wav.h"
#include "support/run.h"

using namespace korvax_test;
using korvax::exit_request;

namespace {

// From rest, a step to the gain level comes out as 75 x hpc = 73.94,
// truncated, and decays; levels past the byte range are held at its ends.
TEST(filter, step_from_rest_and_levels_past_the_range) {
    korvax::filter_init(44100);
    EXPECT_NEAR(0.98585343, korvax::filter.hpc, 1e-8);
    EXPECT_EQ(0, korvax::filter_output(0));
    EXPECT_EQ(73, korvax::filter_output(75));
    for (int i = 0; i < 100; ++i) korvax::filter_output(75);
    EXPECT_LT(korvax::filter_output(75), 20);
    for (int level : {135, -135}) {
        korvax::filter_init(44100);
        EXPECT_EQ(level > 0 ? 127 : -127, korvax::filter_output(level));
    }
}

// Writes through the real writer into a scratch file (the filter as set up).
struct captured_output {
    scratch_dir dir;
    std::string path = dir.path("out.wav");
    korvax::wav_file out;
    captured_output() {
        korvax::wav_open(out, ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), path);
    }
    bytes flushed() {
        korvax::wav_flush(out);
        return read_file(path);
    }
};

// Runs are written in one stretch, short ones inline with bytes looked up,
// long ones in stretches with a shortcut once the accumulator settles, and
// levels too far from zero for the lookup with the hold computed; every byte
// must still be what one filter step per sample gives (rest is byte 128, or
// 127 inverted).
TEST(wav_writer, runs_match_the_filter_sample_by_sample) {
    std::vector<std::pair<int, std::uint64_t>> runs = {
        {0, 100}, {75, 6}, {-75, 6}, {0, 77}, {0, 40000}, {135, 300000}, {-120, 5}, {80, 700000},
        {27, 3},
        {0, 200000},  // decays into subnormal numbers before it settles
        {-500, 3000}, {1000, 50}, {-3000, 300}, {75, 20}, {0, 256}, {75, 257}};
    // Short runs of a pulse train, past the end of the writer's buffer.
    for (int k = 0; k < 40000; ++k) runs.emplace_back(k % 2 ? 75 : 0, 8 + k % 5);
    for (std::uint8_t inverted : {0, 255}) {
        korvax::settings.p_inverted = inverted;
        korvax::filter_init(22050);
        captured_output c;
        for (auto [level, count] : runs) korvax::wav_write_run(level, count, c.out);
        const bytes written = c.flushed();
        const double accu = korvax::filter.hp_accu;  // carried on to what follows

        korvax::filter_init(22050);
        bytes expected;
        for (auto [level, count] : runs)
            for (std::uint64_t i = 0; i < count; ++i)
                expected.push_back(static_cast<std::uint8_t>(korvax::filter_output(level) + 128) ^ inverted);
        ASSERT_EQ(expected.size(), written.size());
        EXPECT_TRUE(expected == written) << "inverted " << int{inverted};
        EXPECT_EQ(korvax::filter.hp_accu, accu);
    }
    korvax::settings.p_inverted = 0;
}

// The size report rounds the RIFF size to whole KiB, a half up.
TEST(wav_writer, size_report_rounds_half_up) {
    korvax::machine = korvax::machine_timing{};
    for (auto [riff, kib] : {std::pair{511, "0"}, std::pair{512, "1"}, std::pair{1535, "1"}}) {
        korvax::filter_init(44100);
        captured_output c;
        korvax::wav_init(c.out);
        korvax::wav_write_run(0, static_cast<std::uint64_t>(riff) + 8 - 44, c.out);
        testing::internal::CaptureStderr();
        korvax::wav_close(c.out);
        EXPECT_EQ(std::string(kib) + " kbytes written.\n", testing::internal::GetCapturedStderr());
        EXPECT_EQ(static_cast<std::size_t>(riff) - 36, read_wav(c.path).samples.size());
    }
}

int status_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const exit_request& e) {
        return e.status;
    }
    return 0;
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

    korvax::wav_open(out, ::open("/dev/null", O_WRONLY), "big.wav");
    testing::internal::CaptureStderr();
    EXPECT_EQ(5, status_of([&] { korvax::wav_write_run(75, 1ull << 40, out); }));
    testing::internal::GetCapturedStderr();
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

// TRS-80 images: the pulse arithmetic, whole files and detection.
#include <gtest/gtest.h>

#include "driver/korvax.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

using runs = std::vector<std::pair<int, std::size_t>>;

// The runs of a byte's bits, most significant first, with adjacent runs at
// one level merged as they read back from the stream.
runs byte_runs(std::uint8_t byte, const runs& zero, const runs& one) {
    runs r;
    for (int bit = 7; bit >= 0; --bit)
        for (auto [level, n] : ((byte >> bit) & 1) ? one : zero) {
            if (!r.empty() && r.back().first == level)
                r.back().second += n;
            else
                r.emplace_back(level, n);
        }
    return r;
}

// A 0 bit is one pulse in its cell; a 1 bit two, each at the start of a half cell.
struct bit_case {
    unsigned rate;
    runs zero;
    runs one;
};

TEST(trs80_signal, bit_cells_at_each_rate) {
    for (const bit_case& c : {
             bit_case{44100, {{75, 6}, {-75, 6}, {0, 77}}, {{75, 6}, {-75, 6}, {0, 32}, {75, 6}, {-75, 6}, {0, 32}}},
             // 8000 Hz: every run truncated on its own, 1 and 1 and 14.
             bit_case{8000, {{75, 1}, {-75, 1}, {0, 14}}, {{75, 1}, {-75, 1}, {0, 5}, {75, 1}, {-75, 1}, {0, 5}}},
             bit_case{96000, {{75, 13}, {-75, 13}, {0, 169}}, {{75, 13}, {-75, 13}, {0, 71}, {75, 13}, {-75, 13}, {0, 71}}},
         }) {
        for (std::uint8_t byte : {0x00, 0xFF, 0xA5}) {
            EXPECT_EQ(byte_runs(byte, c.zero, c.one), level_runs(raw_levels(korvax::fmt_cas, {byte}, c.rate)))
                << "byte " << int{byte} << " at " << c.rate;
        }
    }
}

// Samples of a whole image at 44100 Hz: 89 per 0 bit, 88 per 1 bit.
std::size_t predicted_samples(const bytes& image) {
    std::size_t n = 0;
    for (std::uint8_t b : image) {
        const int ones = __builtin_popcount(b);
        n += static_cast<std::size_t>(ones * 88 + (8 - ones) * 89);
    }
    return n;
}

constexpr std::size_t leadin_44100 = 1395;

TEST(trs80_file, smallest_detectable_image) {
    scratch_dir dir;
    const std::string image = dir.write("GAME.CAS", with_zero_leader({}));
    const result r = run_korvax({"-i", image, "-o", dir.path("game.wav")});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Supported format detected: TRS-80 Model I/VideoGenie high level tape image.\n"
              "180 kbytes written.\n",
              r.err);
    const wav_info w = read_wav(dir.path("game.wav"));
    EXPECT_EQ(184'419u, w.samples.size() + 44);
    EXPECT_EQ(184'375u, w.data_size);
    EXPECT_EQ(leadin_44100 + 182'980, w.samples.size());
    // The lead-in is silence at rest; the first pulse follows it at once.
    EXPECT_EQ(bytes(leadin_44100, 128), bytes(w.samples.begin(), w.samples.begin() + leadin_44100));
    EXPECT_EQ(128 + 73, w.samples[leadin_44100]);
}

// The header carries the rate; the lead-in of 55,300 cycles passes 2^32 when
// multiplied by rates above 77.7 kHz and must still come out at its true
// length.
TEST(trs80_file, header_and_leadin_at_each_rate) {
    scratch_dir dir;
    const std::string image = dir.write("g.cas", with_zero_leader({}));
    for (auto [rate, leadin] : {std::pair{96000u, 3038u}, std::pair{192000u, 6076u}, std::pair{8000u, 253u}}) {
        ASSERT_EQ(0, run_korvax({"-s", std::to_string(rate), "-i", image, "-o", dir.path("o.wav")}).status);
        const wav_info w = read_wav(dir.path("o.wav"));
        EXPECT_EQ(rate, w.sample_rate);
        EXPECT_EQ(rate, w.byte_rate);
        EXPECT_EQ(1, w.block_align);
        EXPECT_EQ(1, w.channels);
        EXPECT_EQ(8, w.bits);
        EXPECT_EQ(w.samples.size(), w.data_size);
        EXPECT_EQ(w.samples.size() + 36, w.riff_size);
        const bytes& s = w.samples;
        ASSERT_GT(s.size(), leadin);
        EXPECT_EQ(bytes(leadin, 128), bytes(s.begin(), s.begin() + leadin)) << rate;
        EXPECT_NE(128, s[leadin]) << rate;
    }
}

struct detect_case {
    const char* label;
    const char* name;
    bytes content;
    const char* detected;  // nullptr: not recognised
};

const char* const trs80 = "TRS-80 Model I/VideoGenie high level tape image";

TEST(trs80_detection, exactly_256_zeros_then_a5_and_the_extension) {
    bytes stray = with_zero_leader({1, 2});
    stray[100] = 0x01;
    for (const detect_case& c : {
             detect_case{"upper case", "GAME.CAS", with_zero_leader({1}), trs80},
             detect_case{"mixed case", "game.Cas", with_zero_leader({}), trs80},
             detect_case{"other extension", "game.bin", with_zero_leader({1}), nullptr},
             detect_case{"no extension", "game", with_zero_leader({1}), nullptr},
             detect_case{"stray byte in leader", "game.cas", stray, nullptr},
             detect_case{"leader only", "game.cas", bytes(256, 0), nullptr},
             detect_case{"257 zeros", "game.cas", with_zero_leader({}, 257), nullptr},
             detect_case{"255 zeros", "game.cas", with_zero_leader({}, 255), nullptr},
             detect_case{"empty", "game.cas", {}, nullptr},
         }) {
        scratch_dir dir;
        const result r = run_korvax({"-i", dir.write(c.name, c.content), "-o", dir.path("o.wav")});
        if (c.detected) {
            EXPECT_EQ(0, r.status) << c.label;
            EXPECT_EQ(std::string("Supported format detected: ") + c.detected + ".\n",
                      r.err.substr(0, r.err.find('\n') + 1))
                << c.label;
        } else {
            EXPECT_EQ(6, r.status) << c.label;
            EXPECT_EQ("Unknown/unsupported tape image file.\n", r.err) << c.label;
        }
    }
}

// Real images convert, forced where their leader is not 256 bytes long, into
// exactly the samples their bytes predict.
TEST(trs80_corpus, real_images_convert_to_their_predicted_length) {
    const auto files = corpus_files("trs80-");
    if (files.empty()) GTEST_SKIP() << "shared corpus not present";
    scratch_dir dir;
    for (const std::string& f : files) {
        const bytes image = read_file(f);
        const result r = run_korvax({"-f", "3", "-i", f, "-o", dir.path("o.wav")});
        ASSERT_EQ(0, r.status) << f << r.err;
        EXPECT_EQ(leadin_44100 + predicted_samples(image), read_wav(dir.path("o.wav")).samples.size()) << f;
    }
}

}  // namespace

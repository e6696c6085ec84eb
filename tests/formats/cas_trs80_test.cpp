// TRS-80 images: the pulse arithmetic, whole files and detection.
#include <gtest/gtest.h>

#include <tuple>

#include "driver/korvax.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

// A 0 bit is one pulse in its cell; a 1 bit two, each at the start of a half
// cell. Every run is truncated on its own.
TEST(trs80_signal, bit_cells_at_each_rate) {
    for (const auto& [rate, zero, one] : std::vector<std::tuple<unsigned, runs, runs>>{
             {44100, {{75, 6}, {-75, 6}, {0, 77}}, repeat({{75, 6}, {-75, 6}, {0, 32}}, 2)},
             {8000, {{75, 1}, {-75, 1}, {0, 14}}, repeat({{75, 1}, {-75, 1}, {0, 5}}, 2)},
             {96000, {{75, 13}, {-75, 13}, {0, 169}}, repeat({{75, 13}, {-75, 13}, {0, 71}}, 2)},
         }) {
        for (std::uint8_t byte : {0x00, 0xFF, 0xA5}) {
            runs expected;
            for (int bit = 7; bit >= 0; --bit) expected = expected + ((byte >> bit) & 1 ? one : zero);
            EXPECT_EQ(expected, level_runs(raw_levels(korvax::fmt_cas, {byte}, rate))) << int{byte} << " at " << rate;
        }
    }
}

// The smallest detectable image. The lead-in is silence at rest and the first
// pulse follows it at once; its 55,300 cycles pass 2^32 when multiplied by
// rates above 77.7 kHz and must still come out at their true length.
TEST(trs80_file, smallest_image_at_each_rate) {
    scratch_dir dir;
    const std::string image = dir.write("GAME.CAS", with_zero_leader({}));
    for (auto [rate, leadin] : {std::pair{44100u, 1395u}, {96000u, 3038u}, {192000u, 6076u}, {8000u, 253u}}) {
        const result r = run_korvax({"-s", std::to_string(rate), "-i", image, "-o", dir.path("o.wav")});
        const wav_info w = read_wav(dir.path("o.wav"));
        EXPECT_EQ(rate, w.sample_rate);
        ASSERT_GT(w.samples.size(), leadin);
        EXPECT_EQ(bytes(leadin, 128), bytes(w.samples.begin(), w.samples.begin() + leadin)) << rate;
        EXPECT_NE(128, w.samples[leadin]) << rate;
        if (rate != 44100) continue;
        EXPECT_EQ("Supported format detected: TRS-80 Model I/VideoGenie high level tape image.\n"
                  "180 kbytes written.\n",
                  r.err);
        EXPECT_EQ(184'375u, w.samples.size());  // and a 44-byte header: 184,419 bytes
        EXPECT_EQ(128 + 73, w.samples[leadin]);
    }
}

TEST(trs80_detection, exactly_256_zeros_then_a5_and_the_extension) {
    bytes stray = with_zero_leader({1, 2});
    stray[100] = 0x01;
    const std::string trs80 = "TRS-80 Model I/VideoGenie high level tape image";
    for (const auto& [name, content, expected] : std::vector<std::tuple<const char*, bytes, std::string>>{
             {"GAME.CAS", with_zero_leader({1}), trs80},
             {"game.Cas", with_zero_leader({}), trs80},
             {"game.bin", with_zero_leader({1}), ""},
             {"game", with_zero_leader({1}), ""},
             {"game.cas", stray, ""},
             {"game.cas", bytes(256, 0), ""},
             {"game.cas", with_zero_leader({}, 257), ""},
             {"game.cas", with_zero_leader({}, 255), ""},
             {"game.cas", {}, ""},
         })
        EXPECT_EQ(expected, detected_format(name, content)) << name << ", " << content.size() << " bytes";
}

}  // namespace

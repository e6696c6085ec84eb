// Commodore TAP images: pulse lengths and levels, the header report, damaged
// headers, the version 2 gain warning and size limits. The round trip reads
// real images back.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <tuple>

#include "driver/korvax.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

// The header report, of a C64 PAL image unless told otherwise; a size
// warning stands before the version line.
std::string report(long long length, int version, const std::string& size_warning = "",
                   const std::string& machine = "C64", const std::string& video = "PAL", int clock = 985248) {
    return "Machine type : " + machine + "\nVideo standard : " + video + "\nTape frequency : " +
           std::to_string(clock) + "\nTAP data length : " + std::to_string(length) + "\n" + size_warning +
           "TAP version : " + std::to_string(version) + "\n";
}

const std::string detected = "Supported format detected: Commodore low level tape image.\n";
const std::string selected = "Selected format: Commodore low level tape image.\n";
const std::string unknown = "Unknown/unsupported tape image file.\n";
const std::string v3 = "MTAP Version not (yet) supported, sorry!\n";

// At 44100 Hz on a C64 PAL clock (123,156 units a second), default gain 75.
struct signal_case {
    const char* what;
    int version;
    bytes data;
    runs expected;
    std::uint8_t gain = 75;
    unsigned rate = 44100;
};

TEST(mtap_signal, pulses_escapes_and_levels) {
    for (const signal_case& c : std::vector<signal_case>{
             {"0x30 is 17 samples, the shorter half first", 1, {0x30}, {{0, 8}, {75, 9}}},
             {"rounded, not truncated: 0x05 is 2 samples", 1, {0x05}, {{0, 1}, {75, 1}}},
             {"0x30 at 96000 Hz is 37 samples", 1, {0x30}, {{0, 18}, {75, 19}}, 75, 96000},
             {"v0 lone zero: 882 cycles", 0, {0x10, 0, 0x10}, {{0, 3}, {75, 3}, {0, 19}, {75, 20}, {0, 3}, {75, 3}}},
             {"v0 three zeros are one pulse of 118", 0, {0, 0, 0}, {{0, 59}, {75, 59}}},
             {"v0 zeros at the very end", 0, {0x30, 0, 0, 0}, {{0, 8}, {75, 9}, {0, 59}, {75, 59}}},
             {"v1 escape: 10,000 cycles", 1, {0, 0x10, 0x27, 0, 0x30}, {{0, 224}, {75, 224}, {0, 8}, {75, 9}}},
             {"v1 escape in the last three bytes: nothing", 1, {0x30, 0, 0x30, 0x30}, repeat({{0, 8}, {75, 9}}, 3)},
             {"v1 0x01: two empty halves, level back where it was", 1, {0x01, 0x30}, {{0, 8}, {75, 9}}},
             {"v1 0x02: one sample at the flipped level", 1, {0x02, 0x30}, {{75, 1}, {0, 8}, {75, 9}}},
             {"v2 half-waves at 80 and 80 XOR 75", 2, {0x30, 0x30}, {{80, 17}, {27, 17}}},
             {"v2 0x01 flips the level once", 2, {0x01, 0x30}, {{27, 17}}},
             {"v2 pause of 0 flips the level once", 2, {0, 0, 0, 0, 0x30}, {{27, 17}}},
             {"v2 escape cut short", 2, {0x30, 0, 0x30}, {{80, 17}, {27, 17}}},
             {"v2 at gain 2 swings to 78", 2, {0x30, 0x30}, {{80, 17}, {78, 17}}, 30},
             {"v2 at gain 1 swings up to 95", 2, {0x30, 0x30}, {{80, 17}, {95, 17}}, 15},
             {"v2 at gain 0 does not swing", 2, {0x30, 0x30}, {{80, 34}}, 0},
             // Long pauses, whose sample count passes 32 bits on the way.
             {"v0 1000 zeros in one pulse", 0, bytes(1000, 0), {{0, 19739}, {75, 19740}}},
             {"v1 longest escape", 1, {0, 0xFF, 0xFF, 0xFF}, {{0, 375476}, {75, 375477}}},
             {"v2 longest escape at 192000 Hz", 2, {0, 0xFF, 0xFF, 0xFF}, {{80, 3269455}}, 75, 192000},
         }) {
        EXPECT_EQ(c.expected, level_runs(raw_levels(korvax::fmt_mtap, tap_image(c.version, c.data), c.rate, c.gain)))
            << c.what;
    }
}

// Whole runs on good and damaged images: exact messages and status and, where
// a WAV is written, its number of samples, whose size report ends the
// messages: the RIFF size (36 + samples) in whole KiB, a half up.
TEST(mtap_file, headers_clocks_and_sizes) {
    // An image that claims gigabytes must not make the program allocate them:
    // the runs started meanwhile get 1 GiB of address space. Not under
    // AddressSanitizer, whose shadow memory alone needs terabytes of it.
    rlimit saved{};
    ::getrlimit(RLIMIT_AS, &saved);
#ifndef __SANITIZE_ADDRESS__
    const rlimit cap = {std::min(rlim_t{1} << 30, saved.rlim_max), saved.rlim_max};
    ::setrlimit(RLIMIT_AS, &cap);
#endif
    struct file_case {
        std::string what;
        bytes image;
        std::vector<std::string> options;
        std::string err;
        long long samples = -1;  // -1: no output, exit status 6
    };
    const bytes pulses_900(900, 0x30), pause = {0x00, 0x40, 0x42, 0x0F};  // 1,000,000 cycles
    bytes v3_cut = tap_image(3, {});
    v3_cut.resize(15);
    std::vector<file_case> cases = {
        // Machine/video bytes choose the clock, which the pulses follow.
        {"0/0", tap_image(1, pause, 0, 0), {}, report(4, 1) + detected, 44760},
        {"0/1", tap_image(1, pause, 0, 1), {}, report(4, 1, "", "C64", "NTSC", 1022728) + detected, 43120},
        {"1/0", tap_image(1, pause, 1, 0), {}, report(4, 1, "", "VIC-20", "PAL", 1108408) + detected, 39787},
        {"1/1", tap_image(1, pause, 1, 1), {}, report(4, 1, "", "VIC-20", "NTSC", 1022728) + detected, 43120},
        {"2/0", tap_image(1, pause, 2, 0), {}, report(4, 1, "", "C264", "PAL", 886720) + detected, 49734},
        {"2/1", tap_image(1, pause, 2, 1), {}, report(4, 1, "", "C264", "NTSC", 894880) + detected, 49280},
        {"3/2", tap_image(1, pause, 3, 2), {}, report(4, 1, "", "unknown", "unknown", 985248) + detected, 44760},
        {"255/1", tap_image(1, pause, 255, 1), {}, report(4, 1, "", "unknown", "NTSC", 1022728) + detected, 43120},
        {"2/9", tap_image(1, pause, 2, 9), {}, report(4, 1, "", "C264", "unknown", 886720) + detected, 49734},
        {"header claims more than the file: only what is there plays", tap_image(1, pulses_900, 0, 0, 1000), {},
         report(1000, 1, "    WARNING: TAP data size (900) doesn't match header (1000).\n") +
             "WARNING! TAP data size mismatch. Read 900 bytes, header stated 1000 bytes.\n"
             "         Image may not be readable." + detected,
         900 * 17},
        {"header claims less: the file's length wins", tap_image(1, pulses_900, 0, 0, 800), {},
         report(800, 1, "    WARNING: TAP data size (900) doesn't match header (800).\n") + detected, 900 * 17},
        {"20 bytes claiming 4 GB", tap_image(1, {}, 0, 0, 0xF0000000), {},
         report(4026531840, 1, "    WARNING: TAP data size (0) doesn't match header (4026531840).\n") +
             "WARNING! TAP data size mismatch. Read 0 bytes, header stated 4026531840 bytes.\n"
             "         Image may not be readable." + detected,
         0},
        {"v1 pulses 0x30 0x30 make a 78-byte file", tap_image(1, {0x30, 0x30}), {}, report(2, 1) + detected, 34},
        {"RIFF size 511", tap_image(1, bytes(27, 0x30) + bytes{0x2D}), {}, report(28, 1) + detected, 475},
        {"RIFF size 512", tap_image(1, bytes(28, 0x30)), {}, report(28, 1) + detected, 476},
        {"RIFF size 1535", tap_image(1, bytes(88, 0x30) + bytes{0x08}), {}, report(89, 1) + detected, 1499},
        {"empty pulse data makes a bare header", tap_image(1, {}), {}, report(0, 1) + detected, 0},
        {"any prefix, any name", tap_image(0, {0x30}, 2, 0, -1, std::string("\0\xFF\r ", 4)), {},
         report(1, 0, "", "C264", "PAL", 886720) + detected, 19},
        {"forced, still read and reported", tap_image(1, {0x30}), {"-f", "2"}, selected + report(1, 1), 17},
        {"forced on something else", {1, 2, 3}, {"-f", "2"}, selected + unknown},
        {"forced on an unsupported version", tap_image(3, {}), {"-f", "0x2"}, selected + v3 + unknown},
        {"version 3 is not recognised", tap_image(3, {0x30}), {}, v3 + unknown},
        {"version 3 cut short is just not recognised", v3_cut, {}, v3 + unknown},
        {"line feed in the prefix", tap_image(1, {0x30}, 0, 0, -1, "C6\n-"), {}, unknown},
    };
    // A header cut at every length: shorter than the signature it is no TAP
    // image; after that, the lines read so far are reported, then the end.
    const bytes whole = tap_image(1, {});
    const std::string lines[] = {"Machine type : C64\n", "Video standard : PAL\n", "Tape frequency : 985248\n"};
    for (std::size_t n = 0; n < whole.size(); ++n) {
        std::string expected = n < 12 ? unknown : "unexpected End of File!\n";
        for (std::size_t i = std::min<std::size_t>(3, n < 13 ? 0 : n - 13); i-- > 0;) expected = lines[i] + expected;
        cases.push_back({"header cut short", bytes(whole.begin(), whole.begin() + long(n)), {}, expected});
    }
    // Version 2 levels that no decoder reads are written as they are, with a
    // warning, once, whatever the pulse data; other versions never warn. Gains
    // out of range are reported first and still used. Gain, version, and the
    // second level the warning names (0: no warning):
    for (auto [gain, version, level] : std::vector<std::tuple<int, int, int>>{
             {0, 2, 80}, {1, 2, 95}, {2, 2, 78}, {3, 2, 125}, {4, 2, 108}, {5, 2, 0}, {6, 2, 0}, {7, 2, 57}, {8, 2, 0},
             {9, 2, 215}, {18, 2, 94}, {2, 1, 0}, {2, 0, 0}}) {
        const std::string g = std::to_string(gain);
        for (const bytes& data : {bytes{}, bytes{0x30, 0x30, 0x30}})
            cases.push_back(
                {"gain " + g + ", version " + std::to_string(version), tap_image(version, data), {"-g", g},
                 (gain < 1 || gain > 8 ? "Illegal gain value: " + g + ".\nGain must be between 1 and 8.\n" : "") +
                     report(long(data.size()), version) + detected +
                     (level ? "    WARNING: at this gain, version 2 half-waves swing between levels 80 and " +
                                  std::to_string(level) + "; use gain 5, 6 or 8 for a signal that loads.\n"
                            : ""),
                 17 * long(data.size())});
    }
    for (const file_case& c : cases) {
        scratch_dir dir;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-i", dir.write("game.wav", c.image), "-o", dir.path("out.wav")});
        const result r = run_korvax(args);
        const std::string size = std::to_string((36 + c.samples + 512) / 1024) + " kbytes written.\n";
        EXPECT_EQ(c.err + (c.samples < 0 ? "" : size), r.err) << c.what << ", " << c.image.size() << " bytes";
        EXPECT_EQ(c.samples < 0 ? 6 : 0, r.status) << c.what;
        if (c.samples < 0) continue;
        EXPECT_EQ(static_cast<std::size_t>(c.samples), read_wav(dir.path("out.wav")).samples.size()) << c.what;
    }
    ::setrlimit(RLIMIT_AS, &saved);
}

// One version 0 pulse of 50 million zero bytes is more than 4 GiB of samples
// per half at 192000 Hz: the run stops before the first of them is written.
// The image is a sparse file, so it costs no disk.
TEST(mtap_file, a_pulse_past_the_wav_size_limit_stops_the_run) {
    scratch_dir dir;
    const std::string image = dir.write("huge.tap", tap_image(0, {}, 2, 0, 50'000'000));
    std::filesystem::resize_file(image, 20 + 50'000'000);
    const result r = run_korvax({"-s", "192000", "-i", image, "-o", dir.path("o.wav")});
    EXPECT_EQ(5, r.status);
    EXPECT_EQ(report(50'000'000, 0, "", "C264", "PAL", 886720) + detected + "Error writing " + dir.path("o.wav") +
                  ".\nOutput exceeds the 4 GiB size limit of WAV files.\n",
              r.err);
    EXPECT_LE(std::filesystem::file_size(dir.path("o.wav")), 44u);
}

}  // namespace

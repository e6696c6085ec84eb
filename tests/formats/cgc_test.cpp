// Colour Genie images: the square wave's exact runs, the header rules and
// detection. The round trip reads real images back.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "driver/korvax.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

const std::string header_text = "Colour Genie - Virtual Tape File";
const std::string cgenie = "Colour Genie high level tape image format";

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

// Sample counts at one rate: a 0 bit's half-wave, each of a 1 bit's two, and
// each of the two silences.
struct timing {
    unsigned rate;
    std::size_t zero, one, silence;
};
constexpr timing at_44100{44100, 36, 18, 298};

// The unfiltered signal of `data` after the 0xAA leader, between two
// silences: half-waves alternate between the gain level 75 (first) and the
// silence level across bit and byte boundaries, a 0 one long, a 1 two short.
runs square_wave(const bytes& data, const timing& t) {
    runs r = {{0, t.silence}};
    bool low = false;
    for (std::uint8_t byte : bytes(255, 0xAA) + data)
        for (int bit = 7; bit >= 0; --bit)
            for (int half = 0; half <= ((byte >> bit) & 1); ++half, low = !low)
                add_run(r, low ? 0 : 75, (byte >> bit) & 1 ? t.one : t.zero);
    add_run(r, 0, t.silence);
    return r;
}

// Truncated per half-wave: (rate / 1200) for a 0, half of it for each half of
// a 1; a silence is 15,000 cycles of the 2,216,750 Hz clock. 0x80 has an odd
// number of half-waves, so the next conversion would start at the silence
// level if it kept the level of the last one.
TEST(cgenie_signal, half_waves_and_silences_at_each_rate) {
    const bytes image{0x66, 0x00, 0xFF, 0x80};
    for (const timing& t : {at_44100, timing{11025, 9, 4, 74}, timing{8000, 6, 3, 54}, timing{192000, 160, 80, 1299}})
        EXPECT_EQ(square_wave(image, t), level_runs(raw_levels(korvax::fmt_cgc, image, t.rate))) << t.rate;
}

// Without the header the whole image is played after the leader; with it,
// what follows its 0x00, less the byte there unless it is the sync byte "f".
TEST(cgenie_file, header_rules) {
    const bytes head = text(header_text);
    const std::string none = "CAS file without header.\n";
    for (const auto& [image, message, data] : std::vector<std::tuple<bytes, std::string, bytes>>{
             {head + text("0123456789") + bytes{0, 'f', 0x55, 1}, "CAS header size 43 bytes.\n", {'f', 0x55, 1}},
             {{0x66, 0x55, 0}, none, {0x66, 0x55, 0}},
             {text("colour genie - virtual tape file") + bytes{0, 'f'}, none,
              text("colour genie - virtual tape file") + bytes{0, 'f'}},
             {text(header_text.substr(0, 31)), none, text(header_text.substr(0, 31))},
             {bytes{}, none, bytes{}},
             {head + bytes{'a', 0, 'X', 1, 2}, "", {1, 2}},
             {head + bytes{0, 0, 'f'}, "", {'f'}},
             {head + text("abc"), "", {}},
             {head + bytes{'a', 0}, "", {}},
         }) {
        scratch_dir dir;
        const result r = run_korvax({"-f", "0", "-i", dir.write("g.cas", image), "-o", dir.path("g.wav")});
        const std::size_t samples = 2 * 298 + (255 + data.size()) * 8 * 36;  // 36 samples a bit
        const std::string label(image.begin(), image.end());
        EXPECT_EQ("Selected format: " + cgenie + ".\n" + message + "Writing leader (AAh) bytes.\n" +
                      std::to_string((36 + samples + 512) / 1024) + " kbytes written.\n",
                  r.err)
            << label;
        EXPECT_EQ(samples, read_wav(dir.path("g.wav")).samples.size()) << label;
        EXPECT_EQ(square_wave(data, at_44100), level_runs(raw_levels(korvax::fmt_cgc, image))) << label;
    }
}

TEST(cgenie_detection, header_text_or_cas_with_sync_or_leader_byte) {
    bytes near_text = text(header_text);
    near_text[31] = 'E';
    for (const auto& [name, content, expected] : std::vector<std::tuple<const char*, bytes, std::string>>{
             {"game.bin", text(header_text) + bytes{0, 'f'}, cgenie},  // the text, any name
             {"game", text(header_text), cgenie},
             {"game.cas", {0x66, 0x55}, cgenie},  // the sync byte
             {"GAME.CAS", {0xAA, 0x66}, cgenie},  // its own leader
             {"g.Cas", {0x66}, cgenie},
             {"game.bin", {0x66, 0x55}, ""},
             {"game.cas.bak", {0x66}, ""},
             {"game.bin", near_text + bytes{0, 'f'}, ""},
             {"game.cas", {0x55, 0x66}, ""},
             {"game.cas", {}, ""},
             {"game.cas", with_zero_leader({0x55}), "TRS-80 Model I/VideoGenie high level tape image"},
         })
        EXPECT_EQ(expected, detected_format(name, content)) << name << ", " << content.size() << " bytes";
}

// Asked first, the Colour Genie entry must leave every other format's image
// to its own entry.
TEST(cgenie_detection, other_formats_are_left_alone) {
    std::vector<std::string> files = corpus_files({"trs80-", "homelab", "c16-", "c64-", "vic20", "cgenie-"});
    for (const auto& e : std::filesystem::directory_iterator(KORVAX_EXAMPLES)) files.push_back(e.path());
    const auto& cgc = *korvax::tape_format_registry[korvax::fmt_cgc];
    for (const std::string& f : files) {
        const bool own = f.find("cgenie") != std::string::npos;
        EXPECT_EQ(own ? korvax::fmt_cgc : korvax::fmt_count, cgc.analyze(f.c_str())) << f;
    }
}

}  // namespace

// What each format writes: the exact runs of its signal before the filter,
// many conversions in one process so that no state may leak from one to the
// next; and how the formats recognise their images.
#include <gtest/gtest.h>

#include <tuple>

#include "support/run.h"

using namespace korvax_test;

namespace {

// High speed: each bit a whole cycle, 720 us for a 0 (15.876 samples at
// 44100 Hz), 340 us for a 1 (7.497), its half at the gain first, every edge at
// the sample nearest its exact time; then a half cycle as long as the last
// bit's. Truncated, every half of a 1 would be 7 samples.
TEST(trs80_signal, high_speed_cycles) {
    runs r = {{0, 1395}};
    for (std::size_t i = 0; std::size_t half : {16, 16, 7, 8, 16, 15, 8, 7, 16, 16, 8, 7, 16, 16, 7, 8, 16, 16, 7,
                                                8, 7, 8, 7, 8, 7, 8, 7, 8, 7, 8, 7, 8, 7})
        r.emplace_back(i++ % 2 ? -75 : 75, half);
    EXPECT_EQ(r, signal_runs("CAS", {0x55, 0x7F}));
}

// 500 baud (Level II) and 250 baud (Level I): every bit cell of the 1.7472 MHz
// clock opens with a pulse, 238 cycles at the gain then 238 at its negative;
// a 1 bit has a second pulse half a cell later; silence fills the rest. Each
// run is cut down to whole samples on its own, so nothing carries over: at
// 44100 Hz a 500-baud 0 cell is 6 + 6 + 77 samples (3,090 cycles are 77.99),
// a 1 twice 6 + 6 + 32 (1,307 cycles are 32.99). Rounded, every bit would be
// a sample or two longer.
struct pulse_samples {
    std::size_t leadin, half, zero_rest, one_rest;  // the silence after a 0's pulse, after each of a 1's
};
runs pulse_cells(const bytes& data, const pulse_samples& n) {
    runs r = {{0, n.leadin}};
    for (std::uint8_t byte : data)
        for (int bit = 7; bit >= 0; --bit)
            for (int pulse = 0; pulse <= ((byte >> bit) & 1); ++pulse)
                r = r + runs{{75, n.half}, {-75, n.half}, {0, (byte >> bit) & 1 ? n.one_rest : n.zero_rest}};
    return r;
}

TEST(trs80_signal, pulse_cells_at_500_and_250_baud) {
    // A Level II image; a Level I one (start 0x4000, end 0x4001, the byte
    // 0x42, its checksum).
    const bytes level2 = {0x00, 0xA5, 0x3C}, level1 = {0x00, 0xA5, 0x40, 0x00, 0x40, 0x01, 0x42, 0x42};
    for (const auto& [what, image, rate, n] : std::vector<std::tuple<const char*, bytes, unsigned, pulse_samples>>{
             // The lead-in, 55,300 cycles, is 1395.8 samples; 3,566-cycle cells.
             {"500 baud, 44100 Hz", level2, 44100, {1395, 6, 77, 32}},
             // 253.2, 1.09, 14.15 and 5.98 samples: a 1 bit is 14 samples, a 0 16.
             {"500 baud, 8000 Hz", level2, 8000, {253, 1, 14, 5}},
             // 6,240-cycle cells: 5,764 cycles are 145.49 samples, 2,644 are 66.74.
             {"250 baud, 44100 Hz", level1, 44100, {1395, 6, 145, 66}},
         })
        EXPECT_EQ(pulse_cells(image, n), signal_runs("CAS", image, rate)) << what;
}

// Half-waves alternate between the gain level (first) and silence across bit
// and byte boundaries, a 0 one long half-wave, a 1 two short ones, truncated
// per half-wave; the 0xAA leader and the data sit between two silences of
// 15,000 cycles of the 2,216,750 Hz clock. A last half-wave at the silence
// level runs on into the closing silence.
runs square_wave(const bytes& data, unsigned rate) {
    const std::size_t zero = rate / 1200, one = zero / 2, silence = 15000ull * rate / 2216750;
    runs r = {{0, silence}};
    bool low = false;
    const auto add = [&r](int level, std::size_t n) {
        if (r.back().first == level) r.back().second += n;
        else r.emplace_back(level, n);
    };
    for (std::uint8_t byte : bytes(255, 0xAA) + data)
        for (int bit = 7; bit >= 0; --bit)
            for (int half = 0; half <= ((byte >> bit) & 1); ++half, low = !low)
                add(low ? 0 : 75, (byte >> bit) & 1 ? one : zero);
    add(0, silence);
    return r;
}

// 0x80 has an odd number of half-waves: the next conversion would start at
// the silence level if it kept the last one's. Without the header text the
// whole image is played; with it, what follows its 0x00, less the byte there
// unless it is the sync byte "f".
TEST(cgenie_signal, half_waves_silences_and_header_rules) {
    const bytes head = text("Colour Genie - Virtual Tape File");
    for (unsigned rate : {44100u, 11025u, 8000u, 192000u})
        EXPECT_EQ(square_wave({0x66, 0x00, 0xFF, 0x80}, rate), signal_runs("CGC", {0x66, 0x00, 0xFF, 0x80}, rate));
    for (const auto& [image, data] : std::vector<std::pair<bytes, bytes>>{
             {head + text("0123456789") + bytes{0, 'f', 0x55, 1}, {'f', 0x55, 1}},
             {text("colour genie - virtual tape file") + bytes{0, 'f'}, text("colour genie - virtual tape file") + bytes{0, 'f'}},
             {head + bytes{'a', 0, 'X', 1, 2}, {1, 2}},
             {head + text("abc"), {}},
         })
        EXPECT_EQ(square_wave(data, 44100), signal_runs("CGC", image)) << std::string(image.begin(), image.end());
}

// At 44100 Hz on a C64 PAL clock (123,156 units a second).
TEST(mtap_signal, pulses_escapes_and_levels) {
    struct signal_case {
        const char* what; int version; bytes data; runs expected; std::uint8_t gain = 75; unsigned rate = 44100;
    };
    for (const signal_case& c : std::vector<signal_case>{
             {"0x30 is 17 samples, the shorter half first", 1, {0x30}, {{0, 8}, {75, 9}}},
             {"rounded, not truncated: 0x05 is 2 samples", 1, {0x05}, {{0, 1}, {75, 1}}},
             {"v0 lone zero: 882 cycles", 0, {0x10, 0, 0x10}, {{0, 3}, {75, 3}, {0, 19}, {75, 20}, {0, 3}, {75, 3}}},
             {"v0 three zeros are one pulse of 118", 0, {0x30, 0, 0, 0}, {{0, 8}, {75, 9}, {0, 59}, {75, 59}}},
             {"v1 escape: 10,000 cycles", 1, {0, 0x10, 0x27, 0, 0x30}, {{0, 224}, {75, 224}, {0, 8}, {75, 9}}},
             {"v1 escape in the last three bytes: nothing", 1, {0x30, 0, 0x30, 0x30},
              {{0, 8}, {75, 9}, {0, 8}, {75, 9}, {0, 8}, {75, 9}}},
             {"v1 0x01: two empty halves, level back where it was", 1, {0x01, 0x30}, {{0, 8}, {75, 9}}},
             {"v1 0x02: one sample at the flipped level", 1, {0x02, 0x30}, {{75, 1}, {0, 8}, {75, 9}}},
             {"v2 half-waves at 80 and 80 XOR 75", 2, {0x30, 0x30}, {{80, 17}, {27, 17}}},
             {"v2 0x01 flips the level once", 2, {0x01, 0x30}, {{27, 17}}},
             {"v2 pause of 0 flips the level once", 2, {0, 0, 0, 0, 0x30}, {{27, 17}}},
             {"v2 at gain 1 swings up to 95", 2, {0x30, 0x30}, {{80, 17}, {95, 17}}, 15},
             // Long pauses, whose sample count passes 32 bits on the way.
             {"v0 1000 zeros in one pulse", 0, bytes(1000, 0), {{0, 19739}, {75, 19740}}},
             {"v1 longest escape", 1, {0, 0xFF, 0xFF, 0xFF}, {{0, 375476}, {75, 375477}}},
             {"v2 longest escape at 192000 Hz", 2, {0, 0xFF, 0xFF, 0xFF}, {{80, 3269455}}, 75, 192000},
         })
        EXPECT_EQ(c.expected, signal_runs("MTAP", tap_image(c.version, c.data), c.rate, c.gain)) << c.what;
}

// What the program says of an image named `name` holding `content`, asked
// without an output file: the detected format's description (after the
// format's report, if any) and the lines after it, "" when the image is not
// recognised, or else its whole answer.
std::string detected_format(const std::string& name, const bytes& content) {
    const in_process r = convert_in_process({name, content}, {}, false);
    const std::string head = "Supported format detected: ", tail = "Error creating output file or none specified.\n";
    if (r.status == 6 && r.err == "Unknown/unsupported tape image file.\n") return "";
    const std::size_t at = r.err.find(head) + head.size();  // after the format's own report, if any
    const bool found = r.status == 0 && at >= head.size() && r.err.ends_with(tail) && r.err.size() > at + tail.size();
    return found ? r.err.substr(at, r.err.size() - at - tail.size() - 2)
                 : "status " + std::to_string(r.status) + ": " + r.err;
}

// Each format recognises its own sample image, and every other format
// refuses it, so no two formats can claim one image.
TEST(detection, each_format_takes_its_own_sample_and_no_other) {
    for (const korvax::tape_format* own : korvax::tape_format_registry)
        for (const korvax::tape_format* other : korvax::tape_format_registry) {
            korvax::report found;
            EXPECT_EQ(own == other, other->read(own->sample(), found, false) != nullptr)
                << own->name << "'s sample, read by " << other->name;
        }
}

TEST(detection, by_content_and_extension) {
    const std::string trs80 = "TRS-80 Model I/VideoGenie high level tape image", homelab = "Homelab high level tape image",
                      cgenie = "Colour Genie high level tape image format", prg = "Commodore program file";
    const std::string level1_line = trs80 + ".\nTRS-80 Level I tape (250 baud)";
    const bytes head = text("Colour Genie - Virtual Tape File"), level1 = with_zero_leader({0x42, 0, 0x42, 2, 1, 2, 9}, 255);
    for (const auto& [name, content, expected] : std::vector<std::tuple<const char*, bytes, std::string>>{
             // Zeros, then 0xA5, and the extension in any case; a leader other
             // than 256 bytes is told.
             {"game.Cas", with_zero_leader({}), trs80},
             {"game.bin", with_zero_leader({1}), ""},
             {"game.cas", bytes(256, 0), ""},
             {"game.cas", with_zero_leader({}, 0), ""},
             {"game.cas", with_zero_leader({}, 1), trs80 + ".\nLeader of 1 zero byte"},
             {"g.htp", with_zero_leader({}, 255), homelab + ".\nLeader of 255 zero bytes"},
             {"g.htp", bytes{0x55, 0x7F}, ""},
             // A Level I program: addresses from 0x4000 up, the bytes between
             // them and a checksum, then the end, 32 bytes at most, or a leader.
             {"game.cas", level1, level1_line},
             {"game.cas", level1 + level1, level1_line},
             {"game.cas", level1 + bytes(32, 1), level1_line},
             {"game.cas", level1 + bytes(33, 1), trs80 + ".\nLeader of 255 zero bytes"},
             {"game.cas", with_zero_leader({0x3F, 0xFF, 0x40, 0x00, 7, 7}), trs80},
             {"game.cas", with_zero_leader({0x40, 0x01, 0x40, 0x00, 7}), trs80},
             // Cut short, it is still played at 250 baud, with a warning.
             {"game.cas", bytes(level1.begin(), level1.end() - 1),
              level1_line + ".\n    WARNING: the Level I program is cut short: the image holds 2 of its 2 bytes and "
                            "not its checksum"},
             {"game.cas", with_zero_leader({0x55, 0x56, 0x57, 0x58, 0x59}), trs80},
             // High speed: 0x55 bytes, then 0x7F.
             {"game.cas", bytes{0x55, 0x7F}, trs80 + ".\nTRS-80 high-speed tape (1500 baud)"},
             {"game.cas", bytes(256, 0x55) + bytes{0x7E}, ""},
             // Colour Genie: the header text under any name, or a .cas image
             // starting with the sync byte or the 0xAA leader.
             {"game", head, cgenie},
             {"game.cas", {0x66, 0x55}, cgenie},
             {"GAME.CAS", {0xAA, 0x66}, cgenie},
             {"game.bin", {0x66, 0x55}, ""},
             {"game.cas.bak", {0x66}, ""},
             {"game.bin", text("Colour Genie - Virtual Tape FilE") + bytes{0, 'f'}, ""},
             {"game.cas", {}, ""},
             // A PRG by its extension in any case (a P00 or T64 by its
             // signature under any name: the command-line test).
             {"GAME.PRG", {0x01, 0x08, 0x00}, prg},
             {"game.prg", {0x01, 0x08}, ""},
         })
        EXPECT_EQ(expected, detected_format(name, content)) << name << ", " << content.size() << " bytes";
}

}  // namespace

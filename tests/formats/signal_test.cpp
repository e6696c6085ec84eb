// What each format writes: the exact runs of its signal before the filter,
// many conversions in one process so that no state may leak from one to the
// next; and how the formats recognise their images.
#include <gtest/gtest.h>

#include <tuple>

#include "support/run.h"

using namespace korvax_test;

namespace {

// Bits most significant first, each drawn as `zero` or `one` (bit 0 as the
// `last_` ones).
runs bits(const bytes& image, const runs& zero, const runs& one, const runs& last_zero, const runs& last_one) {
    runs r;
    for (std::uint8_t b : image)
        for (int bit = 7; bit >= 0; --bit) r = r + ((b >> bit) & 1 ? (bit ? one : last_one) : (bit ? zero : last_zero));
    return r;
}

// A lead-in of 55,300 cycles of the 1.7472 MHz clock; a 0 bit is a pulse (238
// cycles high, 238 low) and silence to the end of its cell, a 1 bit two
// pulses in half cells. Each run is truncated on its own. Cells are 3,566
// cycles, or 6,240 for a Level I program (a leader, 0xA5, addresses 0x4000 to
// 0x4001, a byte and a checksum).
TEST(trs80_signal, bit_cells_at_each_rate) {
    const bytes level2 = {0x00, 0xFF, 0xA5}, level1 = with_zero_leader({0x40, 0x00, 0x40, 0x01, 0xAB, 0xCD}, 1);
    for (const auto& [image, rate, leadin, zero, one] : std::vector<std::tuple<bytes, unsigned, std::size_t, runs, runs>>{
             {level2, 44100, 1395, {{75, 6}, {-75, 6}, {0, 77}}, repeat({{75, 6}, {-75, 6}, {0, 32}}, 2)},
             {level2, 8000, 253, {{75, 1}, {-75, 1}, {0, 14}}, repeat({{75, 1}, {-75, 1}, {0, 5}}, 2)},
             // 55,300 x 96,000 passes 2^32.
             {level2, 96000, 3038, {{75, 13}, {-75, 13}, {0, 169}}, repeat({{75, 13}, {-75, 13}, {0, 71}}, 2)},
             {level1, 44100, 1395, {{75, 6}, {-75, 6}, {0, 145}}, repeat({{75, 6}, {-75, 6}, {0, 66}}, 2)},
             {level1, 8000, 253, {{75, 1}, {-75, 1}, {0, 26}}, repeat({{75, 1}, {-75, 1}, {0, 12}}, 2)},
         })
        EXPECT_EQ((runs{{0, leadin}} + bits(image, zero, one, zero, one)), signal_runs("CAS", image, rate)) << rate;
}

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

// Bits 7 to 1: a 0 is 8 samples high and 56 silent, a 1 twice 8 and 24. Bit 0,
// the last, has 9-sample highs. An 812-sample lead-in comes first.
TEST(homelab_signal, bits_at_44100_hz) {
    const runs zero = {{75, 8}, {0, 56}}, one = repeat({{75, 8}, {0, 24}}, 2);
    const runs last_zero = {{75, 9}, {0, 56}}, last_one = repeat({{75, 9}, {0, 24}}, 2);
    const bytes image = {0x00, 0xFF, 0x81};
    EXPECT_EQ((runs{{0, 812}} + bits(image, zero, one, last_zero, last_one)), signal_runs("HTP", image));
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
             {head + bytes{0, 0, 'f'}, {'f'}},
             {head + text("abc"), {}},
         })
        EXPECT_EQ(square_wave(data, 44100), signal_runs("CGC", image)) << std::string(image.begin(), image.end());
}

// At 44100 Hz on a C64 PAL clock (123,156 units a second).
TEST(mtap_signal, pulses_escapes_and_levels) {
    struct signal_case {
        const char* what;
        int version;
        bytes data;
        runs expected;
        std::uint8_t gain = 75;
        unsigned rate = 44100;
    };
    for (const signal_case& c : std::vector<signal_case>{
             {"0x30 is 17 samples, the shorter half first", 1, {0x30}, {{0, 8}, {75, 9}}},
             {"rounded, not truncated: 0x05 is 2 samples", 1, {0x05}, {{0, 1}, {75, 1}}},
             {"0x30 at 96000 Hz is 37 samples", 1, {0x30}, {{0, 18}, {75, 19}}, 75, 96000},
             {"v0 lone zero: 882 cycles", 0, {0x10, 0, 0x10}, {{0, 3}, {75, 3}, {0, 19}, {75, 20}, {0, 3}, {75, 3}}},
             {"v0 three zeros are one pulse of 118", 0, {0x30, 0, 0, 0}, {{0, 8}, {75, 9}, {0, 59}, {75, 59}}},
             {"v1 escape: 10,000 cycles", 1, {0, 0x10, 0x27, 0, 0x30}, {{0, 224}, {75, 224}, {0, 8}, {75, 9}}},
             {"v1 escape in the last three bytes: nothing", 1, {0x30, 0, 0x30, 0x30}, repeat({{0, 8}, {75, 9}}, 3)},
             {"v1 0x01: two empty halves, level back where it was", 1, {0x01, 0x30}, {{0, 8}, {75, 9}}},
             {"v1 0x02: one sample at the flipped level", 1, {0x02, 0x30}, {{75, 1}, {0, 8}, {75, 9}}},
             {"v2 half-waves at 80 and 80 XOR 75", 2, {0x30, 0x30}, {{80, 17}, {27, 17}}},
             {"v2 0x01 flips the level once", 2, {0x01, 0x30}, {{27, 17}}},
             {"v2 pause of 0 flips the level once", 2, {0, 0, 0, 0, 0x30}, {{27, 17}}},
             {"v2 at gain 1 swings up to 95", 2, {0x30, 0x30}, {{80, 17}, {95, 17}}, 15},
             {"v2 at gain 0 does not swing", 2, {0x30, 0x30}, {{80, 34}}, 0},
             // Long pauses, whose sample count passes 32 bits on the way.
             {"v0 1000 zeros in one pulse", 0, bytes(1000, 0), {{0, 19739}, {75, 19740}}},
             {"v1 longest escape", 1, {0, 0xFF, 0xFF, 0xFF}, {{0, 375476}, {75, 375477}}},
             {"v2 longest escape at 192000 Hz", 2, {0, 0xFF, 0xFF, 0xFF}, {{80, 3269455}}, 75, 192000},
         })
        EXPECT_EQ(c.expected, signal_runs("MTAP", tap_image(c.version, c.data), c.rate, c.gain)) << c.what;
}

// The C64 ROM loader's reading of a program tape, from the signal's runs at
// 44100 Hz: a low run and a high run are a pulse, short, medium or long by
// its length in units of 8 cycles of the PAL clock, or else a pause. A byte
// is a long-medium marker, eight bits least significant first (short-medium
// 0, medium-short 1) and an odd parity bit; long-short ends a copy of a
// block. Each block comes twice: a countdown (0x89 to 0x81, the repeat 0x09
// to 0x01), the payload and its XOR checksum, the repeat equal to the first.
// Gives the payloads in order.
std::vector<bytes> kernal_blocks(const runs& r) {
    std::string p;  // the pulses: S, M, L, or P for a pause
    for (std::size_t i = 0; i + 1 < r.size(); i += 2) {
        const double units = double(r[i].second + r[i + 1].second) * 123156 / 44100;
        p += units < 57 ? 'S' : units < 76 ? 'M' : units < 100 ? 'L' : 'P';
    }
    std::vector<bytes> copies(1), blocks;
    for (std::size_t i = 0; i < p.size(); i += p.compare(i, 2, "LM") ? 1 : 20) {
        if (p.compare(i, 2, "LS") == 0) copies.emplace_back(), ++i;
        else if (p.compare(i, 2, "LM") && !copies.back().empty()) ADD_FAILURE() << "a stray pulse in a block at " << i;
        if (p.compare(i, 2, "LM")) continue;
        int value = 0, ones = 0;
        for (int bit = 0; bit < 9; ++bit) {
            const std::string half = p.substr(i + 2 + 2 * bit, 2);
            EXPECT_TRUE(half == "MS" || half == "SM") << "a bit at pulse " << i;
            value |= (half == "MS") << bit, ones += half == "MS";
        }
        EXPECT_EQ(1, ones % 2) << "parity of the byte at pulse " << i;
        copies.back().push_back(std::uint8_t(value));
    }
    copies.pop_back();
    EXPECT_EQ(0u, copies.size() % 2);
    for (std::size_t k = 0; k < copies.size(); ++k) {
        const bytes& c = copies[k];
        const std::size_t n = std::min<std::size_t>(9, c.size());
        for (std::size_t j = 0; j < 9; ++j)
            EXPECT_EQ((k % 2 ? 9 : 0x89) - int(j), j < n ? c[j] : -1) << "countdown of copy " << k;
        std::uint8_t sum = 0;
        for (std::size_t j = n; j < c.size(); ++j) sum ^= c[j];
        EXPECT_EQ(0, sum) << "checksum of copy " << k;
        const bytes payload(c.begin() + long(n), c.end() - !c.empty());
        if (k % 2 == 0) blocks.push_back(payload);
        else EXPECT_EQ(blocks.back(), payload) << "the repeat of block " << k / 2;
    }
    return blocks;
}

// Each program is a header block (type 1 at 0x0801, else 3; start; end, one
// past the last byte; the name; spaces to 192 bytes), then its bytes.
TEST(prg_signal, loads_as_the_kernal_reads_it) {
    struct program { std::uint8_t type; unsigned start; std::string name; bytes data; };
    const bytes hello = read_file(std::string(KORVAX_EXAMPLES) + "/hello.prg");
    const program basic = {1, 0x0801, "HELLO", bytes(hello.begin() + 2, hello.end())};
    const program border = {3, 0xC000, "BORDER", {0xEE, 0x20, 0xD0, 0xCA, 0xD0, 0xFA, 0x88, 0xD0, 0xF7, 0x60}};
    std::vector<std::tuple<std::string, bytes, std::vector<program>>> files = {
        {"hello.prg", hello, {basic}},
        {"border", text("C64File") + bytes{0} + text("BORDER") + bytes(12, 0) + bytes{0x00, 0xC0} + border.data, {border}},
        {"hello2.t64", read_file(std::string(KORVAX_EXAMPLES) + "/hello2.t64"), {basic, border}}};
    // Real files: machine code at 0xC000, and C128 BASIC at 0x1C01 in a P00.
    for (const std::string& path : corpus_files({"c64-prg-mc-ribos", "c64-p00-"})) {
        const bytes b = read_file(path);
        const bool p00 = path.ends_with(".p00");
        files.push_back({path.substr(path.rfind('/') + 1), b, {{3, p00 ? 0x1C01u : 0xC000u,
                         p00 ? "VDCLPTEST2" : "C64-PRG-MC-RIBOS", bytes(b.begin() + (p00 ? 28 : 2), b.end())}}});
    }
    for (const auto& [name, image, programs] : files) {
        const std::vector<bytes> blocks = kernal_blocks(signal_runs("PRG", image, 44100, 75, name));
        ASSERT_EQ(2 * programs.size(), blocks.size()) << name;
        for (std::size_t i = 0; i < programs.size(); ++i) {
            const program& p = programs[i];
            const unsigned end = p.start + unsigned(p.data.size());
            const bytes header = bytes{p.type, std::uint8_t(p.start), std::uint8_t(p.start >> 8), std::uint8_t(end),
                                       std::uint8_t(end >> 8)} + text(p.name) + bytes(187 - p.name.size(), ' ');
            EXPECT_EQ(header, blocks[2 * i]) << name << ", program " << i;
            EXPECT_EQ(p.data, blocks[2 * i + 1]) << name << ", program " << i;
        }
    }
}

TEST(detection, by_content_and_extension) {
    const std::string trs80 = "TRS-80 Model I/VideoGenie high level tape image", homelab = "Homelab high level tape image",
                      cgenie = "Colour Genie high level tape image format", prg = "Commodore program file";
    const bytes head = text("Colour Genie - Virtual Tape File");
    bytes stray = with_zero_leader({1, 2}), near_text = head;
    stray[100] = 0x01;
    const bytes level1 = with_zero_leader({0x42, 0x00, 0x42, 0x02, 1, 2, 0xFD}, 255);
    const std::string level1_line = "TRS-80 Level I tape (250 baud)";
    near_text[31] = 'E';
    for (const auto& [name, content, expected] : std::vector<std::tuple<const char*, bytes, std::string>>{
             // Zeros, then 0xA5, and the extension; a leader other than 256
             // bytes is told.
             {"GAME.CAS", with_zero_leader({1}), trs80},
             {"game.Cas", with_zero_leader({}), trs80},
             {"game.bin", with_zero_leader({1}), ""},
             {"game.cas", stray, ""},
             {"game.cas", bytes(256, 0), ""},
             {"game.cas", with_zero_leader({}, 0), ""},
             {"game.cas", with_zero_leader({}, 257), trs80 + ".\nLeader of 257 zero bytes"},
             {"game.cas", with_zero_leader({}, 1), trs80 + ".\nLeader of 1 zero byte"},
             {"GAME.HTP", with_zero_leader({'A', 0}), homelab},
             {"g.htp", with_zero_leader({}, 255), homelab + ".\nLeader of 255 zero bytes"},
             {"g.htp", bytes{0x55, 0x7F}, ""},
             // A Level I program: addresses from 0x4000 up, the bytes between
             // them and a checksum, then the end, 32 bytes at most, or a leader.
             {"game.cas", level1, trs80 + ".\n" + level1_line},
             {"game.cas", level1 + level1, trs80 + ".\n" + level1_line},
             {"game.cas", level1 + bytes(32, 1), trs80 + ".\n" + level1_line},
             {"game.cas", level1 + bytes(33, 1), trs80 + ".\nLeader of 255 zero bytes"},
             {"game.cas", with_zero_leader({0x3F, 0xFF, 0x40, 0x00, 7, 7}), trs80},
             {"game.cas", with_zero_leader({0x40, 0x01, 0x40, 0x00, 7}), trs80},
             {"game.cas", bytes(level1.begin(), level1.end() - 1), trs80 + ".\nLeader of 255 zero bytes"},
             // High speed: 0x55 bytes, then 0x7F.
             {"game.cas", bytes{0x55, 0x7F}, trs80 + ".\nTRS-80 high-speed tape (1500 baud)"},
             {"game.cas", bytes(256, 0x55) + bytes{0x7F, 0}, trs80 + ".\nTRS-80 high-speed tape (1500 baud)"},
             {"game.cas", bytes(256, 0x55) + bytes{0x7E}, ""},
             // Colour Genie: the header text under any name, or a .cas image
             // starting with the sync byte or the 0xAA leader.
             {"game", head, cgenie},
             {"game.cas", {0x66, 0x55}, cgenie},
             {"GAME.CAS", {0xAA, 0x66}, cgenie},
             {"game.bin", {0x66, 0x55}, ""},
             {"game.cas.bak", {0x66}, ""},
             {"game.bin", near_text + bytes{0, 'f'}, ""},
             {"game.cas", {0x55, 0x66}, ""},
             {"game.cas", {}, ""},
             // Program files: a P00 or T64 by its signature under any name, a
             // PRG by its extension in any case.
             {"GAME.PRG", {0x01, 0x08, 0x00}, prg},
             {"game.prg", {0x01, 0x08}, ""},
             {"game", text("C64File") + bytes(19, 0) + bytes{0x01, 0x08, 0x00}, prg},
         })
        EXPECT_EQ(expected, detected_format(name, content)) << name << ", " << content.size() << " bytes";
}

}  // namespace

// Reading Commodore recordings back, beyond the ladder's goals
// (tests/formats/ladder_test.cpp): the images the reader writes, and the ROM
// loader's rules for the block's two copies and its checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "audio/samples.h"
#include "formats/cbm/recording.h"
#include "formats/cbm/recording_dsp.h"
#include "formats/cbm/regenerate.h"
#include "support/reading.h"
#include "support/run.h"
#include "support/signal.h"

using namespace korvax_test;
using korvax::cbm::kernal_program;
using korvax::cbm::recording_read;

// What the reader writes: a T64 of the programs read converts to the very
// WAV of the archive it was read from; a TAP image of the pulses read, and a
// PRG of a program, read back as the same programs.
TEST(cbm_recording, images_written_read_back) {
    const scratch_dir dir;
    const std::string t64 = std::string(KORVAX_EXAMPLES) + "/hello2.t64";
    const std::vector<float> wav = program_signal(t64, 44100);
    const recording_read r = cbm_read(wav, 44100);
    ASSERT_EQ(r.programs.size(), 2u);
    EXPECT_EQ(program_signal(dir.write("again.t64", korvax::cbm::t64_image(r.programs)), 44100), wav);
    const std::vector<float> tap = program_signal(dir.write("again.tap", korvax::cbm::tap_image(r)), 44100, true);
    const recording_read again = cbm_read(tap, 44100);
    ASSERT_EQ(again.programs.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(again.programs[k].name, r.programs[k].name);
        EXPECT_EQ(again.programs[k].bytes, r.programs[k].bytes);
        const korvax_test::bytes prg = korvax::cbm::prg_image(r.programs[k]);
        EXPECT_EQ(prg.size(), r.programs[k].bytes.size() + 2);
        EXPECT_EQ(prg[0] | prg[1] << 8, r.programs[k].start);
    }
    const std::vector<korvax::tape_item> items = korvax::cbm::describe(r);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].name, "BORDER");
    EXPECT_EQ(items[1].load_address, 0xC000u);
    EXPECT_EQ(items[1].length, 10u);
    EXPECT_EQ(items[1].check, korvax::tape_item::checksum::holds);
}

// The ROM loader's rules, on a tape whose pulses are edited: hello.prg's
// clean read, with bits of its data block changed in one copy or both
// before it is played again. A bit flipped cleanly fails its byte's parity;
// a blurred bit (both pulses halfway between a short and a medium) is
// unclear; a dropout (twenty pulses as one) hides a byte; an edge that hiss
// moved makes a medium pulse nearly a long one (and the pulse next to it as
// much shorter), or a byte's long pulse nearly a medium one, and the byte is
// read with that bit unclear. Each byte comes back right from the other
// copy, bit by bit, or from the byte's parity where one bit is unclear in
// both, or from the block's checksum when
// both copies are in doubt (then reported in doubt; two such bytes, where
// their bits, parity and the checksum leave one choice). A short pulse between the copies may stray
// nearer a medium one: in the TAP data read it is a short one again, as is
// every pulse of a byte known, and of the short pulses after each copy (also
// where hiss at the pause after them made a pulse of its own).
TEST(cbm_recording, both_copies_and_the_checksum) {
    enum edit {
        flip,
        blur,
        hide,
        stray,
        split,
        merge,
        unmarked,
        lost,
        trailing,
        longer_trailer,
        before_pause,
        moved,
        blur_marker,
        slip,
        byte_before,
        false_end
    };
    enum edge { none, in_0_bit, before_1_bit, in_marker, before_marker, before_end };
    struct change {
        int copy;  // 1 or 2
        std::size_t byte, bit;
        edit how;
        edge which = none;  // the edge `moved`, by `bit` TAP units
    };
    struct case_ {
        const char* what;
        std::vector<change> changes;
        std::vector<std::size_t> doubtful;  // in the program's bytes
    };
    const scratch_dir dir;
    const recording_read clean = cbm_read(program_signal(std::string(KORVAX_EXAMPLES) + "/hello.prg", 44100), 44100);
    ASSERT_EQ(clean.programs.size(), 1u);
    // The pause after the header, and where the data block's first copy
    // starts: the first long pulse after it.
    const auto pause_at = [](const std::vector<std::size_t>& u) {
        return std::size_t(std::find_if(u.begin(), u.end(), [](std::size_t x) { return x > 255; }) - u.begin());
    };
    const auto data_start = [&](const std::vector<std::size_t>& u) {
        std::size_t at = pause_at(u);
        while (at < u.size() && !(u[at] > 76 && u[at] < 100)) ++at;
        return at;
    };
    const std::vector<std::size_t> units = tap_units(clean.tap_pulses);
    const std::size_t first = data_start(units);
    const std::size_t bytes = 9 + 37 + 1, second = first + 20 * bytes + 2 + 79;
    for (const case_& k : std::vector<case_>{
             {"a bit flipped in the first copy", {{1, 9 + 5, 3, flip}}, {}},
             {"a bit flipped in the second copy", {{2, 9 + 5, 0, flip}}, {}},
             {"a bit blurred in the first copy", {{1, 9 + 20, 6, blur}}, {}},
             {"a byte hidden in the first copy", {{1, 9 + 30, 0, hide}}, {}},
             {"different bits of one byte blurred in each copy", {{1, 9 + 7, 1, blur}, {2, 9 + 7, 5, blur}}, {}},
             {"flipped in one copy, blurred in the other", {{1, 9 + 2, 4, flip}, {2, 9 + 2, 4, blur}}, {}},
             {"the same bit blurred in both copies (its parity bit clear)",
              {{1, 9 + 5, 2, blur}, {2, 9 + 5, 2, blur}},
              {}},
             {"two bits of a byte blurred in both copies",
              {{1, 9 + 2, 4, blur}, {2, 9 + 2, 4, blur}, {1, 9 + 2, 5, blur}, {2, 9 + 2, 5, blur}},
              {2}},
             {"the same in two bytes, at other bits",
              {{1, 9 + 2, 4, blur},
               {2, 9 + 2, 4, blur},
               {1, 9 + 2, 5, blur},
               {2, 9 + 2, 5, blur},
               {1, 9 + 6, 1, blur},
               {2, 9 + 6, 1, blur},
               {1, 9 + 6, 3, blur},
               {2, 9 + 6, 3, blur}},
              {2, 6}},
             {"a short pulse more before a byte's last two bits (1s, read as 0s: its parity holds) in one copy, "
              "another byte blurred in the other",
              {{2, 9 + 20, 6, blur}, {1, 9 + 4, 7, slip}},
              {}},
             {"a byte read from hiss in the short pulses before the second copy (each of its bytes a place off), "
              "a bit blurred in the first",
              {{1, 9 + 20, 6, blur}, {2, 0, 0, byte_before}},
              {}},
             {"four short pulses after a byte's long one in the first copy (as an end marker reads), a bit blurred "
              "further on in the second",
              {{2, 9 + 25, 3, blur}, {1, 9 + 20, 0, false_end}},
              {}},
             {"a short pulse between the copies nearer a medium one", {{1, 0, 0, stray}}, {}},
             {"a pulse split in two", {{1, 9 + 12, 2, split}}, {}},
             {"a short and a medium pulse run together", {{1, 9 + 14, 5, merge}}, {}},
             {"the edge in a 0 bit earlier in one copy (its medium pulse a little long), another bit blurred in "
              "the other",
              {{1, 9 + 10, 12, moved, in_0_bit}, {2, 9 + 10, 6, blur}},
              {}},
             {"the same, the medium pulse nearly a long one",
              {{2, 9 + 11, 16, moved, in_0_bit}, {1, 9 + 11, 1, blur}},
              {}},
             {"the same, the edge before a 1 bit", {{1, 9 + 16, 16, moved, before_1_bit}, {2, 9 + 16, 0, blur}}, {}},
             {"the edge in a byte's marker earlier in one copy (its long pulse a little short, its medium one a "
              "little long), a bit blurred in the other",
              {{1, 9 + 12, 11, moved, in_marker}, {2, 9 + 12, 3, blur}},
              {}},
             {"both pulses of a byte's marker halfway between a medium and a long one in one copy, a bit blurred "
              "in the other",
              {{1, 9 + 17, 0, blur_marker}, {2, 9 + 17, 5, blur}},
              {}},
             {"a short and a medium pulse run together, the edge before the next byte's marker later, and a bit "
              "of that byte blurred in the other copy",
              {{2, 9 + 15, 3, blur}, {1, 9 + 15, 8, moved, before_marker}, {1, 9 + 14, 5, merge}},
              {}},
             {"the first copy's end marker not read", {{1, 0, 0, unmarked}}, {}},
             {"the edge before each copy's end marker later",
              {{2, 0, 11, moved, before_end}, {1, 0, 11, moved, before_end}},
              {}},
             {"the second copy's end marker not read", {{2, 0, 0, unmarked}}, {}},
             {"a short pulse between the copies lost", {{1, 0, 0, lost}}, {}},
             {"a short pulse after the second copy nearer a medium one", {{2, 0, 0, trailing}}, {}},
             {"the same, in short pulses that run on past the ROM's 78", {{2, 0, 0, longer_trailer}}, {}},
             {"hiss at the pause after the header made a pulse, and one before it strays",
              {{2, 0, 0, before_pause}},
              {}},
         }) {
        std::vector<std::size_t> u = units;
        for (const change& ch : k.changes) {
            const std::size_t at = (ch.copy == 1 ? first : second) + 20 * ch.byte + 2 + 2 * ch.bit;
            if (ch.how == flip) std::swap(u[at], u[at + 1]);
            if (ch.how == blur) u[at] = u[at + 1] = 57;
            if (ch.how == blur_marker) u[at - 2] = u[at - 1] = 77;
            if (ch.how == slip) u.insert(u.begin() + std::ptrdiff_t(at), 48);
            if (ch.how == byte_before) {
                // A long and a medium pulse, then nine 0 bits (failing the
                // parity), in place of the last 20 short pulses.
                u[second - 20] = 86, u[second - 19] = 66;
                for (std::size_t k = 0; k < 9; ++k) u[second - 18 + 2 * k] = 48, u[second - 17 + 2 * k] = 66;
            }
            if (ch.how == false_end) u[at - 1] = u[at] = u[at + 1] = u[at + 2] = 48;
            if (ch.how == moved) {
                // The pulse after the edge (at `e`) takes `bit` units from the
                // one before it, or gives them: in the byte's first 0 bit (a
                // short pulse, then a medium one), before its first 1 bit
                // after bit 0, in its marker, before it, or before the end
                // marker.
                std::size_t e = at - 2 * ch.bit;
                if (ch.which == in_0_bit)
                    for (++e; u[e - 1] > u[e];) e += 2;
                if (ch.which == before_1_bit)
                    for (e += 2; u[e] < u[e + 1];) e += 2;
                if (ch.which == in_marker) e -= 1;
                if (ch.which == before_marker) e -= 2;
                if (ch.which == before_end) e = (ch.copy == 1 ? first : second) + 20 * bytes;
                if (ch.which == before_marker || ch.which == before_end)
                    u[e - 1] += ch.bit, u[e] -= ch.bit;
                else
                    u[e - 1] -= ch.bit, u[e] += ch.bit;
            }
            if (ch.how == stray) u[second - 40] = 60;
            if (ch.how == split) u.insert(u.begin() + std::ptrdiff_t(at), u[at] / 2), u[at + 1] -= u[at];
            if (ch.how == merge) u[at] += u[at + 1], u.erase(u.begin() + std::ptrdiff_t(at + 1));
            if (ch.how == unmarked)
                u[(ch.copy == 1 ? first : second) + 20 * bytes + 2] = 60;  // the first short after it, nearer a medium
            if (ch.how == trailing || ch.how == longer_trailer) u[second + 20 * bytes + 12] = 60;
            if (ch.how == longer_trailer) u.insert(u.end(), 100, 48);  // after the last, at the tape's end
            if (ch.how == before_pause) {
                const std::size_t pause = pause_at(u);
                u[pause - 3] = 60;
                u.insert(u.begin() + std::ptrdiff_t(pause), 120);
            }
            if (ch.how == lost) u[second - 40] += u[second - 39], u.erase(u.begin() + std::ptrdiff_t(second - 39));
            if (ch.how == hide) {
                u[at - 2 - 2 * ch.bit] = 20 * 57;
                u.erase(u.begin() + std::ptrdiff_t(at - 1 - 2 * ch.bit), u.begin() + std::ptrdiff_t(at + 18 - 2 * ch.bit));
            }
        }
        korvax_test::bytes tap = text("C64-TAPE-RAW") + korvax_test::bytes{1, 0, 0, 0, 0, 0, 0, 0};
        for (std::size_t x : u)
            if (x < 256) tap.push_back(std::uint8_t(x));
            else tap.insert(tap.end(), {0, std::uint8_t(x * 8), std::uint8_t(x * 8 >> 8), std::uint8_t(x * 8 >> 16)});
        const std::uint32_t n = std::uint32_t(tap.size() - 20);
        for (int b = 0; b < 4; ++b) tap[std::size_t(16 + b)] = std::uint8_t(n >> (8 * b));
        const recording_read r = cbm_read(program_signal(dir.write("edited.tap", tap), 44100, true), 44100);
        ASSERT_EQ(r.programs.size(), 1u) << k.what;
        const kernal_program& p = r.programs[0];
        EXPECT_EQ(p.bytes, clean.programs[0].bytes) << k.what;
        std::vector<std::size_t> doubtful;
        for (std::size_t d = p.header_doubtful; d < p.doubtful.size(); ++d) doubtful.push_back(p.doubtful[d].index);
        EXPECT_EQ(doubtful, k.doubtful) << k.what;
        EXPECT_EQ(p.data_holds, k.doubtful.empty()) << k.what;
        // The TAP data read holds every byte known as the ROM wrote it (one
        // in doubt in both copies at the value the checksum gives), in both
        // copies and up to the tape's end: an edit that left its pulses in
        // place, or took or added one without changing how long the byte
        // took, is undone. (A byte hidden or left unframed, a pulse more,
        // or a byte of hiss keeps its pulses as read.)
        const bool in_place = std::none_of(k.changes.begin(), k.changes.end(), [](const change& c) {
            return c.how == hide || c.how == slip || c.how == byte_before || c.how == false_end;
        });
        if (in_place) {
            const std::vector<std::size_t> got = tap_units(r.tap_pulses);
            const std::size_t from = data_start(got), n = second - first + 20 * bytes + 2 + 70;  // and the trailer
            ASSERT_GE(got.size(), from + n) << k.what;
            std::size_t off = 0;
            for (std::size_t j = 0; j < n; ++j)
                off += got[from + j] + 2 < units[first + j] || got[from + j] > units[first + j] + 2;
            // And so is the header's second copy: its end marker and the 78
            // short pulses after it, before the pause (or the pulse hiss
            // made there).
            const std::size_t pause = pause_at(units), got_pause = pause_at(got) - (k.changes[0].how == before_pause);
            for (std::size_t j = 1; j <= 80; ++j)
                off += got[got_pause - j] + 2 < units[pause - j] || got[got_pause - j] > units[pause - j] + 2;
            EXPECT_EQ(off, 0u) << k.what;
        }
    }
}

// Below 22050 Hz the samples are first taken to a higher rate, on a curve
// through the recording's, which holds its last edges back until later
// samples come: at the recording's end they still come, and the TAP data
// holds as many pulses as read at 22050 Hz, where none are made.
TEST(cbm_recording, every_pulse_at_low_rates) {
    const std::string tap = std::string(KORVAX_EXAMPLES) + "/hello.tap";
    const std::size_t want = tap_units(cbm_read(program_signal(tap, 22050), 22050).tap_pulses).size();
    for (const unsigned rate : {8000u, 11025u, 16000u})
        EXPECT_EQ(tap_units(cbm_read(program_signal(tap, rate), rate).tap_pulses).size(), want) << rate << " Hz";
}

// hello.tap as a C16 or Plus/4 writes it: the C64's blocks with pulses of
// one, two and four times its short one.
korvax_test::bytes c16_hello() {
    korvax_test::bytes tap = read_file(std::string(KORVAX_EXAMPLES) + "/hello.tap");
    tap[13] = 2;
    for (std::size_t i = 20; i < tap.size(); ++i) {
        if (tap[i] == 0) i += 3;  // the pause between header and data
        else tap[i] = tap[i] == 0x30 ? 56 : tap[i] == 0x42 ? 112 : 224;
    }
    return tap;
}

// hello.tap as a C16 writes it reads back as HELLO at either rate, and the
// TAP written is a C16 one, on its clock: played again it lasts as long as
// the tape, and holds the same program.
TEST(cbm_recording, a_c16_tape) {
    const scratch_dir dir;
    korvax_test::bytes tap = c16_hello();
    const std::string c16 = dir.write("c16.tap", tap);
    for (unsigned rate : {22050u, 44100u}) {
        const std::vector<float> wav = program_signal(c16, rate);
        const recording_read r = cbm_read(wav, rate);
        ASSERT_EQ(r.programs.size(), 1u) << rate;
        EXPECT_EQ(r.programs[0].name, "HELLO");
        EXPECT_TRUE(r.programs[0].header_holds && r.programs[0].data_holds);
        EXPECT_EQ(korvax::cbm::prg_image(r.programs[0]), read_file(std::string(KORVAX_EXAMPLES) + "/hello.prg"));
        const korvax_test::bytes back = korvax::cbm::tap_image(r);
        EXPECT_EQ(std::string(back.begin(), back.begin() + 14), std::string("C16-TAPE-RAW\x01\x02", 14));
        const std::vector<float> again = program_signal(dir.write("again.tap", back), rate);
        EXPECT_NEAR(double(again.size()), double(wav.size()), 0.01 * double(wav.size())) << rate;
        EXPECT_EQ(cbm_read(again, rate).programs.at(0).bytes, r.programs[0].bytes) << rate;
    }
    // Hiss split the long pulse that starts a block's copy into 1.3 and 2.7
    // short pulses (a C64's long pulse might read 2.7 with the medium pulse
    // after it, 2): in the header's first copy, before the tape's machine is
    // told, and in the data block's second copy, once it is. The tape is
    // still a C16's, and a bit blurred in each block's other copy is taken
    // from that one.
    const auto split = [&](std::size_t at) {
        ASSERT_EQ(tap[at], 224);
        tap[at] = 152;
        tap.insert(tap.begin() + std::ptrdiff_t(at), 72);
    };
    const auto blur = [&](std::size_t copy, std::size_t byte, std::size_t bit) {
        tap[copy + 20 * byte + 2 + 2 * bit] = tap[copy + 20 * byte + 3 + 2 * bit] = 84;
    };
    std::size_t first = 20;
    while (tap[first] != 0) ++first;
    for (first += 4; tap[first] != 224;) ++first;
    const std::size_t second = first + 20 * (9 + 37 + 1) + 2 + 79;
    const korvax_test::bytes unsplit = tap;
    blur(first, 9 + 20, 3);
    split(second);
    std::size_t header = 20;
    while (tap[header] != 224) ++header;
    blur(header + 20 * (9 + 192 + 1) + 2 + 79, 9 + 3, 5);
    split(header);
    // And hiss dipped past zero on the flat top of a data byte's long pulse
    // in both copies (the same bytes sag alike): it read as two unclear
    // pulses, each of halves over three times apart, which add up to it. A
    // version 2 image (each pulse as its two halves) writes them.
    korvax_test::bytes dipped(unsplit.begin(), unsplit.begin() + 20);
    dipped[12] = 2;
    std::vector<std::size_t> place(unsplit.size());
    for (std::size_t i = 20; i < unsplit.size(); ++i) {
        place[i] = dipped.size();
        if (unsplit[i] == 0) {
            dipped.insert(dipped.end(), unsplit.begin() + std::ptrdiff_t(i), unsplit.begin() + std::ptrdiff_t(i + 4));
            i += 3;
        } else {
            dipped.insert(dipped.end(), {std::uint8_t(unsplit[i] / 2), std::uint8_t(unsplit[i] / 2)});
        }
    }
    for (std::size_t copy : {second, first}) {
        const std::size_t m = place[copy + 20 * (9 + 30)];
        ASSERT_EQ(dipped[m], 112);
        dipped[m + 1] = 30;
        dipped.insert(dipped.begin() + std::ptrdiff_t(m + 2), {20, 62});
    }
    for (const korvax_test::bytes& t : {tap, dipped}) {
        const std::uint32_t size = std::uint32_t(t.size() - 20);
        korvax_test::bytes image = t;
        for (int b = 0; b < 4; ++b) image[std::size_t(16 + b)] = std::uint8_t(size >> (8 * b));
        const recording_read r = cbm_read(program_signal(dir.write("edited.tap", image), 44100), 44100);
        ASSERT_EQ(r.programs.size(), 1u);
        EXPECT_TRUE(r.programs[0].header_holds && r.programs[0].data_holds) << (t == tap ? "split" : "dipped");
        EXPECT_EQ(korvax::cbm::prg_image(r.programs[0]), read_file(std::string(KORVAX_EXAMPLES) + "/hello.prg"));
    }
}

// Head loss can keep a short half-wave between two longer ones from crossing
// zero by more than hiss does: the signal dips just past zero, not as far as
// a half-wave of its own. Its edges are found all the same, also where it
// is a short pulse's first half after a long pulse, and hiss left the long
// one's second half longer and the short one's second half shorter. A dip
// as deep but far narrower than the half-waves around it (hiss on the flat
// top of a long one) is no half-wave. Written halves in us, alternately
// above and below zero, through a 4 kHz head loss at 44100 Hz; one of them
// (`changed`) is written weaker, at `value` (the others at 1 and -1),
// wholly or for `notch` us in its middle.
TEST(cbm_recording, a_half_wave_kept_from_crossing) {
    struct case_ {
        const char* what;
        std::vector<double> halves;
        std::size_t changed;
        double value, notch;
    };
    const std::vector<double> turbo = {180, 180, 113, 113, 180, 180, 113, 113, 113, 113, 180, 180, 113, 113, 180, 180};
    const std::vector<double> c16_rom = {250, 250, 1000, 1000, 250, 250, 500, 500, 250, 250, 1000, 1000, 250, 250};
    const std::vector<double> after_long = {180, 180, 113, 113, 180, 200, 109, 88, 180, 180, 113, 113};
    for (const case_& k : std::vector<case_>{
             {"a short half-wave that dips just past zero", turbo, 9, -0.2, 0},
             {"a short half-wave that barely dips past zero", turbo, 9, -0.1, 0},
             {"a long half-wave with a narrow dip to zero", c16_rom, 10, -0.2, 100},
             {"a short pulse's first half after a long pulse", after_long, 6, 0.25, 0},
         }) {
        constexpr unsigned rate = 44100;
        const double a = 1 - std::exp(-2 * std::numbers::pi * 4000.0 / rate);
        std::vector<double> edges;  // where each written half ends, in seconds
        for (double t = 0; const double h : k.halves) edges.push_back(t += h * 1e-6);
        const double middle = (edges[k.changed - 1] + edges[k.changed]) / 2;
        std::vector<float> x;
        double y = 0;
        for (std::size_t h = 0; h < k.halves.size(); ++h)
            for (; double(x.size()) < edges[h] * rate; x.push_back(float(0.3 * y))) {
                const double t = double(x.size()) / rate;
                const bool changed = h == k.changed && (k.notch == 0 || std::abs(t - middle) < k.notch * 0.5e-6);
                y += a * ((changed ? k.value : h % 2 ? -1.0 : 1.0) - y);
            }
        korvax::cbm::edge_finder finder(rate);
        std::vector<korvax::cbm::edge> found;
        finder.feed(x.data(), x.size(), found);
        // Around the changed half, an edge found for each written one (the
        // filters delay them all alike), each half-wave within 12 us of its
        // length, and no other edge.
        std::vector<double> got;
        for (const korvax::cbm::edge& e : found)
            if (e.seconds > edges[k.changed - 3] && e.seconds < edges[k.changed + 2] + 100e-6) got.push_back(e.seconds);
        const std::vector<double> want(edges.begin() + std::ptrdiff_t(k.changed - 3), edges.begin() + std::ptrdiff_t(k.changed + 3));
        ASSERT_EQ(got.size(), want.size()) << k.what;
        for (std::size_t i = 1; i < want.size(); ++i)
            EXPECT_NEAR(got[i] - got[i - 1], want[i] - want[i - 1], 12e-6) << k.what << ", half " << i;
    }
}

// A half-wave far shorter than the tape's short ones lies between the edges
// of hiss, and the halves either side of it are one; but head loss and hiss
// squash a C16 turbo's 108 us half to 40 us now and then, and that one is a
// half of its own. Written halves through a 4 kHz head loss at 44100 Hz
// read back as as many pulses as without the change: a turbo's 113 us half
// written as 60 us (read as 47 us) among 226 and 360 us pulses, or a C64's
// 256 us half pulled across zero for 70 us in its middle (read as halves of
// 96, 46 and 104 us).
TEST(cbm_recording, how_short_a_half_wave_is) {
    struct case_ {
        const char* what;
        std::vector<double> halves;  // repeated
        std::size_t changed;
        double length, notch, pull;  // the changed half's length, and how long and how far its middle is pulled
    };
    for (const case_& k : std::vector<case_>{
             {"a C16 turbo's half squashed", {113, 113, 180, 180}, 1000, 60, 0, 0},
             {"hiss across a C64 half", {176, 176, 256, 256}, 1002, 256, 70, -0.95},
         }) {
        constexpr unsigned rate = 44100;
        const double a = 1 - std::exp(-2 * std::numbers::pi * 4000.0 / rate);
        const auto pulses = [&](bool change) {
            std::vector<float> x;
            double y = 0, from = 0;
            for (std::size_t h = 0; h < 2000; ++h) {
                const bool changed = change && h == k.changed;
                const double written = changed ? k.length : h < 400 ? k.halves[0] : k.halves[h % k.halves.size()];
                const double to = from + written * 1e-6;
                for (; double(x.size()) < to * rate; x.push_back(float(0.3 * y))) {
                    const double t = double(x.size()) / rate;
                    const bool pulled = changed && std::abs(t - (from + to) / 2) < k.notch * 0.5e-6;
                    y += a * ((pulled ? k.pull : h % 2 ? -1.0 : 1.0) - y);
                }
                from = to;
            }
            return tap_units(cbm_read(x, rate).tap_pulses).size();
        };
        EXPECT_EQ(pulses(true), pulses(false)) << k.what;
    }
}

// Hiss in a pause, about as strong as the signal's weakest half-waves,
// makes half-waves by turns weaker and stronger than the weak limit. A
// pause must still read as one long pulse: hiss taken for the signal lowers
// the level that the next hiss is judged against, and the pause fills with
// pulses. On c16-pal-v2-bucle.tap at 22050 Hz, rung 6 (where its 0.56 s
// pause once read as 0.18 s and some 350 pulses), every pause over 0.1 s
// comes back as long as in a clean read, on the slowed tape, within 5%.
// And every pulse within tolerance: there flutter also stretches two of a
// C16's bytes by more than half a short pulse, so a byte whose long pulse
// hiss split in two is known by its pulses lining up with the ROM's, not by
// its time alone (5 and 1 pulses were out of tolerance). Nor may a pause
// take in the signal after it where that is much weaker than the one before
// it: c16-pal-v1-trek.tap's turbo blocks after the ROM's, at 22050 Hz,
// whose first 0.12 s (some 500 pulses) were read as part of the pause.
TEST(cbm_recording, hiss_in_a_pause_is_a_pause) {
    struct take {
        const char* image;
        std::uint64_t seed;
        bool inverted, slow, exact;
    };
    const auto pauses = [](const std::vector<std::size_t>& units, double clock) {
        double sum = 0;
        for (const std::size_t u : units) sum += u * 8 > clock / 10 ? double(u) * 8 / clock : 0;
        return sum;
    };
    for (const take& t :
         {take{"c16-pal-v2-bucle", 12, false, true, true}, take{"c16-pal-v2-bucle", 13, true, true, true},
          take{"c16-pal-v1-trek", 27, false, false, false}}) {
        const std::vector<std::string> image = corpus_files({t.image});
        if (image.empty()) GTEST_SKIP() << "no corpus";
        const std::vector<float> wav = program_signal(image[0], 22050);
        const double want = pauses(tap_units(cbm_read(wav, 22050).tap_pulses), 886720);
        const channel_result z = cassette(wav, 22050, ladder[6], {false, t.inverted, t.slow, t.seed});
        const recording_read r = cbm_read(z.samples, 22050);
        EXPECT_NEAR(pauses(tap_units(r.tap_pulses), 886720), t.slow ? want * 1.04 : want / 1.04, 0.05 * want)
            << t.image << ", seed " << t.seed;
        if (!t.exact) continue;
        const score s = read_back(machine::cbm, image[0], {22050, 6, false, t.seed == 13, false, t.seed});
        EXPECT_TRUE(s.exact) << t.image << ", seed " << t.seed << ": " << s.why;
    }
}

// A C16 turbo loader's half-waves (117 and 180 us here, after the ROM's
// blocks) need a recording above 10000 Hz: below it their pulses run
// together, and the report says the rate is too low to time them, which
// makes the reading one in doubt. A C64's tape makes no such claim.
TEST(cbm_recording, a_c16_turbo_recorded_too_slowly_is_in_doubt) {
    for (const bool c16 : {true, false}) {
        korvax_test::bytes t = c16 ? c16_hello() : read_file(std::string(KORVAX_EXAMPLES) + "/hello.tap");
        // A pause, a leader and the turbo's pulses.
        t.insert(t.end(), {0, 0, 0x40, 0x1F});
        t.insert(t.end(), 2000, 55);
        for (std::uint32_t i = 0, x = 1; i < 8000; ++i) x = x * 1103515245 + 12345, t.push_back(x >> 16 & 1 ? 40 : 26);
        const auto size = std::uint32_t(t.size() - 20);
        for (int k = 0; k < 4; ++k) t[16 + std::size_t(k)] = std::uint8_t(size >> (8 * k));
        const scratch_dir dir;
        const std::string path = dir.write("turbo.tap", t);
        for (const unsigned rate : {8000u, 11025u}) {
            const std::vector<korvax::tape_item> items =
                korvax::cbm::describe(cbm_read(program_signal(path, rate), rate));
            ASSERT_EQ(items.size(), 2u) << rate << (c16 ? " C16" : " C64");
            EXPECT_EQ(items[1].kind, "blocks not read as the ROM's");
            EXPECT_EQ(items[1].missing,
                      c16 && rate < 10000 ? "the recording's rate is too low to time them (record at 22050 Hz)" : "")
                << rate << (c16 ? " C16" : " C64");
        }
    }
}

// Another loader's pulses, two lengths like the C16 turbo tapes' (235 and
// 361 us, two alike halves each), after a leader, through rung 6 in both
// polarities: at 44100 Hz all, at 22050 Hz all but one in 2,000, come back
// within a loader's tolerance. At 22050 Hz the WAV holds a short pulse's
// halves as 2 or 3 samples, so some come 272 us long, near the midpoint;
// hiss moves edges by tens of microseconds and now and then squashes a
// half-wave away, which makes two pulses one. As measured, 3 in a thousand
// were out.
TEST(cbm_recording, another_loaders_pulses_through_rung_6) {
    bytes tap = text("C16-TAPE-RAW");
    tap.insert(tap.end(), {1, 2, 0, 0, 0, 0, 0, 0});
    const std::size_t leader = 4000, data = 40000;
    for (std::size_t i = 0; i < leader; ++i) tap.push_back(55);
    for (std::uint32_t i = 0, x = 1; i < data; ++i) x = x * 1103515245 + 12345, tap.push_back(x >> 16 & 1 ? 40 : 26);
    const auto size = std::uint32_t(leader + data);
    for (int k = 0; k < 4; ++k) tap[16 + std::size_t(k)] = std::uint8_t(size >> (8 * k));
    const scratch_dir dir;
    const std::string path = dir.write("turbo.tap", tap);
    for (const unsigned rate : {22050u, 44100u})
        for (const bool inverted : {false, true}) {
            const channel_result z = cassette(program_signal(path, rate), rate, ladder[6], {false, inverted, false, 3});
            const bytes read = korvax::cbm::tap_image(cbm_read(z.samples, rate));
            const std::size_t off = tap_pulses_off(tap, read, 1 + ladder[6].speed_pct / 100, rate);
            EXPECT_LE(off, rate == 44100 ? 0 : data / 2000) << rate << " Hz" << (inverted ? ", inverted" : "");
        }
}

// The kinds of another loader's pulses, from the lengths around a pulse,
// and what a pulse is written as. Each kind's pulses spread evenly, in a
// triangle, a part of its length either side.
TEST(cbm_recording, pulse_kinds_from_the_lengths_around) {
    using korvax::cbm::measured_pulse;
    using korvax::cbm::pulse_kinds;
    struct kind {
        double us;
        int count;
        double spread;
    };
    struct {
        const char* what;
        std::vector<kind> kinds;
        double pulse, before, after;  // us; a neighbour of 0: none
        double low, high;             // the length written lies between
        double first_half = 0;        // us; 0: half the pulse
        std::size_t written = 1;      // pulses written for it, each between low and high
    } const cases[] = {
        {"a pulse of its kind", {{218, 3000, 0.1}, {346, 2000, 0.08}}, 240, 0, 0, 217, 219},
        {"a bump on a kind's slope is of it",
         {{218, 3000, 0.15}, {265, 550, 0.09}, {346, 2000, 0.08}},
         262,
         0,
         0,
         215,
         235},
        {"two kinds clearly parted stay two", {{218, 3000, 0.05}, {265, 1500, 0.05}}, 262, 0, 0, 255, 275},
        {"a lone kind's pulse a rate's rounding and hiss made 24% long", {{218, 3000, 0.05}}, 270, 0, 0, 217, 219},
        {"far from every kind, as measured", {{218, 3000, 0.05}}, 300, 218, 218, 299.5, 300.5},
        {"edges shared with neighbours moved", {{218, 3000, 0.05}}, 300, 200, 195, 210, 225},
        // A half-wave lost, and hiss left a blip where the pulses meet.
        {"two short pulses run together, a blip for a half",
         {{218, 3000, 0.1}, {346, 2000, 0.08}},
         440,
         0,
         0,
         217,
         219,
         50,
         2},
    };
    for (const auto& c : cases) {
        pulse_kinds kinds;
        const auto pulse = [](double us) {
            measured_pulse p{us * 1e-6, us * 0.5e-6};
            p.bin = pulse_kinds::bin_of(p.length);
            return p;
        };
        for (const kind& k : c.kinds)
            for (int i = 0; i < k.count; ++i) {
                const double u = (i + 0.5) / k.count, v = std::fmod(i * 0.6180339887, 1.0);
                kinds.add(pulse(k.us * (1 + k.spread * (u + v - 1))));
            }
        kinds.update();
        measured_pulse p = pulse(c.pulse);
        if (c.first_half > 0) p.first_half = c.first_half * 1e-6;
        const measured_pulse before = pulse(c.before), after = pulse(c.after);
        std::array<double, 2> out{};
        ASSERT_EQ(kinds.regenerate(p, c.before > 0 ? &before : nullptr, c.after > 0 ? &after : nullptr, out),
                  c.written)
            << c.what;
        for (std::size_t k = 0; k < c.written; ++k) {
            EXPECT_GE(out[k] * 1e6, c.low) << c.what;
            EXPECT_LE(out[k] * 1e6, c.high) << c.what;
        }
    }
}

// Reading Colour Genie tapes back, beyond the ladder's goals
// (tests/formats/ladder_test.cpp): what the report says of a stretch, the
// image of several, a tape through a high-pass far above the ladder's, a
// dropout over the sync byte, and a faint copy of the tape before it.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "audio/samples.h"
#include "formats/cgenie/recording.h"
#include "support/reading.h"
#include "support/run.h"
#include "support/signal.h"

using korvax::tape_item;
using bytes = std::vector<std::uint8_t>;
using korvax_test::operator+;

// What the report says of a stretch, from its bytes.
TEST(cgenie_recording, report_items) {
    // 0x66, SYSTEM "HELLO ", a block of 2 bytes at 0x4800 (checksum 0x48 +
    // 0x01 + 0x02), a block of 256 (length byte 0) at 0x4900, entry 0x4800.
    bytes system = {0x66, 0x55, 'H', 'E', 'L', 'L', 'O', ' ', 0x3C, 2, 0x00, 0x48, 1, 2, 0x4B, 0x3C, 0, 0x00, 0x49};
    system.insert(system.end(), 256, 1);
    system.insert(system.end(), {0x49, 0x78, 0x00, 0x48});
    bytes bad_sum = system, cut = system;
    bad_sum[12] ^= 0x10;
    cut.resize(cut.size() - 10);
    const bytes leader_run = {0x66, 0x66, 0x66, 0x55, 'A', 'B', 'C', 'D', 'E', 'F', 0x78, 0x00, 0x48};
    struct row {
        const char* what; bytes b; const char* kind; const char* name; int load; std::size_t length; tape_item::checksum check;
        std::string missing = "";
    };
    for (const row& c : std::vector<row>{
             {"two blocks, sums right", system, "SYSTEM", "HELLO", 0x4800, 258, tape_item::checksum::holds},
             {"a byte wrong", bad_sum, "SYSTEM", "HELLO", 0x4800, 258, tape_item::checksum::fails},
             {"cut short", cut, "SYSTEM", "HELLO", 0x4800, 258, tape_item::checksum::fails, "cut short"},
             {"sync bytes repeated, no blocks", leader_run, "SYSTEM", "ABCDEF", -1, 0, tape_item::checksum::holds},
             {"not a SYSTEM tape", {0x66, 0xD3, 0xD3, 0xD3, 'X', 0}, "data", "", -1, 5, tape_item::checksum::none},
         }) {
        const std::vector<tape_item> items = korvax::cgenie::describe({{1.5, 0, c.b, {{3, 2.0}}}});
        ASSERT_EQ(items.size(), 1u) << c.what;
        const tape_item& it = items[0];
        EXPECT_EQ(it.machine, "Colour Genie") << c.what;
        EXPECT_EQ(it.kind, c.kind) << c.what;
        EXPECT_EQ(it.name, c.name) << c.what;
        EXPECT_EQ(it.load_address ? int(*it.load_address) : -1, c.load) << c.what;
        EXPECT_EQ(it.length, c.length) << c.what;
        EXPECT_EQ(it.check, c.check) << c.what;
        EXPECT_EQ(it.missing, c.missing) << c.what;
        EXPECT_EQ(it.start_seconds, 1.5) << c.what;
        EXPECT_EQ(it.doubtful.size(), 1u) << c.what;
    }
    // A second stretch gets a leader of its own in the image.
    bytes two = {0x66, 1, 2};
    two.insert(two.end(), 255, 0xAA);
    two.insert(two.end(), {0x66, 3});
    EXPECT_EQ(korvax::cgenie::cas_image({{0, 0, {0x66, 1, 2}, {}}, {9, 0, {0x66, 3}, {}}}), two);
}

// A tape whose level droops fast after each change (a strong first-order
// high-pass: a deck's or an interface's coupling) is still found and read:
// each level change's detector peak is then followed, within a third of a
// cell, by the next one's in the other direction and by a bump of the
// droop, neither of which may hide it or pass for one.
TEST(cgenie_recording, a_strong_high_pass) {
    const std::string image = std::string(KORVAX_EXAMPLES) + "/hello-cgenie.cas";
    const std::vector<std::uint8_t> wav = korvax_test::program_wav(image, 44100);
    for (const double hz : {300.0, 550.0, 800.0, 1500.0})
        for (const bool invert : {false, true}) {
            const korvax_test::rung r{hz, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
            korvax_test::cassette_source in(wav, 44100, r, {false, invert, false, 1});
            const korvax_test::condition c{44100, 0, invert};
            const korvax_test::score s = korvax_test::read_signal(korvax_test::machine::cgenie, image, in, c);
            EXPECT_TRUE(s.exact) << hz << " Hz" << (invert ? ", inverted" : "") << ": " << s.why;
        }
}

// A dropout over the end of the leader and the sync byte's first bits: the
// stretch starts where the bits read clearly fit (or half a byte on: the
// sync byte's halves are alike), and is read whole. Its bytes are trusted
// where they prove a SYSTEM tape; those of other data are all in doubt.
// Where what the guess took was leader (a byte of it that ends in 0110 after
// the dropout), the sync byte read whole later starts the stretch. The
// dropout, 8.5 cells, ends anywhere from 4 cells before the byte to 4 cells
// into it (from there on too little of it is left).
TEST(cgenie_recording, a_dropout_over_the_sync_byte) {
    const korvax_test::scratch_dir dir;
    const bytes system = korvax_test::read_file(std::string(KORVAX_EXAMPLES) + "/hello-cgenie.cas");
    const bytes hello(std::find(system.begin(), system.end(), 0) + 1, system.end());
    const bytes data = {0x66, 0xD3, 'X', 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const bytes false_start = bytes(200, 0xAA) + bytes{0xA6} + bytes(50, 0xAA) + hello;
    const struct {
        const char* what;
        bytes image, stretch;
        std::size_t before;  // bytes from the one the dropout is over to the sync byte
        bool all_in_doubt;   // in some takes (in the others at most the sync byte is)
    } rows[] = {{"a SYSTEM tape", bytes(255, 0xAA) + hello, hello, 0, false},
                {"other data", bytes(255, 0xAA) + data, data, 0, true},
                {"leader ending in 0110", false_start, hello, 51, false}};
    constexpr unsigned rate = 44100;
    constexpr double cell = 36.0 / rate;  // as the program writes it: 1/1200 s to whole samples
    for (const auto& r : rows) {
        const std::vector<float> clean = korvax_test::program_signal(dir.write("tape.cas", r.image), rate);
        korvax::memory_source in(clean, rate);
        const double at = korvax::cgenie::read_recording(in).at(0).start_seconds - double(8 * r.before) * cell;
        int guessed = 0;  // takes whose bytes are all in doubt
        for (double end = -4; end <= 4; end += 0.5) {
            std::vector<float> y = clean;
            for (auto k = std::size_t((at + (end - 8.5) * cell) * rate); k < std::size_t((at + end * cell) * rate); ++k)
                y[k] = 0;
            korvax::memory_source damaged(y, rate);
            const std::vector<korvax::tape_segment> got = korvax::cgenie::read_recording(damaged);
            ASSERT_EQ(got.size(), 1u) << r.what << ", " << end;
            EXPECT_EQ(got[0].bytes, r.stretch) << r.what << ", " << end;
            const std::size_t doubt = got[0].doubtful.size();
            guessed += doubt == r.stretch.size();
            EXPECT_TRUE(doubt <= 1 || doubt == r.stretch.size()) << r.what << ", " << end << ": " << doubt;
        }
        EXPECT_EQ(guessed > 0, r.all_in_doubt) << r.what;
    }
}

// A faint copy of the tape a turn of tape before it (print-through, or an
// old recording the erase head left) has a leader that the reader takes
// first; the tape's own, 30 to 60 dB louder and off that leader's grid,
// must still be read. The Homelab reader reads through the same cells.
TEST(cgenie_recording, a_faint_copy_before_the_tape) {
    constexpr unsigned rate = 44100;
    const std::string corpus = std::string(KORVAX_CORPUS) + "/cgenie-66leader-ballon.cas";
    struct take {
        korvax_test::machine m;
        std::string image;
        int rung;           // -1: none; else the channel's hiss at that rung, no dropouts
        std::uint64_t seed;
    };
    std::vector<take> takes = {{korvax_test::machine::cgenie, std::string(KORVAX_EXAMPLES) + "/hello-cgenie.cas", -1, 0},
                               {korvax_test::machine::homelab, std::string(KORVAX_EXAMPLES) + "/hello.htp", -1, 0}};
    // A short leader after the copy, with hiss, where an envelope that
    // followed the tape's own leader up too fast let the copy's grid stand.
    if (std::filesystem::exists(corpus))
        for (const std::uint64_t seed : {3, 5}) takes.push_back({korvax_test::machine::cgenie, corpus, 1, seed});
    for (const take& t : takes)
        for (const double db : {-30.0, -45.0, -60.0}) {
            const std::vector<float> clean = korvax_test::program_signal(t.image, rate);
            const std::size_t turn = rate * 3 / 2;
            std::vector<float> y(clean.size() + turn, 0.0f);
            for (std::size_t k = 0; k < clean.size(); ++k)
                y[k + turn] += clean[k], y[k] += float(std::pow(10.0, db / 20) * clean[k]);
            if (t.rung >= 0)
                y = korvax_test::cassette(y, rate, korvax_test::ladder[t.rung], {false, false, false, t.seed}).samples;
            korvax::memory_source in(y, rate);
            const korvax_test::score s = korvax_test::read_signal(t.m, t.image, in, {rate, 0});
            EXPECT_TRUE(s.exact) << t.image << ", " << db << " dB, seed " << t.seed << ": " << s.why;
        }
}

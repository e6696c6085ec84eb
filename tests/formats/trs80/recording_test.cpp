// Reading TRS-80 tapes back from recordings, beyond the ladder's goals
// (tests/formats/ladder_test.cpp): what the report says, each speed told by
// its leader, programs in order and in place, the 1500 baud reader's ways
// of staying in step after a click or a dropout, and what a dropout in a
// BASIC line puts in doubt.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "audio/samples.h"
#include "formats/trs80/recording.h"
#include "support/reading.h"
#include "support/run.h"
#include "support/signal.h"

using namespace korvax_test;
namespace trs80 = korvax::trs80;

namespace {

std::string example(const std::string& name) { return std::string(KORVAX_EXAMPLES) + "/" + name; }

std::vector<korvax::tape_segment> read(const std::vector<float>& samples, unsigned rate, int baud = 0) {
    korvax::memory_source in(samples, rate);
    return trs80::read_recording(in, baud);
}

// The image's WAV with nine dropouts of `seconds` at -20 dB, from 10% to 90%
// of the way in, read back.
score read_with_dropouts(const std::string& image, unsigned rate, double seconds) {
    std::vector<float> y = program_signal(image, rate);
    for (int percent = 10; percent < 100; percent += 10) {
        const std::size_t from = y.size() * std::size_t(percent) / 100;
        for (std::size_t k = from; k < from + std::size_t(seconds * rate); ++k) y[k] *= 0.1f;
    }
    korvax::memory_source in(y, rate);
    return read_signal(machine::trs80, image, in, {rate, -1});
}

// What the report says of each tape, against what is known of the images
// independently (their provenance notes): kind, name, load address, length,
// checksum, speed.
struct expected_item {
    std::string kind, name;
    std::optional<unsigned> load;
    std::size_t length;  // 0: not checked (BASIC: the image's own count includes its end)
    korvax::tape_item::checksum check;
    int baud;
};
using korvax::tape_item;
constexpr auto holds = tape_item::checksum::holds, none = tape_item::checksum::none;

TEST(trs80_recording, the_report_tells_what_each_tape_holds) {
    const std::vector<std::pair<std::string, std::vector<expected_item>>> table = {
        {example("hello.cas"), {{"BASIC", "H", {}, 0, none, 500}}},
        {example("hello-level1.cas"), {{"Level I", "", 0x4200, 18, holds, 250}}},
        {example("hello-fast.cas"), {{"BASIC", "H", {}, 0, none, 1500}}},
        {std::string(KORVAX_CORPUS) + "/trs80-system-spores.cas", {{"SYSTEM", "SPONU2", 0x4F00, 12544, holds, 500}}},
        {std::string(KORVAX_CORPUS) + "/trs80-system-follin.cas", {{"SYSTEM", "FOLLIN", 0x6000, 511, holds, 500}}},
        {std::string(KORVAX_CORPUS) + "/trs80-basic-taipan.cas", {{"BASIC", "T", {}, 0, none, 500}}},
        {std::string(KORVAX_CORPUS) + "/trs80-cas-hs-basic-chroma-demo.cas", {{"BASIC", "D", {}, 0, none, 1500}}},
        {std::string(KORVAX_CORPUS) + "/trs80-odd-level1-twocopies.cas",
         {{"Level I", "", 0x41FE, 2636, holds, 250}, {"Level I", "", 0x41FE, 2636, holds, 250}}},
    };
    for (const auto& [image, want] : table) {
        if (!std::filesystem::exists(image)) {
            std::printf("skipped, not found: %s\n", image.c_str());
            continue;
        }
        const auto items = trs80::describe(read(program_signal(image, 44100), 44100));
        ASSERT_EQ(items.size(), want.size()) << image;
        for (std::size_t k = 0; k < want.size(); ++k) {
            const tape_item& it = items[k];
            const expected_item& w = want[k];
            EXPECT_EQ(it.machine, "TRS-80");
            EXPECT_EQ(it.kind, w.kind) << image;
            EXPECT_EQ(it.name, w.name) << image;
            EXPECT_EQ(it.load_address, w.load) << image;
            if (w.length != 0) {
                EXPECT_EQ(it.length, w.length) << image;
            }
            EXPECT_EQ(it.check, w.check) << image;
            EXPECT_EQ(it.baud, w.baud) << image;
            EXPECT_TRUE(it.doubtful.empty()) << image;
        }
    }
}

// A program whose bytes do not add up is reported as failing, whatever the
// signal's quality: one data byte changed in a SYSTEM block and in a Level I
// program.
TEST(trs80_recording, a_checksum_that_fails_is_reported) {
    const scratch_dir dir;
    const std::vector<std::pair<std::string, std::size_t>> table = {
        {example("hello-level1.cas"), 256 + 4 + 3},  // a byte of "HELLO"
        {std::string(KORVAX_CORPUS) + "/trs80-system-follin.cas", 256 + 7 + 4 + 10},  // in the first block
    };
    for (const auto& [image, at] : table) {
        if (!std::filesystem::exists(image)) continue;
        bytes b = read_file(image);
        b[at] ^= 0x10;
        const std::string path = dir.write("bad.cas", b);
        const auto items = trs80::describe(read(program_signal(path, 22050), 22050));
        ASSERT_EQ(items.size(), 1u) << image;
        EXPECT_EQ(items[0].check, tape_item::checksum::fails) << image;
    }
}

// A forced speed reads only segments at that speed (the speed found from
// each leader is the ladder test's); and an image with the leader the .cas
// output writes (255 zero bytes, or 256 of 0x55) comes back whole.
TEST(trs80_recording, a_forced_speed_reads_only_its_own) {
    const std::vector<std::pair<std::string, int>> table = {
        {"hello.cas", 500}, {"hello-255.cas", 500}, {"hello-level1.cas", 250}, {"hello-fast.cas", 1500}};
    for (const auto& [name, baud] : table) {
        const std::vector<float> y = program_signal(example(name), 22050);
        for (int forced : {250, 500, 1500}) {
            EXPECT_EQ(read(y, 22050, forced).size(), forced == baud ? 1u : 0u) << name << " read at " << forced;
        }
        const bytes b = read_file(example(name));
        const auto leader = std::size_t(std::find_if(b.begin(), b.end(), [](auto x) { return x != 0 && x != 0x55; }) - b.begin());
        if (leader == (b[0] == 0x55 ? 256u : 255u)) {
            EXPECT_EQ(trs80::cas_image(read(y, 22050)), b) << name;
        }
    }
}

// A recording that stops before a BASIC program's end (its zero link): the
// line it stops in, or after, is in doubt, so the program is never passed
// off as whole. hello.cas holds two lines, of 24 and 9 bytes, then the end
// link; at 1500 baud a segment's bytes are the image's, 9-bit frames.
TEST(trs80_recording, a_basic_program_cut_short_is_in_doubt) {
    const scratch_dir dir;
    const struct {
        const char* image;
        std::size_t lost, in_doubt;  // bytes cut off its end; bytes in doubt
    } table[] = {
        {"hello.cas", 0, 0},   // whole
        {"hello.cas", 2, 9},   // the end lost: the second line
        {"hello.cas", 6, 5},   // in the second line: what is left of it
        {"hello.cas", 30, 7},  // in the first line: all of it
        {"hello-fast.cas", 0, 0}, {"hello-fast.cas", 2, 12}, {"hello-fast.cas", 20, 23},
    };
    for (const auto& t : table) {
        bytes b = read_file(example(t.image));
        b.resize(b.size() - t.lost);
        const std::vector<korvax::tape_segment> got = read(program_signal(dir.write("cut.cas", b), 44100), 44100);
        ASSERT_EQ(got.size(), 1u) << t.image << " less " << t.lost;
        EXPECT_EQ(got[0].doubtful.size(), t.in_doubt) << t.image << " less " << t.lost;
        std::size_t first = got[0].bytes.size();
        for (const korvax::doubtful_byte& d : got[0].doubtful) first = std::min(first, d.index);
        EXPECT_EQ(first + t.in_doubt, got[0].bytes.size()) << "the last bytes: " << t.image << " less " << t.lost;
    }
}

// A program recorded after another, a second apart or straight after it:
// two segments, each with the bytes it has alone and where it has them
// alone. The first one's segment must end where the second's leader starts,
// not swallow it, whether the second's reader is another (at another speed)
// or the same.
TEST(trs80_recording, programs_one_after_another_are_found_in_order_and_in_place) {
    const unsigned rate = 44100;
    const struct {
        const char *first, *second;
        unsigned gap;  // samples between
    } pairs[] = {{"hello.cas", "hello-level1.cas", rate},   {"hello-fast.cas", "hello-level1.cas", 0},
                 {"hello-fast.cas", "hello-fast.cas", 0},   {"hello-fast.cas", "hello.cas", 0},
                 {"hello-level1.cas", "hello-fast.cas", 0}, {"hello.cas", "hello-fast.cas", 0}};
    for (const auto& [first, second, gap] : pairs) {
        SCOPED_TRACE(std::string(first) + " then " + second);
        const std::vector<float> a = program_signal(example(first), rate), b = program_signal(example(second), rate);
        std::vector<float> y = a;
        y.insert(y.end(), gap, 0.0f);
        y.insert(y.end(), b.begin(), b.end());
        const auto segs = read(y, rate), alone_a = read(a, rate), alone_b = read(b, rate);
        ASSERT_EQ(segs.size(), 2u);
        ASSERT_EQ(alone_a.size(), 1u);
        ASSERT_EQ(alone_b.size(), 1u);
        EXPECT_EQ(segs[0].bytes, alone_a[0].bytes);
        EXPECT_EQ(segs[1].bytes, alone_b[0].bytes);
        EXPECT_TRUE(segs[0].doubtful.empty());
        EXPECT_TRUE(segs[1].doubtful.empty());
        EXPECT_NEAR(segs[0].start_seconds, alone_a[0].start_seconds, 0.002);
        EXPECT_NEAR(segs[1].start_seconds, double(a.size() + gap) / rate + alone_b[0].start_seconds, 0.002);
    }
}

// A segment whose last bits read as the start of the next one's leader when
// played again, as hiss or a tape can leave them: whole bytes of it (0x55 at
// 1500 baud, zeros at 500), or at 1500 baud a last frame that ends flush
// with its last byte in a 0 and a 1, or in 0s and then 1s and 0s by turns
// (0x15, 0x01), but not where a single 0 pads the last frame. The image
// counts the bytes in the leader, and the reader completes the frame, so
// that the image reads back as itself (-V checks that it does).
TEST(trs80_recording, an_image_reads_back_as_itself) {
    const scratch_dir dir;
    // Frames, a 0 start bit before each byte, packed 8 to a byte: eight end
    // flush (72 bits), seven with a 0 after them (63 bits).
    const auto frames = [](std::initializer_list<int> bytes) {
        std::vector<std::uint8_t> packed = {0x7F};
        std::size_t bit = 0;
        for (int b : bytes)
            for (int k = 8; k >= 0; --k, ++bit) {
                if (bit % 8 == 0) packed.push_back(0);
                packed.back() |= std::uint8_t((k < 8 ? (b >> k) & 1 : 0) << (7 - bit % 8));
            }
        return packed;
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> tail;  // after the segment read
        bool instead = false;            // the segment's bytes instead
    } cases[] = {{"hello-fast.cas", {0x55}},
                 {"hello.cas", {0, 0, 0}},
                 {"hello-fast.cas", frames({0xD3, 0xD3, 0xD3, 0x48, 0x12, 0x34, 0x56, 0x79}), true},
                 {"hello-fast.cas", frames({0xD3, 0xD3, 0xD3, 0x48, 0x12, 0x34, 0x56, 0x15}), true},
                 {"hello-fast.cas", frames({0xD3, 0xD3, 0xD3, 0x48, 0x12, 0x34, 0x56, 0x01}), true},
                 {"hello-fast.cas", frames({0xD3, 0xD3, 0xD3, 0x48, 0x12, 0x34, 0x79}), true}};
    for (const auto& c : cases) {
        const auto alone = read(program_signal(example(c.name), 44100), 44100);
        ASSERT_EQ(alone.size(), 1u) << c.name;
        std::vector<korvax::tape_segment> two = {alone[0], alone[0]};
        if (c.instead) two[0].bytes.clear();
        two[0].bytes.insert(two[0].bytes.end(), c.tail.begin(), c.tail.end());
        const korvax_test::bytes image = korvax::trs80::cas_image(two);
        const std::vector<float> y = program_signal(dir.write("two.cas", image), 44100);
        const auto segs = read(y, 44100);
        EXPECT_EQ(korvax::trs80::cas_image(segs), image) << c.name << ", " << c.tail.size();
        // Frames that end the segment are its last bytes, no more.
        if (c.instead) {
            EXPECT_EQ(segs.at(0).bytes, two[0].bytes) << c.tail.size();
        }
    }
}

// One cycle too many in the middle of a 1500 baud program (a click that
// reads as a clear 1) puts every later frame a bit out of step: the start
// bits show it, the frames are moved back into step, and only the bytes
// near the click are lost or in doubt; the rest, and the length, are right.
TEST(trs80_recording, a_slip_at_1500_baud_costs_only_the_bytes_near_it) {
    const std::string image = std::string(KORVAX_CORPUS) + "/trs80-cas-hs-basic-chroma-demo.cas";
    if (!std::filesystem::exists(image)) GTEST_SKIP() << "no corpus";
    const unsigned rate = 44100;
    std::vector<float> y = program_signal(image, rate);
    // A rising edge (the start of a cycle) 40% of the way in.
    std::size_t at = y.size() * 2 / 5;
    while (!(y[at - 1] < 0 && y[at] > 0)) ++at;
    float level = 0;
    for (std::size_t k = at - 100; k < at; ++k) level = std::max(level, std::fabs(y[k]));
    std::vector<float> click(15, -level);
    std::fill(click.begin(), click.begin() + 7, level);
    y.insert(y.begin() + long(at), click.begin(), click.end());
    korvax::memory_source in(y, rate);
    const score s = read_signal(machine::trs80, image, in, {rate, -1});
    EXPECT_EQ(s.unreported, 0u);
    EXPECT_LE(s.wrong, 10u) << s.why;
}

// Takes of a 1500 baud BASIC program where hiss once cost bytes, now at
// most the bytes given, and none unreported. At 22050 Hz, rung 6, slips that
// cost some hundred bytes: a piece of a half that hiss split off, counted as
// a bit of its own because it was weak (seed 13); a 0's length whose halves
// lay nearer 1:3 than 1:1, two 1s whose middle crossings were lost (seed 12,
// inverted); a bit too many, taken out at a bit in doubt 39 frames back, not
// at the one beside the slip (seed 14, slow); a 0 split into two 1s in
// doubt, where text hid the bit too many until a later bit in doubt was
// taken out instead (seed 37); a start bit split so, where digits let moves
// of two and three bits clear the start bits as well (seed 32; a slip
// elsewhere, mended a few frames off, still costs 6); a bit lost at a cycle
// read clearly, two 1s run together as a 0, in text, whose frames then read
// in step a bit late until a bit too many (seed 29: 11 wrong, now the two
// frames at either end). A bit misread in
// place, which the frame's length puts right: a 0 and a 1 read as one long
// cycle, their middle crossings lost (seed 3); a 0 read as a 1, its frame 380 us longer
// than its bits said (seed 9); a 1 read as a 0 where the crossing after the
// frame's last bit moved, so that only the frame and the next start bit
// together last as their bits say (seed 12). At rung 7, stretches read wrong
// without a word: a bit lost at a cycle read clearly, shown at the start
// bits only frames later, as text whose top bits are 0 reads in step a bit
// off: 25 frames later, where no bit in doubt could mend it (seed 18), and
// before a bit in doubt that did (seed 23); and programs whose 0xD3s were
// misread, so that their lines were never checked: the first (seed 6), and
// the last two, with a dropout (seed 27). And a sync byte with three of its
// bits unclear, once not taken, so that nothing was read (seed 130).
TEST(trs80_recording, hiss_at_1500_baud) {
    const std::string image = std::string(KORVAX_CORPUS) + "/trs80-cas-hs-basic-chroma-demo.cas";
    if (!std::filesystem::exists(image)) GTEST_SKIP() << "no corpus";
    constexpr std::size_t any = std::size_t(-1);
    const struct {
        condition c;
        std::size_t most_wrong;
    } takes[] = {{{22050, 6, false, false, false, 13}, 2},   {{22050, 6, true, false, false, 12}, 2},
                 {{22050, 6, false, true, false, 14}, 2},    {{22050, 6, false, false, false, 3}, 0},
                 {{22050, 6, false, false, false, 9}, 0},    {{22050, 6, false, false, false, 12}, 0},
                 {{44100, 7, false, false, false, 18}, any}, {{44100, 7, false, false, false, 23}, any},
                 {{22050, 7, false, false, false, 6}, any},  {{22050, 7, false, false, true, 27}, any},
                 {{22050, 6, false, false, false, 130}, 0},  {{22050, 6, false, false, false, 37}, 0},
                 {{22050, 6, false, false, false, 32}, 6},   {{22050, 6, false, false, false, 29}, 3}};
    for (const auto& t : takes) {
        const score s = read_back(machine::trs80, image, t.c);
        EXPECT_EQ(s.unreported, 0u) << describe(image, t.c) << ": " << s.why;
        EXPECT_LE(s.wrong, t.most_wrong) << describe(image, t.c) << ": " << s.why;
    }
}

// A dropout in a 500 baud BASIC line may read a 0 into it, or take its end
// or its link. The chain of lines then breaks there, but only through bytes
// the dropout put in doubt, and it holds again from the next line on: the
// rest of the line is not in doubt. Nine dropouts of 20 ms at -20 dB, from
// 10% to 90% of a BASIC program, put a few bytes each in doubt (20 in all;
// 480 when the broken chain put every byte of the line in doubt).
TEST(trs80_recording, a_dropout_in_a_basic_line_costs_only_the_bytes_it_hides) {
    const std::string image = std::string(KORVAX_CORPUS) + "/trs80-basic-taipan.cas";
    if (!std::filesystem::exists(image)) GTEST_SKIP() << "no corpus";
    const score s = read_with_dropouts(image, 22050, 0.020);
    EXPECT_EQ(s.unreported, 0u) << s.why;
    EXPECT_LE(s.doubtful, 9 * 4u) << s.why;
}

// Where the program lies in memory comes from the first line: its link
// less where the next line starts. A dropout there (over its link, its
// number, its text or its end) may read a 0 into it that ends it early, or
// take its link; then the lines after it tell. Each place costs only the
// bytes the dropout hides (every byte of the program, before).
TEST(trs80_recording, a_dropout_in_the_first_basic_line_costs_only_the_bytes_it_hides) {
    bytes program;
    for (unsigned n = 10; n < 90; n += 10) {
        const bytes line = text("PRINT \"THE FIRST LINES OF A PROGRAM\"") + bytes{0};
        const unsigned next = 0x42E9 + unsigned(program.size() + 4 + line.size());
        program = program + bytes{std::uint8_t(next), std::uint8_t(next >> 8), std::uint8_t(n), 0} + line;
    }
    program = program + bytes{0, 0};
    const scratch_dir dir;
    const std::string image = dir.write("first.cas", with_zero_leader(text("\xD3\xD3\xD3P") + program, 255));
    constexpr unsigned rate = 22050;
    const std::vector<float> clean = program_signal(image, rate);
    const std::vector<korvax::tape_segment> at = read(clean, rate);
    ASSERT_EQ(at.size(), 1u);
    constexpr double byte_seconds = 8 * 3566 / 1747200.0;
    for (const std::size_t offset : {0, 2, 5, 20, 38}) {
        std::vector<float> y = clean;
        // The segment's bytes: the sync byte, three 0xD3, the name, then the program.
        const double from = at[0].start_seconds + double(5 + offset) * byte_seconds + 0.002;
        for (auto k = std::size_t(from * rate); k < std::size_t((from + 0.020) * rate); ++k) y[k] *= 0.1f;
        korvax::memory_source in(y, rate);
        const score s = read_signal(machine::trs80, image, in, {rate, -1});
        EXPECT_EQ(s.unreported, 0u) << "a dropout at byte " << offset << ": " << s.why;
        EXPECT_LE(s.doubtful, 3u) << "a dropout at byte " << offset << ": " << s.why;
    }
}

// A line whose link a dropout put in doubt ends at its first 0. But where
// the 0 that ended it was misread as clear (here written as a space), that
// first 0 ends the next line too, whose link points past it: the chain
// breaks on a byte that looked clear, and the line is in doubt to its end.
TEST(trs80_recording, a_line_whose_link_and_end_are_both_lost_is_in_doubt) {
    // Line numbers and links without a 0 byte, so that only the text's end
    // is one.
    bytes program;
    std::vector<std::size_t> starts;
    for (unsigned n = 1001; n < 1009; ++n) {
        const bytes line = text("PRINT \"LINE ") + bytes{std::uint8_t('0' + n % 10), '"', 0};
        starts.push_back(program.size());
        const unsigned next = 0x42E9 + unsigned(program.size() + 4 + line.size());
        program =
            program + bytes{std::uint8_t(next), std::uint8_t(next >> 8), std::uint8_t(n), std::uint8_t(n >> 8)} + line;
    }
    program = program + bytes{0, 0};
    const std::size_t end_of_fourth = starts[4] - 1;
    program[end_of_fourth] = ' ';
    const scratch_dir dir;
    const std::string image = dir.write("lost.cas", with_zero_leader(text("\xD3\xD3\xD3L") + program, 255));
    constexpr unsigned rate = 44100;
    std::vector<float> y = program_signal(image, rate);
    const std::vector<korvax::tape_segment> clean = read(y, rate);
    ASSERT_EQ(clean.size(), 1u);
    // A 20 ms dropout over the fourth line's link (the segment's bytes: the
    // sync byte, three 0xD3, the name, then the program).
    constexpr double byte_seconds = 8 * 3566 / 1747200.0;
    const double from = clean[0].start_seconds + double(5 + starts[3]) * byte_seconds + 0.002;
    for (auto k = std::size_t(from * rate); k < std::size_t((from + 0.020) * rate); ++k) y[k] *= 0.1f;
    const std::vector<korvax::tape_segment> got = read(y, rate);
    ASSERT_EQ(got.size(), 1u);
    const auto in_doubt = [&](std::size_t i) {
        return std::any_of(got[0].doubtful.begin(), got[0].doubtful.end(),
                           [&](const korvax::doubtful_byte& d) { return d.index == 5 + i; });
    };
    ASSERT_TRUE(in_doubt(starts[3]) || in_doubt(starts[3] + 1)) << "the dropout missed the link";
    EXPECT_TRUE(in_doubt(end_of_fourth));
}

// A 1's pulse that a codec all but took away reads as a sure 0, and
// nothing else tells it: among bytes in doubt (pulses in 0 cells at 40% of
// the level, read as 0s in doubt), the byte it lies in is in doubt too; so
// is the first after the sync byte, with bytes in doubt after it. At 500
// baud a cell is a clock pulse and, for a 1, a pulse halfway to the next.
TEST(trs80_recording, a_byte_among_bytes_in_doubt_is_in_doubt) {
    const bytes line = text("X") + bytes{0xB2} + text(" \"A LINE OF TEXT TO READ\"") + bytes{0};
    const unsigned next = 0x42E9 + 4 + unsigned(line.size());
    const bytes basic =
        text("\xD3\xD3\xD3W") + bytes{std::uint8_t(next), std::uint8_t(next >> 8), 10, 0} + line + bytes{0, 0};
    const struct {
        bytes data;                       // after the sync byte
        std::size_t weak;                 // the byte whose first bit, a 1, is all but gone (the sync byte's index is 0)
        std::vector<std::size_t> beside;  // the bytes given a weak pulse in a 0 cell
    } table[] = {
        {basic, 10, {8, 9, 11, 12}},  // the 0xB2 token, after the name, the link, the line number and the X
        {bytes{0x80, 0x21, 0x42, 0x10, 0x77, 0x66, 0x55}, 1, {2, 3}},
    };
    const scratch_dir dir;
    for (const auto& t : table) {
        const std::string image = dir.write("weak.cas", with_zero_leader(t.data, 255));
        constexpr unsigned rate = 44100;
        std::vector<float> y = program_signal(image, rate);
        const std::vector<korvax::tape_segment> at = read(y, rate);
        ASSERT_EQ(at.size(), 1u);
        // The pulses from the sync byte's first on (each where it leaves 0),
        // and for each bit of the segment's bytes, its clock pulse's index.
        std::vector<std::size_t> pulses, cells;
        for (auto k = std::size_t(at[0].start_seconds * rate) - 2; k < y.size(); ++k)
            if (y[k] != 0 && y[k - 1] == 0) pulses.push_back(k);
        for (std::size_t b = 0, p = 0; b < at[0].bytes.size(); ++b)
            for (int bit = 7; bit >= 0; --bit) cells.push_back(p), p += 1 + (at[0].bytes[b] >> bit & 1);
        std::size_t width = 0;
        while (y[pulses[0] + width] != 0) ++width;
        for (const std::size_t b : t.beside)
            for (std::size_t bit = 0; bit < 8; ++bit)
                if (!(at[0].bytes[b] >> (7 - bit) & 1)) {
                    const std::size_t c = pulses[cells[8 * b + bit]], mid = (c + pulses[cells[8 * b + bit] + 1]) / 2;
                    for (std::size_t k = 0; k < width; ++k) y[mid - width / 2 + k] += 0.4f * y[c + k];
                    break;
                }
        ASSERT_TRUE(at[0].bytes[t.weak] & 0x80);
        for (std::size_t k = pulses[cells[8 * t.weak] + 1], n = 0; n < width; ++n) y[k + n] *= 0.15f;
        korvax::memory_source in(y, rate);
        const score s = read_signal(machine::trs80, image, in, {rate, -1});
        EXPECT_GE(s.wrong, 1u) << "byte " << t.weak << ": the weakened pulse read as a 1";
        EXPECT_EQ(s.unreported, 0u) << "byte " << t.weak << ": " << s.why;
    }
}

// Bytes of no kind known (not SYSTEM, BASIC or Level I) have nothing to
// check them by: where a clock pulse went missing, a cell counted too many
// or too few would put every byte after it out of step, each read clearly
// (a level that fell deep three times a second did so, and 8,219 bytes of a
// BASIC program whose header it took came back wrong without a word). From
// the first byte in doubt on, every byte is in doubt. A BASIC program,
// whose chain of lines tells a slip, keeps the bytes after a dropout clear.
TEST(trs80_recording, bytes_of_no_known_kind_are_in_doubt_after_a_clock_went_missing) {
    bytes data, program;
    for (unsigned k = 0; k < 300; ++k) data.push_back(std::uint8_t(0x11 + k * 7));
    for (unsigned n = 10; n < 200; n += 10) {
        const bytes line = text("PRINT \"A LINE OF TEXT\"") + bytes{0};
        const unsigned next = 0x42E9 + unsigned(program.size() + 4 + line.size());
        program = program + bytes{std::uint8_t(next), std::uint8_t(next >> 8), std::uint8_t(n), 0} + line;
    }
    const struct {
        const char* what;
        bytes image;
        bool rest_in_doubt;
    } table[] = {
        {"data", data, true},
        {"BASIC", text("\xD3\xD3\xD3P") + program + bytes{0, 0}, false},
    };
    const scratch_dir dir;
    for (const auto& t : table) {
        const std::string image = dir.write("kind.cas", with_zero_leader(t.image, 255));
        constexpr unsigned rate = 22050;
        std::vector<float> y = program_signal(image, rate);
        const std::size_t from = y.size() / 2;
        for (std::size_t k = from; k < from + std::size_t(0.020 * rate); ++k) y[k] *= 0.1f;
        const std::vector<korvax::tape_segment> got = read(y, rate);
        ASSERT_EQ(got.size(), 1u) << t.what;
        const std::vector<korvax::doubtful_byte>& d = got[0].doubtful;
        ASSERT_FALSE(d.empty()) << t.what << ": the dropout put no byte in doubt";
        const std::size_t rest = got[0].bytes.size() - d.front().index;
        EXPECT_EQ(d.size() == rest, t.rest_in_doubt) << t.what << ": " << d.size() << " of the last " << rest;
    }
}

// A level that swings fast (a crinkled tape, a head that loses contact: 8
// times a second between full and 40% of it) leaves the envelope behind,
// up to 1.65 times the level where it falls: a 1 weighed against the
// envelope alone then reads in doubt, and a sync byte with its 1s in doubt
// is not taken, so nothing was read. Weighed against the clock pulses
// beside it where both have fallen, every bit reads clear.
TEST(trs80_recording, a_level_that_swings_fast_leaves_every_bit_clear) {
    for (const char* name : {"hello.cas", "hello-level1.cas"}) {
        constexpr unsigned rate = 44100;
        std::vector<float> y = program_signal(example(name), rate);
        for (std::size_t k = 0; k < y.size(); ++k)
            y[k] *= float(0.7 + 0.3 * std::cos(2 * 3.14159265358979 * 8 * double(k) / rate));
        korvax::memory_source in(y, rate);
        const score s = read_signal(machine::trs80, example(name), in, {rate, -1});
        EXPECT_TRUE(s.exact) << name << ": " << s.why;
        EXPECT_EQ(s.doubtful, 0u) << name;
    }
}

}  // namespace

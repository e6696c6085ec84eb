// Reading TRS-80 tapes back from recordings: the program's own WAV of every
// example and corpus image, through the cassette channel's rungs, must come
// back as the image, and where it cannot, the reader must say so.
//
// How the conditions were chosen, to keep the file near 30 s in a release
// build: rung 0 at both rates and both polarities for every image (the
// decoder is cheap; the channel is the cost); rung 6 without dropouts for
// every image at both rates, the polarity and the speed sign alternating from
// case to case so that each image meets both; rung 6 with dropouts and rung 7
// over a few seeds on the short images, which still hold every speed and
// kind. The full table over every combination is DISABLED_results_table.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "audio/samples.h"
#include "audio/wav_file.h"
#include "formats/trs80/recording.h"
#include "support/cassette.h"
#include "support/run.h"
#include "support/signal.h"

using namespace korvax_test;
namespace trs80 = korvax::trs80;

namespace {

std::string example(const std::string& name) { return std::string(KORVAX_EXAMPLES) + "/" + name; }

std::vector<std::string> all_images() {
    std::vector<std::string> v = {example("hello.cas"), example("hello-255.cas"), example("hello-level1.cas"),
                                  example("hello-fast.cas")};
    for (const std::string& f : corpus_files({"trs80-"})) v.push_back(f);
    return v;
}
// Short images that still hold every speed (250, 500, 1500) and kind.
std::vector<std::string> short_images() {
    std::vector<std::string> v = {example("hello.cas"), example("hello-level1.cas"), example("hello-fast.cas")};
    for (const std::string& f : corpus_files({"trs80-system-follin"})) v.push_back(f);
    return v;
}

// The bytes from the first sync byte on: what a reading must give back.
bytes after_leader(const bytes& b) {
    std::size_t i = 0;
    while (i < b.size() && (b[i] == 0x00 || b[i] == 0x55)) ++i;
    return bytes(b.begin() + long(i), b.end());
}

std::vector<korvax::tape_segment> read(const std::vector<float>& samples, unsigned rate, int baud = 0) {
    korvax::memory_source in(samples, rate);
    return trs80::read_recording(in, baud);
}

// How a reading compares with the image, byte by byte from the sync byte on.
struct score {
    bool exact = false;
    std::size_t wrong = 0, unreported = 0, doubtful = 0, segments = 0, lost = 0;
    std::vector<double> unreported_at;  // seconds
};

score compare(const bytes& image, const std::vector<korvax::tape_segment>& segs) {
    score s;
    s.segments = segs.size();
    const bytes want = after_leader(image);
    bytes got;
    std::vector<bool> reported;
    std::vector<double> when;
    const auto items = trs80::describe(segs);
    for (std::size_t k = 0; k < segs.size(); ++k) {
        const bytes b = after_leader(trs80::cas_image({segs[k]}));
        const std::size_t base = got.size();
        got.insert(got.end(), b.begin(), b.end());
        // A failing checksum that is reported covers the whole segment.
        const bool failing = items[k].check == korvax::tape_item::checksum::fails;
        reported.resize(got.size(), failing);
        when.resize(got.size(), segs[k].start_seconds);
        for (const auto& d : segs[k].doubtful) {
            if (base + d.index < reported.size()) reported[base + d.index] = true;
            ++s.doubtful;
        }
        // Zero bytes between two programs read back as part of none.
        if (k + 1 < segs.size()) {
            const std::size_t next = got.size();
            std::size_t zeros = 0;
            while (next + zeros < want.size() && want[next + zeros] == 0) ++zeros;
            got.insert(got.end(), zeros, 0);
            reported.resize(got.size(), false);
            when.resize(got.size(), 0);
        }
    }
    s.exact = got == want;
    // Bytes never read (the tape ends early, or a program is missed) are
    // lost, not wrong: no report line claims them.
    s.lost = want.size() > got.size() ? want.size() - got.size() : 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (i < want.size() && got[i] == want[i]) continue;
        ++s.wrong;
        if (!reported[i]) ++s.unreported, s.unreported_at.push_back(when[i]);
    }
    return s;
}

struct channel_case {
    unsigned rate;
    int rung;
    bool dropouts, invert, slow;
    std::uint64_t seed;
};

score run_case(const std::string& image, const channel_case& c, std::vector<dropout>* drops = nullptr) {
    const std::vector<float> clean = program_signal(image, c.rate);
    const channel_result r = cassette(clean, c.rate, ladder[c.rung], {c.dropouts, c.invert, c.slow, c.seed});
    if (drops) *drops = r.dropouts;
    return compare(read_file(image), read(r.samples, c.rate));
}

std::string label(const std::string& image, const channel_case& c) {
    return image.substr(image.find_last_of('/') + 1) + " at " + std::to_string(c.rate) + " Hz, rung " +
           std::to_string(c.rung) + (c.dropouts ? " with dropouts" : "") + (c.invert ? ", inverted" : "") +
           (c.slow ? ", slow" : "") + ", seed " + std::to_string(c.seed);
}

// Goal 1 and the round trip: rung 0 both rates both polarities, and rung 6
// without dropouts, every image comes back byte for byte.
TEST(trs80_recording, every_image_reads_back_exactly) {
    int k = 0;
    for (const std::string& image : all_images()) {
        for (unsigned rate : {22050u, 44100u}) {
            for (bool invert : {false, true}) {
                const channel_case c{rate, 0, false, invert, false, 1};
                const score s = run_case(image, c);
                EXPECT_TRUE(s.exact && s.doubtful == 0) << label(image, c) << ": " << s.wrong << " wrong, "
                                                        << s.doubtful << " in doubt";
            }
            // With the leader the .cas output writes (255 zero bytes, or 256
            // of 0x55), the image comes back whole.
            const bytes b = read_file(image);
            const std::size_t leader = b.size() - after_leader(b).size();
            if (leader == (b[0] == 0x55 ? 256u : 255u)) {
                EXPECT_EQ(trs80::cas_image(read(program_signal(image, rate), rate)), b) << image;
            }
            const channel_case c{rate, 6, false, (k & 1) != 0, (k & 2) != 0, std::uint64_t(k + 1)};
            ++k;
            const score s = run_case(image, c);
            // Known limit: at 1500 baud and 22050 Hz a 1's half cycle is under
            // 4 samples, and through rung 6's 4 kHz head loss and noise a few
            // bytes in a thousand can come back wrong; each must be reported.
            const bool fast_at_low_rate = rate == 22050 && read_file(image)[0] == 0x55;
            if (fast_at_low_rate) {
                EXPECT_LE(s.wrong * 1000, after_leader(read_file(image)).size()) << label(image, c);
            } else {
                EXPECT_TRUE(s.exact) << label(image, c) << ": " << s.wrong << " wrong";
            }
            EXPECT_EQ(s.unreported, 0u) << label(image, c);
        }
    }
}

// Goals 2 and 3: with dropouts every wrong byte is reported and the reading
// goes on to the end; at rung 7 no wrong byte goes unreported.
TEST(trs80_recording, damage_is_reported_and_reading_resumes) {
    for (const std::string& image : short_images()) {
        for (std::uint64_t seed : {1, 2, 3}) {
            for (int rung : {6, 7}) {
                const channel_case c{seed == 2 ? 22050u : 44100u, rung, true, seed == 3, seed == 1, seed};
                std::vector<dropout> drops;
                const score s = run_case(image, c, &drops);
                EXPECT_EQ(s.unreported, 0u) << label(image, c);
                if (rung == 6) {
                    // Every program found, and none of it lost after a dropout.
                    EXPECT_EQ(s.segments, read(program_signal(image, c.rate), c.rate).size()) << label(image, c);
                    EXPECT_EQ(s.lost, 0u) << label(image, c);
                }
            }
        }
    }
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

// The speed found from each leader, and a forced speed that reads only
// segments at that speed; no tape in silence or in hiss.
TEST(trs80_recording, each_speed_is_told_by_its_leader) {
    const std::vector<std::pair<std::string, int>> table = {
        {"hello.cas", 500}, {"hello-255.cas", 500}, {"hello-level1.cas", 250}, {"hello-fast.cas", 1500}};
    for (const auto& [name, baud] : table) {
        const std::vector<float> y = program_signal(example(name), 22050);
        korvax::memory_source in(y, 22050);
        EXPECT_EQ(trs80::leader_baud(in), baud) << name;
        for (int forced : {250, 500, 1500}) {
            const auto segs = read(y, 22050, forced);
            EXPECT_EQ(segs.size(), forced == baud ? 1u : 0u) << name << " read at " << forced;
        }
    }
    std::vector<float> hiss(22050 * 3);
    std::uint64_t x = 88172645463325252ull;
    for (float& v : hiss) x ^= x << 13, x ^= x >> 7, x ^= x << 17, v = float(int(x % 2001) - 1000) / 4000;
    for (const std::vector<float>& y : {std::vector<float>(22050 * 3, 0.0f), hiss}) {
        korvax::memory_source in(y, 22050);
        EXPECT_EQ(trs80::leader_baud(in), 0);
        EXPECT_TRUE(read(y, 22050).empty());
    }
}

// Two tapes recorded one after the other, a second apart, at two speeds:
// two segments, each starting where its sync byte is (after the lead-in and
// its leader).
TEST(trs80_recording, programs_apart_are_found_in_order_and_in_place) {
    const unsigned rate = 44100;
    const std::vector<float> a = program_signal(example("hello.cas"), rate);
    const std::vector<float> b = program_signal(example("hello-level1.cas"), rate);
    std::vector<float> y = a;
    y.insert(y.end(), rate, 0.0f);
    y.insert(y.end(), b.begin(), b.end());
    const auto segs = read(y, rate);
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(segs[0].baud, 500);
    EXPECT_EQ(segs[1].baud, 250);
    // The lead-in is 55,300 cycles of the 1.7472 MHz clock; the leaders are
    // 256 and 255 zero bytes of 8 cells (3,566 and 6,240 cycles each). Each
    // run is cut to whole samples, so allow 2%.
    const double clock = 1'747'200, lead_in = 55'300 / clock;
    const double first = lead_in + 256 * 8 * 3'566 / clock;
    const double second = double(a.size() + rate) / rate + lead_in + 255 * 8 * 6'240 / clock;
    EXPECT_NEAR(segs[0].start_seconds, first, 0.02 * first);
    EXPECT_NEAR(segs[1].start_seconds, second, 0.02 * (second - double(a.size() + rate) / rate) + 0.01);
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
    const score s = compare(read_file(image), read(y, rate));
    EXPECT_EQ(s.lost, 0u);
    EXPECT_EQ(s.unreported, 0u);
    EXPECT_LE(s.wrong, 10u);
}

// A dropout at 1500 baud hides a number of frames that time alone cannot
// tell (a 0 lasts twice as long as a 1): the count is taken from the
// program's structure, so the bytes after each dropout are in place. Nine
// dropouts of 40 ms at -20 dB, from 10% to 90% of a BASIC program.
TEST(trs80_recording, the_frames_a_dropout_hides_at_1500_baud_are_counted) {
    const std::string image = std::string(KORVAX_CORPUS) + "/trs80-cas-hs-basic-chroma-demo.cas";
    if (!std::filesystem::exists(image)) GTEST_SKIP() << "no corpus";
    for (unsigned rate : {22050u, 44100u}) {
        std::vector<float> y = program_signal(image, rate);
        for (int percent = 10; percent < 100; percent += 10) {
            const std::size_t from = y.size() * std::size_t(percent) / 100;
            for (std::size_t k = from; k < from + rate / 25; ++k) y[k] *= 0.1f;
        }
        const score s = compare(read_file(image), read(y, rate));
        EXPECT_EQ(s.lost, 0u) << rate;
        EXPECT_EQ(s.unreported, 0u) << rate;
        // About 8 data bytes hidden by each, and a byte or two either side.
        EXPECT_LE(s.wrong, 9 * 14u) << rate;
    }
}

}  // namespace

// The whole table for the report: every rung, rate, polarity, with and
// without dropouts, over every image.
TEST(trs80_recording, DISABLED_results_table) {
    std::printf("rung rate  pol dropouts | exact/images  wrong unreported doubtful   lost\n");
    for (int rung = 0; rung <= 7; ++rung)
        for (unsigned rate : {22050u, 44100u})
            for (bool invert : {false, true})
                for (bool dropouts : {false, true}) {
                    if (dropouts && ladder[rung].dropouts_per_min == 0) continue;
                    std::size_t exact = 0, n = 0, wrong = 0, unreported = 0, doubtful = 0, lost = 0;
                    for (const std::string& image : all_images()) {
                        const channel_case c{rate, rung, dropouts, invert, (n & 1) != 0, std::uint64_t(n + 1)};
                        const score s = run_case(image, c);
                        ++n;
                        exact += s.exact, wrong += s.wrong, unreported += s.unreported, doubtful += s.doubtful;
                        lost += s.lost;
                        if (s.unreported > 0) {
                            std::printf("    %s: %zu unreported, first at %.2f s\n", label(image, c).c_str(),
                                        s.unreported, s.unreported_at.empty() ? -1.0 : s.unreported_at[0]);
                        }
                    }
                    std::printf("%4d %5u %3s %8s | %5zu/%-6zu %6zu %10zu %8zu %6zu\n", rung, rate, invert ? "-" : "+",
                                dropouts ? "yes" : "no", exact, n, wrong, unreported, doubtful, lost);
                    std::fflush(stdout);
                }
}

// Speed and memory on the longest image: its WAV (written by the program) is
// read in blocks from the file, as the driver will.
TEST(trs80_recording, DISABLED_speed) {
    const scratch_dir dir;
    const std::string image = std::string(KORVAX_CORPUS) + "/trs80-basic-taipan.cas", wav = dir.path("taipan.wav");
    ASSERT_EQ(run_korvax({"-i", image, "-o", wav, "-s", "44100"}).status, 0);
    std::string why;
    const auto in = korvax::wav_file::open(wav, why);
    ASSERT_TRUE(in) << why;
    const double seconds = double(in->frames()) / in->rate();
    const auto t0 = std::chrono::steady_clock::now();
    const auto segs = trs80::read_recording(*in);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    std::printf("%.1f s of signal read in %.3f s: %.0f x real time; peak resident %ld KiB\n", seconds, took,
                seconds / took, u.ru_maxrss);
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(after_leader(trs80::cas_image(segs)), after_leader(read_file(image)));
}

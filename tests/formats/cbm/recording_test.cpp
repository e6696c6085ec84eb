// Reading Commodore recordings back: the program's own WAV of every example
// and corpus image, through the cassette channel's rungs, must give back the
// programs and the pulses.
//
// What is expected of each image is stated independently of the reader: the
// programs as a table (name, load address, length and a hash of the bytes,
// taken from the files and checked against the corpus's provenance notes),
// and the pulses from the TAP image itself. A pulse read back is in
// tolerance when it lies nearer its own length than the neighbouring
// lengths the image uses (after the tape's speed error), or within a sample
// of it: that is how the loaders tell pulses apart, by thresholds halfway
// between the lengths (0x30, 0x42 and 0x56 on a C64; 26, 42 and 56 units on
// a C16). A pause is in tolerance when it is one, within 11%.
//
// How the conditions were chosen, to keep the file near 30 s of CPU in a
// release build: the program's own WAV at both rates and in both polarities
// for every image (the 25-minute T64 once at each rate); rung 6 without
// dropouts at both rates and both polarities, the speed error's sign
// alternating, for every image but that T64; rung 6 with dropouts and rung 7
// over a few seeds on a few short images. The full ladder is the results
// table's, run by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "audio/wav_file.h"
#include "formats/cbm/recording.h"
#include "support/cassette.h"
#include "support/run.h"
#include "support/signal.h"
#include "formats/cbm/decoder.h"

using namespace korvax_test;
using korvax::cbm::kernal_program;
using korvax::cbm::recording_read;

namespace {

// --- What each image holds ----------------------------------------------

struct program_want {
    const char* name;
    unsigned start;
    std::size_t size;
    std::uint64_t hash;  // FNV-1a, 64 bits, of the bytes
};

struct image {
    std::string path;
    std::vector<program_want> programs;  // none: a tape of another loader, read as pulses only
};

std::uint64_t fnv(const std::vector<std::uint8_t>& b) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint8_t x : b) h = (h ^ x) * 0x100000001b3ull;
    return h;
}

const std::map<std::string, std::vector<program_want>> programs_of = {
    {"hello.tap", {{"HELLO", 0x0801, 37, 0x1AF15375BA621F4Eull}}},
    {"hello.prg", {{"HELLO", 0x0801, 37, 0x1AF15375BA621F4Eull}}},
    {"hello2.t64", {{"HELLO", 0x0801, 37, 0x1AF15375BA621F4Eull}, {"BORDER", 0xC000, 10, 0x639AA0446F372BC4ull}}},
    {"c64-p00-c128basic-vdclptest.p00", {{"VDCLPTEST2", 0x1C01, 1190, 0xFF56F4676F566831ull}}},
    {"c64-pal-v1-retroload-rl.tap", {{"RL", 0x1100, 144, 0xA8FCA2FBCDBD28CDull}}},
    {"c64-prg-basic-disksumo.prg", {{"C64-PRG-BASIC-DI", 0x0801, 3006, 0x860C7D606790B4C0ull}}},
    {"c64-prg-mc-ribos-c000.prg", {{"C64-PRG-MC-RIBOS", 0xC000, 140, 0x3EC09BE98D48B2A2ull}}},
    {"c64-prg-sysstub-noend-bubble-escape-2k.prg", {{"C64-PRG-SYSSTUB-", 0x0801, 2041, 0x1B44F99C5285FFBDull}}},
    {"c64-t64-multi3-compunet.t64",
     {{"COMPUNET +7  /GP", 0x0801, 35503, 0x8914018D1BF62993ull},
      {"COMPUNET RIP /GP", 0x0801, 4366, 0xDE1B89E543B468E9ull},
      {"COMPUNET / MD 64", 0x0801, 38546, 0x7E1138487F8E1720ull}}},
    {"vic20prog-c64hdr-pal-v1-bender-test.tap", {{"ALL INSTRUCTIONS", 0x1001, 320, 0xAD7ACE6B1C0E47E8ull}}},
    {"vic20prog-c64hdr-pal-v1-prova-hello.tap", {{"HELLO", 0x1001, 16, 0x0AFFFE22F0B18D05ull}}},
    {"vic20prog-c64hdr-pal-v1-salmonrun-maxpulse.tap",
     {{"SALMON RUN", 0x1001, 3531, 0x37BF3E18928E1042ull},
      {"2", 0x1000, 1280, 0xE6367DAB7675326Full},
      {"3", 0x0334, 204, 0x90FDFBE67F60325Bull}}},
    {"c16-pal-v1-trek.tap", {}},
    {"c16-pal-v2-antiair.tap", {}},
    {"c16-pal-v2-bucle.tap", {}},
};

std::string base(const std::string& path) { return std::filesystem::path(path).filename().string(); }
bool is_tap(const std::string& path) { return path.ends_with(".tap"); }

// Every example and corpus image of the machine, the snapshot T64 (no
// program) left out; with `only`, those whose names hold one of its
// comma-separated parts.
std::vector<image> images(const char* only = nullptr) {
    std::vector<image> all;
    for (const char* e : {"hello.tap", "hello.prg", "hello2.t64"})
        all.push_back({std::string(KORVAX_EXAMPLES) + "/" + e, programs_of.at(e)});
    for (const std::string& f : corpus_files({"c64-", "c16-", "vic20"}))
        if (programs_of.contains(base(f))) all.push_back({f, programs_of.at(base(f))});
    if (only == nullptr || *only == 0) return all;
    std::vector<image> kept;
    for (const image& i : all) {
        std::string names = only;
        for (std::size_t at = 0, comma; at <= names.size(); at = comma + 1) {
            comma = std::min(names.find(',', at), names.size());
            if (base(i.path).find(names.substr(at, comma - at)) != std::string::npos) {
                kept.push_back(i);
                break;
            }
        }
    }
    return kept;
}

// A TAP image's pulses in seconds, each as a whole pulse (a version 2
// image's half-waves paired the way that matches them).
std::vector<double> tap_seconds(const std::vector<std::uint8_t>& tap) {
    static constexpr double clocks[3][2] = {{985248, 1022728}, {1108408, 1022728}, {886720, 894880}};
    const int version = tap[12];
    const double clock = clocks[std::min<int>(tap[13], 2)][tap[14] == 1];
    std::vector<double> p;
    for (std::size_t i = 20; i < tap.size(); ++i) {
        if (tap[i] != 0) p.push_back(tap[i] * 8 / clock);
        else if (version == 0) p.push_back(882 / clock);
        else if (i + 3 < tap.size()) p.push_back((tap[i + 1] | tap[i + 2] << 8 | tap[i + 3] << 16) / clock), i += 3;
    }
    if (version != 2) return p;
    std::size_t mismatched[2] = {0, 0};
    for (std::size_t i = 0; i + 1 < p.size(); ++i) mismatched[i % 2] += std::abs(p[i] - p[i + 1]) > 0.2 * p[i];
    std::vector<double> whole;
    for (std::size_t i = mismatched[0] <= mismatched[1] ? 0 : 1; i + 1 < p.size(); i += 2) whole.push_back(p[i] + p[i + 1]);
    return whole;
}

// The pulses of TAP version 1 data in units of 8 cycles.
std::vector<std::size_t> tap_units(const std::vector<std::uint8_t>& d) {
    std::vector<std::size_t> u;
    for (std::size_t i = 0; i < d.size(); ++i)
        if (d[i] != 0) u.push_back(d[i]);
        else if (i + 3 < d.size()) u.push_back((d[i + 1] | d[i + 2] << 8 | d[i + 3] << 16) / 8), i += 3;
    return u;
}

constexpr double tolerance = 0.11, pause = 5e-3;

// Where data starts from `from` on: the first pulse, 16 or more past it,
// that differs by more than a quarter from the median of the fifteen before
// it, as do four or more of the next eight, none of them a pause (a click
// in a leader is one odd pulse, a dropout a pause and a few odd ones).
std::size_t data_start(const std::vector<double>& p, std::size_t from) {
    std::array<double, 15> before;
    for (std::size_t i = from + 16; i + 9 < p.size(); ++i) {
        std::copy(p.begin() + std::ptrdiff_t(i - 15), p.begin() + std::ptrdiff_t(i), before.begin());
        std::nth_element(before.begin(), before.begin() + 7, before.end());
        const double m = before[7];
        const auto differs = [&](std::size_t k) { return std::abs(p[k] - m) > 0.25 * m; };
        if (p[i] >= pause || !differs(i)) continue;
        std::size_t more = 0, pauses = 0;
        for (std::size_t k = i + 1; k < i + 9; ++k) more += differs(k), pauses += p[k] >= pause;
        if (more >= 4 && pauses == 0) return i;
    }
    return p.size();
}

// Where the data after the first leader (32 alike pulses) starts.
std::size_t after_leader(const std::vector<double>& p) {
    for (std::size_t i = 1, alike = 0; i < p.size(); ++i) {
        alike = p[i] < pause && std::abs(p[i] - p[i - 1]) <= 0.125 * p[i - 1] ? alike + 1 : 0;
        if (alike >= 31) return data_start(p, i - 16);
    }
    return p.size();
}

// The lengths a loader tells apart on a tape: the image's pulses shorter
// than a pause, sorted and gathered where neighbours lie within 6% of each
// other, and the gatherings that hold at least one pulse in a thousand; each
// the median of its pulses.
std::vector<double> classes_of(std::vector<double> p) {
    std::erase_if(p, [](double x) { return x >= pause; });
    std::sort(p.begin(), p.end());
    std::vector<double> centres;
    for (std::size_t i = 0, j; i < p.size(); i = j) {
        for (j = i + 1; j < p.size() && p[j] <= p[j - 1] * 1.06;) ++j;
        if ((j - i) * 1000 >= p.size()) centres.push_back(p[(i + j) / 2]);
    }
    return centres;
}

// How many of the image's pulses are not read back within tolerance, taking
// the tape's `speed` (1.04: 4% fast) into account. A pulse is within
// tolerance when it lies nearer its own class than the neighbouring ones (as
// far on the side without a neighbour), or within a sample of the image's.
// Leaders are not compared pulse by pulse: a loader does not count them, a
// recording's first edge may fall anywhere in the first one, and a pause may
// take in the first pulses after it, which the high-pass filters also bend.
// So the comparison starts after the first leader, and after each pause (on
// both sides) goes on from the first change of length after it. Pulses that
// do not line up are gathered on both sides until their lengths add up
// again, and all count as out of tolerance (unless both sides hold a pause:
// a pulse more or less beside a pause is no fault); then the shift of a few
// pulses that matches the following ones clearly better, if any, brings the
// two back in step.
std::size_t pulses_off(const std::vector<double>& want, const std::vector<double>& got, double speed, unsigned rate) {
    const std::vector<double> centres = classes_of(want);
    const auto in_class = [&](double w, double g) {
        if (std::abs(g - w) <= 1.0 / rate) return true;
        if (w >= pause || centres.empty()) return std::abs(g - w) <= tolerance * w;
        const auto k = std::size_t(std::min_element(centres.begin(), centres.end(), [&](double a, double b) {
                                       return std::abs(a - w) < std::abs(b - w);
                                   }) - centres.begin());
        const double c = centres[k], up = k + 1 < centres.size() ? (centres[k + 1] - c) / 2 : 0,
                     down = k > 0 ? (c - centres[k - 1]) / 2 : 0;
        const double above = up > 0 ? up : down > 0 ? down : tolerance * c, below = down > 0 ? down : above;
        return g > (c - below) / speed && g < (c + above) / speed;
    };
    const auto close = [&](double w, double g, std::size_t n) {
        return std::abs(g - w) <= std::max(tolerance * w, double(n) / rate);
    };
    std::size_t i = after_leader(want), j = after_leader(got), off = 0;
    while (i < want.size() && j < got.size()) {
        double w = want[i] / speed, g = got[j];
        if (w > pause && g > pause && close(w, g, 1)) {
            i = data_start(want, i + 1), j = data_start(got, j + 1);
            continue;
        }
        ++i, ++j;
        if (in_class(w * speed, g)) continue;
        std::size_t group = 1, n = 2;
        bool want_pause = w > pause, got_pause = g > pause;
        for (; !close(w, g, n) && n < 400 && i < want.size() && j < got.size(); ++n) {
            if (w < g) w += want[i] / speed, want_pause = want_pause || want[i++] > pause, ++group;
            else g += got[j], got_pause = got_pause || got[j++] > pause;
        }
        if (want_pause && got_pause && close(w, g, n)) {  // a pause, and a pulse more or less beside it
            i = data_start(want, i), j = data_start(got, j);
            continue;
        }
        off += group;
        // Back in step: the shift of up to four pulses either way that
        // matches at least three more of the next 24 than none does.
        const auto matches = [&](std::size_t a, std::size_t b) {
            std::size_t m = 0;
            for (std::size_t k = 0; k < 24 && a + k < want.size() && b + k < got.size(); ++k)
                m += in_class(want[a + k], got[b + k]);
            return m;
        };
        std::size_t best = matches(i, j) + 2, skip_want = 0, skip_got = 0;
        for (std::size_t d = 1; d <= 4; ++d) {
            if (const std::size_t m = matches(i, j + d); m > best) best = m, skip_want = 0, skip_got = d;
            if (const std::size_t m = matches(i + d, j); m > best) best = m, skip_want = d, skip_got = 0;
        }
        i += skip_want, j += skip_got, off += skip_want;
    }
    return off + (want.size() - i > 1 ? want.size() - i : 0);
}

// --- What a recording reads back as ------------------------------------

struct score {
    bool exact = true;           // every program's name, address and bytes, and the pulses in tolerance
    std::size_t wrong = 0;       // bytes (names, addresses) read wrong, or lost
    std::size_t silent = 0;      // of them, neither in doubt nor in a block whose failing checksum is reported
    std::size_t doubtful = 0;    // bytes reported in doubt
    std::size_t pulses_off = 0;  // TAP images: pulses not within tolerance
    std::size_t lost = 0;        // programs of the tape not read at all
    std::size_t extra = 0;       // programs read that the tape does not hold
    std::string why;             // the first thing that was not exact

    void fail(const std::string& what) {
        if (exact) why = what;
        exact = false;
    }
    score& operator+=(const score& o) {
        exact = exact && o.exact;
        wrong += o.wrong, silent += o.silent, doubtful += o.doubtful, pulses_off += o.pulses_off;
        lost += o.lost, extra += o.extra;
        return *this;
    }
};

recording_read decode(const std::vector<float>& samples, unsigned rate) {
    korvax::memory_source src(samples, rate);
    return korvax::cbm::read_recording(src);
}

// What an image reads back as: its programs and its pulses. The programs as
// a clean read of its WAV gives them, once that read has shown the golden
// names, addresses and hashes; the pulses those of a TAP image, or for a
// program file those of the clean read, once a ROM loader has loaded every
// block from them.
struct expected {
    std::vector<kernal_program> programs;
    std::vector<double> pulses;
};

void score_program_tape(score& s, const recording_read& r, const std::vector<kernal_program>& want);

const expected& reference(const image& im) {
    static std::map<std::string, expected> known;
    if (const auto k = known.find(im.path); k != known.end()) return k->second;
    const recording_read clean = decode(program_signal(im.path, 44100), 44100);
    std::vector<kernal_program> got = clean.programs;
    EXPECT_EQ(got.size(), im.programs.size()) << im.path;
    got.resize(std::min(got.size(), im.programs.size()));
    for (std::size_t k = 0; k < got.size(); ++k) {
        const program_want& w = im.programs[k];
        EXPECT_EQ(got[k].name, w.name) << im.path;
        EXPECT_EQ(got[k].start, w.start) << im.path;
        EXPECT_EQ(got[k].bytes.size(), w.size) << im.path << " " << w.name;
        EXPECT_EQ(fnv(got[k].bytes), w.hash) << im.path << " " << w.name;
    }
    expected e{std::move(got), {}};
    if (is_tap(im.path)) {
        e.pulses = tap_seconds(read_file(im.path));
    } else {
        score loads;
        score_program_tape(loads, clean, e.programs);
        EXPECT_TRUE(loads.exact) << im.path << ": " << loads.why;
        e.pulses = tap_seconds(korvax::cbm::tap_image(clean));
    }
    return known[im.path] = std::move(e);
}

// The programs read against the image's: each program of the image is
// matched with the first one read of its length (else the next one read). A
// program not read at all is lost: wrong in every byte, though not silently
// wrong (there is nothing to take for it).
void score_programs(score& s, const image& im, const recording_read& r) {
    const std::vector<kernal_program>& want = reference(im).programs;
    std::vector<bool> used(r.programs.size());
    for (const kernal_program& w : want) {
        const kernal_program* got = nullptr;
        for (std::size_t k = 0; k < r.programs.size() && !got; ++k)
            if (!used[k] && r.programs[k].bytes.size() == w.bytes.size()) used[k] = true, got = &r.programs[k];
        for (std::size_t k = 0; k < r.programs.size() && !got; ++k)
            if (!used[k]) used[k] = true, got = &r.programs[k];
        if (!got) {
            s.fail("program " + w.name + " not read");
            s.wrong += w.bytes.size();
            ++s.lost;
            continue;
        }
        s.doubtful += got->doubtful.size();
        if (got->name != w.name || got->start != w.start) {
            s.fail("program " + w.name + " read as " + got->name);
            ++s.wrong;
            s.silent += got->header_holds && got->header_doubtful == 0;
        }
        std::vector<bool> in_doubt(got->bytes.size());
        for (std::size_t d = got->header_doubtful; d < got->doubtful.size(); ++d)
            if (got->doubtful[d].index < in_doubt.size()) in_doubt[got->doubtful[d].index] = true;
        const std::size_t n = std::max(got->bytes.size(), w.bytes.size());
        std::size_t wrong = 0, silent = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const bool right = i < got->bytes.size() && i < w.bytes.size() && got->bytes[i] == w.bytes[i];
            if (right) continue;
            ++wrong;
            silent += got->data_holds && !(i < in_doubt.size() && in_doubt[i]);
        }
        if (wrong) s.fail("program " + w.name + ": " + std::to_string(wrong) + " bytes wrong");
        s.wrong += wrong, s.silent += silent;
    }
    for (bool u : used) s.extra += !u;
    if (s.extra) s.fail(std::to_string(s.extra) + " programs more than the tape holds");
}

// A program file's tape: a ROM loader must read every block from the TAP
// pulses read back. Its blocks are each program's header and bytes.
void score_program_tape(score& s, const recording_read& r, const std::vector<kernal_program>& want) {
    std::vector<korvax::byte_vector> blocks;
    for (const kernal_program& p : want) {
        korvax::byte_vector h(192, ' ');
        h[0] = p.start == 0x0801 ? 1 : 3;
        const auto end = unsigned(p.start + p.bytes.size());
        h[1] = std::uint8_t(p.start), h[2] = std::uint8_t(p.start >> 8), h[3] = std::uint8_t(end), h[4] = std::uint8_t(end >> 8);
        std::copy(p.name.begin(), p.name.end(), h.begin() + 5);
        blocks.push_back(h);
        blocks.push_back(p.bytes);
    }
    korvax::cbm::kernal_reader kernal(1.0);
    for (const std::size_t units : tap_units(r.tap_pulses)) kernal.pulse(units);
    const korvax::readback rb = kernal.finish(blocks);
    if (!rb.error.empty()) {
        s.fail("the TAP pulses do not load: " + rb.error);
        ++s.pulses_off;
    }
}

struct condition {
    unsigned rate;
    int rung;  // -1: the program's own WAV, untouched
    bool inverted = false, slow = false, dropouts = false;
    std::uint64_t seed = 1;
};

double speed_of(const condition& c) {
    return c.rung < 0 ? 1 : 1 + (c.slow ? -1 : 1) * ladder[c.rung].speed_pct / 100;
}

// One image under one condition; what was read in `read`, when given.
score read_back(const image& im, const condition& c, recording_read* read = nullptr) {
    score s;
    std::vector<float> x = program_signal(im.path, c.rate, c.inverted && c.rung < 0);
    if (c.rung >= 0) {
        channel_options o;
        o.dropouts = c.dropouts, o.invert = c.inverted, o.slow = c.slow, o.seed = c.seed;
        x = cassette(x, c.rate, ladder[c.rung], o).samples;
    }
    const recording_read r = decode(x, c.rate);
    if (!im.programs.empty()) score_programs(s, im, r);
    s.pulses_off = pulses_off(reference(im).pulses, tap_seconds(korvax::cbm::tap_image(r)), speed_of(c), c.rate);
    if (s.pulses_off) s.fail(std::to_string(s.pulses_off) + " pulses out of tolerance");
    if (read) *read = r;
    return s;
}

std::string describe(const image& im, const condition& c) {
    return base(im.path) + " at " + std::to_string(c.rate) + " Hz, rung " + std::to_string(c.rung) +
           (c.inverted ? ", inverted" : "") + (c.slow ? ", slow" : "") + (c.dropouts ? ", dropouts" : "") +
           ", seed " + std::to_string(c.seed);
}

}  // namespace

// Every image read back from the program's own WAV, at both rates, as
// written and inverted (-n): every program's name, address and bytes, and
// the TAP pulses within tolerance; for a program file, a ROM loader loads
// every block from those pulses.
TEST(cbm_recording, every_image_round_trips) {
    const std::vector<image> all = images();
    if (all.size() < 4) std::puts("The corpus is absent: the examples only.");
    for (const image& im : all)
        for (unsigned rate : {22050u, 44100u})
            for (bool inverted : {false, true}) {
                // The 25-minute T64 once at each rate, in either polarity.
                if (base(im.path).starts_with("c64-t64") && inverted == (rate == 22050)) continue;
                const condition c{rate, -1, inverted};
                recording_read r;
                score s = read_back(im, c, &r);
                if (!is_tap(im.path) && !im.programs.empty() && s.exact) score_program_tape(s, r, reference(im).programs);
                EXPECT_TRUE(s.exact) << describe(im, c) << ": " << s.why;
                EXPECT_EQ(s.doubtful, 0u) << describe(im, c);
            }
}

// Rung 6 without dropouts, at both rates and in both polarities, the speed
// error's sign alternating: every program byte for byte, nothing in doubt
// that is wrong, and at 44100 Hz the pulses of every C64 and VIC-20 tape in
// tolerance but for one in 10,000 at most. (At 22050 Hz hiss moves a pulse past the midpoint between two
// lengths now and then, and the C16's 235 us pulses lose an edge: the
// results table counts them.) The 25-minute T64 is left to the table.
TEST(cbm_recording, rung_6_reads_every_program) {
    std::size_t n = 0;
    for (const image& im : images())
        for (unsigned rate : {22050u, 44100u})
            for (bool inverted : {false, true}) {
                if (base(im.path).starts_with("c64-t64")) continue;
                const condition c{rate, 6, inverted, ++n % 2 == 0};
                const score s = read_back(im, c);
                EXPECT_EQ(s.wrong, 0u) << describe(im, c) << ": " << s.why;
                EXPECT_EQ(s.lost + s.extra, 0u) << describe(im, c) << ": " << s.why;
                if (rate == 44100 && !base(im.path).starts_with("c16")) {
                    EXPECT_LE(s.pulses_off * 10000, reference(im).pulses.size()) << describe(im, c) << ": " << s.why;
                }
            }
}

// With the dropouts of rung 6 (20 ms at -20 dB, four a minute), and at rung
// 7 with everything worse: no byte wrong that is not reported, either in
// doubt or in a block whose checksum fails; at rung 6 every program is found
// (reading resumes after each dropout), and the ROM's second copy gives back
// what a dropout hides in the first. A few short tapes, a few seeds each.
TEST(cbm_recording, dropouts_and_rung_7_are_never_silently_wrong) {
    struct trial {
        const char* image;
        unsigned rate;
        int rung;
        std::uint64_t seed;
    };
    for (const trial& t : std::vector<trial>{{"hello.prg", 22050, 6, 2}, {"hello.tap", 44100, 6, 3},
                                             {"bender", 22050, 6, 4}, {"bender", 44100, 6, 5},
                                             {"hello2.t64", 22050, 7, 1}, {"hello2.t64", 44100, 7, 2},
                                             {"bender", 22050, 7, 3}, {"rl.tap", 44100, 7, 4}}) {
        for (const image& im : images(t.image)) {
            const condition c{t.rate, t.rung, t.seed % 2 == 1, t.seed % 3 == 0, true, t.seed};
            const score s = read_back(im, c);
            EXPECT_EQ(s.silent, 0u) << describe(im, c) << ": " << s.why;
            if (t.rung == 6) {
                EXPECT_EQ(s.wrong + s.lost, 0u) << describe(im, c) << ": " << s.why;
            }
        }
    }
}

// What the reader writes: a T64 of the programs read converts to the very
// WAV of the archive it was read from; a TAP image of the pulses read, and a
// PRG of a program, read back as the same programs.
TEST(cbm_recording, images_written_read_back) {
    const scratch_dir dir;
    const std::string t64 = std::string(KORVAX_EXAMPLES) + "/hello2.t64";
    const std::vector<float> wav = program_signal(t64, 44100);
    const recording_read r = decode(wav, 44100);
    ASSERT_EQ(r.programs.size(), 2u);
    EXPECT_EQ(program_signal(dir.write("again.t64", korvax::cbm::t64_image(r.programs)), 44100), wav);
    const std::vector<float> tap = program_signal(dir.write("again.tap", korvax::cbm::tap_image(r)), 44100, true);
    const recording_read again = decode(tap, 44100);
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
// unclear; a dropout (twenty pulses as one) hides a byte. Each byte comes
// back right from the other copy, bit by bit, or from the block's checksum
// when both copies are in doubt (then reported in doubt).
TEST(cbm_recording, both_copies_and_the_checksum) {
    enum edit { flip, blur, hide };
    struct change {
        int copy;  // 1 or 2
        std::size_t byte, bit;
        edit how;
    };
    struct case_ {
        const char* what;
        std::vector<change> changes;
        std::vector<std::size_t> doubtful;  // in the program's bytes
    };
    const scratch_dir dir;
    const recording_read clean = decode(program_signal(std::string(KORVAX_EXAMPLES) + "/hello.prg", 44100), 44100);
    ASSERT_EQ(clean.programs.size(), 1u);
    // Where the data block's first copy starts: the first long pulse after
    // the pause that follows the header.
    const std::vector<std::size_t> units = tap_units(clean.tap_pulses);
    std::size_t first = std::size_t(std::find_if(units.begin(), units.end(), [](std::size_t u) { return u > 255; }) - units.begin());
    while (first < units.size() && !(units[first] > 76 && units[first] < 100)) ++first;
    const std::size_t bytes = 9 + 37 + 1, second = first + 20 * bytes + 2 + 79;
    for (const case_& k : std::vector<case_>{
             {"a bit flipped in the first copy", {{1, 9 + 5, 3, flip}}, {}},
             {"a bit flipped in the second copy", {{2, 9 + 5, 0, flip}}, {}},
             {"a bit blurred in the first copy", {{1, 9 + 20, 6, blur}}, {}},
             {"a byte hidden in the first copy", {{1, 9 + 30, 0, hide}}, {}},
             {"different bits of one byte blurred in each copy", {{1, 9 + 7, 1, blur}, {2, 9 + 7, 5, blur}}, {}},
             {"flipped in one copy, blurred in the other", {{1, 9 + 2, 4, flip}, {2, 9 + 2, 4, blur}}, {2}},
         }) {
        std::vector<std::size_t> u = units;
        for (const change& ch : k.changes) {
            const std::size_t at = (ch.copy == 1 ? first : second) + 20 * ch.byte + 2 + 2 * ch.bit;
            if (ch.how == flip) std::swap(u[at], u[at + 1]);
            if (ch.how == blur) u[at] = u[at + 1] = 57;
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
        const recording_read r = decode(program_signal(dir.write("edited.tap", tap), 44100, true), 44100);
        ASSERT_EQ(r.programs.size(), 1u) << k.what;
        const kernal_program& p = r.programs[0];
        EXPECT_EQ(p.bytes, clean.programs[0].bytes) << k.what;
        std::vector<std::size_t> doubtful;
        for (std::size_t d = p.header_doubtful; d < p.doubtful.size(); ++d) doubtful.push_back(p.doubtful[d].index);
        EXPECT_EQ(doubtful, k.doubtful) << k.what;
        EXPECT_EQ(p.data_holds, k.doubtful.empty()) << k.what;
    }
}

// A Commodore leader is found in a Commodore recording, inverted or not, and
// in no other machine's; silence and hiss hold no program.
TEST(cbm_recording, leaders_and_no_signal) {
    struct case_ {
        std::string path;
        bool inverted, leader;
    };
    const std::string ex = KORVAX_EXAMPLES;
    for (const case_& k : std::vector<case_>{{ex + "/hello.tap", true, true}, {ex + "/hello.prg", false, true},
                                             {ex + "/hello.cas", false, false}, {ex + "/hello-fast.cas", false, false},
                                             {ex + "/hello-level1.cas", false, false}, {ex + "/hello.htp", false, false},
                                             {ex + "/hello-cgenie.cas", false, false}}) {
        const std::vector<float> x = program_signal(k.path, 44100, k.inverted);
        korvax::memory_source src(x, 44100);
        const auto found = korvax::cbm::find_leader(src, 30);
        EXPECT_EQ(found.has_value(), k.leader) << k.path;
        if (found) {
            EXPECT_NEAR(found->pulse_seconds, 0x30 * 8 / 985248.0, 2e-5) << k.path;
        }
    }
    std::vector<float> quiet(44100 * 5, 0.0f), hiss(44100 * 5);
    std::uint64_t s = 1;
    for (float& v : hiss) s = s * 6364136223846793005ull + 1, v = float(double(s >> 11) / 9007199254740992.0 - 0.5) / 4;
    for (const std::vector<float>* x : {&quiet, &hiss}) {
        const recording_read r = decode(*x, 44100);
        EXPECT_TRUE(r.programs.empty());
        EXPECT_EQ(r.leader_seconds, 0.0);
    }
    EXPECT_TRUE(decode(quiet, 44100).tap_pulses.empty());
}

// The full table of results, for the report: every rung at both rates, in
// both polarities, with and without dropouts, over every image. Minutes of
// work: run by hand with --gtest_also_run_disabled_tests. KORVAX_ONLY limits
// the images to those whose names hold it, KORVAX_RUNGS to a list of rungs,
// KORVAX_RATE to one rate, KORVAX_NORMAL to one polarity.
TEST(cbm_recording, DISABLED_results_table) {
    const char* only = std::getenv("KORVAX_ONLY") ? std::getenv("KORVAX_ONLY") : "";
    std::string rungs = std::getenv("KORVAX_RUNGS") ? std::getenv("KORVAX_RUNGS") : "01234567";
    std::printf("rung rate  polarity dropouts | images exact | wrong | silent | in doubt | lost | extra | pulses off\n");
    for (char rc : rungs) {
        const int rung = rc - '0';
        for (bool dropouts : {false, true}) {
            if (dropouts && ladder[rung].dropouts_per_min == 0) continue;
            for (unsigned rate : {22050u, 44100u})
                for (bool inverted : {false, true}) {
                    if (std::getenv("KORVAX_RATE") && std::to_string(rate) != std::getenv("KORVAX_RATE")) continue;
                    if (std::getenv("KORVAX_NORMAL") && inverted) continue;
                    score total;
                    std::size_t exact = 0, count = 0;
                    for (const image& im : images(only)) {
                        const condition c{rate, rung, inverted, count % 2 == 1, dropouts, 1};
                        const score s = read_back(im, c);
                        if (!s.exact) std::printf("    %s: %s\n", describe(im, c).c_str(), s.why.c_str());
                        exact += s.exact, ++count;
                        total += s;
                    }
                    std::printf("%4d %5u %-8s %-8s | %5zu/%-5zu | %5zu | %6zu | %8zu | %4zu | %5zu | %10zu\n", rung,
                                rate, inverted ? "inverted" : "normal", dropouts ? "yes" : "no", exact, count,
                                total.wrong, total.silent, total.doubtful, total.lost, total.extra, total.pulses_off);
                    std::fflush(stdout);
                }
        }
    }
}

// The reader's speed on a WAV file (KORVAX_WAV), streamed from disk as the
// program reads it: run by hand, under /usr/bin/time -v for the peak memory.
TEST(cbm_recording, DISABLED_speed) {
    const char* path = std::getenv("KORVAX_WAV");
    if (path == nullptr) GTEST_SKIP() << "set KORVAX_WAV to a recording";
    std::string why;
    const auto wav = korvax::wav_file::open(path, why);
    ASSERT_TRUE(wav) << why;
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpu = std::clock();
    const recording_read r = korvax::cbm::read_recording(*wav);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double used = double(std::clock() - cpu) / CLOCKS_PER_SEC;
    std::printf("%.1f s of recording in %.3f s (%.3f s of CPU): %.0f times real time (%.0f by CPU time); %zu programs, "
                "%zu bytes of pulses\n",
                r.seconds, took, used, r.seconds / took, r.seconds / used, r.programs.size(), r.tap_pulses.size());
}

#include "support/reading.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <span>

#include "formats/cbm/decoder.h"
#include "formats/cgenie/recording.h"
#include "formats/homelab/recording.h"
#include "formats/trs80/recording.h"
#include "support/run.h"
#include "support/signal.h"

namespace korvax_test {

std::vector<std::size_t> tap_units(const std::vector<std::uint8_t>& d) {
    std::vector<std::size_t> u;
    for (std::size_t i = 0; i < d.size(); ++i)
        if (d[i] != 0) u.push_back(d[i]);
        else if (i + 3 < d.size()) u.push_back((d[i + 1] | d[i + 2] << 8 | d[i + 3] << 16) / 8), i += 3;
    return u;
}

namespace {

using korvax::tape_item;
using korvax::tape_segment;
using korvax::cbm::kernal_program;
using korvax::cbm::recording_read;

// The program's own 8-bit samples, untouched.
class byte_source final : public korvax::sample_source {
public:
    byte_source(const std::vector<std::uint8_t>& b, unsigned rate) : b_(b), rate_(rate) {}
    std::uint32_t rate() const override { return rate_; }
    std::size_t read(float* out, std::size_t n) override {
        const std::size_t k = std::min(n, b_.size() - at_);
        for (std::size_t i = 0; i < k; ++i) out[i] = float(b_[at_ + i] - 128) / 128;
        at_ += k;
        return k;
    }

private:
    const std::vector<std::uint8_t>& b_;
    unsigned rate_;
    std::size_t at_ = 0;
};

std::string base(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// A wrong byte read at `seconds` (negative: not in doubt) against the
// dropouts: it counts as outside them unless it starts at most `before`
// seconds (a byte's length) ahead of one, or within a few ms after one.
bool near_dropout(double seconds, double before, const std::vector<dropout>& drops) {
    return seconds >= 0 && std::any_of(drops.begin(), drops.end(), [&](const dropout& d) {
               return seconds > d.from - before - 0.002 && seconds < d.to + 0.005;
           });
}

// Scores the bytes of one segment against `want` from `from` on, as the
// report tells them: `seg.doubtful` the bytes it calls in doubt, `failing`
// when it calls its checksum failing. Bytes beyond `want` are wrong.
void score_bytes(score& s, const tape_segment& seg, const korvax::byte_vector& want, std::size_t from, bool failing,
                 double byte_seconds, const std::vector<dropout>& drops) {
    s.doubtful += seg.doubtful.size();
    for (std::size_t i = 0, d = 0; i < seg.bytes.size(); ++i) {
        while (d < seg.doubtful.size() && seg.doubtful[d].index < i) ++d;
        if (from + i < want.size() && seg.bytes[i] == want[from + i]) continue;
        const bool doubtful = d < seg.doubtful.size() && seg.doubtful[d].index == i;
        ++s.wrong;
        s.unreported += !doubtful && !failing;
        s.outside += !near_dropout(doubtful ? seg.doubtful[d].seconds : -1, byte_seconds, drops);
    }
}

// Whether the report says anything is amiss: no tape found at all, a byte
// in doubt, a checksum failing or a part missing. Bytes not read at all are
// wrong, and silently so where it says nothing (a block lost without a word).
bool reports_trouble(const std::vector<tape_item>& items) {
    return items.empty() || std::any_of(items.begin(), items.end(), [](const tape_item& i) {
               return !i.doubtful.empty() || i.check == tape_item::checksum::fails || !i.missing.empty();
           });
}

void not_read(score& s, std::size_t bytes, const std::vector<tape_item>& items) {
    s.wrong += bytes;
    if (!reports_trouble(items)) s.unreported += bytes;
}

// --- TRS-80 ------------------------------------------------------------

// The bytes from the first sync byte on: what a reading must give back.
korvax::byte_vector after_leader(const korvax::byte_vector& b) {
    std::size_t i = 0;
    while (i < b.size() && (b[i] == 0x00 || b[i] == 0x55)) ++i;
    return {b.begin() + long(i), b.end()};
}

// Each segment against the image from where the bytes read so far end; the
// zero bytes between two programs read as part of neither.
void score_trs80(score& s, const korvax::byte_vector& image, const std::vector<tape_segment>& segs,
                 const std::vector<dropout>& drops) {
    const korvax::byte_vector want = after_leader(image);
    const auto items = korvax::trs80::describe(segs);
    std::size_t at = 0;
    for (std::size_t k = 0; k < segs.size(); ++k) {
        tape_segment seg = segs[k];
        seg.doubtful = items[k].doubtful;
        const korvax::byte_vector b = after_leader(korvax::trs80::cas_image({seg}));
        const std::size_t skipped = seg.bytes.size() - std::min(seg.bytes.size(), b.size());
        seg.bytes = b;
        for (auto& d : seg.doubtful) d.index -= std::min(d.index, skipped);
        score_bytes(s, seg, want, at, items[k].check == tape_item::checksum::fails, 8.0 * 4 / seg.baud, drops);
        at += b.size();
        while (k + 1 < segs.size() && at < want.size() && want[at] == 0) ++at;
    }
    if (at < want.size())
        not_read(s, want.size() - at, items),
            s.fail("the tape's last " + std::to_string(want.size() - at) + " bytes not read");
    if (s.wrong) s.fail(std::to_string(s.wrong) + " bytes wrong");
}

// --- Colour Genie and Homelab --------------------------------------------

// A Colour Genie image from the sync byte on: without the emulators' text
// header, which is not played.
korvax::byte_vector cgenie_tape(korvax::byte_vector b) {
    const std::string text = "Colour Genie - Virtual Tape File";
    if (b.size() > text.size() && std::equal(text.begin(), text.end(), b.begin()))
        b.erase(b.begin(), std::find(b.begin(), b.end(), 0) + 1);
    return b;
}

// One leader, one stretch: a second stretch is wrong throughout.
void score_cgenie(score& s, const korvax::byte_vector& image, const std::vector<tape_segment>& segs,
                  const std::vector<dropout>& drops) {
    const korvax::byte_vector want = cgenie_tape(image);
    const auto items = korvax::cgenie::describe(segs);
    for (std::size_t k = 0; k < segs.size(); ++k) {
        tape_segment seg = segs[k];
        seg.doubtful = items[k].doubtful;
        score_bytes(s, seg, k == 0 ? want : korvax::byte_vector{}, 0, items[k].check == tape_item::checksum::fails,
                    8 / 1200.0, drops);
    }
    if (segs.empty())
        not_read(s, want.size(), items);
    else if (segs[0].bytes.size() < want.size())
        not_read(s, want.size() - segs[0].bytes.size(), items);
    if (s.wrong) s.fail(std::to_string(s.wrong) + " bytes wrong");
}

// Each block read against the image's block it matches best; the image's
// bytes no block gave are wrong too.
void score_homelab(score& s, const korvax::byte_vector& image, const std::vector<tape_segment>& segs,
                   const std::vector<dropout>& drops) {
    std::vector<std::size_t> blocks;
    for (std::size_t i = 1; i < image.size(); ++i)
        if (image[i] == 0xA5 && image[i - 1] == 0) blocks.push_back(i);
    const auto items = korvax::homelab::describe(segs);
    std::size_t right = 0;
    for (std::size_t k = 0; k < segs.size(); ++k) {
        std::size_t from = 0, most = 0;
        for (std::size_t b : blocks) {
            std::size_t n = 0;
            for (std::size_t i = 0; i < segs[k].bytes.size() && b + i < image.size(); ++i) n += segs[k].bytes[i] == image[b + i];
            if (n > most) most = n, from = b;
        }
        right += most;
        tape_segment seg = segs[k];
        seg.doubtful = items[k].doubtful;
        // 8 cells of 4,425 cycles of the 3 MHz clock, the last a little longer.
        score_bytes(s, seg, image, from, items[k].check == tape_item::checksum::fails, 0.0125, drops);
    }
    const std::size_t tape = image.size() - (blocks.empty() ? 0 : blocks.front());
    if (tape > right + s.wrong) not_read(s, tape - right - s.wrong, items);
    if (s.wrong) s.fail(std::to_string(s.wrong) + " bytes wrong");
}

// --- Commodore -----------------------------------------------------------

// What each image holds, stated independently of the reader: the programs
// (name, load address, length and a hash of the bytes, taken from the files
// and checked against the corpus's provenance notes). An image without
// programs is a tape of another loader, read as pulses only.
struct program_want {
    const char* name;
    unsigned start;
    std::size_t size;
    std::uint64_t hash;  // FNV-1a, 64 bits, of the bytes
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
    {"c16-pal-v1-trek.tap", {{"", 0x1001, 278, 0x370429BDCDED3269ull}}},
    {"c16-pal-v2-antiair.tap", {{"", 0x1001, 278, 0x370429BDCDED3269ull}}},
    {"c16-pal-v2-bucle.tap", {{"BUCLE", 0x1001, 33, 0x41DBAE321BEBD512ull}}},
};

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
// a pulse more or less beside a pause is no fault); then the shift that
// matches the following ones clearly better, if any, brings the two back in
// step (the image's pulses it skips count too).
std::size_t pulses_off(const std::vector<double>& want, const std::vector<double>& got, double speed, unsigned rate) {
    const std::vector<double> centres = classes_of(want);
    const auto in_class = [&](double w, double g) {
        if (std::abs(g - w / speed) <= 1.0 / rate) return true;
        if (w >= pause || centres.empty()) return std::abs(g - w / speed) <= tolerance * w / speed;
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
    // How many of the 24 pulses from `a` and `b` on are within tolerance.
    const auto matches = [&](std::size_t a, std::size_t b) {
        std::size_t m = 0;
        for (std::size_t k = 0; k < 24 && a + k < want.size() && b + k < got.size(); ++k)
            m += in_class(want[a + k], got[b + k]);
        return m;
    };
    // After a pause, from where data starts on each side. Where the two lie
    // far apart in pulses since the pause (hiss in a turbo's sync bytes,
    // whose lengths change too regularly to start data, made a change of
    // length on one side only), from the nearer one and the pulse as far
    // past the pause on the other side, give or take a few dozen (a pause
    // may take in the first pulses after it; a dropout hides some).
    const auto resume = [&](std::size_t a, std::size_t b) {
        i = data_start(want, a), j = data_start(got, b);
        const std::size_t past_want = i - a, past_got = j - b;
        if (std::max(past_want, past_got) - std::min(past_want, past_got) <= 200) return;
        const bool want_later = past_want > past_got;
        const std::size_t at = want_later ? a + past_got : b + past_want;
        std::size_t best = 0;
        for (std::size_t k = at > 48 ? at - 48 : 0; k <= at + 48; ++k)
            if (const std::size_t m = want_later ? matches(k, j) : matches(i, k); m > best)
                best = m, (want_later ? i : j) = k;
    };
    while (i < want.size() && j < got.size()) {
        double w = want[i] / speed, g = got[j];
        if (w > pause && g > pause && close(w, g, 1)) {
            resume(i + 1, j + 1);
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
            resume(i, j);
            continue;
        }
        off += group;
        // Back in step: the shift of up to 48 pulses either way (a 20 ms
        // dropout hides about 40 of a C64's) that matches at least three
        // more of the next 24 than none does. (Further, chance shifts
        // through stretches read wrong outweigh the dropouts of a C16
        // turbo, which hide about 90.)
        std::size_t best = matches(i, j) + 2, skip_want = 0, skip_got = 0;
        for (std::size_t d = 1; d <= 48; ++d) {
            if (const std::size_t m = matches(i, j + d); m > best) best = m, skip_want = 0, skip_got = d;
            if (const std::size_t m = matches(i + d, j); m > best) best = m, skip_want = d, skip_got = 0;
        }
        i += skip_want, j += skip_got, off += skip_want;
    }
    return off + (want.size() - i > 1 ? want.size() - i : 0);
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

// What an image reads back as: the programs of a clean read of its WAV, once
// they have shown the golden names, addresses and hashes; the pulses those of
// a TAP image, or for a program file those of the clean read, once a ROM
// loader has loaded every block from them. `why` says what did not match.
struct expected {
    std::vector<kernal_program> programs;
    std::vector<double> pulses;
    std::string why;
};

const expected& reference(const std::string& path) {
    static std::map<std::string, expected> known;
    if (const auto k = known.find(path); k != known.end()) return k->second;
    const std::vector<program_want>& golden = programs_of.at(base(path));
    const recording_read clean = cbm_read(program_signal(path, 44100), 44100);
    expected e{clean.programs, {}, {}};
    if (e.programs.size() != golden.size()) e.why = "a clean read finds " + std::to_string(e.programs.size()) + " programs";
    e.programs.resize(std::min(e.programs.size(), golden.size()));
    for (std::size_t k = 0; k < e.programs.size(); ++k) {
        const program_want& w = golden[k];
        const kernal_program& p = e.programs[k];
        if (p.name != w.name || p.start != w.start || p.bytes.size() != w.size || fnv(p.bytes) != w.hash)
            e.why = "a clean read gives " + p.name + " not as its golden row";
    }
    if (path.ends_with(".tap")) {
        e.pulses = tap_seconds(read_file(path));
    } else {
        score loads;
        score_program_tape(loads, clean, e.programs);
        if (!loads.exact) e.why = loads.why;
        e.pulses = tap_seconds(korvax::cbm::tap_image(clean));
    }
    return known[path] = std::move(e);
}

// The programs read against the image's: each program of the image is
// matched with the first one read of its name and load address, else of its
// length, else the next one read. A program not read at all is wrong in
// every byte, and silently so where the report says nothing is amiss.
void score_programs(score& s, const expected& want, const recording_read& r, const std::vector<dropout>& drops) {
    std::vector<bool> used(r.programs.size());
    const std::vector<tape_item> items = korvax::cbm::describe(r);
    for (const kernal_program& w : want.programs) {
        const kernal_program* got = nullptr;
        for (std::size_t k = 0; k < r.programs.size() && !got; ++k)
            if (!used[k] && r.programs[k].name == w.name && r.programs[k].start == w.start)
                used[k] = true, got = &r.programs[k];
        for (std::size_t k = 0; k < r.programs.size() && !got; ++k)
            if (!used[k] && r.programs[k].bytes.size() == w.bytes.size()) used[k] = true, got = &r.programs[k];
        for (std::size_t k = 0; k < r.programs.size() && !got; ++k)
            if (!used[k]) used[k] = true, got = &r.programs[k];
        if (!got) {
            s.fail("program " + w.name + " not read");
            not_read(s, w.bytes.size(), items);
            continue;
        }
        s.doubtful += got->doubtful.size();
        if (got->name != w.name || got->start != w.start) {
            std::string name = got->name;  // a wrong name may hold any byte
            for (char& ch : name) ch = ch >= 32 && ch < 127 ? ch : '?';
            s.fail("program " + w.name + " read as " + name);
            ++s.wrong, ++s.outside;
            s.unreported += got->header_holds && got->header_doubtful == 0;
        }
        std::vector<double> in_doubt(got->bytes.size(), -1);
        for (std::size_t d = got->header_doubtful; d < got->doubtful.size(); ++d)
            if (got->doubtful[d].index < in_doubt.size()) in_doubt[got->doubtful[d].index] = got->doubtful[d].seconds;
        const std::size_t n = std::max(got->bytes.size(), w.bytes.size());
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i < got->bytes.size() && i < w.bytes.size() && got->bytes[i] == w.bytes[i]) continue;
            ++wrong;
            const double at = i < in_doubt.size() ? in_doubt[i] : -1;
            s.unreported += got->data_holds && at < 0;
            // A byte of 20 pulses, the longest 0.7 ms at the C64's clock.
            s.outside += !near_dropout(at, 0.014, drops);
        }
        if (wrong) s.fail("program " + w.name + ": " + std::to_string(wrong) + " bytes wrong");
        s.wrong += wrong;
    }
    const auto extra = std::size_t(std::count(used.begin(), used.end(), false));
    if (extra) s.fail(std::to_string(extra) + " programs more than the tape holds");
}

void score_cbm(score& s, const std::string& path, const condition& c, const recording_read& r,
               const std::vector<dropout>& drops) {
    const expected& want = reference(path);
    if (!want.why.empty()) s.fail(want.why);
    score_programs(s, want, r, drops);
    const double speed = c.rung < 0 ? 1 : 1 + (c.slow ? -1 : 1) * ladder[c.rung].speed_pct / 100;
    s.pulses_off = pulses_off(want.pulses, tap_seconds(korvax::cbm::tap_image(r)), speed, c.rate);
    if (s.pulses_off) s.fail(std::to_string(s.pulses_off) + " pulses out of tolerance");
    // A program file's pulses are its blocks': a ROM loader must load them
    // (at the nominal speed: without the channel's speed error).
    if (!path.ends_with(".tap") && s.exact && c.rung <= 1) score_program_tape(s, r, want.programs);
}

}  // namespace

std::size_t tap_pulses_off(const std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& read,
                           double speed, unsigned rate) {
    return pulses_off(tap_seconds(image), tap_seconds(read), speed, rate);
}

const char* name_of(machine m) {
    static constexpr const char* names[] = {"TRS-80", "Commodore", "Colour Genie", "Homelab"};
    return names[int(m)];
}

void score::fail(const std::string& what) {
    if (exact) why = what;
    exact = false;
}

score& score::operator+=(const score& o) {
    if (!o.exact) fail(o.why);
    wrong += o.wrong, unreported += o.unreported, doubtful += o.doubtful, outside += o.outside;
    pulses_off += o.pulses_off, dropouts += o.dropouts;
    return *this;
}

std::vector<std::string> images(machine m) {
    static const std::map<machine, std::pair<std::vector<std::string>, std::vector<std::string_view>>> sources = {
        {machine::trs80, {{"hello.cas", "hello-255.cas", "hello-level1.cas", "hello-fast.cas"}, {"trs80-"}}},
        {machine::cbm, {{"hello.tap", "hello.prg", "hello2.t64"}, {"c64-", "c16-", "vic20"}}},
        {machine::cgenie, {{"hello-cgenie.cas"}, {"cgenie-"}}},
        {machine::homelab, {{"hello.htp"}, {"homelab"}}},
    };
    const auto& [examples, prefixes] = sources.at(m);
    std::vector<std::string> all;
    for (const std::string& e : examples) all.push_back(std::string(KORVAX_EXAMPLES) + "/" + e);
    for (std::string_view prefix : prefixes)
        for (const std::string& f : corpus_files({prefix}))
            if (m != machine::cbm || programs_of.contains(base(f))) all.push_back(f);  // not the snapshot T64
    std::stable_sort(all.begin(), all.end(), [](const std::string& a, const std::string& b) {
        return std::filesystem::file_size(a) < std::filesystem::file_size(b);
    });
    return all;
}

std::string describe(const std::string& image, const condition& c) {
    return base(image) + " at " + std::to_string(c.rate) + " Hz, rung " + std::to_string(c.rung) +
           (c.invert ? ", inverted" : "") + (c.slow ? ", slow" : "") + (c.dropouts ? ", dropouts" : "") +
           (c.halved ? ", recorded from twice the rate" : "") + ", seed " + std::to_string(c.seed);
}

score read_back(machine m, const std::string& image, const condition& c) {
    const unsigned played = c.halved ? 2 * c.rate : c.rate;
    const std::vector<std::uint8_t> wav = program_wav(image, played, c.invert && c.rung < 0);
    std::unique_ptr<korvax::sample_source> in;
    std::vector<dropout> drops;
    if (c.rung < 0) {
        in = std::make_unique<byte_source>(wav, played);
    } else {
        auto channel = std::make_unique<cassette_source>(std::span<const std::uint8_t>(wav), played, ladder[c.rung],
                                                         channel_options{c.dropouts, c.invert, c.slow, c.seed});
        drops = channel->dropouts();
        in = std::move(channel);
    }
    if (c.halved) in = std::make_unique<halving_source>(std::move(in));
    return read_signal(m, image, *in, c, drops);
}

score read_signal(machine m, const std::string& image, korvax::sample_source& in, const condition& c,
                  const std::vector<dropout>& drops) {
    score s;
    s.dropouts = drops.size();
    const korvax::byte_vector file = read_file(image);
    switch (m) {
    case machine::trs80: score_trs80(s, file, korvax::trs80::read_recording(in), drops); break;
    case machine::cbm: score_cbm(s, image, c, korvax::cbm::read_recording(in), drops); break;
    case machine::cgenie: score_cgenie(s, file, korvax::cgenie::read_recording(in), drops); break;
    case machine::homelab: score_homelab(s, file, korvax::homelab::read_recording(in), drops); break;
    }
    return s;
}

korvax::cbm::recording_read cbm_read(const std::vector<float>& samples, unsigned rate) {
    korvax::memory_source src(samples, rate);
    return korvax::cbm::read_recording(src);
}

}  // namespace korvax_test

// Reading a recording of a Commodore tape, in stages that each feed the next
// as the samples stream past; nothing is kept but the pulses and the bytes.
//
//   1. Edges (recording_dsp.h): zero crossings of the band-passed signal,
//      and those of a short half-wave that head loss kept from crossing.
//   2. Half-waves, the time between two edges. A pair of edges far closer
//      together than any tape pulse is a click or hiss: the three half-waves
//      around it are one. A half-wave too long for any pulse, four running
//      that are much weaker than the signal was, or eight that are on
//      average, start a silence (a pause, a dropout, noise); the silence
//      lasts until six half-waves in a row are near the signal's level and
//      alike again, or sixteen are a leader.
//   3. Pulses: from an edge of one direction to the next edge of that
//      direction. The direction is the one under which each pulse's two
//      halves match (a loader sees only one of them, and a recording's
//      polarity is unknown); it is settled from the first stretch of data,
//      where the pulse lengths change, and reviewed as the tape goes on. A
//      silence is one long pulse.
//   4. The pulses go into the TAP data (those of no ROM block regenerated
//      a stretch later: regenerate.h), and to the reader of the ROM
//      loader's blocks: a byte is a marker (long, medium), eight bits
//      least significant first (short-medium 0, medium-short 1) and an odd
//      parity bit; a block is a leader of short pulses and two copies of the
//      same bytes, each a countdown (0x89..0x81, then 0x09..0x01), the
//      payload, an XOR checksum and an end marker (long, short). Every byte
//      takes the same time (a long, a medium and nine shorts and mediums), so
//      a byte's place in its copy follows from when it starts, even after a
//      dropout has hidden the bytes before it. A byte read from an unclear
//      pulse, or failing its parity, is taken from the other copy, bit by bit
//      where each copy has other bits unclear; one in doubt in both stays in
//      doubt (and when it is a block's only one, its checksum gives its
//      likeliest value).
#include "formats/cbm/recording.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <mutex>

#include "formats/cbm/protocol.h"
#include "formats/cbm/recording_dsp.h"
#include "formats/cbm/regenerate.h"

namespace korvax::cbm {
namespace {

// The clocks a TAP image's pulses are counted on: the C64's PAL clock, or
// for a tape of a C16 or Plus/4 theirs.
constexpr double c64_clock = double(c64_pal) * cycles_per_unit, c264_clock = double(c264_pal) * cycles_per_unit;
// A C16 turbo loader's shortest half-wave (110 us, its fundamental near
// 4.5 kHz) needs a recording whose Nyquist frequency lies above that: at
// 9600 Hz and below, its pulses run together (half of them lost), from
// 10000 Hz on they read whole. On a C16's tape recorded below this rate the
// pulses after the ROM's blocks cannot be trusted, and the report says so.
constexpr std::uint32_t c16_turbo_least_rate = 10000;

// --- Half-waves -----------------------------------------------------------

// A half-wave much shorter than the tape's short ones lies between the
// edges of a click or of hiss. How much shorter follows the tape: head loss
// and hiss squash a C16 turbo's 108 us half to 40 us now and then (taken
// for hiss, it made two pulses one), while hiss splits a C64's 176 us half
// into pieces of 30 to 50 us. So a half is hiss under a part of the short
// halves' length (about the tenth shortest of the recent ones, followed as
// they come), and always under the first limit, never over the second.
constexpr double glitch_of_short = 0.35, glitch_least = 30e-6, glitch_most = 50e-6;
// The short halves' length moves by this part of itself a half-wave: down
// on a shorter half, up (a ninth as far) on a longer one.
constexpr double short_step = 0.05, short_quantile = 0.1;
// Yet a half of at least 0.30 of the short halves is a half of its own
// where it and the halves either side, taken as one, would be longer than
// three short halves: hiss splits a half into pieces that add up to one,
// while a turbo's 108 us half squashed to 33 us between two long halves
// leaves three that do not. (0.30 of a C64's or a C16 ROM's short halves
// is over the 50 us limit, so only a turbo's can be kept so.)
constexpr double squashed_of_short = 0.30, squashed_span = 3;
// Nor a half longer than this (a C16's longest data pulse is 2 ms): a longer
// one is a pause.
constexpr double max_half = 1.5e-3;
// A half-wave whose peak is under the first fraction of the signal's level
// is read from something weaker than the signal: four in a row start a
// silence (hiss, a dropout; the short pulses of a C16 lose so much more to
// a worn head than its long ones that two in a row happen in its data). One
// under the second is far too weak for its edges to be trusted.
constexpr double weak_of_level = 0.4, faint_of_level = 0.25;
constexpr std::size_t weak_for_silence = 4;
// Hiss in a pause, at a level near the signal's, makes half-waves weak and
// not so weak by turns: when the last eight are on average under half the
// signal's level, a silence has begun too.
constexpr std::size_t hiss_halves = 8;
constexpr double hiss_of_level = 0.5;
// The signal is back after a silence when this many half-waves in a row are
// of a tape pulse's length, within a factor of 2.5 of each other, and their
// peaks within a factor of 2 and near the signal's level before the silence
// (65% of it). Hiss alone passes a filter shaped for the tape signal with
// half-waves of a pulse's length, but seldom as strong as that, and never
// six times running. It is also back, whatever its level, after
// 16 half-waves within a factor of 1.5 of each other in length and in peak:
// a leader, which hiss never makes.
constexpr std::size_t resume_halves = 6, leader_halves = 16;
constexpr double resume_length_spread = 2.5, resume_peak_spread = 2.0, resume_of_level = 0.65;
// A signal after a pause may be far weaker than the one before it (a C16
// turbo's short halves at 22050 Hz, after its ROM loader's long pulses),
// and start with no leader: it is also back where those six half-waves
// each stand twice the hiss of the pause above it (its half-waves' mean
// peak, over the last 256 or so, once 32 are heard: slow enough that the
// signal's first half-waves raise it little). Hiss seldom reaches twice its
// mean peak once, and never six times running, alike.
constexpr double resume_of_hiss = 2.0;
constexpr std::size_t hiss_least = 32, hiss_span = 256;
constexpr double leader_half_spread = 1.5;

// The halves of one pulse match when they differ by less than this fraction
// of their mean (a short and a medium half differ by 32%, a medium and a
// long one by 26%): a vote for the polarity. A pulse's length does not
// depend on where its middle edge falls, which hiss moves by a sample or
// more at low rates, so only halves that differ threefold (an edge lost or
// added) make it unclear.
constexpr double halves_match = 0.2, halves_unequal = 1.0;

struct half {
    double start, length;
    float peak;
    bool rising;        // starts with a rising edge
    bool merged;        // a click or hiss was taken into it
    bool weak = false;   // weaker than the signal around it
    bool faint = false;  // far weaker
    bool silent = false;
};

// Room for the half-waves kept while the polarity is not yet known. In
// hiss that is max_undecided of them (8 MiB) before it is settled by
// default, and a survey makes a reader for every stretch of every channel:
// the room is handed from one reader to the next, so that its pages are not
// given back and faulted in again (a third of a second a minute of stereo
// hiss took in the kernel alone).
class spare_room {
public:
    static std::vector<half> take() {
        const std::lock_guard<std::mutex> hold(mutex());
        std::vector<half>& kept = room();
        std::vector<half> v;
        v.swap(kept);
        return v;
    }
    static void give(std::vector<half>&& v) {
        v.clear();
        const std::lock_guard<std::mutex> hold(mutex());
        if (v.capacity() > room().capacity()) room().swap(v);
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<half>& room() {
        static std::vector<half> r;
        return r;
    }
};

// A pulse as the tape gives it.
struct pulse {
    double start, length;
    bool unclear;  // a click, a faint half-wave, or halves three times apart
    bool gap;      // a silence, a dropout or noise
    double first_half;  // its first half-wave's length (0: not two halves)
};

// The last few of a stream, oldest first, in a fixed ring.
template <typename T, std::size_t N>
class ring {
    static_assert((N & (N - 1)) == 0, "a power of two");

public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](std::size_t i) { return a_[(head_ + i) & (N - 1)]; }
    T& front() { return (*this)[0]; }
    T& back() { return (*this)[size_ - 1]; }
    void push_back(const T& v) { a_[(head_ + size_++) & (N - 1)] = v; }
    void pop_front() { head_ = (head_ + 1) & (N - 1), --size_; }
    // Drops the two after the `i`th.
    void erase_two_after(std::size_t i) {
        for (std::size_t k = i + 1; k + 2 < size_; ++k) (*this)[k] = (*this)[k + 2];
        size_ -= 2;
    }

private:
    std::array<T, N> a_{};
    std::size_t head_ = 0, size_ = 0;
};

// Edges in, pulses out (appended to `out`).
class pulse_reader {
public:
    pulse_reader() : undecided_(spare_room::take()) {}
    pulse_reader(const pulse_reader&) = delete;
    pulse_reader& operator=(const pulse_reader&) = delete;
    ~pulse_reader() { spare_room::give(std::move(undecided_)); }

    void add(const edge& e) {
        if (have_edge_) glitches(half{last_.seconds, e.seconds - last_.seconds, e.peak, last_.rising, false});
        last_ = e;
        have_edge_ = true;
    }

    void finish() {
        while (!recent_.empty()) {
            silences(recent_.front());
            recent_.pop_front();
        }
        while (!delayed_.empty()) {
            pair(delayed_.front());
            delayed_.pop_front();
        }
        if (polarity_ == 0) settle(mismatched_falling_ <= mismatched_rising_ ? -1 : 1);
        if (open_ && halves_ == 2 && !gap_) close(pulse_end_);
        open_ = false;
    }

    std::vector<pulse> out;
    bool falling_first() const { return polarity_ <= 0; }

private:
    double glitch_limit() const { return std::clamp(glitch_of_short * short_half_, glitch_least, glitch_most); }

    // Stage 2a: a half-wave far shorter than the tape's short ones is a
    // click or hiss; it and the half-waves either side of it are one.
    void glitches(const half& h) {
        recent_.push_back(h);
        while (recent_.size() >= 4) {
            const double limit = glitch_limit();
            const auto hiss = [&](std::size_t i) {
                const double x = recent_[i].length;
                return x < limit && (x < squashed_of_short * short_half_ ||
                                     recent_[i - 1].length + x + recent_[i + 1].length <= squashed_span * short_half_);
            };
            const bool one = hiss(1), two = hiss(2);
            if (!one) {
                const double kept = recent_.front().length;
                short_half_ *=
                    kept < short_half_ ? 1 - short_step * (1 - short_quantile) : 1 + short_step * short_quantile;
                silences(recent_.front());
                recent_.pop_front();
                continue;
            }
            // Two short ones: the click sits at an edge, and which edge is
            // the signal's own is the one that leaves the halves alike.
            const double a = recent_[0].length, b = recent_[1].length, c = recent_[2].length, d = recent_[3].length;
            const bool later = two && std::abs(a - (b + c + d)) < std::abs(a + b + c - d);
            const std::size_t at = later ? 1 : 0;
            half& m = recent_[at];
            m.length += recent_[at + 1].length + recent_[at + 2].length;
            m.peak = std::max({m.peak, recent_[at + 1].peak, recent_[at + 2].peak});
            m.merged = true;
            recent_.erase_two_after(at);
            break;
        }
    }

    // Stage 2b: silences, and where the signal comes back.
    void silences(const half& incoming) {
        // Marked where it is kept: bytes written just before the whole is
        // copied would stall the copy.
        delayed_.push_back(incoming);
        half& h = delayed_.back();
        const bool too_long = h.length > max_half;
        h.weak = h.peak < weak_of_level * level_;
        h.faint = h.peak < faint_of_level * level_;
        weak_run_ = h.weak ? weak_run_ + 1 : 0;
        const bool weak_run = weak_run_ >= weak_for_silence;
        if (!silent_ && (too_long || weak_run || hissing())) {
            silent_ = true;
            hiss_ = 0, hiss_count_ = 0;
            // It began with the weak run, or (hiss) after the last half-wave
            // as strong as the signal.
            std::size_t i = delayed_.size();
            if (!too_long && weak_run)
                while (i > delayed_.size() - weak_for_silence) delayed_[--i].silent = true;
            else if (!too_long)
                while (i > 0 && delayed_[i - 1].peak < resume_of_level * level_) delayed_[--i].silent = true;
        }
        h.silent = silent_;
        if (silent_) {
            hiss_ += (h.peak - hiss_) / double(std::min(++hiss_count_, hiss_span));
            const double least = hiss_count_ < hiss_least ? resume_of_level * level_
                                                          : std::min(resume_of_level * level_, resume_of_hiss * hiss_);
            if ((level_ > 0 && resumes(resume_halves, resume_length_spread, resume_peak_spread, least)) ||
                resumes(leader_halves, leader_half_spread, leader_half_spread, 0)) {
                silent_ = false;
                level_ = 0;
                for (std::size_t i = delayed_.size() - resume_halves; i < delayed_.size(); ++i) level_ += delayed_[i].peak;
                level_ /= double(resume_halves);
            }
        }
        if (!h.silent && !h.weak) level_ += (h.peak - level_) / 32;
        while (delayed_.size() > leader_halves) {
            pair(delayed_.front());
            delayed_.pop_front();
        }
    }

    // Whether the last few half-waves are on average too weak for the signal.
    bool hissing() {
        if (delayed_.size() < hiss_halves || level_ <= 0) return false;
        double sum = 0;
        for (std::size_t i = delayed_.size() - hiss_halves; i < delayed_.size(); ++i) sum += delayed_[i].peak;
        return sum < hiss_of_level * level_ * double(hiss_halves);
    }

    // Whether the last `n` half-waves are a signal: of a pulse's length,
    // within `lengths` and `peaks` of each other, none weaker than `least`.
    // If so they are marked so.
    bool resumes(std::size_t n, double lengths, double peaks, double least) {
        if (delayed_.size() < n) return false;
        const std::size_t first = delayed_.size() - n;
        // Newest first: each test, once failed, fails for more half-waves
        // too, and in hiss one fails within a few.
        const double glitch = glitch_limit();
        double shortest = max_half, longest = 0, weakest = 1e9, strongest = 0;
        for (std::size_t i = delayed_.size(); i-- > first;) {
            const half& h = delayed_[i];
            shortest = std::min(shortest, h.length), longest = std::max(longest, h.length);
            weakest = std::min<double>(weakest, h.peak), strongest = std::max<double>(strongest, h.peak);
            if (shortest < glitch || longest > max_half || longest > lengths * shortest ||
                strongest > peaks * weakest || weakest < least)
                return false;
        }
        for (std::size_t i = first; i < delayed_.size(); ++i) delayed_[i].silent = false, delayed_[i].weak = delayed_[i].faint = false;
        return true;
    }

    // Stage 3: which edge starts a pulse, and the pulses.
    void pair(const half& h) {
        // Each pair of alike neighbours is a vote for the pairing that puts
        // them in one pulse; a pair that differs, a vote against.
        if (has_previous_ && !previous_.silent && !h.silent && !previous_.merged && !h.merged && !previous_.weak &&
            !h.weak) {
            (previous_.rising ? mismatched_rising_ : mismatched_falling_) +=
                match(previous_.length, h.length, halves_match) ? 0 : 1;
            if (polarity_ != 0 && ++votes_ % review_every == 0) {
                mismatched_falling_ *= review_decay, mismatched_rising_ *= review_decay;
                const double now = polarity_ > 0 ? mismatched_rising_ : mismatched_falling_;
                const double other = polarity_ > 0 ? mismatched_falling_ : mismatched_rising_;
                if (now >= review_votes && other * review_ratio <= now) polarity_ = -polarity_;
            }
        }
        previous_ = h;
        has_previous_ = true;
        if (polarity_ == 0) {
            undecided_.push_back(h);
            const double a = mismatched_falling_, b = mismatched_rising_;
            if (std::max(a, b) >= settle_votes && std::min(a, b) * settle_ratio <= std::max(a, b))
                settle(a < b ? -1 : 1);
            else if (undecided_.size() >= max_undecided)
                settle(b < a ? 1 : -1);
            return;
        }
        build(h);
    }

    void settle(int polarity) {
        polarity_ = polarity;
        for (const half& u : undecided_) build(u);
        spare_room::give(std::move(undecided_));
        undecided_ = {};
    }

    void build(const half& h) {
        const bool starts = h.rising == (polarity_ > 0) && (!h.silent || previous_active_);
        previous_active_ = !h.silent;
        if (starts) {
            if (open_) close(h.start);
            open_ = true;
            pulse_start_ = h.start;
            halves_ = 0;
            unclear_ = gap_ = false;
        }
        if (!open_) return;
        if (halves_ == 1 && !match(first_length_, h.length, halves_unequal)) unclear_ = true;
        if (halves_ == 0) first_length_ = h.length;
        ++halves_;
        unclear_ = unclear_ || h.merged || h.faint;
        gap_ = gap_ || h.silent;
        pulse_end_ = h.start + h.length;
    }

    void close(double end) {
        out.push_back({pulse_start_, end - pulse_start_, unclear_ || (halves_ != 2 && !gap_), gap_,
                       halves_ == 2 ? first_length_ : 0});
    }

    // Votes for a polarity: settled once one pairing has at least 16
    // mismatches and four times as many as the other; reviewed every 64
    // votes over about the last 200 (each review keeps 0.995^64 of the
    // count), turned when the other has a sixth as many and at least 30.
    static constexpr double settle_votes = 16, settle_ratio = 4;
    static constexpr std::size_t review_every = 64;
    static constexpr double review_decay = 0.7256, review_votes = 30, review_ratio = 6;
    static constexpr std::size_t max_undecided = 1 << 18;

    edge last_{};
    bool have_edge_ = false;
    ring<half, 4> recent_;
    double short_half_ = 150e-6;  // the tape's short half-waves, as followed
    ring<half, 32> delayed_;
    bool silent_ = true;
    std::size_t weak_run_ = 0;  // weak half-waves in a row
    double level_ = 0;
    double hiss_ = 0;  // the mean peak of a silence's half-waves
    std::size_t hiss_count_ = 0;

    double mismatched_falling_ = 0, mismatched_rising_ = 0;  // by the edge that starts the pair
    std::size_t votes_ = 0;
    int polarity_ = 0;                    // +1 rising edges start pulses, -1 falling, 0 not known yet
    half previous_{};
    bool has_previous_ = false;
    std::vector<half> undecided_;

    bool previous_active_ = false;
    bool open_ = false, unclear_ = false, gap_ = false;
    double pulse_start_ = 0, pulse_end_ = 0, first_length_ = 0;
    int halves_ = 0;
};

// --- Leaders --------------------------------------------------------------

// A leader's pulses are the ROM loader's short ones: 200 to 450 us on a C64
// or a VIC-20, about 500 us on a C16 or Plus/4 (PAL or NTSC, a few per cent
// off speed, and shorter by up to a sample where a recording's rate rounds
// them).
constexpr double leader_shortest = 200e-6, leader_longest = 600e-6;
constexpr std::size_t leader_pulses = 256;
constexpr double leader_spread = 0.125;

// Runs of alike pulses, the Commodore leader among them.
class run_tracker {
public:
    // Whether `p` continues the run; a run it breaks is reported by `ended`.
    template <typename F>
    void add(const pulse& p, F ended) {
        if (!p.gap && !p.unclear && count_ > 0 && std::abs(p.length - mean_) <= leader_spread * mean_) {
            ++count_;
            sum_ += p.length;
            mean_ = sum_ / double(count_);
            end_ = p.start + p.length;
            return;
        }
        if (count_ > 0) ended(*this);
        count_ = p.gap || p.unclear ? 0 : 1;
        sum_ = mean_ = p.length;
        start_ = p.start;
        end_ = p.start + p.length;
    }
    template <typename F>
    void finish(F ended) {
        if (count_ > 0) ended(*this);
        count_ = 0;
    }
    bool is_leader() const {
        return count_ >= leader_pulses && mean_ >= leader_shortest && mean_ <= leader_longest;
    }
    std::size_t count_ = 0;
    double sum_ = 0, mean_ = 0, start_ = 0, end_ = 0;
};

// --- The ROM loader's bytes and blocks ------------------------------------

enum class kind { short_pulse, medium_pulse, long_pulse, other };

// The pulse lengths of a C64 relative to its short pulse (0x30, 0x42 and
// 0x56 units); a VIC-20's are near enough for a start, and both are then
// followed as they are read. A C16 or Plus/4 writes the same blocks with
// pulses of one, two and four times its short one. Whose they are is told
// by the first pulse after a leader that is longer than a short one, the
// long pulse of a byte's marker: over three times a short one on a C16.
// (By the leader's length the two can be told apart only at the nominal
// speed and at high rates.)
constexpr double medium_of_short = 66.0 / 48, long_of_short = 86.0 / 48;
constexpr double c264_medium_of_short = 2, c264_long_of_short = 4;
constexpr double beyond_short = 1.5, c264_long_beyond = 3;
// A marker's long pulse that tells a C64 is at most this part of a short
// pulse (between it and a C16's, it tells nothing); the medium pulse after
// it must confirm it, and so must a C16's once the tape was told a C64's:
// a C64's medium pulse is 1.38 of a short one, a C16's 2.
constexpr double long_at_most = 2.2;
constexpr double medium_confirms[2] = {1.2, 1.65}, c264_medium_confirms[2] = {1.7, 2.5};
// A pulse is read clearly as one length when it lies in the nearer 38% of
// the way to the next; between, it is unclear.
constexpr double clear_part = 0.38;
// A bit is read clearly when its pulses differ by at least this part of the
// difference between a medium and a short pulse (to be read clearly wrong,
// hiss must move them apart by 1.25 times that difference), and add up to a
// short and a medium one within this part.
constexpr double bit_margin = 0.25, bit_sum_margin = 0.25;
// A pulse read long inside a byte is taken for a medium one that hiss
// lengthened when it and the pulse before it add up to their pair within
// this part (and when it starts a bit, it and the pair before it to a pair
// and a medium pulse within half of it).
constexpr double pair_part = 0.1;
// Pulses in a row that make a leader (or the short pulses after a copy).
constexpr std::size_t run_for_leader = 16;
// The lengths follow the pulses read clearly, over about 16 of each.
constexpr double follow = 1.0 / 16;
// A gap longer than this ends a copy; a shorter one is a dropout inside it.
constexpr double copy_gap = 0.15;
// A second copy starts within this long of the first one's end.
constexpr double copies_apart = 1.0;
// A byte this many bytes' time or less after an end marker shows it false:
// after a true one come 78 or 79 short pulses, over 2.3 bytes' time.
constexpr double after_false_end = 1.5;
// Two pieces of a C16's long pulse add up to it within this part of it.
constexpr double split_long_part = 0.15;
constexpr std::size_t countdown = 9;
constexpr std::size_t header_size = 192;
constexpr std::size_t most_bytes = 65536 + countdown + 1;
// The most bytes in doubt in a block that its checksum may settle together.
constexpr std::size_t most_resolved = 8;

// How a bit was read: +2 or -2 clearly a 1 or a 0, +1 or -1 unclearly, 0 not.
using bit_reads = std::array<std::int8_t, 9>;

constexpr std::size_t no_tap = std::size_t(-1);

struct slot {
    std::uint8_t value = 0;
    bool present = false, clean = false;
    double seconds = 0;
    bit_reads bits{};  // the eight bits, least significant first, and the parity bit
    // Where the byte's first pulse lies in the TAP data, and whether its 20
    // pulses were read there, one TAP byte each (else the byte was cut
    // short, and where the next byte starts tells whether 20 pulses lie
    // between); and the lengths of a short, a medium and a long pulse there.
    std::size_t tap_at = no_tap;
    bool counted = false;
    std::array<float, 3> lengths{};
};

struct copy {
    double leader_start = 0;  // where the leader before it starts
    double anchor = 0;        // where byte 0 starts
    double byte_seconds = 0;  // how long a byte takes
    std::vector<slot> slots;
    std::size_t end = 0;      // bytes before the end marker, when it was read
    bool end_read = false;
    double end_seconds = 0;
    int first = 0;            // +1 the first copy, -1 the second, 0 not known
    // Where the end marker's pulses start in the TAP data, one byte each,
    // and the lengths of a short, a medium and a long pulse there.
    std::size_t end_tap = no_tap;
    bool end_medium = false;  // the marker is long and medium, not long and short
    std::array<float, 3> end_lengths{};

    const slot* at(std::size_t i) const { return i < slots.size() && slots[i].present ? &slots[i] : nullptr; }
    double when(std::size_t i) const {
        const slot* s = at(i);
        return s ? s->seconds : anchor + double(i) * byte_seconds;
    }
};

struct block {
    double start_seconds;
    std::vector<std::uint8_t> payload;
    std::vector<doubtful_byte> doubtful;
    bool holds;
};

class kernal_reader {
public:
    // `tap_at`: where the pulse lies in the TAP data, when in one byte.
    //
    // On a C16 a byte's marker starts with a pulse four short ones long,
    // whose halves are 1 ms each: hiss on the sagging flat top of one can
    // dip past zero and split the pulse in two, both unclear. The same
    // bytes sag alike in both copies, so the byte was lost in both. Right
    // after a byte, two unclear pulses that add up to a long one are one.
    void add(const pulse& p, std::size_t tap_at = no_tap) {
        if (held_) {
            const auto [h, h_tap] = *held_;
            held_.reset();
            if (p.unclear && !p.gap && std::abs(h.length + p.length - long_) <= split_long_part * long_)
                return take({h.start, h.length + p.length, false, false, 0}, h_tap);
            take(h, h_tap);
        }
        if (c264_ && told_ && after_byte_ && p.unclear && !p.gap && p.length < long_) {
            held_ = {p, tap_at};
            return;
        }
        take(p, tap_at);
    }

private:
    void take(const pulse& p, std::size_t tap_at) {
        const bool after_byte = after_byte_;
        after_byte_ = false;
        if (unconfirmed_) confirm(!p.gap && starts_byte(p, after_byte));
        runs_.add(p, [&](const run_tracker& r) { run_ended(r); });
        if (!known_) return;
        if (telling_ && !p.gap && !p.unclear) {
            const double t = p.length / short_;
            if (candidate_ != 0) {
                // A marker's long pulse is followed by its medium one: hiss
                // (two short pulses run together, a long one split in two,
                // or a marker's long pulse unclear and its medium one next)
                // is not.
                const bool c264 = candidate_ > 0;
                const auto& medium = c264 ? c264_medium_confirms : medium_confirms;
                if (t > medium[0] && t < medium[1]) {
                    if (!told_ || c264 != c264_) set_lengths(short_, c264);
                    telling_ = false, told_ = true;
                }
                candidate_ = 0;
            } else if (t > beyond_short) {
                const bool c264 = t > c264_long_beyond;
                if (told_ && c264 == c264_)
                    telling_ = false;
                else if (!told_ && c264)
                    set_lengths(short_, true), telling_ = false, told_ = true;
                else if (c264 || t < long_at_most)
                    candidate_ = c264 ? 1 : -1;
            }
        }
        if (p.gap) {
            drop_byte();
            if (p.length > copy_gap) close_copy();
            retime_trailer();
            return;
        }
        const auto [k, clear] = classify(p);
        if (k == kind::other) {
            drop_byte();
            return;
        }
        if (starts_byte(p, after_byte)) {
            drop_byte();
            in_byte_ = true;
            byte_start_ = p.start;
            pulses_.clear();
            after_a_byte_ = after_byte;
        }
        if (!in_byte_) return;
        pulses_.push_back({p.length, k, clear, p.unclear, tap_at});
        const auto shorts = [&](std::size_t from) {
            return std::all_of(pulses_.begin() + std::ptrdiff_t(from), pulses_.end(),
                               [](const read_pulse& q) { return q.k == kind::short_pulse; });
        };
        // The end marker: long and short, then the short pulses after the
        // copy; some tapes write long and medium before them. No two bits
        // hold four shorts in a row, so a marker whose medium pulse reads
        // short does not end the copy.
        if ((pulses_.size() == 5 && shorts(1)) || (pulses_.size() == 6 && shorts(2))) {
            // Read unclearly (after a dropout, in hiss) it may be a byte's
            // marker and bits: the copy is not ended on it.
            if (std::all_of(pulses_.begin(), pulses_.end(), [](const read_pulse& q) { return q.clear; })) {
                end_marker();
                in_byte_ = false;
            }
        } else if (pulses_.size() == 20) {
            byte_read();
            in_byte_ = false;
            after_byte_ = true;
        }
    }

    // Whether a pulse starts a byte: a long one. A C64's or VIC-20's long
    // pulse is only 1.3 times its medium one, and hiss moves an edge now and
    // then by a sixth of that. No long pulse lies inside a byte, so one there
    // that reads only a little long is a medium pulse that hiss lengthened
    // (and a pulse next to it shortened as much). It stays in the byte when
    // it reads between the two lengths, or shorter than a long one and
    // adding up with the pulses before it to a pair (see `pair_part`); and
    // when the byte's marker was read clearly long or right after a byte
    // (else the byte may have started at two pulses read as one, and the
    // pulse be the next byte's marker). The bit it is in is then unclear (in
    // the marker, it does not keep the byte from being framed). Right after
    // a byte, a medium pulse that reads a little long is the next one's
    // marker, which hiss shortened. A byte read so waits for the pulse after
    // it to confirm its framing: the next byte's marker. (A C16's long pulse
    // is twice its medium one: what reads between is two pulses read as one.)
    bool starts_byte(const pulse& p, bool after_byte) const {
        if (p.gap) return false;
        const auto [k, clear] = classify(p);
        const bool plain = !c264_ && !p.unclear && p.length > medium_ && p.length < long_;
        const bool between = plain && !clear;
        if (k == kind::long_pulse) {
            if (!in_byte_ || !plain || !(pulses_[0].clear || after_a_byte_)) return true;
            // With the pulse before it, a pair (a bit, or the marker); or,
            // when it starts a bit, with the pair before it, that pair and a
            // medium pulse.
            const std::size_t n = pulses_.size();
            const auto near = [&](std::size_t from, double want, double part) {
                double sum = p.length;
                for (std::size_t i = from; i < n; ++i) sum += pulses_[i].length;
                return std::abs(sum - want) <= part * want;
            };
            const double pair = n == 1 || n == 2 ? long_ + medium_ : short_ + medium_;
            return !between &&
                   !(n % 2 == 1 ? near(n - 1, pair, pair_part) : near(n - 2, pair + medium_, pair_part / 2));
        }
        return k == kind::medium_pulse && after_byte && between;
    }

public:
    void finish() {
        if (held_) take(held_->first, held_->second), held_.reset();
        if (unconfirmed_) confirm(false);
        runs_.finish([&](const run_tracker& r) { run_ended(r); });
        drop_byte();
        close_copy();
        flush_first();
        if (header_) program_from(&*header_, nullptr);
        header_.reset();
        retime_trailer(true);
        apply_rewrites();
    }

    std::vector<kernal_program> programs;
    // Where each copy read lies: from its leader's start to its end.
    std::vector<std::pair<double, double>> rom_blocks;
    // Whether the tape's machine was told, and whether it is a C16 or Plus/4.
    bool told() const { return told_; }
    bool c264() const { return c264_; }

    // The TAP data whose pulses of a block read whole are set to the lengths
    // of their kinds, counted on `clock`; where the pulses already given
    // lie in it is forgotten (they were counted again).
    void write_into(std::vector<std::uint8_t>* tap, double clock) {
        tap_ = tap, clock_ = clock;
        for (read_pulse& q : pulses_) q.tap_at = no_tap;
        rewrites_.clear();
        trailer_.reset();
        rom_spans_.clear();
    }

    // Whether the pulse at `at` in the TAP data lies in a ROM block (or
    // may: a block under way), whose pulses are this reader's to set.
    bool rom_pulse(std::size_t at) const {
        // A block under way may set the pulses from its first copy's first,
        // from its trailer's, or from the copy under way's where two bytes
        // of its countdown read (looked at last: this is asked of every
        // pulse).
        if ((first_ && at >= first_tap(&*first_)) || (trailer_ && at >= trailer_->tap)) return true;
        if (copy_ && at >= first_tap(&*copy_)) {
            const countdown_read r = countdown_of(*copy_);
            if (r.firsts + r.seconds >= 2) return true;
        }
        const auto after = std::upper_bound(rom_spans_.begin(), rom_spans_.end(), at,
                                            [](std::size_t x, const span& s) { return x < s.from; });
        return after != rom_spans_.begin() && at < std::prev(after)->to;
    }
    // The pulse at `at` in the TAP data as the pulses `u`, once the tape is read.
    void replace(std::size_t at, std::vector<std::uint8_t> u) { rewrites_.push_back({at, at + 1, std::move(u)}); }

private:
    struct read_pulse {
        double length;
        kind k;
        bool clear;    // of its length, and not flagged
        bool flagged;  // unclear to the pulse reader
        std::size_t tap_at;
    };

    std::pair<kind, bool> classify(const pulse& p) const {
        const double x = p.length;
        if (x > long_ * 1.5) return {kind::other, false};
        bool clear = !p.unclear;
        if (x < medium_) {
            const double f = (x - short_) / (medium_ - short_);
            if (f < 0.5) return {kind::short_pulse, clear && f < clear_part && x > 0.6 * short_};
            return {kind::medium_pulse, clear && f > 1 - clear_part};
        }
        const double f = (x - medium_) / (long_ - medium_);
        if (f < 0.5) return {kind::medium_pulse, clear && f < clear_part};
        return {kind::long_pulse, clear && f > 1 - clear_part && x < 1.3 * long_};
    }

    void learn(kind k, double x) {
        double& c = k == kind::short_pulse ? short_ : k == kind::medium_pulse ? medium_ : long_;
        c += (x - c) * follow;
    }

    // The lengths follow the tape through its own structure, whether or not
    // the byte read cleanly: a marker is a long and a medium pulse, each bit
    // a short and a medium one.
    void learn_byte() {
        if (pulses_[0].k == kind::long_pulse && pulses_[1].k == kind::medium_pulse) {
            learn(kind::long_pulse, pulses_[0].length);
            learn(kind::medium_pulse, pulses_[1].length);
        }
        for (std::size_t i = 2; i + 1 < pulses_.size(); i += 2) {
            const read_pulse &a = pulses_[i], &b = pulses_[i + 1];
            if (a.k == b.k || a.k == kind::long_pulse || b.k == kind::long_pulse) continue;
            learn(kind::short_pulse, std::min(a.length, b.length));
            learn(kind::medium_pulse, std::max(a.length, b.length));
        }
    }

    // A run of alike pulses: a leader when long enough and of a short
    // pulse's length, which sets (or resets) the lengths to read by.
    void run_ended(const run_tracker& r) {
        if (r.count_ < run_for_leader || r.mean_ < leader_shortest || r.mean_ > leader_longest) return;
        if (known_) {
            // The same tape at another speed: every length scales alike.
            const double scale = r.mean_ / short_;
            medium_ *= scale, long_ *= scale, byte_seconds_ *= scale;
            short_ = r.mean_;
        } else {
            set_lengths(r.mean_, false);
            known_ = true;
        }
        telling_ = true, candidate_ = 0;
        drop_byte();
        close_copy();
        // A leader broken by a click is still one leader.
        if (leader_end_ == 0 || r.start_ - leader_end_ > 0.05) leader_start_ = r.start_;
        leader_end_ = r.end_;
    }

    void set_lengths(double short_length, bool c264) {
        short_ = short_length;
        medium_ = short_ * (c264 ? c264_medium_of_short : medium_of_short);
        long_ = short_ * (c264 ? c264_long_of_short : long_of_short);
        byte_seconds_ = long_ + medium_ + 9 * (short_ + medium_);
        c264_ = c264;
    }

    // A byte cut short by a gap, a long pulse or the end: its place is kept
    // as read in doubt.
    void drop_byte() {
        if (in_byte_ && pulses_.size() >= 2 && pulses_[1].k != kind::short_pulse) {
            mark_place(put(0, false, {}), false);
        }
        in_byte_ = false;
    }

    // Where the byte put in `at` (if it went anywhere) lies in the TAP data.
    void mark_place(slot* at, bool whole) {
        if (!at) return;
        bool in_a_row = true;
        for (std::size_t k = 0; k < pulses_.size(); ++k)
            in_a_row = in_a_row && pulses_[k].tap_at != no_tap && pulses_[k].tap_at == pulses_[0].tap_at + k;
        at->tap_at = in_a_row ? pulses_[0].tap_at : no_tap;
        at->counted = whole && in_a_row;
        at->lengths = {float(short_), float(medium_), float(long_)};
    }

    void byte_read() {
        // The marker only frames the byte: a pulse misread as long starts a
        // byte whose bits and parity fail, so a marker read as long and
        // medium (or a little long) will do. A byte whose framing is unsure
        // and whose marker is not so is no byte.
        const bool framed = !pulses_[0].flagged && !pulses_[1].flagged && pulses_[1].k != kind::short_pulse;
        // Started by a long pulse that read a little short, or kept going
        // past one that read a little long.
        const bool unsure = pulses_[0].k != kind::long_pulse ||
                            std::any_of(pulses_.begin() + 1, pulses_.end(),
                                        [](const read_pulse& q) { return q.k == kind::long_pulse; });
        if (unsure && pulses_[1].k == kind::short_pulse) return;
        bool clean = framed;
        int value = 0, ones = 0;
        bit_reads bits{};
        for (int bit = 0; bit < 9; ++bit) {
            const read_pulse& a = pulses_[std::size_t(2 + 2 * bit)];
            const read_pulse& b = pulses_[std::size_t(3 + 2 * bit)];
            // A bit is a short and a medium pulse, medium first for a 1:
            // which comes first is read from their difference, clearly when
            // it is a quarter of the difference of the lengths or more (and
            // their sum a bit's).
            const bool one = a.length > b.length;
            const double pair = short_ + medium_;
            const bool clear = !a.flagged && !b.flagged && a.k != kind::long_pulse && b.k != kind::long_pulse &&
                               std::abs(a.length - b.length) >= bit_margin * (medium_ - short_) &&
                               std::abs(a.length + b.length - pair) <= bit_sum_margin * pair;
            clean = clean && clear;
            bits[std::size_t(bit)] = std::int8_t((one ? 1 : -1) * (clear ? 2 : 1));
            if (bit < 8) value |= int(one) << bit;
            ones += one;
        }
        // A byte framed from an unclear marker, or failing its parity with
        // every bit read clearly (so one of them is wrong), has no bit that
        // is sure. (Failing it with a bit unclear, that bit is the suspect.)
        const bool all_clear = std::all_of(bits.begin(), bits.end(), [](std::int8_t b) { return std::abs(b) == 2; });
        if (!framed || (ones % 2 == 0 && all_clear)) make_unclear(bits);
        clean = clean && ones % 2 == 1;
        learn_byte();
        slot* at = put(std::uint8_t(value), clean, bits);
        mark_place(at, true);
        if (at && unsure) unconfirmed_ = std::size_t(at - copy_->slots.data());
    }

    static void make_unclear(bit_reads& bits) {
        for (std::int8_t& b : bits) b = std::int8_t(b > 0 ? 1 : -1);
    }

    // A byte whose framing is unsure, once the pulse after it shows whether
    // the next byte's marker follows: if not, its bits are all unclear.
    void confirm(bool framed) {
        if (copy_ && !framed && *unconfirmed_ < copy_->slots.size()) {
            slot& s = copy_->slots[*unconfirmed_];
            s.clean = false;
            make_unclear(s.bits);
        }
        unconfirmed_.reset();
    }

    // A byte into the copy under way, at the place its start time gives it;
    // the slot it went to, if any.
    slot* put(std::uint8_t value, bool clean, const bit_reads& bits) {
        if (copy_ && ended_at_ >= 0) {
            if (byte_start_ - ended_at_ > after_false_end * byte_seconds_) {
                close_copy();
            } else {
                copy_->end_read = false, copy_->end_tap = no_tap;
                ended_at_ = -1;
            }
        }
        if (!copy_) {
            trailer_.reset();
            copy_.emplace();
            copy_->leader_start = leader_end_ > 0 ? leader_start_ : byte_start_;
            copy_->anchor = leader_end_ > 0 ? leader_end_ : byte_start_;
            last_index_ = 0;
            has_last_ = false;
        }
        copy& c = *copy_;
        std::size_t index;
        const bool counting = clean && (value & 0x7F) >= 1 && (value & 0x7F) <= countdown;
        if (!has_last_) {
            index = counting ? countdown - (value & 0x0F)
                             : std::size_t(std::max(0.0, std::round((byte_start_ - c.anchor) / byte_seconds_)));
            c.anchor = byte_start_ - double(index) * byte_seconds_;
        } else {
            const double steps = std::round((byte_start_ - last_start_) / byte_seconds_);
            if (steps == 1 && last_clean_ && clean) byte_seconds_ += (byte_start_ - last_start_ - byte_seconds_) / 8;
            index = last_index_ + std::size_t(std::max(0.0, steps));
        }
        if (index >= most_bytes) return nullptr;
        if (c.slots.size() <= index) c.slots.resize(index + 1);
        // Two byte starts less than half a byte apart: a pulse misread as
        // long started one of them in the middle of a byte. The one read
        // cleanly keeps the place.
        if (c.slots[index].present && (c.slots[index].clean || !clean)) return nullptr;
        c.slots[index] = {value, true, clean, byte_start_, bits};
        c.byte_seconds = byte_seconds_;
        // Places are counted from the last byte read cleanly: one started
        // by a pulse misread as long may lie half a byte off.
        if (clean || !has_last_ || !last_clean_) last_index_ = index, last_start_ = byte_start_, last_clean_ = clean;
        has_last_ = true;
        return &c.slots[index];
    }

    void end_marker() {
        if (!copy_ || !has_last_) return;
        const double steps = std::round((byte_start_ - last_start_) / byte_seconds_);
        copy_->end = std::max(copy_->slots.size(), last_index_ + std::size_t(std::max(1.0, steps)));
        copy_->end_read = true;
        copy_->end_seconds = byte_start_;
        if (pulses_[0].tap_at != no_tap && pulses_[1].tap_at == pulses_[0].tap_at + 1) {
            copy_->end_tap = pulses_[0].tap_at;
            copy_->end_medium = pulses_[1].k == kind::medium_pulse;
            copy_->end_lengths = {float(short_), float(medium_), float(long_)};
        }
        // The short pulses after it (or a pause) close the copy. On a C16 a
        // medium pulse that hiss split is two short ones: a byte's marker
        // and its first bits may then read as an end marker, and then the
        // next byte follows at once.
        ended_at_ = byte_start_;
    }

    void close_copy() {
        ended_at_ = -1;
        if (!copy_) return;
        copy c = std::move(*copy_);
        copy_.reset();
        has_last_ = false;
        leader_end_ = 0;
        if (!c.end_read) {
            c.end = c.slots.size();
            c.end_seconds = c.when(c.end);
        }
        const auto [firsts, seconds, moved] = countdown_of(c);
        if (firsts + seconds < 2) return;  // no ROM block: another loader's, or noise
        if (moved > 0) c.slots.erase(c.slots.begin()), --c.end, c.anchor += c.byte_seconds;
        if (moved < 0) c.slots.insert(c.slots.begin(), slot{}), ++c.end, c.anchor -= c.byte_seconds;
        rom_blocks.emplace_back(c.leader_start, c.end_seconds);
        c.first = firsts > seconds ? 1 : -1;
        if (c.first > 0) {
            flush_first();
            first_ = std::move(c);
            return;
        }
        if (first_ && c.leader_start - first_->end_seconds < copies_apart) {
            combine(&*first_, &c);
            first_.reset();
        } else {
            flush_first();
            combine(nullptr, &c);
        }
    }

    // Bytes in doubt in a block whose checksum was read: where just one
    // choice of their values, each among those its bits leave it
    // (`could_be`: its place in the copy, and those values), makes the
    // checksum hold, they take those values, as one byte in doubt takes the
    // checksum's. They stay in doubt, and the checksum, which could check
    // nothing, does not hold. `sum` is the checksum over the block as read.
    static void resolve(const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& could_be,
                        std::uint8_t sum, std::vector<std::uint8_t>& payload, std::vector<int>& known) {
        // The values the bytes in doubt must XOR to, and how many choices
        // of the first k of them make each XOR (two standing for more).
        std::uint8_t want = sum;
        for (const auto& [i, values] : could_be) want ^= payload[i - countdown];
        std::vector<std::uint8_t> ways((could_be.size() + 1) * 256, 0);
        const auto at = [&](std::size_t k, unsigned x) -> std::uint8_t& { return ways[k * 256 + x]; };
        at(0, 0) = 1;
        for (std::size_t k = 0; k < could_be.size(); ++k)
            for (unsigned x = 0; x < 256; ++x)
                if (at(k, x) != 0)
                    for (const std::uint8_t v : could_be[k].second)
                        at(k + 1, x ^ v) = std::uint8_t(std::min(2, at(k + 1, x ^ v) + at(k, x)));
        if (at(could_be.size(), want) != 1) return;
        unsigned x = want;
        for (std::size_t k = could_be.size(); k-- > 0;) {
            const auto& [i, values] = could_be[k];
            for (const std::uint8_t v : values)
                if (at(k, x ^ v) != 0) {
                    payload[i - countdown] = v, known[i] = v, x ^= v;
                    break;
                }
        }
    }

    // Whether a copy's byte `i` takes 20 pulses in the TAP data up to the
    // next byte's start.
    static bool whole(const copy& c, std::size_t i) {
        const slot *s = c.at(i), *next = c.at(i + 1);
        return s && next && s->tap_at != no_tap && next->tap_at != no_tap && next->tap_at == s->tap_at + 20;
    }

    // Where a copy's pulses start in the TAP data, and where they end (its
    // end marker's, or its last byte's); no_tap and 0 when not known.
    static std::size_t first_tap(const copy* c) {
        if (c)
            for (const slot& s : c->slots)
                if (s.present && s.tap_at != no_tap) return s.tap_at;
        return no_tap;
    }
    static std::size_t end_tap(const copy* c) {
        std::size_t to = 0;
        if (!c) return to;
        if (c->end_tap != no_tap) to = c->end_tap + 2;
        for (const slot& s : c->slots)
            if (s.present && s.tap_at != no_tap) to = std::max(to, s.tap_at + 20);
        return to;
    }
    // Which copy: its countdown says so (how many of its bytes read clearly
    // as the first copy's countdown, and as the second's). Where it lies a
    // place off (a byte read from hiss before it, or its first byte missed,
    // and every byte's place counted from there), `moved` is how far.
    struct countdown_read {
        int firsts = 0, seconds = 0, moved = 0;
    };
    static countdown_read countdown_of(const copy& c) {
        countdown_read r;
        for (const int shift : {0, 1, -1}) {
            int f = 0, s2 = 0;
            for (std::size_t i = 0; i < countdown; ++i)
                if (const slot* s = i + std::size_t(shift) < c.slots.size() ? c.at(i + std::size_t(shift)) : nullptr;
                    s && s->clean) {
                    f += s->value == 0x89 - i;
                    s2 += s->value == 0x09 - i;
                }
            if (f + s2 > r.firsts + r.seconds + (shift == 0 ? 0 : 2)) r = {f, s2, shift};
        }
        return r;
    }
    void add_span(std::size_t from, std::size_t to) {
        if (from >= to) return;
        const auto after = std::upper_bound(rom_spans_.begin(), rom_spans_.end(), from,
                                            [](std::size_t x, const span& s) { return x < s.from; });
        rom_spans_.insert(after, span{from, to});
    }

    void flush_first() {
        if (first_) combine(&*first_, nullptr);
        first_.reset();
    }

    // Both copies (either may be missing) into a block: each byte from a
    // copy that read it clearly; a byte the copies read clearly but
    // differently, from the copy whose checksum holds.
    void combine(const copy* one, const copy* two) {
        add_span(std::min(first_tap(one), first_tap(two)), std::max(end_tap(one), end_tap(two)));
        const copy& any = one ? *one : *two;
        // Where the payload ends: at an end marker read (the later of two:
        // a false one only cuts a copy short), else after the last byte.
        std::size_t n = 0;
        for (const copy* k : {one, two})
            if (k && k->end_read) n = std::max(n, k->end);
        if (n == 0) n = std::max(one ? one->end : 0, two ? two->end : 0);
        if (n < countdown + 1) return;
        const auto holds_alone = [&](const copy* c) {
            if (!c) return false;
            std::uint8_t sum = 0;
            for (std::size_t i = countdown; i < n; ++i) {
                const slot* s = c->at(i);
                if (!s || !s->clean) return false;
                sum ^= s->value;
            }
            return sum == 0;
        };
        const bool one_holds = holds_alone(one), two_holds = holds_alone(two);
        block b{any.leader_start, {}, {}, true};
        // Each byte of the copies as the ROM wrote it, where that is known.
        std::vector<int> known(n, -1);
        std::uint8_t sum = 0;
        // The values each byte in doubt may have, its bits and parity
        // considered (bytes past the first few are not gathered).
        std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> could_be;
        std::vector<std::size_t> picked;  // bytes in doubt taken from the copy whose pulses line up
        for (std::size_t i = countdown; i < n; ++i) {
            const slot* a = one ? one->at(i) : nullptr;
            const slot* c = two ? two->at(i) : nullptr;
            const bool a_clean = a && a->clean, c_clean = c && c->clean;
            std::uint8_t v = 0;
            bool sure = true;
            std::vector<std::uint8_t> values;
            if (a_clean && c_clean && a->value != c->value) {
                sure = one_holds != two_holds;
                v = two_holds && !one_holds ? c->value : a->value;
                values = {a->value, c->value};
                // Neither copy's checksum holds: a pulse that hiss split in
                // two (or two run together) can shift a byte's last bits by
                // a pulse and still pass its parity. The copy whose byte
                // takes its 20 pulses up to the next byte is the likelier;
                // the checksum over the block then tells.
                if (!sure && i + 1 < n && whole(*one, i) != whole(*two, i))
                    v = whole(*one, i) ? a->value : c->value, picked.push_back(i);
            } else if (a_clean) {
                v = a->value;
            } else if (c_clean) {
                v = c->value;
            } else {
                // Neither copy read the byte clearly: bit by bit, a bit read
                // clearly in one copy, the other unclear, is taken; two clear
                // ones that differ, or two unclear ones, leave it in doubt;
                // and the bits must pass the parity check together.
                int ones = 0;
                unsigned open = 0, fixed = 0;  // the bits (parity the ninth) left open, and those known to be 1
                for (std::size_t bit = 0; bit < 9; ++bit) {
                    const int x = a ? a->bits[bit] : 0, y = c ? c->bits[bit] : 0;
                    int r = x;
                    if (std::abs(x) == 2 && std::abs(y) == 2)
                        sure = sure && x == y, open |= unsigned(x != y) << bit;
                    else if (std::abs(y) == 2) r = y;
                    else if (std::abs(x) != 2)
                        sure = false, r = x != 0 ? x : y, open |= 1u << bit;
                    if (r > 0 && bit < 8) v = std::uint8_t(v | 1 << bit);
                    ones += r > 0;
                    fixed |= unsigned(r > 0 && !(open >> bit & 1)) << bit;
                }
                sure = sure && ones % 2 == 1;
                // One bit left open (unclear in both copies, or read clearly
                // both ways): the parity bit, or the others' parity, gives it
                // (the block's checksum then checks the byte).
                if (!sure && std::popcount(open) == 1) {
                    const int bit = std::countr_zero(open);
                    const bool one = std::popcount(fixed) % 2 == 0;
                    if (bit < 8) v = std::uint8_t(one ? v | 1 << bit : v & ~(1 << bit));
                    sure = true;
                }
                if (!sure && could_be.size() <= most_resolved)
                    for (unsigned m = 0; m < 512; ++m)
                        if ((m & ~open) == fixed && std::popcount(m) % 2 == 1) values.push_back(std::uint8_t(m));
            }
            if (!sure && could_be.size() <= most_resolved) could_be.push_back({i, std::move(values)});
            sum ^= v;
            if (sure) known[i] = v;
            if (i + 1 < n) {
                if (!sure) b.doubtful.push_back({b.payload.size(), one ? one->when(i) : two->when(i)});
                b.payload.push_back(v);
            } else if (!sure) {
                b.holds = false;
            }
        }
        // One byte in doubt and the checksum read: the checksum gives the
        // byte's likeliest value, which its pulses are written as. It stays
        // in doubt, and the checksum, which could check nothing, does not
        // hold.
        if (b.holds && sum == 0 && !b.doubtful.empty() && b.doubtful.size() == picked.size()) {
            // Every byte in doubt was picked by its pulses, and the checksum
            // holds over the picks: they are known.
            for (const std::size_t i : picked) known[i] = b.payload[i - countdown];
            b.doubtful.clear();
        } else if (b.holds && b.doubtful.size() == 1) {
            const std::size_t k = b.doubtful.front().index;
            b.payload[k] ^= sum;
            known[countdown + k] = b.payload[k];
            sum = 0;
        } else if (b.holds && b.doubtful.size() > 1 && b.doubtful.size() <= most_resolved) {
            resolve(could_be, sum, b.payload, known);
        }
        b.holds = b.holds && sum == 0 && b.doubtful.empty();
        for (const copy* k : {one, two})
            if (k) retime(*k, known);
        if (one && two) retime_between(*one, *two, known);
        // The short pulses after the second copy start at its end marker as
        // read, else (hiss made a short of it nearer a medium one) right
        // after the copy's last byte, when that was read whole.
        if (two && two->end_tap != no_tap) trailer_ = trailer{two->end_tap, two->end_lengths, two->end_medium};
        else if (const slot* s = two ? two->at(n - 1) : nullptr; s && s->counted)
            trailer_ = trailer{s->tap_at + 20, s->lengths, one && one->end_tap != no_tap && one->end_medium};
        block_read(std::move(b));
    }

    // The pulses of each byte of a copy whose value is known (`known`, -1
    // where it is in doubt; a countdown byte's by its place), as the ROM
    // wrote them, at the lengths of their kinds measured around the byte.
    // Hiss moves single pulses past the midpoint between two kinds now and
    // then, or splits one pulse in two, or hides a short one; a loader of
    // the TAP data then reads the block as the ROM's own LOAD does. (Other
    // pulses stay as measured.)
    //
    // A byte's pulses are found from where the bytes around it start in the
    // TAP data (the bounds): 20 pulses a byte between two bounds, or as
    // long as that many bytes take when a pulse or two more or less lie
    // between them. A byte started by a pulse misread as long lies apart
    // from its neighbours, and so does a dropout, which is one long pulse.
    struct bound {
        std::size_t index, tap;
        bool marker;  // the end marker, after the copy's last byte
    };

    void retime(const copy& c, std::vector<int> known) {
        if (!tap_) return;
        for (std::size_t i = 0; i < countdown; ++i) known[i] = (c.first > 0 ? 0x89 : 0x09) - int(i);
        std::vector<bound> bounds;
        for (std::size_t i = 0; i < c.slots.size(); ++i)
            if (const slot& s = c.slots[i]; s.present && s.tap_at != no_tap && s.tap_at < tap_->size() &&
                                            (bounds.empty() || s.tap_at > bounds.back().tap))
                bounds.push_back({i, s.tap_at, false});
        if (c.end_read && c.end_tap != no_tap && c.end_tap < tap_->size() && !bounds.empty() &&
            c.end > bounds.back().index && c.end_tap > bounds.back().tap)
            bounds.push_back({c.end, c.end_tap, true});
        bool in_step = false;  // the bound before lies 20 pulses a byte before this one
        for (std::size_t k = 0; k < bounds.size() && !bounds[k].marker;) {
            const bound a = bounds[k];
            std::size_t next = k + 1;
            bool done = false, counted = false;
            // The next bound, or one a byte or two further (the next started
            // in the middle of a byte).
            for (std::size_t m = k + 1; m < bounds.size() && bounds[m].index <= a.index + 3 && !done; ++m) {
                const auto [fits, twenty] = retime_span(c, known, a, bounds[m]);
                if (m == k + 1) counted = twenty;
                if (fits) done = true, next = m;
            }
            // The last byte before a bound out of step: its own 20 pulses,
            // when it was read whole after one in step (or is the first).
            if (const slot& s = c.slots[a.index];
                !done && s.counted && (in_step || a.index == 0) && a.index < known.size() && known[a.index] >= 0 &&
                a.tap + 20 <= tap_->size()) {
                std::vector<std::uint8_t> u;
                byte_units(u, known[a.index], s.lengths);
                rewrite(a.tap, a.tap + 20, std::move(u));
            }
            in_step = done || counted;
            k = next;
        }
    }

    // The bytes from bound `a` up to bound `b`, when every one is known
    // and the pulses between lie as the ROM wrote them; whether they were
    // rewritten, and whether they count 20 a byte.
    std::pair<bool, bool> retime_span(const copy& c, const std::vector<int>& known, bound a, bound b) {
        const stretch got = measure(a.tap, b.tap, c.slots[a.index].lengths);
        const std::size_t bytes = b.index - a.index, twenty = 20 * bytes;
        const bool counted = got.whole && got.pulses == twenty;
        std::vector<std::uint8_t> u;
        double expected = 0;
        const std::array<float, 3>* lengths = &c.slots[a.index].lengths;
        for (std::size_t i = a.index; i < b.index; ++i) {
            if (i >= known.size() || known[i] < 0) return {false, counted};
            if (i < c.slots.size() && c.slots[i].present) lengths = &c.slots[i].lengths;
            expected += byte_units(u, known[i], *lengths);
        }
        const double off = std::abs(got.seconds - expected), s = (*lengths)[0], l = (*lengths)[2];
        const bool fits = counted ? bytes == 1 || off <= s
                                  : got.whole && bytes <= 2 && got.pulses + 2 >= twenty && got.pulses <= twenty + 2 &&
                                        got.longest < 1.5 * l &&
                                        (off <= 0.5 * s || (off <= s && lines_up(a.tap, b.tap, u, *lengths)));
        if (fits) rewrite(a.tap, b.tap, std::move(u));
        return {fits, counted};
    }

    // Whether the TAP data from `from` up to `to` holds the pulses `u` one
    // for one, but for where hiss split one in two or hid one between two
    // (two read as one): each pulse, or each split's or merge's sum, nearer
    // its length than half the way from a short to a medium one. Flutter
    // stretches two C16 bytes by more than half a short pulse, so their time
    // alone cannot tell a split from a pulse too many.
    bool lines_up(std::size_t from, std::size_t to, const std::vector<std::uint8_t>& u,
                  const std::array<float, 3>& lengths) const {
        const double near = (double(units(lengths, 1)) - double(units(lengths, 0))) / 2;
        const auto at = [&](std::size_t i) { return double((*tap_)[i]); };
        std::size_t i = from, k = 0;
        while (i < to && k < u.size()) {
            if (std::abs(at(i) - u[k]) < near)
                ++i, ++k;
            else if (i + 1 < to && std::abs(at(i) + at(i + 1) - u[k]) < near)
                i += 2, ++k;
            else if (k + 1 < u.size() && std::abs(at(i) - u[k] - u[k + 1]) < near)
                ++i, k += 2;
            else
                return false;
        }
        return i == to && k == u.size();
    }

    // Between the copies: the first one's end marker, the ROM's 79 short
    // pulses after it, and the second copy's countdown bytes up to its first
    // byte whose place in the TAP data is known. An end marker not read (a
    // pulse of it misread) is found after the first copy's last byte or two,
    // when their place is known. `known` as for `retime`.
    void retime_between(const copy& one, const copy& two, const std::vector<int>& known) {
        if (!tap_) return;
        std::size_t i = 0;
        while (i < countdown && i < two.slots.size() && (!two.slots[i].present || two.slots[i].tap_at == no_tap)) ++i;
        if (i == countdown || i == two.slots.size()) return;
        const std::size_t to = two.slots[i].tap_at;
        std::vector<std::uint8_t> u;
        double expected = 0;
        std::size_t from = one.end_tap;
        std::array<float, 3> lengths = one.end_lengths;
        bool medium = one.end_medium;
        if (from == no_tap) {
            std::size_t a = std::min(one.slots.size(), known.size());
            while (a > 0 && (!one.slots[a - 1].present || one.slots[a - 1].tap_at == no_tap)) --a;
            if (a == 0 || known.size() - (a - 1) > 2) return;
            --a;  // the last byte whose place is known
            from = one.slots[a].tap_at, lengths = one.slots[a].lengths, medium = false;
            for (std::size_t k = a; k < known.size(); ++k) {
                const int v = k < countdown ? 0x89 - int(k) : known[k];
                if (v < 0) return;
                expected += byte_units(u, v, lengths);
            }
        }
        expected += marker_units(u, first_trailer, lengths, medium);
        for (std::size_t k = 0; k < i; ++k) expected += byte_units(u, 0x09 - int(k), two.slots[i].lengths);
        if (to > from && to <= tap_->size()) retime_known(from, to, std::move(u), expected, lengths);
    }

    // An end marker and the `shorts` short pulses after it, at these
    // lengths, into `u`; how long they take.
    double marker_units(std::vector<std::uint8_t>& u, std::size_t shorts, const std::array<float, 3>& lengths,
                        bool medium) const {
        u.push_back(units(lengths, 2));
        u.push_back(units(lengths, medium ? 1 : 0));
        u.insert(u.end(), shorts, units(lengths, 0));
        const auto [s, m, l] = lengths;
        return l + (medium ? m : s) + double(shorts) * s;
    }

    // The TAP data from `from` up to `to` as the pulses `u`, which take
    // `expected` seconds, when as many lie there (and, when `timed`, take as
    // long), or a pulse or two more or less that take as long (within half a
    // short pulse). Whether it was so.
    bool retime_known(std::size_t from, std::size_t to, std::vector<std::uint8_t> u, double expected,
                      const std::array<float, 3>& lengths, bool timed = false) {
        const stretch got = measure(from, to, lengths);
        const auto [s, m, l] = lengths;
        if (!got.whole || got.pulses + 2 < u.size() || got.pulses > u.size() + 2 || got.longest > 1.5 * l) return false;
        if ((timed || got.pulses != u.size()) && std::abs(got.seconds - expected * got.scale) > 0.5 * s * got.scale)
            return false;
        rewrite(from, to, std::move(u));
        return true;
    }

    // After the second copy: its end marker and the ROM's 78 short pulses,
    // up to the pause that follows them (in which hiss may make a few more
    // before the silence shows) or the end of the recording.
    void retime_trailer(bool at_end = false) {
        if (!trailer_ || !tap_) return;
        const std::size_t from = trailer_->tap, n = 2 + second_trailer;
        const double l = trailer_->lengths[2];
        std::size_t to = from;
        while (to < tap_->size() && (*tap_)[to] != 0 && to - from < n + 16 &&
               (to - from < 2 || (*tap_)[to] * cycles_per_unit / clock_ <= 1.5 * l))
            ++to;
        // Another tool's trailer may run on for longer than the ROM's; its
        // first pulses are as the ROM's.
        const bool longer = to - from == n + 16;
        if (longer ||
            (to < tap_->size() ? (*tap_)[to] == 0 || (*tap_)[to] * cycles_per_unit / clock_ > 1.5 * l : at_end)) {
            std::vector<std::uint8_t> u;
            double expected = marker_units(u, second_trailer, trailer_->lengths, trailer_->medium);
            if (to == tap_->size() && to - from < n && to - from > 2) {
                // The recording ends in it: its last pulses have no edge to end them.
                expected -= double(n - (to - from)) * trailer_->lengths[0];
                u.resize(to - from);
                retime_known(from, to, std::move(u), expected, trailer_->lengths, true);
            } else if (to - from > n + 2 ||
                       (!retime_known(from, to, u, expected, trailer_->lengths) && to - from > n)) {
                // Pulses more than a split or two would make: the first 80
                // (hiss at the pause may also have run into the last).
                retime_known(from, from + n, std::move(u), expected, trailer_->lengths, true);
            }
        }
        add_span(from, std::max(to, from + n));
        trailer_.reset();
    }

    // The pulses of the TAP data from `from` up to `to`: how many, how long
    // they take, and the longest; not whole when a pause lies among them.
    // And how their short pulses compare with the short length of
    // `lengths` (when there are eight or more): a run of
    // short pulses reads a little shorter than the short pulses of bits,
    // which the lengths follow.
    struct stretch {
        std::size_t pulses = 0;
        double seconds = 0, longest = 0, scale = 1;
        bool whole = true;
    };
    stretch measure(std::size_t from, std::size_t to, const std::array<float, 3>& lengths) const {
        stretch r;
        std::vector<double> shorts;
        for (std::size_t i = from; i < to; ++i) {
            if ((*tap_)[i] == 0) return {0, 0, 0, 1, false};
            const double x = (*tap_)[i] * cycles_per_unit / clock_;
            ++r.pulses, r.seconds += x, r.longest = std::max(r.longest, x);
            if (x < (lengths[0] + lengths[1]) / 2) shorts.push_back(x);
        }
        if (shorts.size() >= 8) {
            // The mean of those near their median: counted in whole TAP
            // units, the median alone may lie half a unit off.
            std::nth_element(shorts.begin(), shorts.begin() + std::ptrdiff_t(shorts.size() / 2), shorts.end());
            const double median = shorts[shorts.size() / 2];
            double sum = 0;
            std::size_t n = 0;
            for (const double x : shorts)
                if (std::abs(x - median) <= 0.25 * median) sum += x, ++n;
            r.scale = sum / double(n) / lengths[0];
        }
        return r;
    }

    // A byte's 20 pulses as the ROM writes them, at these lengths, into
    // `out`; how long they take.
    double byte_units(std::vector<std::uint8_t>& out, int v, const std::array<float, 3>& lengths) const {
        out.push_back(units(lengths, 2));
        out.push_back(units(lengths, 1));
        int ones = 0;
        for (int bit = 0; bit < 9; ++bit) {
            const bool one = bit < 8 ? (v >> bit & 1) != 0 : ones % 2 == 0;
            ones += one;
            out.push_back(units(lengths, one ? 1 : 0));
            out.push_back(units(lengths, one ? 0 : 1));
        }
        const auto [s, m, l] = lengths;
        return l + m + 9 * (s + m);
    }

    // The TAP data from `from` up to `to` as `u`: at once when as many
    // pulses, else once the tape is read (places in the TAP data are
    // counted as read until then).
    void rewrite(std::size_t from, std::size_t to, std::vector<std::uint8_t> u) {
        if (u.size() == to - from) std::copy(u.begin(), u.end(), tap_->begin() + std::ptrdiff_t(from));
        else rewrites_.push_back({from, to, std::move(u)});
    }

    // The rewrites that change how many pulses lie there, in one pass (one
    // that overlaps the one before it is left out).
    void apply_rewrites() {
        if (!tap_ || rewrites_.empty()) return;
        std::sort(rewrites_.begin(), rewrites_.end(), [](const auto& a, const auto& b) { return a.from < b.from; });
        std::vector<std::uint8_t> out;
        out.reserve(tap_->size());
        std::size_t at = 0;
        for (const pending_rewrite& w : rewrites_) {
            if (w.from < at || w.to > tap_->size()) continue;
            out.insert(out.end(), tap_->begin() + std::ptrdiff_t(at), tap_->begin() + std::ptrdiff_t(w.from));
            out.insert(out.end(), w.units.begin(), w.units.end());
            at = w.to;
        }
        out.insert(out.end(), tap_->begin() + std::ptrdiff_t(at), tap_->end());
        *tap_ = std::move(out);
        rewrites_.clear();
    }

    // A pulse of a kind (0 short, 1 medium, 2 long) of these lengths, in TAP units.
    std::uint8_t units(const std::array<float, 3>& lengths, int which) const {
        const long u = std::lround(double(lengths[std::size_t(which)]) * clock_ / cycles_per_unit);
        return std::uint8_t(std::clamp(u, 1L, 255L));
    }

    // Blocks into programs: a header, then the data block it announces.
    void block_read(block b) {
        const bool header = b.payload.size() == header_size && (b.payload[0] == 1 || b.payload[0] == 3);
        if (header_) {
            const std::size_t announced = std::size_t((header_->payload[3] | header_->payload[4] << 8) -
                                                      (header_->payload[1] | header_->payload[2] << 8)) & 0xFFFF;
            if (!header || announced == b.payload.size()) {
                program_from(&*header_, &b);
                header_.reset();
                return;
            }
            program_from(&*header_, nullptr);
            header_.reset();
        }
        if (header) {
            header_ = std::move(b);
        } else if (b.payload.size() != header_size || b.payload[0] < 1 || b.payload[0] > 5) {
            // A data block whose header was lost: the program without a name
            // or address. (A 192-byte block of another type, the header or
            // data of a file that is no program, is left out.)
            program_from(nullptr, &b);
        }
    }

    void program_from(const block* header, const block* data) {
        kernal_program p;
        p.start_seconds = header ? header->start_seconds : data->start_seconds;
        if (header) {
            const auto& h = header->payload;
            p.type = h[0];
            p.start = std::uint16_t(h[1] | h[2] << 8);
            p.end = std::uint16_t(h[3] | h[4] << 8);
            p.name.assign(h.begin() + 5, h.begin() + 21);
            p.name.erase(p.name.find_last_not_of(' ') + 1);
            p.header_holds = header->holds;
            p.doubtful = header->doubtful;
            p.header_doubtful = header->doubtful.size();
        }
        if (data) {
            p.bytes = data->payload;
            p.has_data = true;
            p.data_holds = data->holds;
            p.doubtful.insert(p.doubtful.end(), data->doubtful.begin(), data->doubtful.end());
        }
        programs.push_back(std::move(p));
    }

    run_tracker runs_;
    bool known_ = false;
    bool telling_ = false;  // whose lengths they are is yet to be told after a leader
    bool told_ = false;     // it was told once
    int candidate_ = 0;     // the last pulse that could tell spoke for a C64 (-1) or a C16 (1), unconfirmed
    double ended_at_ = -1;  // where the end marker of the copy under way starts, once read
    std::optional<std::pair<pulse, std::size_t>> held_;  // an unclear pulse right after a byte, and its place
    bool c264_ = false;     // a C16's or Plus/4's
    double short_ = 0, medium_ = 0, long_ = 0, byte_seconds_ = 0;
    double leader_start_ = 0, leader_end_ = 0;

    bool in_byte_ = false;
    double byte_start_ = 0;
    std::vector<read_pulse> pulses_;
    bool after_byte_ = false;  // the last pulse ended a byte
    bool after_a_byte_ = false;               // the byte started right after a byte
    std::optional<std::size_t> unconfirmed_;  // the slot of a byte so read, its framing not yet confirmed

    std::optional<copy> copy_, first_;
    std::size_t last_index_ = 0;
    double last_start_ = 0;
    bool last_clean_ = false, has_last_ = false;
    std::optional<block> header_;
    std::vector<std::uint8_t>* tap_ = nullptr;
    double clock_ = 0;
    struct pending_rewrite {
        std::size_t from, to;
        std::vector<std::uint8_t> units;
    };
    std::vector<pending_rewrite> rewrites_;
    // Where the ROM blocks read lie in the TAP data, in order.
    struct span {
        std::size_t from, to;
    };
    std::vector<span> rom_spans_;
    // The second copy's end marker, whose trailer is rewritten at the pause after it.
    struct trailer {
        std::size_t tap;
        std::array<float, 3> lengths;
        bool medium;
    };
    std::optional<trailer> trailer_;
};

// A pulse into TAP version 1 data counted on `clock`.
void put_pulse(std::vector<std::uint8_t>& tap, double seconds, double clock) {
    const double units = seconds * clock / cycles_per_unit;
    if (units < 255.5) {
        tap.push_back(std::uint8_t(std::clamp(std::lround(units), 1L, 255L)));
        return;
    }
    for (auto cycles = std::uint64_t(std::llround(seconds * clock)); cycles > 0;) {
        const std::uint64_t c = std::min<std::uint64_t>(cycles, 0xFFFFFF);
        tap.insert(tap.end(), {0, std::uint8_t(c), std::uint8_t(c >> 8), std::uint8_t(c >> 16)});
        cycles -= c;
    }
}

constexpr std::size_t block_samples = 8192;

// The recording through the edge finder and the pulse reader, each block's
// pulses handed to `f`; stops early when `f` returns false.
template <typename F>
double read_pulses(sample_source& in, double within_seconds, F f) {
    edge_finder edges(in.rate());
    pulse_reader pulses;
    std::vector<float> x(block_samples);
    std::vector<edge> found;
    bool more = true;
    while (more && edges.seconds() < within_seconds) {
        const std::size_t n = in.read(x.data(), x.size());
        found.clear();
        edges.feed(x.data(), n, found);
        if (n == 0) edges.finish(found);
        for (const edge& e : found) pulses.add(e);
        if (n == 0) pulses.finish();
        more = f(pulses) && n > 0;
        pulses.out.clear();
    }
    return edges.seconds();
}

void put_le(std::vector<std::uint8_t>& b, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}

// TAP version 1 data counted on one clock, again on another.
std::vector<std::uint8_t> recounted(const std::vector<std::uint8_t>& tap, double from, double to) {
    std::vector<std::uint8_t> out;
    out.reserve(tap.size());
    for (std::size_t i = 0; i < tap.size(); ++i) {
        if (tap[i] != 0) {
            put_pulse(out, tap[i] * cycles_per_unit / from, to);
        } else if (i + 3 < tap.size()) {
            put_pulse(out, double(tap[i + 1] | tap[i + 2] << 8 | tap[i + 3] << 16) / from, to);
            i += 3;
        }
    }
    return out;
}

}  // namespace

// What follows the ROM's last block: another loader's blocks (a turbo
// loader's, most often), or ROM blocks too damaged to read, which only the
// TAP data keeps. The pulses are counted in bins of half a second; after the
// last ROM block, with the short pulses after its end, the bins busy with
// pulses (one every 2 ms or more often: hiss in a pause is mostly read as
// the pause itself) are that stretch, when they add up to 2 s or more.
constexpr double bin_seconds = 0.5, rom_trailer_seconds = 0.25, after_rom_least = 2;
constexpr std::uint32_t busy_bin = 250;

class pulse_bins {
public:
    void add(const pulse& p) {
        if (p.gap || !(p.start >= 0)) return;
        const auto b = static_cast<std::size_t>(p.start / bin_seconds);
        if (b >= count_.size()) count_.resize(b + 1, 0), first_.resize(b + 1, 0);
        if (count_[b]++ == 0) first_[b] = p.start;
    }

    // The stretch after `rom_end`, from the first busy bin wholly after it.
    std::optional<other_blocks> after(double rom_end) const {
        std::optional<other_blocks> o;
        std::size_t busy = 0;
        for (auto b = static_cast<std::size_t>(std::ceil(rom_end / bin_seconds)); b < count_.size(); ++b) {
            if (count_[b] < busy_bin) continue;
            if (!o) o = other_blocks{first_[b], 0};
            o->pulses += count_[b];
            ++busy;
        }
        if (double(busy) * bin_seconds < after_rom_least) return std::nullopt;
        return o;
    }

private:
    std::vector<std::uint32_t> count_;
    std::vector<double> first_;  // where each bin's first pulse starts
};

recording_read read_recording(sample_source& in) {
    recording_read r;
    kernal_reader blocks;
    run_tracker runs;
    pulse_bins bins;
    const auto leader_ended = [&](const run_tracker& t) {
        if (!t.is_leader()) return;
        r.leader_seconds += t.end_ - t.start_;
        if (r.first_leader < 0) r.first_leader = t.start_;
    };
    // The pulses are counted on the C64's clock until the first ROM block
    // tells the machine: a C16's or Plus/4's are then counted again on its
    // own (only its first leader, and what came before it).
    bool machine_known = false;
    double clock = c64_clock;
    blocks.write_into(&r.tap_pulses, clock);
    // The pulses go into the TAP data as measured, and those of no ROM
    // block are then regenerated in place, a stretch later (where the tape
    // was counted again on another clock meanwhile, not).
    std::size_t tap_epoch = 0;
    regenerator<std::pair<std::size_t, std::size_t>> regenerated;
    const auto wanted = [&](std::pair<std::size_t, std::size_t> where) {
        const auto [at, epoch] = where;
        return at != no_tap && epoch == tap_epoch && !blocks.rom_pulse(at);
    };
    const auto regenerate = [&](std::pair<std::size_t, std::size_t> where, const std::array<double, 2>& lengths,
                                std::size_t n) {
        const std::size_t at = where.first;
        std::array<std::uint8_t, 2> u{};
        for (std::size_t k = 0; k < n; ++k) {
            const double units = lengths[k] * clock / cycles_per_unit;
            if (!(units >= 0.5 && units < 255.5)) return;
            u[k] = std::uint8_t(std::lround(units));
        }
        if (n == 1)
            r.tap_pulses[at] = u[0];
        else
            blocks.replace(at, {u.begin(), u.begin() + std::ptrdiff_t(n)});
    };
    bool falling = true;
    r.seconds = read_pulses(in, INFINITY, [&](const pulse_reader& pulses) {
        for (const pulse& p : pulses.out) {
            const std::size_t at = r.tap_pulses.size();
            put_pulse(r.tap_pulses, p.length, clock);
            const bool one = r.tap_pulses.size() == at + 1;
            blocks.add(p, one ? at : no_tap);
            if (!machine_known && blocks.told()) {
                machine_known = true;
                if (blocks.c264()) {
                    r.tap_machine = 2;
                    clock = c264_clock;
                    r.tap_pulses = recounted(r.tap_pulses, c64_clock, clock);
                    blocks.write_into(&r.tap_pulses, clock);
                    ++tap_epoch;
                }
            }
            runs.add(p, leader_ended);
            bins.add(p);
            regenerated.add({one ? at : no_tap, tap_epoch}, {p.length, p.first_half}, !p.gap, wanted, regenerate);
        }
        falling = pulses.falling_first();
        return true;
    });
    regenerated.finish(wanted, regenerate);
    runs.finish(leader_ended);
    blocks.finish();
    r.programs = std::move(blocks.programs);
    r.rom_blocks = std::move(blocks.rom_blocks);
    // After the last copy of a ROM block read.
    double rom_end = -1;
    for (const auto& [from, to] : r.rom_blocks) rom_end = std::max(rom_end, to);
    if (!r.programs.empty() && rom_end >= 0) r.after_rom = bins.after(rom_end + rom_trailer_seconds);
    r.falling_first = falling;
    r.rate = in.rate();
    return r;
}

std::optional<leader> find_leader(sample_source& in, double within_seconds) {
    std::optional<leader> found;
    run_tracker runs;
    const auto ended = [&](const run_tracker& t) {
        if (!found && t.is_leader()) found = leader{t.start_, t.end_ - t.start_, t.mean_};
    };
    read_pulses(in, within_seconds, [&](const pulse_reader& pulses) {
        for (const pulse& p : pulses.out) runs.add(p, ended);
        return !found;
    });
    runs.finish(ended);
    return found;
}

std::vector<tape_item> describe(const recording_read& r) {
    std::vector<tape_item> items;
    for (const kernal_program& p : r.programs) {
        tape_item t;
        t.start_seconds = p.start_seconds;
        t.machine = "Commodore";
        t.kind = "program";
        t.name = p.name;
        if (p.type != 0) t.load_address = p.start;
        t.length = p.bytes.size();
        // The blocks found are checked; a block not found is said so (a
        // recording started after the header, or stopped before the data),
        // and so are bytes that end before the header says (stopped in them).
        const bool has_header = p.type != 0;
        t.check = (!has_header || p.header_holds) && (!p.has_data || p.data_holds) ? tape_item::checksum::holds
                                                                                     : tape_item::checksum::fails;
        if (!has_header) t.missing = "no header found";
        if (!p.has_data) t.missing = "no data block found";
        if (p.header_holds && p.has_data && p.bytes.size() < std::size_t(std::uint16_t(p.end - p.start)))
            t.missing = "cut short";
        t.doubtful = p.doubtful;
        items.push_back(std::move(t));
    }
    if (r.after_rom) {
        tape_item t;
        t.start_seconds = r.after_rom->start_seconds;
        t.machine = "Commodore";
        t.kind = "blocks not read as the ROM's";
        t.pulses = r.after_rom->pulses;
        if (r.tap_machine == 2 && r.rate < c16_turbo_least_rate)
            t.missing = "the recording's rate is too low to time them (record at 22050 Hz)";
        items.push_back(std::move(t));
    }
    if (items.empty() && r.first_leader >= 0) {
        tape_item t;
        t.start_seconds = r.first_leader;
        t.machine = "Commodore";
        t.kind = "tape of another loader";
        for (std::size_t i = 0; i < r.tap_pulses.size(); i += r.tap_pulses[i] == 0 ? 4 : 1) ++t.pulses;
        items.push_back(std::move(t));
    }
    return items;
}

std::vector<std::uint8_t> tap_image(const recording_read& r) {
    std::vector<std::uint8_t> b = {'C', '6', '4', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 1, r.tap_machine, 0, 0};
    if (r.tap_machine == 2) std::copy_n("C16", 3, b.begin());
    put_le(b, std::uint32_t(r.tap_pulses.size()), 4);
    b.insert(b.end(), r.tap_pulses.begin(), r.tap_pulses.end());
    return b;
}

std::vector<std::uint8_t> prg_image(const kernal_program& p) {
    std::vector<std::uint8_t> b(2 + p.bytes.size());
    b[0] = std::uint8_t(p.start), b[1] = std::uint8_t(p.start >> 8);
    std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + 2);
    return b;
}

std::vector<std::uint8_t> t64_image(const std::vector<kernal_program>& programs) {
    constexpr std::size_t header = 64, entry = 32;
    const auto count = std::uint32_t(programs.size());
    std::vector<std::uint8_t> b(header, 0);
    const std::string signature = "C64 tape image file";
    std::copy(signature.begin(), signature.end(), b.begin());
    b[0x20] = 0x01, b[0x21] = 0x01;  // version 1.1
    b[0x22] = std::uint8_t(count), b[0x23] = std::uint8_t(count >> 8);
    b[0x24] = std::uint8_t(count), b[0x25] = std::uint8_t(count >> 8);
    std::fill(b.begin() + 0x28, b.end(), ' ');  // the tape's name
    std::uint32_t offset = std::uint32_t(header + entry * programs.size());
    for (const kernal_program& p : programs) {
        std::vector<std::uint8_t> e(entry, 0);
        e[0] = 1;     // a tape file
        e[1] = 0x82;  // a program
        const auto end = std::uint16_t(p.start + p.bytes.size());
        e[2] = std::uint8_t(p.start), e[3] = std::uint8_t(p.start >> 8);
        e[4] = std::uint8_t(end), e[5] = std::uint8_t(end >> 8);
        for (int i = 0; i < 4; ++i) e[std::size_t(8 + i)] = std::uint8_t(offset >> (8 * i));
        std::fill(e.begin() + 16, e.end(), ' ');
        std::copy_n(p.name.begin(), std::min<std::size_t>(p.name.size(), 16), e.begin() + 16);
        b.insert(b.end(), e.begin(), e.end());
        offset += std::uint32_t(p.bytes.size());
    }
    for (const kernal_program& p : programs) b.insert(b.end(), p.bytes.begin(), p.bytes.end());
    return b;
}

}  // namespace korvax::cbm

// The tape as a timeline: what every encoder writes its signal into. An
// encoder says which level the signal holds and for how long, in ticks of its
// machine's own clock, and names the rounding its machine's signal needs;
// this is the one place where durations become samples.
//
// Three roundings:
// - each run: every run truncated to whole samples on its own, so nothing
//   carries from one run to the next;
// - each pulse: a pulse's whole length rounded to the nearest sample, then
//   split into its two halves, the shorter (or equal) first;
// - each edge: every level change at the sample nearest its exact time since
//   the rounding was chosen, so no error builds up from run to run.
//
// The writer behind it either writes the samples or only counts them, so
// counting a WAV's samples for its header is a walk over the timeline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output/wav.h"

namespace korvax {

enum class rounding { each_run, each_pulse, each_edge };

// A point of the tape worth finding again: where a leader, a block or a
// program starts, with the sample it starts at.
struct tape_mark {
    enum class what { leadin, leader, sync, header, data, pause, program, end } kind;
    std::string label;
    std::uint64_t sample = 0;
};

class timeline {
public:
    explicit timeline(wav_writer& out, std::vector<tape_mark>* marks = nullptr) : out_(out), marks_(marks) {}

    // From here on durations are ticks of `clock_hz`, made samples by `how`.
    void clock(std::uint64_t clock_hz, rounding how) {
        clock_ = clock_hz;
        how_ = how;
        ticks_ = 0;
        edge_ = 0;
        for (cached& c : cache_) c.valid = false;
    }

    // The level held for `ticks`: a run (each run, each edge), or a pulse of
    // one half (each pulse).
    void hold(int level, std::uint64_t ticks) {
        std::uint64_t n;
        if (how_ == rounding::each_edge) {
            ticks_ += ticks;
            const std::uint64_t edge = (ticks_ * out_.sample_rate + clock_ / 2) / clock_;
            n = edge - edge_;
            edge_ = edge;
        } else {
            n = samples(ticks);
        }
        at_ += n;
        out_.run(level, n);
    }

    // A whole pulse of `ticks`, at `first` for its first half and `second` for
    // its second.
    void pulse(int first, int second, std::uint64_t ticks) {
        const std::uint64_t n = samples(ticks);
        at_ += n;
        out_.run(first, n / 2);
        out_.run(second, n - n / 2);
    }

    void mark(tape_mark::what kind, std::string label = {}) {
        if (marks_ != nullptr) marks_->push_back({kind, std::move(label), at_});
    }

    std::uint32_t sample_rate() const { return out_.sample_rate; }
    // Samples written so far through this timeline.
    std::uint64_t samples_so_far() const { return at_; }

private:
    // A run or pulse of `ticks` in samples: truncated for each run, rounded
    // for each pulse. Encoders use few distinct lengths, so the last few are
    // remembered rather than divided again.
    std::uint64_t samples(std::uint64_t ticks) {
        auto& slot = cache_[ticks & (cache_size - 1)];
        if (slot.ticks == ticks && slot.valid) return slot.samples;
        const std::uint64_t half = how_ == rounding::each_pulse ? clock_ / 2 : 0;
        const std::uint64_t n = (ticks * out_.sample_rate + half) / clock_;
        slot = {ticks, n, true};
        return n;
    }

    static constexpr std::size_t cache_size = 8;
    struct cached {
        std::uint64_t ticks = 0, samples = 0;
        bool valid = false;
    };
    wav_writer& out_;
    std::vector<tape_mark>* marks_;
    std::uint64_t clock_ = 1;
    rounding how_ = rounding::each_run;
    std::uint64_t ticks_ = 0, edge_ = 0;  // each edge: ticks and samples since the rounding was chosen
    std::uint64_t at_ = 0;
    cached cache_[cache_size] = {};
};

}  // namespace korvax

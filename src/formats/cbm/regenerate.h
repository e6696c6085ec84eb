// The pulses of a loader the reader does not know, as a tape copier
// regenerates them: each at the length its kind has around it.
//
// Hiss moves a pulse's edges, and a recording's rate rounds each half-wave
// to whole samples, so the pulses of one kind come back spread about their
// length. A loader tells two kinds apart at a threshold near the midpoint
// of their lengths, and reads a pulse spread past it as the other kind. The
// recording shows better where one kind ends: the lengths of the pulses
// around a pulse gather about a few, with few pulses between, and where a
// kind spreads wider than its neighbour (a rate that rounds some of its
// pulses a sample longer) the emptiest length between them lies nearer the
// neighbour. A pulse is taken for the kind on its side of that emptiest
// length and written at its kind's mean length, as a clean tape holds it.
// Near that length, the pulses either side count too: hiss that moved the
// edge a pulse shares with its neighbour lengthened the one and shortened
// the other. A pulse of no kind whose neighbours lie as far off their kinds
// the other way is taken for the kind it then lands in. Lengths that do not
// gather clearly (kinds too close for hiss to leave apart, pulses far from
// every kind, pauses) stay as measured.
//
// A half-wave lost to head loss and hiss makes two pulses one, and leaves
// its halves unlike: one half of one pulse is whole, the other half holds
// the rest. Such a pulse, nearer two kinds' lengths added than one kind's,
// is split again, the whole half telling the kind of its pulse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvax::cbm {

// A pulse's length in seconds, and its first half's (0: not known).
struct measured_pulse {
    double length, first_half;
    int bin = -1;  // where the kinds count it (-1: a pause, or not yet known)
    // Whether its halves are as unlike as two merged leave them: the
    // shorter under 40% of the whole (a pulse's own halves are alike).
    bool may_be_two() const {
        const double second_half = length - first_half, shorter = first_half < second_half ? first_half : second_half;
        return first_half > 0 && second_half > 0 && shorter < 0.4 * length;
    }
};

// The kinds of pulse in a stretch of tape, from a histogram of its lengths.
class pulse_kinds {
public:
    // The bin of the histogram that counts a pulse `x` long; -1 a pause.
    static int bin_of(double x);
    // Counts a pulse (its bin known) into the stretch, or out of it.
    void add(const measured_pulse& p) { count(p, 1); }
    void remove(const measured_pulse& p) { count(p, -1); }
    // Finds the kinds anew from the pulses counted.
    void update();

    // The lengths to write for `p` (its bin known) into `out`: one (its
    // kind's, or its own), or two where it is two pulses merged; how many.
    // `before` and `after` are the pulses either side (none, or a silence:
    // null).
    std::size_t regenerate(const measured_pulse& p, const measured_pulse* before, const measured_pulse* after,
                           std::array<double, 2>& out) const;

private:
    // Lengths counted in bins 1.5% apart from 50 us to 4.4 ms (longer ones,
    // pauses, are never regenerated).
    static constexpr double least = 50e-6, step = 1.015;
    static constexpr int bins = 300;
    static double bin_start(int b);
    void count(const measured_pulse& p, int n);
    // The kind whose bins hold bin `b`; -1 none (also for a pause's, -1).
    int kind_of(int b) const;
    // How much longer `p` is than its kind's mean (0: of no kind, or none).
    double off_kind(const measured_pulse* p) const;

    struct kind {
        int low, high;    // the bins it spans
        double mean;      // its pulses' mean length
        double from, to;  // the lengths it spans
    };
    std::array<std::int32_t, bins> counts_{};
    std::array<double, bins> sums_{};
    std::int64_t total_ = 0;
    std::vector<kind> kinds_;  // shortest first
};

// Pulses in, the same pulses out `ahead` pulses later, each with the
// lengths to write for it: the kinds are those of the `ahead` pulses
// either side of it.
template <typename P>
class regenerator {
public:
    // `data`: a pulse of data, not a silence. `emit(payload, lengths, n)`
    // for each pulse whose lengths are `wanted(payload)` (finding them is
    // most of the cost, and a ROM block's pulses are written otherwise).
    template <typename W, typename F>
    void add(const P& payload, const measured_pulse& m, bool data, W wanted, F emit) {
        if (held_.size() == window && held_[first_].counted()) kinds_.remove(held_[first_].m);
        held h{payload, m, data};
        h.m.bin = data ? pulse_kinds::bin_of(m.length) : -1;
        if (held_.size() < window)
            held_.push_back(h);
        else
            held_[first_] = h, first_ = (first_ + 1) % window;
        if (h.counted()) kinds_.add(h.m);
        if (held_.size() > ahead) {
            if (++since_update_ >= update_every) kinds_.update(), since_update_ = 0;
            put(held_.size() - 1 - ahead, wanted, emit);
        }
    }

    template <typename W, typename F>
    void finish(W wanted, F emit) {
        kinds_.update();
        const std::size_t from = held_.size() > ahead ? held_.size() - ahead : 0;
        for (std::size_t i = from; i < held_.size(); ++i) put(i, wanted, emit);
        held_.clear(), first_ = 0;
    }

private:
    static constexpr std::size_t ahead = 1024, window = 2 * ahead + 1, update_every = 64;
    struct held {
        P payload;
        measured_pulse m;
        bool data;
        // Pulses that may be two merged are not counted into the kinds.
        bool counted() const { return m.bin >= 0 && !m.may_be_two(); }
    };
    // The `i`th pulse held, oldest first.
    template <typename W, typename F>
    void put(std::size_t i, W wanted, F emit) {
        const auto at = [&](std::size_t k) -> const held& { return held_[(first_ + k) % window]; };
        const auto neighbour = [&](std::size_t k) { return k < held_.size() && at(k).data ? &at(k).m : nullptr; };
        const held& h = at(i);
        if (!wanted(h.payload)) return;
        std::array<double, 2> lengths{h.m.length, 0};
        const std::size_t n = h.data ? kinds_.regenerate(h.m, neighbour(i - 1), neighbour(i + 1), lengths) : 1;
        emit(h.payload, lengths, n);
    }

    pulse_kinds kinds_;
    std::vector<held> held_;
    std::size_t first_ = 0, since_update_ = 0;
};

}  // namespace korvax::cbm

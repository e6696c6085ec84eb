// Signal conditioning for reading a tape recording back: a band-pass that
// keeps the band a tape signal lives in (dropping DC and the hiss
// above it), and an edge finder that follows the signal's level and times
// every zero crossing to a fraction of a sample.
//
// Nothing here knows a machine: the edges are what every pulse or cycle
// decoder starts from.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvax::cbm {

// Whether two lengths lie within `part` of their mean.
inline bool match(double a, double b, double part) { return std::abs(a - b) <= part * (a + b) / 2; }

// A second-order section in direct form I, its sum ordered so that only
// the last output's term waits on the sample before (the recursion is what
// limits the speed).
struct biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    // A Butterworth (Q = 1/sqrt 2) low-pass at `hz` for samples at `rate`.
    static biquad low_pass(double hz, double rate);

    double step(double x) {
        const double y = (b0 * x + b1 * x1 + b2 * x2 - a2 * y2) - a1 * y1;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        return y;
    }
};

// A first-order high-pass: what blocks DC costs a third of a biquad.
struct dc_block {
    double a = 0;  // exp(-2 pi fc / rate)
    double x1 = 0, y1 = 0;

    dc_block() = default;
    dc_block(double hz, double rate);
    double step(double x) {
        y1 = a * (y1 + (x - x1));
        x1 = x;
        return y1;
    }
};

// A zero crossing of the conditioned signal that a level change confirmed.
struct edge {
    double seconds;  // where the crossing lies, from the first sample
    float peak;      // the largest |level| of the half-wave this edge ends
    bool rising;
};

// Finds the edges of a recording fed to it in blocks. A crossing counts once
// the signal has gone on past a threshold on the other side: a fraction of
// the level of the recent half-waves, so that hiss riding on a half-wave does
// not split it, whatever the recording's level, and a level that falls
// (a quieter stretch, a dropout) still gets its edges. A short half-wave
// that head loss and hiss kept from crossing zero gets its two edges from
// the dip it leaves.
class edge_finder {
public:
    explicit edge_finder(std::uint32_t rate);

    // The edges among the next `n` samples, appended to `out` in order.
    void feed(const float* x, std::size_t n, std::vector<edge>& out);
    // The edges still held back at the recording's end.
    void finish(std::vector<edge>& out);
    // Seconds of signal fed so far.
    double seconds() const { return double(at_) / rate_; }

private:
    // A C64's short half-wave (176 us) spans 3.9 samples at 22050 Hz, but
    // 1.4 at 8000 Hz: too few to find its peak, or to time its edges on the
    // line between two samples. A recording below 22050 Hz is first taken to
    // the least multiple of its rate that is not, each new sample on a
    // windowed sinc through `taps` of the recording's (its edges then come
    // `taps / 2` samples late, 1 ms at most).
    static constexpr std::size_t taps = 16;
    void scan(const float* x, std::size_t n, std::vector<edge>& out);

    std::size_t up_;              // new samples per sample recorded (1: none made)
    std::vector<double> kernel_;  // for each of the up_ phases, `taps` weights
    std::vector<float> history_;  // the last `taps` samples recorded
    std::vector<float> wide_;     // a block at the new rate
    // Samples of the block before kept in front of the next, where an edge
    // near a block's start finds its zero crossing.
    static constexpr std::size_t kept = 64;

    double rate_;
    dc_block high_pass_;
    biquad low_pass_;
    std::int64_t at_ = 0;     // samples fed so far
    double level_ = 0;        // the recent half-waves' peak level
    float threshold_;         // how far past zero a level change must go
    float peak_ = 0;          // of the half-wave under way
    bool above_ = false;      // which side of zero the signal was last confirmed on
    std::size_t hold_;        // samples without an edge before the level decays
    std::size_t until_decay_; // samples left before it decays a step
    double decay_;            // a step's decay
    bool fit_;                // whether a crossing is timed on four samples, or two
    std::vector<float> buf_;  // the conditioned samples, after `kept` of the block before
    double last_edge_ = 0;     // where the last edge lies, in samples fed
    double last_half_ = 0;     // how long the half-wave before it lasted, in samples (0: none yet)
    std::vector<float> scratch_;  // the half-wave looked into for a hidden one

    bool hidden(const float* y, std::ptrdiff_t from, std::ptrdiff_t to, double end, std::vector<edge>& out);
};

}  // namespace korvax::cbm

// Signal conditioning for reading a tape recording back: a band-pass that
// keeps the band a tape signal lives in (dropping DC, mains hum and the hiss
// above it), and an edge finder that follows the signal's level and times
// every zero crossing to a fraction of a sample.
//
// Nothing here knows a machine: the edges are what every pulse or cycle
// decoder starts from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvax::cbm {

// A second-order section in transposed direct form II.
struct biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double z1 = 0, z2 = 0;

    // Butterworth (Q = 1/sqrt 2) sections at `hz` for samples at `rate`.
    static biquad low_pass(double hz, double rate);
    static biquad high_pass(double hz, double rate);

    double step(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
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
// (a quieter stretch, a dropout) still gets its edges.
class edge_finder {
public:
    explicit edge_finder(std::uint32_t rate);

    // The edges among the next `n` samples, appended to `out` in order.
    void feed(const float* x, std::size_t n, std::vector<edge>& out);
    // Seconds of signal fed so far.
    double seconds() const { return double(at_) / rate_; }

private:
    double rate_;
    biquad high_pass_, low_pass_;
    std::int64_t at_ = 0;                 // samples fed so far
    double previous_ = 0;                 // the last conditioned sample
    double rose_at_ = 0, fell_at_ = 0;    // the last upward and downward zero crossings, in samples
    double level_ = 0;                    // the recent half-waves' peak level
    double threshold_;                    // how far past zero a level change must go
    double peak_ = 0;                     // of the half-wave under way
    bool above_ = false;                  // which side of zero the signal was last confirmed on
    std::int64_t quiet_ = 0;              // samples since the last edge
    std::int64_t hold_;                   // after this many, the level decays
    double decay_;                        // per sample, once past the hold
};

}  // namespace korvax::cbm

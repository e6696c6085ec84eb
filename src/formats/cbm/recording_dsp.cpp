#include "formats/cbm/recording_dsp.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvax::cbm {
namespace {

// The band kept: above mains hum and the droop of a cassette deck's AC
// coupling, below the hiss that the shortest tape pulses (a C16's 110 us
// half-wave has its fundamental near 4.4 kHz) do not need.
constexpr double high_pass_hz = 150;
constexpr double low_pass_hz = 6000;
// A low-pass corner kept well below the Nyquist frequency at low rates.
constexpr double low_pass_of_rate = 0.3;

// A level change must reach this fraction of the recent half-waves' peak
// level: hiss a third of the signal's level cannot flip a half-wave, while a
// half-wave several times weaker than the last (a dropout) still does.
constexpr double threshold_of_level = 0.2;
// The level rises at once towards a stronger half-wave and falls over about
// eight weaker ones.
constexpr double level_rise = 0.5, level_fall = 0.125;
// Below about -60 dB of full scale nothing is a signal: a quantised silence
// must give no edges.
constexpr double threshold_floor = 1e-3;
// Without an edge for 3 ms the level halves every 10 ms, so that a signal
// much quieter than what came before it is found again.
constexpr double hold_seconds = 0.003, halving_seconds = 0.010;

}  // namespace

biquad biquad::low_pass(double hz, double rate) {
    const double w = 2 * std::numbers::pi * hz / rate, alpha = std::sin(w) / std::numbers::sqrt2, c = std::cos(w);
    const double a0 = 1 + alpha;
    return {(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0};
}

biquad biquad::high_pass(double hz, double rate) {
    const double w = 2 * std::numbers::pi * hz / rate, alpha = std::sin(w) / std::numbers::sqrt2, c = std::cos(w);
    const double a0 = 1 + alpha;
    return {(1 + c) / 2 / a0, -(1 + c) / a0, (1 + c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0};
}

edge_finder::edge_finder(std::uint32_t rate)
    : rate_(rate),
      high_pass_(biquad::high_pass(high_pass_hz, rate)),
      low_pass_(biquad::low_pass(std::min(low_pass_hz, low_pass_of_rate * rate), rate)),
      threshold_(threshold_floor),
      hold_(std::int64_t(hold_seconds * rate)),
      decay_(std::exp2(-1.0 / (halving_seconds * rate))) {}

void edge_finder::feed(const float* x, std::size_t n, std::vector<edge>& out) {
    // The state in locals, so that the loop keeps it in registers.
    biquad high = high_pass_, low = low_pass_;
    double previous = previous_, rose_at = rose_at_, fell_at = fell_at_, peak = peak_, threshold = threshold_;
    bool is_high = above_;
    std::int64_t quiet = quiet_;
    const double at = double(at_);
    for (std::size_t i = 0; i < n; ++i) {
        const double y = high.step(low.step(x[i]));
        const double magnitude = std::fabs(y);
        peak = std::max(peak, magnitude);
        if ((previous < 0) != (y < 0)) {
            // Where the line between the two samples crosses zero.
            const double t = at + double(i) - 1 + previous / (previous - y);
            (y < 0 ? fell_at : rose_at) = t;
        }
        previous = y;
        if (is_high ? y < -threshold : y > threshold) {
            is_high = !is_high;
            out.push_back({(is_high ? rose_at : fell_at) / rate_, float(peak), is_high});
            level_ += (peak - level_) * (peak > level_ ? level_rise : level_fall);
            threshold = std::max(threshold_floor, threshold_of_level * level_);
            peak = magnitude;
            quiet = 0;
        } else if (++quiet > hold_) {
            level_ *= decay_;
            threshold = std::max(threshold_floor, threshold_of_level * level_);
        }
    }
    high_pass_ = high, low_pass_ = low;
    previous_ = previous, rose_at_ = rose_at, fell_at_ = fell_at, peak_ = peak, threshold_ = threshold;
    above_ = is_high;
    quiet_ = quiet;
    at_ += std::int64_t(n);
}

}  // namespace korvax::cbm

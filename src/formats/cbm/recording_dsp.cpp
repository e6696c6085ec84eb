#include "formats/cbm/recording_dsp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace korvax::cbm {
namespace {

// The band kept: above DC (a first-order high-pass, low enough to leave the
// flat top of a C16's 1 ms half-wave flat: at 150 Hz it sags by half, and
// hiss then moves the edge after it; mains hum moves the two edges of a
// pulse alike, which leaves its length), below the hiss that the shortest
// tape pulses (a C16's 110 us half-wave has its fundamental near 4.4 kHz)
// do not need. (At 8 kHz a few pulses fewer stray from their lengths, but
// hiss in a pause between blocks is read as pulses.)
constexpr double high_pass_hz = 30;
constexpr double low_pass_hz = 6000;
// A low-pass corner kept well below the Nyquist frequency at low rates.
constexpr double low_pass_of_rate = 0.3;
// The lowest rate the edges are found at (see `edge_finder::taps`).
constexpr std::uint32_t least_rate = 22050;

// A level change must reach this fraction of the recent half-waves' peak
// level: hiss must swing further than the signal's own level to flip a
// half-wave, while a half-wave several times weaker than the last (a
// dropout) still makes its edges.
constexpr double threshold_of_level = 0.15;
// The level rises at once towards a stronger half-wave and falls over about
// eight weaker ones.
constexpr double level_rise = 0.5, level_fall = 0.125;
// Below about -60 dB of full scale nothing is a signal: a quantised silence
// must give no edges.
constexpr double threshold_floor = 1e-3;
// Without an edge for 3 ms the level halves every 10 ms (in steps of 64
// samples), so that a signal much quieter than what came before it is found
// again.
constexpr double hold_seconds = 0.003, halving_seconds = 0.010;
constexpr std::size_t decay_step = 64;

// A half-wave that hides two more: two half-waves of a pulse and the next
// one's first run together, where a short half-wave between longer ones
// crossed zero but not the threshold (head loss takes more of it than of
// them, and hiss does the rest). Such a half lasts 1.6 to 4.5 times the half
// before it, and in it the signal dips past zero. Mostly the hidden half is
// the second of a pulse whose first is as long, so the dip's lowest point
// lies two thirds of the way into the three; and halfway down, the dip is
// about as wide as that length (half to one and a half times). Hiss on the
// flat top of a long half-wave seldom dips so deep, and then more narrowly.
// Else it is the first half of a short pulse after a long one (the long
// one's second half, then the short one's two): halfway down the dip is as
// wide as what follows it, and what lies before it is at least 1.3 times
// as long, and as long as the long pulse's first half (each within a
// quarter of their mean). That width must span 4 samples: across fewer (a
// C16 turbo's short half at 22050 Hz) it is too rough, and the rule split
// pulses that were whole. (A dip that stops short of zero is left alone: at
// 6 dB of hiss, taking those too split C64 pulses that were whole.)
constexpr double hidden_from = 1.6, hidden_to = 4.5, hidden_width = 0.5, hidden_after_long = 1.3;
constexpr double hidden_least = 4, hidden_alike = 0.25;

// Where the signal crosses zero between y[-1] and y[0], from y[-1], on the
// line through them.
double nearest(const float* y) { return double(y[-1]) / (double(y[-1]) - double(y[0])); }

// The same on the line fitted through the two samples either side of it
// (least squares), which hiss moves a third less where an edge spans four
// samples or more (from about 30 kHz on); the nearest two alone when the
// fit crosses outside them.
constexpr double fit_from_rate = 30000;
double crossing(const float* y) {
    const double a = y[-2], b = y[-1], c = y[0], d = y[1];
    const double slope = (-3 * a - b + c + 3 * d) / 10, mean = (a + b + c + d) / 4;
    const double at = 0.5 - mean / slope;  // the fit's centre lies half a sample past y[-1]
    return slope != 0 && at >= 0 && at <= 1 ? at : nearest(y);
}

}  // namespace

biquad biquad::low_pass(double hz, double rate) {
    const double w = 2 * std::numbers::pi * hz / rate, alpha = std::sin(w) / std::numbers::sqrt2, c = std::cos(w);
    const double a0 = 1 + alpha;
    return {(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0};
}

dc_block::dc_block(double hz, double rate) : a(std::exp(-2 * std::numbers::pi * hz / rate)) {}

edge_finder::edge_finder(std::uint32_t recorded)
    : up_(recorded > 0 && recorded < least_rate ? (least_rate + recorded - 1) / recorded : 1),
      history_(taps, 0.0f),
      rate_(double(recorded) * double(up_)),
      high_pass_(high_pass_hz, rate_),
      low_pass_(biquad::low_pass(std::min(low_pass_hz, low_pass_of_rate * rate_), rate_)),
      threshold_(float(threshold_floor)),
      hold_(std::size_t(hold_seconds * rate_)),
      until_decay_(hold_),
      decay_(std::exp2(-double(decay_step) / (halving_seconds * rate_))),
      fit_(rate_ >= fit_from_rate),
      buf_(kept, 0.0f) {
    if (up_ == 1) return;
    // Phase p's new sample lies p / up_ of a sample after the recorded
    // sample taps / 2 back. The sinc passes up to 0.9 of the recording's
    // Nyquist frequency, under a Blackman window; each phase's weights sum
    // to 1, so that a level stays a level.
    constexpr double pi = std::numbers::pi, cutoff = 0.9;
    kernel_.resize(up_ * taps);
    for (std::size_t p = 0; p < up_; ++p) {
        double* k = kernel_.data() + p * taps;
        double sum = 0;
        for (std::size_t i = 0; i < taps; ++i) {
            // The i-th sample back from the newest, from the new sample's time.
            const double t = double(taps) / 2 - double(i) - double(p) / double(up_);
            const double x = cutoff * pi * t, w = (t + double(taps) / 2) / double(taps);
            const double window = 0.42 - 0.5 * std::cos(2 * pi * w) + 0.08 * std::cos(4 * pi * w);
            k[i] = (x == 0 ? 1 : std::sin(x) / x) * window;
            sum += k[i];
        }
        for (std::size_t i = 0; i < taps; ++i) k[i] /= sum;
    }
}

void edge_finder::feed(const float* x, std::size_t n, std::vector<edge>& out) {
    if (up_ == 1) return scan(x, n, out);
    wide_.resize(n * up_);
    float* h = history_.data();
    for (std::size_t j = 0; j < n; ++j) {
        std::copy(h + 1, h + taps, h);
        h[taps - 1] = x[j];
        for (std::size_t p = 0; p < up_; ++p) {
            const double* k = kernel_.data() + p * taps;
            double y = 0;
            for (std::size_t i = 0; i < taps; ++i) y += k[i] * double(h[taps - 1 - i]);
            wide_[j * up_ + p] = float(y);
        }
    }
    scan(wide_.data(), wide_.size(), out);
}

void edge_finder::finish(std::vector<edge>& out) {
    if (up_ == 1) return;
    // The last recorded samples' new ones wait on `taps / 2` more: silence,
    // which the recording's length does not count.
    const std::vector<float> silence(taps / 2, 0.0f);
    const std::int64_t at = at_;
    feed(silence.data(), silence.size(), out);
    at_ = at;
}

void edge_finder::scan(const float* x, std::size_t n, std::vector<edge>& out) {
    // First the block through the band-pass, after the last samples of the
    // block before; then a scan for level changes, which looks back for the
    // zero crossing only at an edge. Two tight loops instead of one that
    // branches on every crossing.
    buf_.resize(kept + n);
    float* y = buf_.data() + kept;
    {
        dc_block high = high_pass_;
        biquad low = low_pass_;
        for (std::size_t i = 0; i < n; ++i) y[i] = float(high.step(low.step(x[i])));
        high_pass_ = high, low_pass_ = low;
    }
    float peak = peak_, threshold = threshold_;
    for (std::size_t i = 0; i < n;) {
        const std::size_t from = i, limit = std::min(n, i + until_decay_);
        if (above_) {
            for (; i < limit && y[i] >= -threshold; ++i) peak = std::max(peak, y[i]);
        } else {
            for (; i < limit && y[i] <= threshold; ++i) peak = std::max(peak, -y[i]);
        }
        until_decay_ -= i - from;
        if (i == limit) {
            if (until_decay_ == 0) {
                level_ *= decay_;
                threshold = float(std::max(threshold_floor, threshold_of_level * level_));
                until_decay_ = decay_step;
            }
            continue;
        }
        // The crossing: the last sample on the old side, and the line from
        // it to the next one.
        const bool negative = y[i] < 0;
        std::ptrdiff_t j = std::ptrdiff_t(i);
        while (j > -std::ptrdiff_t(kept) + 1 && (y[j - 1] < 0) == negative) --j;
        double t = double(at_) + double(j);
        if ((y[j - 1] < 0) != negative)
            t += (fit_ && j + 1 < std::ptrdiff_t(n) && j - 2 >= -std::ptrdiff_t(kept) ? crossing(y + j) : nearest(y + j)) - 1;
        const double length = t - last_edge_;
        const auto first = std::ptrdiff_t(std::ceil(last_edge_ - double(at_)));  // the half's first sample
        if (!(last_half_ > 0 && length > hidden_from * last_half_ && length < hidden_to * last_half_ &&
              first > -std::ptrdiff_t(kept) + 1 && j - first >= 4 && hidden(y, first, j, t, out)))
            last_half_ = length;
        last_edge_ = t;
        above_ = !above_;
        out.push_back({t / rate_, peak, above_});
        level_ += (peak - level_) * (peak > level_ ? level_rise : level_fall);
        threshold = float(std::max(threshold_floor, threshold_of_level * level_));
        peak = 0;
        for (std::ptrdiff_t k = j; k <= std::ptrdiff_t(i); ++k) peak = std::max(peak, negative ? -y[k] : y[k]);
        until_decay_ = hold_;
        ++i;
    }
    peak_ = peak, threshold_ = threshold;
    std::memmove(buf_.data(), buf_.data() + n, kept * sizeof(float));
    at_ += std::int64_t(n);
}

// The half-wave y[from..to) (which ends at `end`, in samples fed) as three,
// when it hides two (see above): their edges appended to `out`.
bool edge_finder::hidden(const float* y, std::ptrdiff_t from, std::ptrdiff_t to, double end, std::vector<edge>& out) {
    // The half on its own side of zero, and the highest point after each sample.
    const auto n = std::size_t(to - from);
    const float side = above_ ? 1.0f : -1.0f;
    scratch_.resize(2 * n);
    float* v = scratch_.data();
    float* after = v + n;
    for (std::size_t k = 0; k < n; ++k) v[k] = side * y[from + std::ptrdiff_t(k)];
    after[n - 1] = v[n - 1];
    for (std::size_t k = n - 1; k-- > 0;) after[k] = std::max(v[k], after[k + 1]);
    // The deepest dip: the most below the lower of the peaks either side.
    float before = v[0], depth = 0, left = 0;
    std::size_t dip = 0;
    for (std::size_t k = 1; k + 1 < n; ++k) {
        before = std::max(before, v[k]);
        const float lower = std::min(before, after[k]);
        if (lower - v[k] > depth) depth = lower - v[k], dip = k, left = before;
    }
    if (dip == 0 || v[dip] > 0) return false;
    // Its lowest point (on the parabola through three samples) gives the
    // hidden half's length.
    const double curve = double(v[dip - 1]) - 2 * double(v[dip]) + double(v[dip + 1]);
    const double lowest = double(dip) + (curve > 0 ? 0.5 * double(v[dip - 1] - v[dip + 1]) / curve : 0);
    const double begin = last_edge_ - double(at_) - double(from), finish = end - double(at_) - double(from);
    // How wide the dip is halfway down (each side on the line between two
    // samples).
    const float half_way = v[dip] + 0.5f * depth;
    std::size_t a = dip, b = dip;
    while (a > 0 && v[a - 1] < half_way) --a;
    while (b + 1 < n && v[b + 1] < half_way) ++b;
    if (a == 0 || b + 1 == n) return false;
    const double down = double(a - 1) + double(v[a - 1] - half_way) / double(v[a - 1] - v[a]);
    const double up = double(b) + double(half_way - v[b]) / double(v[b + 1] - v[b]);
    const double width = up - down, w = (lowest - begin) * 2 / 3;
    double first = begin + w, second = begin + 2 * w;
    if (w <= 0 || finish - second < 0.4 * w || std::abs(width - w) >= hidden_width * w) {
        // Or a short pulse's first half after a long pulse.
        first = lowest - width / 2, second = lowest + width / 2;
        if (width < hidden_least || !match(first - begin, last_half_, hidden_alike) ||
            first - begin < hidden_after_long * width || !match(finish - second, width, hidden_alike))
            return false;
    }
    const double start = double(at_) + double(from);
    out.push_back({(start + first) / rate_, left, !above_});
    out.push_back({(start + second) / rate_, depth, above_});
    last_half_ = finish - second;
    return true;
}

}  // namespace korvax::cbm

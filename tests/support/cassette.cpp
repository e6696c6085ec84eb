#include "support/cassette.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvax_test {
namespace {

constexpr double two_pi = 2 * std::numbers::pi;
constexpr double wow_hz = 0.5, flutter_hz = 8, drift_hz = 0.1, hum_hz = 50;
constexpr double dropout_seconds = 0.020, dropout_ramp = 0.002, dropout_depth_db = -20;

// xorshift64*, and normal deviates from it by Box-Muller.
struct noise_source {
    std::uint64_t s;
    explicit noise_source(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    double uniform() {
        s ^= s >> 12, s ^= s << 25, s ^= s >> 27;
        return double((s * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0);
    }
    double normal() {
        const double u = std::max(uniform(), 1e-300), v = uniform();
        return std::sqrt(-2 * std::log(u)) * std::cos(two_pi * v);
    }
};

// Catmull-Rom interpolation of `x` at position `p` (0 outside).
double at(const std::vector<float>& x, double p) {
    const auto i = static_cast<long>(std::floor(p));
    const double t = p - double(i);
    const auto s = [&](long k) { return k >= 0 && k < long(x.size()) ? double(x[std::size_t(k)]) : 0.0; };
    const double a = s(i - 1), b = s(i), c = s(i + 1), d = s(i + 2);
    return b + 0.5 * t * (c - a + t * (2 * a - 5 * b + 4 * c - d + t * (3 * (b - c) + d - a)));
}

double rms(const std::vector<double>& y) {
    double sum = 0;
    for (double v : y) sum += v * v;
    return y.empty() ? 0 : std::sqrt(sum / double(y.size()));
}

}  // namespace

channel_result cassette(const std::vector<float>& in, unsigned rate, const rung& r, const channel_options& o) {
    noise_source rng(o.seed);
    const double fs = rate;
    const double speed = 1 + (o.slow ? -1 : 1) * r.speed_pct / 100;
    const double wow = r.wow_pct / 100, flutter = r.flutter_pct / 100;
    const double wow_phase = two_pi * rng.uniform(), flutter_phase = two_pi * rng.uniform();
    const double drift_phase = two_pi * rng.uniform(), hum_phase = two_pi * rng.uniform();

    // Time warp: the input position at output time t is the integral of the
    // playback speed.
    std::vector<double> y;
    y.reserve(std::size_t(double(in.size()) / speed) + 16);
    for (std::size_t n = 0;; ++n) {
        const double t = double(n) / fs;
        const double p = fs * (speed * t +
                               wow / (two_pi * wow_hz) * (std::cos(wow_phase) - std::cos(two_pi * wow_hz * t + wow_phase)) +
                               flutter / (two_pi * flutter_hz) *
                                   (std::cos(flutter_phase) - std::cos(two_pi * flutter_hz * t + flutter_phase)));
        if (p >= double(in.size())) break;
        y.push_back(at(in, p));
    }
    const double seconds = double(y.size()) / fs;

    if (r.lpf_hz > 0) {
        const double a = 1 - std::exp(-two_pi * r.lpf_hz / fs);
        double state = 0;
        for (double& v : y) v = state += a * (v - state);
    }
    if (r.drift_db > 0)
        for (std::size_t n = 0; n < y.size(); ++n)
            y[n] *= std::pow(10.0, r.drift_db / 2 * std::sin(two_pi * drift_hz * double(n) / fs + drift_phase) / 20);

    channel_result out;
    if (o.dropouts && r.dropouts_per_min > 0 && seconds > 0.2) {
        const auto count = std::max<long>(1, std::lround(r.dropouts_per_min * seconds / 60));
        const double floor = std::pow(10.0, dropout_depth_db / 20);
        for (long k = 0; k < count; ++k) {
            // Spread over the tape, each at a random place in its share of it.
            const double share = (seconds - 0.1) / double(count);
            const double from = 0.05 + share * (double(k) + rng.uniform() * 0.8);
            const double to = from + dropout_seconds;
            out.dropouts.push_back({from, to});
            for (auto n = std::size_t(from * fs); n < std::min(y.size(), std::size_t(to * fs) + 1); ++n) {
                const double t = double(n) / fs;
                const double edge = std::min(t - from, to - t) / dropout_ramp;
                const double g = edge >= 1 ? floor : 1 - (1 - floor) * 0.5 * (1 - std::cos(std::numbers::pi * std::max(0.0, edge)));
                y[n] *= g;
            }
        }
    }

    const double level = rms(y);
    if (r.snr_db > 0) {
        const double sigma = level * std::pow(10.0, -r.snr_db / 20);
        for (double& v : y) v += sigma * rng.normal();
    }
    if (r.hum_db < 0) {
        const double amplitude = std::sqrt(2.0) * level * std::pow(10.0, r.hum_db / 20);
        for (std::size_t n = 0; n < y.size(); ++n) y[n] += amplitude * std::sin(two_pi * hum_hz * double(n) / fs + hum_phase);
    }
    if (r.hpf_hz > 0) {
        const double a = std::exp(-two_pi * r.hpf_hz / fs);
        double last_in = 0, last_out = 0;
        for (double& v : y) {
            last_out = a * (last_out + v - last_in);
            last_in = v;
            v = last_out;
        }
    }
    const double gain = std::pow(10.0, r.gain_db / 20) * (o.invert ? -1 : 1);
    out.samples.reserve(y.size());
    for (double v : y) {
        const double s = std::clamp(std::round((v * gain + r.dc) * 32768), -32768.0, 32767.0);
        out.samples.push_back(static_cast<float>(s / 32768));
    }
    return out;
}

}  // namespace korvax_test

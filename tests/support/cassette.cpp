#include "support/cassette.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvax_test {
namespace {

constexpr double two_pi = 2 * std::numbers::pi;
// The slow oscillators, by index: wow, flutter, level drift and hum.
constexpr double oscillator_hz[4] = {0.5, 8, 0.1, 50};
constexpr double dropout_seconds = 0.020, dropout_ramp = 0.002, dropout_depth_db = -20;
// Samples between exact settings of the oscillators: a rotation repeated 64
// times drifts by a few units in the last place, and the drift's gain, a
// straight line over 1.5 ms of a 10 s cycle, by less than 1e-7.
constexpr std::size_t block = 64;

}  // namespace

cassette_source::cassette_source(std::span<const float> in, unsigned rate, const rung& r, const channel_options& o)
    : floats_(in), size_(in.size()), rate_(rate) {
    start(r, o);
}
cassette_source::cassette_source(std::span<const std::uint8_t> in, unsigned rate, const rung& r,
                                 const channel_options& o)
    : bytes_(in), size_(in.size()), rate_(rate) {
    start(r, o);
}

double cassette_source::input(long k) const {
    if (k < 0 || std::size_t(k) >= size_) return 0;
    return floats_.empty() ? (double(bytes_[std::size_t(k)]) - 128) / 128 : double(floats_[std::size_t(k)]);
}

// Catmull-Rom interpolation of the input at position `p`.
double cassette_source::interpolate(double p) const {
    const auto i = static_cast<long>(p);
    const double t = p - double(i);
    const double a = input(i - 1), b = input(i), c = input(i + 1), d = input(i + 2);
    return b + 0.5 * t * (c - a + t * (2 * a - 5 * b + 4 * c - d + t * (3 * (b - c) + d - a)));
}

// xorshift64*: uniform deviates in [0, 1); normal ones by Marsaglia's polar
// method, two at a time.
double cassette_source::uniform() {
    rng_ ^= rng_ >> 12, rng_ ^= rng_ << 25, rng_ ^= rng_ >> 27;
    return double((rng_ * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0);
}
double cassette_source::normal() {
    if (has_spare_) return has_spare_ = false, spare_;
    double u, v, s;
    do {
        u = 2 * uniform() - 1, v = 2 * uniform() - 1, s = u * u + v * v;
    } while (s >= 1 || s == 0);
    const double f = std::sqrt(-2 * std::log(s) / s);
    spare_ = v * f, has_spare_ = true;
    return u * f;
}

void cassette_source::start(const rung& r, const channel_options& o) {
    r_ = r;
    rng_ = o.seed * 0x9E3779B97F4A7C15ull + 1;
    const double fs = rate_;
    speed_ = 1 + (o.slow ? -1 : 1) * r.speed_pct / 100;
    wow_ = r.wow_pct / 100, flutter_ = r.flutter_pct / 100;
    for (int k = 0; k < 4; ++k) {
        phase_[k] = two_pi * uniform();
        step_cos_[k] = std::cos(two_pi * oscillator_hz[k] / fs), step_sin_[k] = std::sin(two_pi * oscillator_hz[k] / fs);
    }
    lpf_a_ = r.lpf_hz > 0 ? 1 - std::exp(-two_pi * r.lpf_hz / fs) : 1;
    hpf_a_ = std::exp(-two_pi * r.hpf_hz / fs);
    // The level the noise and hum are set against: the low-passed input's.
    double state = 0, sum = 0;
    for (std::size_t k = 0; k < size_; ++k) state += lpf_a_ * (input(long(k)) - state), sum += state * state;
    level_ = size_ == 0 ? 0 : std::sqrt(sum / double(size_));
    sigma_ = r.snr_db > 0 ? level_ * std::pow(10.0, -r.snr_db / 20) : 0;
    hum_ = r.hum_db < 0 ? std::sqrt(2.0) * level_ * std::pow(10.0, r.hum_db / 20) : 0;
    gain_ = std::pow(10.0, r.gain_db / 20) * (o.invert ? -1 : 1);
    const double seconds = double(size_) / fs / speed_;
    if (o.dropouts && r.dropouts_per_min > 0 && seconds > 0.2) {
        const auto count = std::max<long>(1, std::lround(r.dropouts_per_min * seconds / 60));
        // Spread over the tape, each at a random place in its share of it.
        const double share = (seconds - 0.1) / double(count);
        for (long k = 0; k < count; ++k) {
            const double from = 0.05 + share * (double(k) + uniform() * 0.8);
            dropouts_.push_back({from, from + dropout_seconds});
        }
    }
}

void cassette_source::new_block(double t) {
    for (int k = 0; k < 4; ++k) {
        const double theta = two_pi * oscillator_hz[k] * t + phase_[k];
        cos_[k] = std::cos(theta), sin_[k] = std::sin(theta);
    }
    const auto drift_at = [&](double when) {
        return std::pow(10.0, r_.drift_db / 2 * std::sin(two_pi * oscillator_hz[2] * when + phase_[2]) / 20);
    };
    drift_ = drift_at(t);
    drift_step_ = (drift_at(t + double(block) / rate_) - drift_) / double(block);
}

std::size_t cassette_source::read(float* out, std::size_t n) {
    const double fs = rate_;
    const double floor = std::pow(10.0, dropout_depth_db / 20);
    const double wow = wow_ / (two_pi * oscillator_hz[0]), flutter = flutter_ / (two_pi * oscillator_hz[1]);
    std::size_t done = 0;
    for (; done < n; ++done, ++n_) {
        const double t = double(n_) / fs;
        if (n_ % block == 0) new_block(t);
        // Time warp: the input position at output time t is the integral of
        // the playback speed.
        const double p = fs * (speed_ * t + wow * (std::cos(phase_[0]) - cos_[0]) +
                               flutter * (std::cos(phase_[1]) - cos_[1]));
        if (p >= double(size_)) break;
        double v = interpolate(std::max(p, 0.0));
        if (r_.lpf_hz > 0) v = lpf_ += lpf_a_ * (v - lpf_);
        if (r_.drift_db > 0) v *= drift_;
        while (next_dropout_ < dropouts_.size() && dropouts_[next_dropout_].to < t) ++next_dropout_;
        if (next_dropout_ < dropouts_.size() && dropouts_[next_dropout_].from <= t) {
            const dropout& d = dropouts_[next_dropout_];
            const double edge = std::min(t - d.from, d.to - t) / dropout_ramp;
            v *= edge >= 1 ? floor : 1 - (1 - floor) * 0.5 * (1 - std::cos(std::numbers::pi * std::max(0.0, edge)));
        }
        if (sigma_ > 0) v += sigma_ * normal();
        v += hum_ * sin_[3];
        if (r_.hpf_hz > 0) {
            hpf_out_ = hpf_a_ * (hpf_out_ + v - hpf_in_);
            hpf_in_ = v;
            v = hpf_out_;
        }
        const double s = std::clamp(std::round((v * gain_ + r_.dc) * 32768), -32768.0, 32767.0);
        out[done] = static_cast<float>(s / 32768);
        drift_ += drift_step_;
        for (int k = 0; k < 4; ++k) {
            const double c = cos_[k];
            cos_[k] = c * step_cos_[k] - sin_[k] * step_sin_[k];
            sin_[k] = sin_[k] * step_cos_[k] + c * step_sin_[k];
        }
    }
    return done;
}

halving_source::halving_source(std::unique_ptr<korvax::sample_source> in) : in_(std::move(in)) {
    // A Blackman-windowed sinc of 63 taps cut off at 10 kHz of 44100 Hz
    // (0.9 of the new rate's Nyquist frequency), in cycles a sample of the
    // input: flat through a tape's band, 74 dB down from 12 kHz on.
    constexpr int h = 31;
    constexpr double fc = 10000.0 / 44100;
    double sum = 0;
    for (int j = -h; j <= h; ++j) {
        const double x = 2 * fc * j, sinc = j == 0 ? 1 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
        const double w =
            0.42 + 0.5 * std::cos(std::numbers::pi * j / h) + 0.08 * std::cos(2 * std::numbers::pi * j / h);
        taps_.push_back(sinc * w);
        sum += sinc * w;
    }
    for (double& t : taps_) t /= sum;
}

std::size_t halving_source::read(float* out, std::size_t n) {
    const long h = long(taps_.size() / 2);
    std::size_t done = 0;
    for (; done < n; ++done, next_ += 2) {
        while (!ended_ && first_ + long(x_.size()) <= next_ + h) {
            const std::size_t had = x_.size();
            x_.resize(had + 4096);
            const std::size_t got = in_->read(x_.data() + had, 4096);
            x_.resize(had + got);
            ended_ = got == 0;
        }
        if (next_ >= first_ + long(x_.size())) break;
        double y = 0;
        for (long j = -h; j <= h; ++j)
            if (const long i = next_ + j - first_; i >= 0 && i < long(x_.size()))
                y += taps_[std::size_t(j + h)] * x_[std::size_t(i)];
        out[done] = static_cast<float>(std::clamp(std::round(y * 32768), -32768.0, 32767.0) / 32768);
        if (const long used = next_ + 2 - h - first_; used > 65536) {
            x_.erase(x_.begin(), x_.begin() + used);
            first_ += used;
        }
    }
    return done;
}

channel_result cassette(const std::vector<float>& in, unsigned rate, const rung& r, const channel_options& o) {
    cassette_source source(in, rate, r, o);
    channel_result out;
    float buffer[4096];
    for (std::size_t n; (n = source.read(buffer, std::size(buffer))) > 0;)
        out.samples.insert(out.samples.end(), buffer, buffer + n);
    out.dropouts = source.dropouts();
    return out;
}

}  // namespace korvax_test

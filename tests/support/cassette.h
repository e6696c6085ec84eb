// A cassette channel: what recording a WAV onto tape and playing it back into
// a sound card does to it, as a ladder of rungs from a clean copy to a tape in
// bad shape. Deterministic for a seed.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/samples.h"

namespace korvax_test {

struct rung {
    double hpf_hz;            // first-order high-pass (AC coupling); 0: none
    double lpf_hz;            // first-order low-pass (head loss); 0: none
    double snr_db;            // white noise below the signal's RMS; 0: none
    double speed_pct;         // constant speed error
    double wow_pct;           // peak speed deviation at 0.5 Hz
    double flutter_pct;       // peak speed deviation at 8 Hz
    double drift_db;          // level drift at 0.1 Hz, peak to peak
    double dropouts_per_min;  // 20 ms dips of -20 dB
    double hum_db;            // 50 Hz hum against the signal's RMS; 0: none
    double gain_db;
    double dc;                // offset, in full scale
};

inline constexpr rung ladder[] = {
    {20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {20, 8000, 30, 0, 0, 0, 0, 0, 0, 0, 0},
    {20, 8000, 24, 2.0, 0, 0.3, 0, 0, 0, 0, 0},
    {30, 6000, 20, 2.5, 0.3, 0.4, 1, 0, -40, -6, 0.002},
    {40, 5000, 16, 3.0, 0.5, 0.6, 2, 1, -34, -9, 0.004},
    {50, 4500, 12, 3.5, 0.8, 0.8, 3, 2, -28, -12, 0.006},
    {70, 4000, 9, 4.0, 1.0, 1.0, 4, 4, -22, -16, 0.008},
    {100, 3000, 6, 5.0, 1.5, 1.5, 6, 8, -16, -20, 0.010},
};

struct channel_options {
    bool dropouts = true;
    bool invert = false;
    bool slow = false;  // the speed error makes the tape slower, not faster
    std::uint64_t seed = 1;
};

// Where a dropout lies in the output, in seconds.
struct dropout {
    double from, to;
};

// The input through the channel, made as a reader asks for it, so that an
// hour of tape costs no more memory than its input: time warp (speed, wow,
// flutter), low-pass, level drift, dropouts, noise, hum, high-pass, then
// gain, DC offset, polarity and 16-bit clipping. The noise and hum are set
// against the RMS of the low-passed input. The input is full scale +-1
// floats, or the program's own 8-bit samples (128 the middle); it must
// outlive the source.
class cassette_source final : public korvax::sample_source {
public:
    cassette_source(std::span<const float> in, unsigned rate, const rung& r, const channel_options& o = {});
    cassette_source(std::span<const std::uint8_t> in, unsigned rate, const rung& r, const channel_options& o = {});
    std::uint32_t rate() const override { return rate_; }
    std::size_t read(float* out, std::size_t n) override;
    const std::vector<dropout>& dropouts() const { return dropouts_; }

private:
    void start(const rung& r, const channel_options& o);
    double input(long k) const;
    double interpolate(double p) const;
    double uniform();
    double normal();
    void new_block(double t);

    std::span<const float> floats_;
    std::span<const std::uint8_t> bytes_;
    std::size_t size_;
    unsigned rate_;
    rung r_{};
    std::uint64_t rng_ = 0;
    double spare_ = 0;  // the second normal deviate of a pair
    bool has_spare_ = false;
    double speed_ = 1, wow_ = 0, flutter_ = 0, phase_[4] = {}, level_ = 0, sigma_ = 0, hum_ = 0, gain_ = 1;
    double lpf_a_ = 0, hpf_a_ = 0, lpf_ = 0, hpf_in_ = 0, hpf_out_ = 0;
    // Every few samples the slow oscillators (wow, flutter, drift, hum) are
    // set exactly; in between they turn by a fixed rotation.
    double cos_[4] = {}, sin_[4] = {}, step_cos_[4] = {}, step_sin_[4] = {}, drift_ = 1, drift_step_ = 0;
    std::size_t n_ = 0, next_dropout_ = 0;
    std::vector<dropout> dropouts_;
};

// A source recorded at half its rate, as a sound card records a tape: low-
// passed below the new rate's Nyquist frequency, every other sample kept,
// each rounded to 16 bits. So the channel's hiss, white up to the rate's
// Nyquist frequency, is no denser in the signal's band at 22050 Hz than at
// 44100 Hz, as a tape's is not.
class halving_source final : public korvax::sample_source {
public:
    explicit halving_source(std::unique_ptr<korvax::sample_source> in);
    std::uint32_t rate() const override { return in_->rate() / 2; }
    std::size_t read(float* out, std::size_t n) override;

private:
    std::unique_ptr<korvax::sample_source> in_;
    std::vector<double> taps_;
    std::vector<float> x_;       // the input from sample `first_` on
    long first_ = 0, next_ = 0;  // next_: the input sample the next output is centred on
    bool ended_ = false;
};

// The whole output at once, for a short signal.
struct channel_result {
    std::vector<float> samples;  // at the input's rate, clipped to 16 bits
    std::vector<dropout> dropouts;
};
channel_result cassette(const std::vector<float>& in, unsigned rate, const rung& r, const channel_options& o = {});

}  // namespace korvax_test

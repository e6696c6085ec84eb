// A cassette channel: what recording a WAV onto tape and playing it back into
// a sound card does to it, as a ladder of rungs from a clean copy to a tape in
// bad shape. Deterministic for a seed.
#pragma once

#include <cstdint>
#include <vector>

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

struct channel_result {
    std::vector<float> samples;  // at the input's rate, clipped to 16 bits
    std::vector<dropout> dropouts;
};

// The samples (full scale +-1) through the channel, in this order: time warp
// (speed, wow, flutter), low-pass, level drift, dropouts, noise, hum,
// high-pass, then gain, DC offset, polarity and 16-bit clipping.
channel_result cassette(const std::vector<float>& in, unsigned rate, const rung& r, const channel_options& o = {});

}  // namespace korvax_test

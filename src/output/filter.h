// DC-blocking high-pass filter that every sample passes before it is stored.
//
// The accumulator is a one-pole low-pass of the input; the output is the input
// minus it, held to +-127. It is plain IEEE double arithmetic, evaluated in the
// written order, so the bytes do not depend on compiler or optimisation level.
#pragma once

namespace korvax {

constexpr double hp_cutoff_frq = 100.0;  // Hz

struct hp_filter {
    double hpc = 0.0;      // coefficient exp(-2 pi fc / rate)
    double hp_accu = 0.0;  // carried from sample to sample for the whole run
};

// A fresh filter for the sample rate.
hp_filter filter_init(unsigned sample_rate);

// One filter step: the high-passed value of level, held to -127..127 and
// truncated toward zero.
int filter_output(hp_filter& filter, int level);

// The held, truncated filter output as an int.
constexpr int clamp_filtered(double y) {
    if (y < -127.0) y = -127.0;
    if (y > 127.0) y = 127.0;
    return static_cast<int>(y);
}

}  // namespace korvax

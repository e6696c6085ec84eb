#include "output/filter.h"

#include <cmath>

namespace korvax {

hp_filter filter_init(unsigned sample_rate) {
    constexpr double two_pi = 6.283185307179586;
    return {std::exp(-two_pi * hp_cutoff_frq / sample_rate), 0.0};
}

int filter_output(hp_filter& filter, int level) {
    const double x = level;
    filter.hp_accu = filter.hpc * filter.hp_accu + (1.0 - filter.hpc) * x;
    return clamp_filtered(x - filter.hp_accu);
}

}  // namespace korvax

#include "formats/cbm/encoder.h"

namespace korvax::cbm {

void play_tap(int version, std::span<const std::uint8_t> data, std::uint32_t frequency, const signal_levels& s,
              timeline& t) {
    t.clock(frequency, rounding::each_pulse);
    // The level of the next version 2 half-wave; it flips after every one,
    // even an empty one.
    std::uint8_t level = v2_first_level;
    if (version == 2) {
        for_each_tap_pulse(version, data, [&](std::uint64_t units) {
            t.hold(level, units);
            level ^= s.p_gain;
        });
    } else {
        for_each_tap_pulse(version, data, [&](std::uint64_t units) { t.pulse(0, s.p_gain, units); });
    }
}

void play_programs(const std::vector<program>& programs, const signal_levels& s, timeline& t) {
    t.clock(c64_pal, rounding::each_pulse);
    for_each_kernal_pulse(
        programs, [&](std::uint64_t units) { t.pulse(s.p_gain, 0, units); }, [](std::span<const std::uint8_t>) {});
}

}  // namespace korvax::cbm

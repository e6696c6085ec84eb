#include "formats/cbm/encoder.h"

namespace korvax::cbm {

void play_tap(int version, std::span<const std::uint8_t> data, std::uint32_t frequency, const signal_levels& s,
              timeline& t) {
    t.clock(frequency, rounding::each_pulse);
    // The level of the next version 2 half-wave; it flips after every one,
    // even an empty one.
    std::uint8_t level = v2_first_level;
    // A pulse of a tenth of a second or more is a pause between the tape's
    // parts, as far as a map of the tape is concerned.
    const std::uint64_t pause = frequency / 10;
    bool paused = true;
    const auto mark = [&](std::uint64_t units) {
        if (units >= pause) {
            t.mark(tape_mark::what::pause);
            paused = true;
        } else if (paused) {
            t.mark(tape_mark::what::data);
            paused = false;
        }
    };
    if (version == 2) {
        for_each_tap_pulse(version, data, [&](std::uint64_t units) {
            mark(units);
            t.hold(level, units);
            level ^= s.p_gain;
        });
    } else {
        for_each_tap_pulse(version, data, [&](std::uint64_t units) {
            mark(units);
            t.pulse(0, s.p_gain, units);
        });
    }
    t.mark(tape_mark::what::end);
}

void play_programs(const std::vector<program>& programs, const signal_levels& s, timeline& t) {
    t.clock(c64_pal, rounding::each_pulse);
    for_each_kernal_pulse(
        programs, [&](std::uint64_t units) { t.pulse(s.p_gain, 0, units); },
        [&](tape_mark::what kind, std::string label) { t.mark(kind, std::move(label)); });
    t.mark(tape_mark::what::end);
}

}  // namespace korvax::cbm

// The pulse comparison of the read-back check, a template over the walk of
// the expected pulses (a TAP image's, or the ones SAVE makes of programs).
#pragma once

#include <cmath>

namespace korvax::cbm {

template <typename W>
readback read_pulses(sample_source& wav, bool half_waves, std::uint32_t units_per_second, W walk,
                     kernal_reader* kernal) {
    readback r;
    r.unit = "pulses";
    pulse_reader pulses(wav, half_waves);
    // A loader times each pulse from the start of its high half.
    if (!pulses.starts_falling()) {
        r.error = "the first pulse starts with its low half, so every pulse is read half a pulse out of step";
        return r;
    }
    const double per_unit = double(wav.rate()) / units_per_second;
    // Each pulse's length rounded to the nearest sample, as the encoder
    // rounds it; a tape has few distinct lengths, so the last few are kept.
    struct rounded {
        std::uint64_t units = ~std::uint64_t{0}, samples = 0;
    } kept[8];
    const auto round = [&](std::uint64_t u) {
        rounded& k = kept[u & 7];
        if (k.units != u) k = {u, (std::uint64_t{wav.rate()} * u + units_per_second / 2) / units_per_second};
        return k.samples;
    };
    std::int64_t off = 0;
    std::uint64_t at = 0, expected = 0;  // the pulse's first sample; the pulses the image holds
    bool stopped = false, ran_out = false;
    walk([&](std::uint64_t u) {
        ++expected;
        if (stopped) return;
        std::uint64_t got = 0;
        if (!pulses.next(got)) {
            ran_out = stopped = true;
            return;
        }
        if (kernal != nullptr) kernal->pulse(got);
        if (std::abs(double(got) - double(u) * per_unit) > pulse_tolerance_samples) {
            r.error = "pulse " + std::to_string(r.count) + " at sample " + std::to_string(at) + " is " +
                      std::to_string(got) + " samples, where it should be " + number(double(u) * per_unit);
            stopped = true;
            return;
        }
        at += got;
        ++r.count;
        off += std::int64_t(got) - std::int64_t(round(u));
    });
    if (!r.error.empty()) return r;
    std::uint64_t more = 0;
    if (!ran_out && pulses.next(more)) {
        r.error = "more pulses read back than the image holds (" + std::to_string(expected) + ")";
        return r;
    }
    if (r.count != expected)
        r.error = std::to_string(r.count) + " of " + std::to_string(expected) +
                  " pulses read back: the shorter ones vanish at this rate";
    else if (off != 0)
        r.error = "the pulses add up to " + std::to_string(off) + " samples more than the image's";
    return r;
}

}  // namespace korvax::cbm

#include "formats/pulses.h"

namespace korvax {

void square_pulse(wav_writer& out, std::uint64_t units, std::uint32_t units_per_second, std::uint8_t gain) {
    const std::uint64_t samples = pulse_samples(units, units_per_second, out.sample_rate);
    out.run(0, samples / 2);
    out.run(gain, samples - samples / 2);
}

}  // namespace korvax

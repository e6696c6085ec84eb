#include "formats/pulses.h"

namespace korvax {

void square_pulse(wav_writer& out, std::uint64_t units, std::uint32_t units_per_second, std::uint8_t gain,
                  bool high_first) {
    const std::uint64_t samples = pulse_samples(units, units_per_second, out.sample_rate);
    out.run(high_first ? gain : 0, samples / 2);
    out.run(high_first ? 0 : gain, samples - samples / 2);
}

}  // namespace korvax

// TRS-80 Model I / Video Genie CAS images (500 baud, Level II).
//
// The image is the byte stream the machine's cassette routine writes: its
// leader of zero bytes, the sync byte 0xA5, then the program. Every byte is
// played, most significant bit first, in bit cells of 3,566 cycles of the
// 1.7472 MHz clock. Each cell starts with a clock pulse (238 cycles high, 238
// low); a 1 bit has a second pulse at the start of the second half cell. The
// rest of a cell is silence. Each run is truncated to samples on its own, so
// no remainder carries from run to run. A silence of 55,300 cycles comes
// first.
#include "formats/cas_trs80.h"

#include "formats/zero_leader.h"

namespace korvax {
namespace {

constexpr std::uint32_t trs80_clock_hz = 1'747'200;
constexpr std::uint32_t leadin_cycles = 55'300;
constexpr std::uint32_t pulse_half_cycles = 238;
constexpr std::uint32_t bit_cell_cycles = 3'566;
constexpr std::uint32_t pulse_cycles = 2 * pulse_half_cycles;

// Sample counts of the three runs of one pulse: high, low, then the silence
// that fills its (half) cell.
struct pulse_runs {
    std::uint64_t half;
    std::uint64_t rest;
};

void dump_pulse(wav_writer& out, const signal_levels& s, const pulse_runs& runs) {
    out.run(s.p_gain, runs.half);
    out.run(-static_cast<int>(s.p_gain), runs.half);
    out.run(s.p_silence, runs.rest);
}

bool cas_analyze(const char* path) { return has_zero_leader(path, ".cas"); }

void cas_convert(std::FILE* in, const char*, wav_writer& out, const signal_levels& s) {
    const auto samples = [&](std::uint64_t cycles) { return out.samples(cycles, trs80_clock_hz); };
    const std::uint64_t half = samples(pulse_half_cycles);
    const pulse_runs zero{half, samples(bit_cell_cycles - pulse_cycles)};
    const pulse_runs one{half, samples(bit_cell_cycles / 2 - pulse_cycles)};
    out.run(s.p_silence, samples(leadin_cycles));
    for (int c; (c = std::getc(in)) != EOF;) {
        for (int bit = 7; bit >= 0; --bit) {
            if ((c >> bit) & 1) {
                dump_pulse(out, s, one);
                dump_pulse(out, s, one);
            } else {
                dump_pulse(out, s, zero);
            }
        }
    }
}

// A pulse opens every cell; a second one half a cell later makes the bit a 1.
readback cas_verify(std::FILE* in, const char*, const wav_samples& wav) {
    const double cell = double(bit_cell_cycles) * wav.sample_rate / trs80_clock_hz;
    return read_bytes(pulse_starts(wav.samples), wav.samples.size(), cell, read_rest(in));
}

}  // namespace

const tape_format cas_trs80_format = {
    .name = "CAS",
    .extension = "cas",
    .description = "TRS-80 Model I/VideoGenie high level tape image",
    .analyze = cas_analyze,
    .convert = cas_convert,
    .verify = cas_verify,
    .recommended_rate = 22050,
    .analyzed_when_forced = false,
};

}  // namespace korvax

// Homelab HTP images.
//
// Like a TRS-80 image, the file is the byte stream the machine writes: its
// leader of zero bytes (of any length), 0xA5, then name, address, length, data and checksum
// (and further blocks). Every byte is played as single positive pulses in
// cells of 4,425 cycles of the 3 MHz clock: 570 cycles high, then silence. A 1
// bit has two pulses, one at the start of each 2,212-cycle half cell. Bit 0,
// the last of each byte, has 680-cycle highs instead, so its cell is 110
// cycles longer per pulse; the loader uses it to find byte boundaries. A
// silence of 55,300 cycles comes first.
#include "formats/htp.h"

#include "formats/zero_leader.h"

namespace korvax {
namespace {

constexpr std::uint32_t homelab_clock_hz = 3'000'000;
constexpr std::uint32_t leadin_cycles = 55'300;
constexpr std::uint32_t pulse_cycles = 570;
constexpr std::uint32_t last_pulse_cycles = 680;
constexpr std::uint32_t bit_cell_cycles = 4'425;

// Sample counts of one pulse: the high part, then the silence after it.
struct pulse_runs {
    std::uint64_t high;
    std::uint64_t rest;
};

// The two pulse shapes of a bit: a 0 has one pulse, a 1 two shorter-celled ones.
struct bit_shapes {
    pulse_runs zero;
    pulse_runs one;
};

void dump_pulse(wav_writer& out, const signal_levels& s, const pulse_runs& runs) {
    out.run(s.p_gain, runs.high);
    out.run(s.p_silence, runs.rest);
}

void dump_bit(wav_writer& out, const signal_levels& s, const bit_shapes& shapes, int bit) {
    if (bit) {
        dump_pulse(out, s, shapes.one);
        dump_pulse(out, s, shapes.one);
    } else {
        dump_pulse(out, s, shapes.zero);
    }
}

bool htp_analyze(const char* path) { return image_start(path, ".htp", false).kind != tape_start::none; }

std::string htp_kind_line(const char* path) { return tape_start_line(image_start(path, nullptr, false)); }

void htp_convert(std::FILE* in, const char*, wav_writer& out, const signal_levels& s) {
    const auto samples = [&](std::uint64_t cycles) { return out.samples(cycles, homelab_clock_hz); };
    // The silence after a pulse is counted from the ordinary 570-cycle high
    // even in bit 0, whose high is longer.
    const std::uint64_t rest_zero = samples(bit_cell_cycles - pulse_cycles);
    const std::uint64_t rest_one = samples(bit_cell_cycles / 2 - pulse_cycles);
    const std::uint64_t high = samples(pulse_cycles);
    const std::uint64_t last_high = samples(last_pulse_cycles);
    const bit_shapes inner{{high, rest_zero}, {high, rest_one}};
    const bit_shapes last{{last_high, rest_zero}, {last_high, rest_one}};
    out.run(s.p_silence, samples(leadin_cycles));
    for (int c; (c = std::getc(in)) != EOF;) {
        for (int bit = 7; bit >= 1; --bit) dump_bit(out, s, inner, (c >> bit) & 1);
        dump_bit(out, s, last, c & 1);
    }
}

// Bytes are framed by counting bits; the last bit's longer pulses (2.5% of a
// cell) are well within the reader's tolerance.
readback htp_verify(std::FILE* in, const char*, const wav_samples& wav, const signal_levels&) {
    const double cell = double(bit_cell_cycles) * wav.sample_rate / homelab_clock_hz;
    return read_bytes(pulse_starts(wav.samples), wav.samples.size(), cell, read_rest(in));
}

}  // namespace

const tape_format htp_format = {
    .name = "HTP",
    .extension = "htp",
    .description = "Homelab high level tape image",
    .analyze = htp_analyze,
    .convert = htp_convert,
    .verify = htp_verify,
    // Below it the last bit's longer pulse rounds to as many samples as the
    // others, and a loader that looks for it to frame bytes is lost.
    .kind_line = htp_kind_line,
    .recommended_rate = 44100,
    .analyzed_when_forced = false,
};

}  // namespace korvax

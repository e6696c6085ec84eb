// Homelab HTP images.
//
// Like a TRS-80 image, the file is the byte stream the machine writes: its
// leader of zero bytes, 0xA5, then name, address, length, data and checksum
// (and further blocks). Every byte is played as single positive pulses in
// cells of 4,425 cycles of the 3 MHz clock: 570 cycles high, then silence. A 1
// bit has two pulses, one at the start of each 2,212-cycle half cell. Bit 0,
// the last of each byte, has 680-cycle highs instead, so its cell is 110
// cycles longer per pulse; the loader uses it to find byte boundaries.
#include "formats/htp.h"

#include "formats/zero_leader.h"
#include "output/wav.h"

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

void dump_pulse(wav_file& out, const pulse_runs& runs) {
    wav_write_run(settings.p_gain, runs.high, out);
    wav_write_run(settings.p_silence, runs.rest, out);
}

void dump_bit(wav_file& out, const bit_shapes& shapes, int bit) {
    if (bit) {
        dump_pulse(out, shapes.one);
        dump_pulse(out, shapes.one);
    } else {
        dump_pulse(out, shapes.zero);
    }
}

void htp_init() {
    machine.leadin_cycles = leadin_cycles;
    machine.clock_hz = homelab_clock_hz;
}

int htp_open() { return 0; }

int htp_analyze(const char* path) { return has_zero_leader(path, ".htp") ? fmt_htp : fmt_count; }

int htp_convert(std::FILE* in, wav_file& out) {
    // The silence after a pulse is counted from the ordinary 570-cycle high
    // even in bit 0, whose high is longer.
    const std::uint64_t rest_zero = cycles_to_samples(bit_cell_cycles - pulse_cycles);
    const std::uint64_t rest_one = cycles_to_samples(bit_cell_cycles / 2 - pulse_cycles);
    const std::uint64_t high = cycles_to_samples(pulse_cycles);
    const std::uint64_t last_high = cycles_to_samples(last_pulse_cycles);
    const bit_shapes inner{{high, rest_zero}, {high, rest_one}};
    const bit_shapes last{{last_high, rest_zero}, {last_high, rest_one}};
    for (int c; (c = std::getc(in)) != EOF;) {
        for (int bit = 7; bit >= 1; --bit) dump_bit(out, inner, (c >> bit) & 1);
        dump_bit(out, last, c & 1);
    }
    return 0;
}

int htp_read_bit() { return 0; }
int htp_dump_bit() { return 0; }
void htp_close() {}

}  // namespace

const tape_format htp_format = {
    .name = "HTP",
    .extension = "htp",
    .description = "Homelab high level tape image",
    .init = htp_init,
    .open = htp_open,
    .analyze = htp_analyze,
    .convert = htp_convert,
    .read_bit = htp_read_bit,
    .dump_bit = htp_dump_bit,
    .close = htp_close,
    .analyze_loads_image = false,
};

}  // namespace korvax

// TRS-80 Model I / Video Genie CAS images (500 baud, Level II).
//
// The image is the byte stream the machine's cassette routine writes: its
// leader of zero bytes, the sync byte 0xA5, then the program. Every byte is
// played, most significant bit first, in bit cells of 3,566 cycles of the
// 1.7472 MHz clock. Each cell starts with a clock pulse (238 cycles high, 238
// low); a 1 bit has a second pulse at the start of the second half cell. The
// rest of a cell is silence. Each run is truncated to samples on its own, so
// no remainder carries from run to run.
#include "formats/cas_trs80.h"

#include "formats/zero_leader.h"
#include "output/wav.h"

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

void dump_pulse(wav_file& out, const pulse_runs& runs) {
    wav_write_run(settings.p_gain, runs.half, out);
    wav_write_run(-static_cast<int>(settings.p_gain), runs.half, out);
    wav_write_run(settings.p_silence, runs.rest, out);
}

void cas_init() {
    machine.leadin_cycles = leadin_cycles;
    machine.clock_hz = trs80_clock_hz;
}

int cas_open() { return 0; }

int cas_analyze(const char* path) { return has_zero_leader(path, ".cas") ? fmt_cas : fmt_count; }

int cas_convert(std::FILE* in, wav_file& out) {
    const std::uint64_t half = cycles_to_samples(pulse_half_cycles);
    const pulse_runs zero{half, cycles_to_samples(bit_cell_cycles - pulse_cycles)};
    const pulse_runs one{half, cycles_to_samples(bit_cell_cycles / 2 - pulse_cycles)};
    for (int c; (c = std::getc(in)) != EOF;) {
        for (int bit = 7; bit >= 0; --bit) {
            if ((c >> bit) & 1) {
                dump_pulse(out, one);
                dump_pulse(out, one);
            } else {
                dump_pulse(out, zero);
            }
        }
    }
    return 0;
}

int cas_read_bit() { return 0; }
int cas_dump_bit() { return 0; }
void cas_close() {}

}  // namespace

const tape_format cas_trs80_format = {
    .name = "CAS",
    .extension = "cas",
    .description = "TRS-80 Model I/VideoGenie high level tape image",
    .init = cas_init,
    .open = cas_open,
    .analyze = cas_analyze,
    .convert = cas_convert,
    .read_bit = cas_read_bit,
    .dump_bit = cas_dump_bit,
    .close = cas_close,
    .analyze_loads_image = false,
};

}  // namespace korvax

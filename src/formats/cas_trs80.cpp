// TRS-80 Model I, III and 4 / Video Genie CAS images, at three speeds.
//
// The image is the byte stream the machine's cassette routine writes: its
// leader, the sync byte, then the program. Every byte is played, most
// significant bit first, after a silence of 55,300 cycles of the 1.7472 MHz
// clock. The speed is the one -b asks for, else the image's own
// (formats/zero_leader.h tells them apart):
// - 500 baud (Level II): bit cells of 3,566 cycles. Each cell starts with a
//   clock pulse (238 cycles high, 238 low); a 1 bit has a second pulse at the
//   start of the second half cell. The rest of a cell is silence. Each run is
//   truncated to samples on its own, so no remainder carries from run to run.
// - 250 baud (Level I): the same, in cells of 6,240 cycles (1/280 s: real
//   Level I recordings run at about 280 bits a second).
// - 1500 baud (Model III and 4 high speed): every bit is one whole cycle, a
//   half at the gain, then a half at its negative: 720 us for a 0, 340 us for
//   a 1. The image already holds each data byte's start bit, so its bits are
//   played as they are. One more half cycle at the gain, as long as the last
//   bit's half, gives the last bit its closing edge. A half cycle is a few
//   samples only, so every edge is placed at the sample nearest its exact
//   time, and no error builds up from cycle to cycle.
#include "formats/cas_trs80.h"

#include "formats/zero_leader.h"

namespace korvax {
namespace {

constexpr std::uint32_t trs80_clock_hz = 1'747'200;
constexpr std::uint32_t leadin_cycles = 55'300;
constexpr std::uint32_t pulse_half_cycles = 238;
constexpr std::uint32_t pulse_cycles = 2 * pulse_half_cycles;
constexpr std::uint32_t level2_cell_cycles = 3'566;
constexpr std::uint32_t level1_cell_cycles = 6'240;
constexpr std::uint64_t us_per_second = 1'000'000;
constexpr std::uint64_t fast_zero_us = 720;
constexpr std::uint64_t fast_one_us = 340;

// The speed to play at: the one asked for, else the image's own.
int baud_of(std::FILE* in, const signal_levels& s) {
    if (s.baud != 0) return s.baud;
    switch (read_tape_start(in, true).kind) {
        case tape_start::level1:
            return 250;
        case tape_start::high_speed:
            return 1500;
        default:
            return 500;
    }
}

std::uint32_t cell_cycles(int baud) { return baud == 250 ? level1_cell_cycles : level2_cell_cycles; }

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

void pulse_convert(std::FILE* in, wav_writer& out, const signal_levels& s, std::uint32_t cell) {
    const auto samples = [&](std::uint64_t cycles) { return out.samples(cycles, trs80_clock_hz); };
    const std::uint64_t half = samples(pulse_half_cycles);
    const pulse_runs zero{half, samples(cell - pulse_cycles)};
    const pulse_runs one{half, samples(cell / 2 - pulse_cycles)};
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

// Edges at exact times in microseconds from the end of the lead-in, each at
// its nearest sample.
void cycle_convert(std::FILE* in, wav_writer& out, const signal_levels& s) {
    std::uint64_t us = 0, at = 0;
    const auto half = [&](int level, std::uint64_t length_us) {
        us += length_us;
        const std::uint64_t edge = (us * out.sample_rate + us_per_second / 2) / us_per_second;
        out.run(level, edge - at);
        at = edge;
    };
    std::uint64_t last_half = 0;
    for (int c; (c = std::getc(in)) != EOF;) {
        for (int bit = 7; bit >= 0; --bit) {
            last_half = ((c >> bit) & 1 ? fast_one_us : fast_zero_us) / 2;
            half(s.p_gain, last_half);
            half(-static_cast<int>(s.p_gain), last_half);
        }
    }
    half(s.p_gain, last_half);
}

bool cas_analyze(const char* path) { return image_start(path, ".cas", true).kind != tape_start::none; }

std::string cas_kind_line(const char* path) { return tape_start_line(image_start(path, nullptr, true)); }

void cas_convert(std::FILE* in, const char*, wav_writer& out, const signal_levels& s) {
    const int baud = baud_of(in, s);
    out.run(s.p_silence, out.samples(leadin_cycles, trs80_clock_hz));
    if (baud == 1500)
        cycle_convert(in, out, s);
    else
        pulse_convert(in, out, s, cell_cycles(baud));
}

// At 250 and 500 baud a pulse opens every cell, and a second one half a cell
// later makes the bit a 1. At 1500 baud each bit is a whole cycle.
readback cas_verify(std::FILE* in, const char*, const wav_samples& wav, const signal_levels& s) {
    const int baud = baud_of(in, s);
    if (baud == 1500) {
        const double per_us = double(wav.sample_rate) / us_per_second;
        return read_cycles(wav.samples, fast_zero_us * per_us, fast_one_us * per_us, read_rest(in));
    }
    const double cell = double(cell_cycles(baud)) * wav.sample_rate / trs80_clock_hz;
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
    .kind_line = cas_kind_line,
    .recommended_rate = 22050,
    .analyzed_when_forced = false,
};

}  // namespace korvax

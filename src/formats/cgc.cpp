// Colour Genie CAS images (1200 baud).
//
// An image may start with the emulator's text header: the 32 characters
// "Colour Genie - Virtual Tape File", free text, and a 0x00 that ends it. The
// recorded bytes follow, starting with the sync byte 0x66 ("f"); an image
// without the header holds only these bytes. The machine's own leader is not
// in the image, so it is written here: 255 bytes of 0xAA.
//
// The signal is a square wave whose level changes after every half-wave,
// between the gain level and the silence level, and carries on across bit and
// byte boundaries. A 0 bit is one half-wave of 1/1200 s, a 1 bit two
// half-waves of 1/2400 s; bits go most significant first. Each half-wave
// length is truncated to whole samples, so a 1 may be a sample shorter than a
// 0 (at 11025 Hz: 9 samples for a 0, 4 + 4 for a 1). The leader and the data
// sit between two silences of 15,000 cycles of the 2.21675 MHz clock (6.8 ms);
// a last half-wave at the silence level runs on into the closing silence.
#include "formats/cgc.h"

#include <cstring>
#include <memory>

#include "formats/zero_leader.h"
#include "output/wav.h"

namespace korvax {
namespace {

constexpr std::uint32_t cgenie_clock_hz = 2'216'750;
constexpr std::uint32_t silence_cycles = 15'000;
constexpr double bit_rate = 1200.0;
constexpr int leader_bytes = 255;
constexpr int leader_byte = 0xAA;
constexpr int sync_byte = 0x66;  // "f"
constexpr char header_text[] = "Colour Genie - Virtual Tape File";
constexpr std::size_t header_text_size = sizeof header_text - 1;  // 32, no terminator

// The square wave of one conversion: the samples per half-wave of each bit
// value, and whether the next half-wave is at the silence level. A fresh one
// per conversion, so every conversion starts at the gain level.
struct square_wave {
    std::uint64_t half_wave[2];  // [bit]: (rate / 1200) / (bit + 1), truncated
    bool low = false;
};

square_wave make_square_wave() {
    square_wave w{};
    const double zero = wave.sample_rate / bit_rate;
    w.half_wave[0] = static_cast<std::uint64_t>(zero);
    w.half_wave[1] = static_cast<std::uint64_t>(zero / 2);
    return w;
}

void dump_bit(wav_file& out, square_wave& w, int bit) {
    for (int i = 0; i <= bit; ++i) {
        wav_write_run(w.low ? settings.p_silence : settings.p_gain, w.half_wave[bit], out);
        w.low = !w.low;
    }
}

void output_wav_byte(wav_file& out, square_wave& w, int byte) {
    for (int bit = 7; bit >= 0; --bit) dump_bit(out, w, (byte >> bit) & 1);
}

void write_silence(wav_file& out) {
    wav_write_run(settings.p_silence, cycles_to_samples(silence_cycles), out);
}

// Whether the stream starts with the header text. Reads from the start and
// leaves the stream at its start; a file shorter than the text has no header.
// Detection and conversion both ask this, so they cannot disagree.
bool starts_with_header_text(std::FILE* in) {
    char start[header_text_size];
    std::fseek(in, 0, SEEK_SET);
    const std::size_t got = std::fread(start, 1, sizeof start, in);
    std::fseek(in, 0, SEEK_SET);
    return got == sizeof start && std::memcmp(start, header_text, sizeof start) == 0;
}

// Leaves the stream where the recorded bytes start and returns the header's
// length, or 0 when there is none. The byte after the header's 0x00 starts the
// data only when it is the sync byte; any other byte there is dropped.
long cg_get_header_size(std::FILE* in) {
    if (!starts_with_header_text(in)) {
        std::fputs("CAS file without header.\n", stderr);
        return 0;
    }
    for (int c; (c = std::getc(in)) != EOF && c != 0;) {
    }
    const int first = std::getc(in);
    if (first != sync_byte) return 0;
    std::ungetc(first, in);
    const long size = std::ftell(in);
    std::fprintf(stderr, "CAS header size %ld bytes.\n", size);
    return size;
}

void cgc_init() { machine.clock_hz = cgenie_clock_hz; }

int cgc_open() { return 0; }

// An image with the header text, whatever its name. Without the text, a .cas
// image that starts with the sync byte (or a leader of sync bytes) or with its
// own 0xAA leader; a TRS-80 image starts with 0x00 instead.
int cgc_analyze(const char* path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path, "rb"), std::fclose);
    if (!f) return fmt_count;
    if (starts_with_header_text(f.get())) return fmt_cgc;
    const int first = std::getc(f.get());
    return (first == sync_byte || first == leader_byte) && has_extension(path, ".cas") ? fmt_cgc
                                                                                   : fmt_count;
}

int cgc_convert(std::FILE* in, wav_file& out) {
    square_wave w = make_square_wave();
    write_silence(out);
    cg_get_header_size(in);
    for (int i = 0; i < leader_bytes; ++i) output_wav_byte(out, w, leader_byte);
    std::fputs("Writing leader (AAh) bytes.\n", stderr);
    for (int c; (c = std::getc(in)) != EOF;) output_wav_byte(out, w, c);
    write_silence(out);
    return 0;
}

int cgc_read_bit() { return 0; }
int cgc_dump_bit() { return 0; }
void cgc_close() {}

}  // namespace

const tape_format cgc_format = {
    .name = "CGC",
    .extension = "cas",
    .description = "Colour Genie high level tape image format",
    .init = cgc_init,
    .open = cgc_open,
    .analyze = cgc_analyze,
    .convert = cgc_convert,
    .read_bit = cgc_read_bit,
    .dump_bit = cgc_dump_bit,
    .close = cgc_close,
    .analyze_loads_image = false,
};

}  // namespace korvax

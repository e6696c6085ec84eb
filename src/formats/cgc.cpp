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

#include <algorithm>
#include <cstring>

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
    wav_writer& out;
    const signal_levels& s;
    std::uint64_t half_wave[2];  // [bit]: (rate / 1200) / (bit + 1), truncated
    bool low = false;

    square_wave(wav_writer& w, const signal_levels& levels) : out(w), s(levels) {
        const double zero = w.sample_rate / bit_rate;
        half_wave[0] = static_cast<std::uint64_t>(zero);
        half_wave[1] = static_cast<std::uint64_t>(zero / 2);
    }

    void dump_bit(int bit) {
        for (int i = 0; i <= bit; ++i) {
            out.run(low ? s.p_silence : s.p_gain, half_wave[bit]);
            low = !low;
        }
    }

    void output_wav_byte(int byte) {
        for (int bit = 7; bit >= 0; --bit) dump_bit((byte >> bit) & 1);
    }
};

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

// Leaves the stream where the recorded bytes start, saying what it found when
// `report`. The byte after the header's 0x00 starts the data only when it is
// the sync byte; any other byte there is dropped.
void skip_header(std::FILE* in, bool report) {
    if (!starts_with_header_text(in)) {
        if (report) std::fputs("CAS file without header.\n", stderr);
        return;
    }
    for (int c; (c = std::getc(in)) != EOF && c != 0;) {
    }
    const int first = std::getc(in);
    if (first != sync_byte) return;
    std::ungetc(first, in);
    if (report) std::fprintf(stderr, "CAS header size %ld bytes.\n", std::ftell(in));
}

// An image with the header text, whatever its name. Without the text, a .cas
// image that starts with the sync byte (or a leader of sync bytes) or with its
// own 0xAA leader; a TRS-80 image starts with 0x00 instead.
bool cgc_analyze(const char* path) {
    const file_ptr f = open_image(path);
    if (!f) return false;
    const bool text = starts_with_header_text(f.get());
    const int first = std::getc(f.get());
    check_read(f.get(), path);
    return text || ((first == sync_byte || first == leader_byte) && has_extension(path, ".cas"));
}

void cgc_convert(std::FILE* in, const char*, wav_writer& out, const signal_levels& s) {
    square_wave w(out, s);
    const std::uint64_t silence = out.samples(silence_cycles, cgenie_clock_hz);
    out.run(s.p_silence, silence);
    skip_header(in, !out.quiet);
    for (int i = 0; i < leader_bytes; ++i) w.output_wav_byte(leader_byte);
    if (!out.quiet) std::fputs("Writing leader (AAh) bytes.\n", stderr);
    for (int c; (c = std::getc(in)) != EOF;) w.output_wav_byte(c);
    out.run(s.p_silence, silence);
}

// Half-waves alternate between two levels, so every level change is read.
// When the last half-wave is at the silence level it has no edge of its own:
// the start of the closing silence ends it.
readback cgc_verify(std::FILE* in, const char*, const wav_samples& wav, const signal_levels&) {
    const double zero = wav.sample_rate / bit_rate;
    const std::size_t n = wav.samples.size();
    const std::size_t silence = n - std::min<std::size_t>(n, cycles_to_samples(silence_cycles, cgenie_clock_hz, wav.sample_rate));
    std::vector<std::size_t> at;
    for (const edge& x : edges(wav.samples))
        if (double(x.at) + zero / 4 < double(silence)) at.push_back(x.at);
    skip_header(in, false);
    byte_vector want(leader_bytes, leader_byte);
    const byte_vector data = read_rest(in);
    want.insert(want.end(), data.begin(), data.end());
    return read_bytes(at, silence, zero, want);
}

}  // namespace

const tape_format cgc_format = {
    .name = "CGC",
    .extension = "cas",
    .description = "Colour Genie high level tape image format",
    .analyze = cgc_analyze,
    .convert = cgc_convert,
    .verify = cgc_verify,
    .kind_line = nullptr,
    .recommended_rate = 22050,
    .analyzed_when_forced = false,
};

}  // namespace korvax

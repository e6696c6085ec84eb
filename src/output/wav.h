// The WAV file writer: RIFF WAVE, PCM, mono, 8-bit unsigned samples.
//
// The 44-byte header is written from a template that also is the program's
// one record of the sample rate. Samples are filtered, offset to unsigned
// (level 0 at rest is byte 128), XORed with the inversion mask and collected in
// a large buffer that goes to the file in blocks. At the end the RIFF and data
// sizes are patched into the header.
//
// Every failure of the output (write, seek, close, or a file that would pass
// the 32-bit size fields) ends the run with status 5; a failed output is never
// reported as written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "driver/korvax.h"
#include "output/filter.h"

namespace korvax {

// The header template, little-endian on disk.
struct wav_header {
    std::uint32_t sample_rate = 44100;
    std::uint32_t byte_rate = 44100;
    std::uint16_t block_align = 1;
    static constexpr std::uint16_t channels = 1;
    static constexpr std::uint16_t bits_per_sample = 8;
};
extern wav_header wave;

constexpr std::size_t wav_header_size = 44;
// The RIFF size fields are 32 bits wide, so no file may pass this length.
constexpr std::uint64_t wav_max_file_size = 0xFFFFFFFFull;

// An output file and its sample buffer.
struct wav_file {
    int fd = -1;
    std::string name;             // as given to -o, for messages
    std::uint64_t file_size = 0;  // bytes accepted so far, header included
    std::size_t used = 0;         // bytes waiting in buf
    std::unique_ptr<std::uint8_t[]> buf;

    static constexpr std::size_t buf_size = 1 << 18;

    wav_file() = default;
    wav_file(const wav_file&) = delete;
    wav_file& operator=(const wav_file&) = delete;
    ~wav_file();  // closes a file that a failed run left open
};

void wav_set_sample_freq(int rate);

// Takes over an open descriptor; name is used in messages.
void wav_open(wav_file& out, int fd, std::string name);
// Writes the header and the machine's lead-in silence.
void wav_init(wav_file& out);
// Flushes, patches the sizes, reports the size and closes.
void wav_close(wav_file& out);

// Out of line, rarely taken: the buffer is full, or a run would pass the size
// limit.
void wav_flush(wav_file& out);
[[noreturn]] void wav_too_large(const wav_file& out);

// Counts `count` more samples into the file, or ends the run before the file
// would pass the size limit.
inline void wav_reserve(wav_file& out, std::uint64_t count) {
    if (count > wav_max_file_size - out.file_size) [[unlikely]]
        wav_too_large(out);
    out.file_size += count;
}

// The held filter value plus 128 for every truncated filter value within
// `reach` of zero (holding a truncated value gives what truncating the held
// one does). The filter loops look it up rather than hold the value with
// compares: a loop with few instructions besides the accumulator's chain runs
// at the chain's pace.
struct sample_table {
    static constexpr int reach = 1024;
    std::uint8_t byte[2 * reach + 1];
    constexpr sample_table() : byte{} {
        for (int v = -reach; v <= reach; ++v)
            byte[v + reach] = static_cast<std::uint8_t>(clamp_filtered(v) + 128);
    }
    std::uint8_t operator[](int v) const { return byte[v + reach]; }
};
inline constexpr sample_table sample_bytes;

// Whether every filter value of a run can be looked up. The accumulator stays
// between its start and the levels met (to within rounding), so with a level
// and an accumulator within half the reach, no value passes the reach.
inline bool within_sample_table(int level, double accu) {
    constexpr int half = sample_table::reach / 2;
    return level >= -half && level <= half && accu > -half && accu < half;
}

// Runs longer than this, runs that would fill the buffer, and levels or
// accumulators beyond the table go out of line. A short run is one loop over
// the accumulator's chain and nothing else.
constexpr std::uint64_t wav_short_run = 256;
void wav_write_long_run(int level, std::uint64_t count, wav_file& out);

// `count` samples at one level: the per-sample path of the whole program.
// The level's contribution to the accumulator, (1 - hpc) * level, is the same
// double on every sample, so it is formed once per run.
inline void wav_write_run(int level, std::uint64_t count, wav_file& out) {
    if (count == 0) return;
    wav_reserve(out, count);
    double accu = filter.hp_accu;
    if (count > wav_short_run || count > wav_file::buf_size - out.used ||
        !within_sample_table(level, accu)) {
        wav_write_long_run(level, count, out);
        return;
    }
    const double x = level;
    const double hpc = filter.hpc;
    const double drive = (1.0 - hpc) * x;
    const std::uint8_t inverted = settings.p_inverted;  // read once: stores could alias it
    std::uint8_t* const p = out.buf.get() + out.used;
    for (std::size_t i = 0; i < count; ++i) {
        accu = hpc * accu + drive;
        p[i] = sample_bytes[static_cast<int>(x - accu)] ^ inverted;
    }
    out.used += count;
    filter.hp_accu = accu;
}

// One sample.
inline void wav_write_byte(int level, wav_file& out) { wav_write_run(level, 1, out); }

}  // namespace korvax

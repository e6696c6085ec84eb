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
void wav_reserve(wav_file& out, std::uint64_t count);

// The byte stored for a filtered value.
inline std::uint8_t sample_byte(double y) {
    return static_cast<std::uint8_t>(clamp_filtered(y) + 128) ^ settings.p_inverted;
}

// `count` samples at one level: the per-sample path of the whole program.
// The level's contribution to the accumulator, (1 - hpc) * level, is the same
// double on every sample, so it is formed once per run. Once the accumulator
// stops changing it never changes again during the run, and every remaining
// sample is the same byte.
inline void wav_write_run(int level, std::uint64_t count, wav_file& out) {
    if (count == 0) return;
    wav_reserve(out, count);
    const double x = level;
    const double hpc = filter.hpc;
    const double drive = (1.0 - hpc) * x;
    double accu = filter.hp_accu;
    bool steady = false;
    while (count > 0) {
        if (out.used == wav_file::buf_size) wav_flush(out);
        std::uint8_t* p = out.buf.get() + out.used;
        const std::size_t room = wav_file::buf_size - out.used;
        const std::size_t n = count < room ? static_cast<std::size_t>(count) : room;
        std::size_t i = 0;
        if (!steady) {
            for (; i < n; ++i) {
                const double next = hpc * accu + drive;
                if (next == accu) {
                    steady = true;
                    break;
                }
                accu = next;
                p[i] = sample_byte(x - accu);
            }
        }
        if (steady) std::memset(p + i, sample_byte(x - accu), n - i);
        out.used += n;
        count -= n;
    }
    filter.hp_accu = accu;
}

// One sample.
inline void wav_write_byte(int level, wav_file& out) { wav_write_run(level, 1, out); }

}  // namespace korvax

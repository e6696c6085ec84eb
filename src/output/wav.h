// The WAV writer: RIFF WAVE, PCM, mono, 8-bit unsigned samples.
//
// A writer is handed everything it needs: where the bytes go, the sample rate
// and whether to invert. It knows no machine; each format writes its own
// lead-in and signal as runs of samples at one level. Samples are filtered,
// offset to unsigned (level 0 at rest is byte 128), XORed with the inversion
// mask and collected in a large buffer that goes to the sink in blocks.
//
// The header carries the file's true sizes from its first byte, since a pipe
// cannot seek back to patch them: a conversion first runs through the image
// with a writer that only counts its samples, then writes them.
//
// Every failure of the output (write, close, or a file that would pass the
// 32-bit size fields) ends the run with status 5; a failed output is never
// reported as written.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "output/filter.h"
#include "output/messages.h"

namespace korvax {

constexpr std::size_t wav_header_size = 44;
// The RIFF size fields are 32 bits wide, so no file may pass this length.
constexpr std::uint64_t wav_max_file_size = 0xFFFFFFFFull;

// Where the WAV's bytes go, under a name for messages.
class byte_sink {
public:
    explicit byte_sink(std::string name) : name_(std::move(name)) {}
    virtual ~byte_sink() = default;
    byte_sink(const byte_sink&) = delete;
    byte_sink& operator=(const byte_sink&) = delete;
    // Each answers whether it worked.
    virtual bool write(const std::uint8_t* p, std::size_t n) = 0;
    virtual bool close() { return true; }
    // The most bytes the sink takes: a WAV file's size fields are 32 bits
    // wide, and a sink may take less.
    virtual std::uint64_t capacity() const { return wav_max_file_size; }
    // Whether, once closed, the bytes are a file that can be read back under
    // name().
    virtual bool is_file() const { return false; }
    // The bytes, when the sink keeps them in memory.
    virtual const std::vector<std::uint8_t>* kept() const { return nullptr; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// A file descriptor, which the sink owns and closes.
class fd_sink : public byte_sink {
public:
    fd_sink(int fd, std::string name) : byte_sink(std::move(name)), fd_(fd) {}
    ~fd_sink() override;
    bool write(const std::uint8_t* p, std::size_t n) override;
    bool close() override;

private:
    int fd_;
};

// Bytes kept in memory, up to a capacity.
class memory_sink final : public byte_sink {
public:
    explicit memory_sink(std::string name, std::uint64_t capacity = wav_max_file_size)
        : byte_sink(std::move(name)), capacity_(capacity) {}
    bool write(const std::uint8_t* p, std::size_t n) override {
        bytes.insert(bytes.end(), p, p + n);
        return true;
    }
    std::uint64_t capacity() const override { return capacity_; }
    const std::vector<std::uint8_t>* kept() const override { return &bytes; }
    std::vector<std::uint8_t> bytes;

private:
    std::uint64_t capacity_;
};

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

// Machine cycles of a clock to a number of samples at `rate`, truncated. The
// product is formed in 64 bits: a 55,300-cycle lead-in alone passes 2^32 at
// rates above 77.7 kHz.
inline std::uint64_t cycles_to_samples(std::uint64_t cycles, std::uint32_t clock_hz, std::uint32_t rate) {
    assert(clock_hz != 0 && "a format's timing must be set before it is used");
    return cycles * rate / clock_hz;
}

// The most bytes a WAV on this sink may have.
inline std::uint64_t wav_limit(const byte_sink& sink) { return std::min(sink.capacity(), wav_max_file_size); }

// Told after each block the writer hands to its sink: the bytes handed so far
// and the whole file's size, so a long conversion can show its progress (the
// web page). Null, as the command line leaves it, tells nothing.
using wav_progress_hook = void (*)(std::uint64_t handed, std::uint64_t total);
inline wav_progress_hook wav_progress = nullptr;

struct wav_writer {
    static constexpr std::size_t buf_size = 1 << 18;
    // Runs longer than this, runs that would fill the buffer, and levels or
    // accumulators beyond the table go out of line. A short run is one loop
    // over the accumulator's chain and nothing else.
    static constexpr std::uint64_t short_run = 256;

    // Starts a WAV of `file_size` bytes, header included, with its header;
    // its failures are told to `out`.
    wav_writer(byte_sink& sink, messages& out, std::uint32_t sample_rate, bool inverted, std::uint64_t file_size);
    // A writer that only counts the bytes of the file (file_size), with no
    // limit: the count tells whether the file would pass one.
    struct count_only {};
    wav_writer(byte_sink& sink, messages& out, std::uint32_t sample_rate, count_only);

    std::uint64_t samples(std::uint64_t cycles, std::uint32_t clock_hz) const {
        return cycles_to_samples(cycles, clock_hz, sample_rate);
    }

    // `count` samples at one level: the per-sample path of the whole program.
    // The level's contribution to the accumulator, (1 - hpc) * level, is the
    // same double on every sample, so it is formed once per run.
    void run(int level, std::uint64_t count) {
        if (count == 0) return;
        reserve(count);
        if (counting) return;
        double accu = filter.hp_accu;
        if (count > short_run || count > buf_size - used || !within_sample_table(level, accu)) {
            long_run(level, count);
            return;
        }
        const double x = level;
        const double hpc = filter.hpc;
        const double drive = (1.0 - hpc) * x;
        const std::uint8_t mask = inverted;  // read once: stores could alias it
        std::uint8_t* const p = buf.get() + used;
        for (std::size_t i = 0; i < count; ++i) {
            accu = hpc * accu + drive;
            p[i] = sample_bytes[static_cast<int>(x - accu)] ^ mask;
        }
        used += count;
        filter.hp_accu = accu;
    }

    // Flushes, closes the sink and reports the size.
    void finish();
    // Hands the buffered bytes to the sink.
    void flush();

    byte_sink& sink;
    messages& log;
    const std::uint32_t sample_rate;
    const std::uint8_t inverted;  // XOR mask: 0, or 255 for an inverted signal
    const bool counting;          // runs are only counted
    hp_filter filter;
    const std::uint64_t limit;    // the sink's capacity, at most the 4 GiB of a WAV file
    std::uint64_t file_size = 0;  // bytes accepted so far, header included
    std::size_t used = 0;         // bytes waiting in buf
    std::uint64_t handed = 0;     // bytes handed to the sink
    std::uint64_t told_size = 0;  // the whole file's size, as the writer was told
    std::unique_ptr<std::uint8_t[]> buf;

private:
    // Counts `count` more bytes into the file, or ends the run before the file
    // would pass the size limit.
    void reserve(std::uint64_t count) {
        if (count > limit - file_size) [[unlikely]]
            too_large();
        file_size += count;
    }
    [[noreturn]] void too_large() const;
    [[noreturn]] void write_failed() const;
    void long_run(int level, std::uint64_t count);
};

}  // namespace korvax

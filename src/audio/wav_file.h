// A WAV file read in blocks, without holding it: RIFF WAVE with PCM samples of
// 8, 16, 24 or 32 bits or IEEE float samples of 32 or 64 bits, any number of
// channels, one of which is read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/samples.h"

namespace korvax {

// Whether a WAV's size field holds what a writer that could not seek back
// leaves there: 0 or all ones, or the length SoX (0x7FFFF000) or arecord
// (0x80000000) put for one not known yet, writing to a pipe. The samples
// then run to the end.
constexpr bool wav_size_unknown(std::uint64_t n) {
    return n == 0 || n == 0xFFFFFFFFu || n == 0x7FFFF000u || n == 0x80000000u;
}

class wav_file final : public sample_source {
public:
    // The WAV at `path`, ready to read `channel` from its first sample; empty,
    // with the reason in `why`, when it cannot be read, is not a WAV of those
    // kinds, or its sizes do not match the file.
    static std::unique_ptr<wav_file> open(const std::string& path, std::string& why, unsigned channel = 0);
    // The same for a WAV held in memory, which must outlive the reader.
    static std::unique_ptr<wav_file> open(const std::vector<std::uint8_t>& bytes, std::string& why, unsigned channel = 0);
    static std::unique_ptr<wav_file> open(std::vector<std::uint8_t>&& bytes, std::string& why, unsigned channel = 0) = delete;
    ~wav_file() override;

    std::uint32_t rate() const override { return rate_; }
    std::size_t read(float* out, std::size_t n) override;
    std::uint64_t skip(std::uint64_t n) override;

    unsigned channels() const { return channels_; }
    unsigned bits() const { return bits_; }
    std::uint64_t frames() const { return frames_; }
    // Whether reading met a read error (the samples then end early).
    bool failed() const { return failed_; }
    // Whether every frame, each read from the first to the last without a
    // skip, held the same sample in every channel.
    bool channels_alike() const { return alike_ && !skipped_ && left_ == 0 && !failed_; }

private:
    wav_file() = default;
    static std::unique_ptr<wav_file> read_header(std::unique_ptr<wav_file> w, std::uint64_t size, std::string& why,
                                                 unsigned channel);
    std::FILE* file_ = nullptr;
    std::uint32_t rate_ = 0;
    unsigned channels_ = 0, bits_ = 0, channel_ = 0;
    bool is_float_ = false;
    bool failed_ = false;
    bool alike_ = true, skipped_ = false;
    std::uint64_t frames_ = 0, left_ = 0;  // frames in the data chunk, and not read yet
    std::vector<unsigned char> buf_;
};

}  // namespace korvax

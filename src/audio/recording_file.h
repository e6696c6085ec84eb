// A recording opened for reading back: its channels, each of which can be
// read from its start as many times as a reader needs. The command line opens
// recordings of every kind libsndfile knows; without it (the web page, which
// decodes audio in the browser) WAV files are opened by the program's own
// reader.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/samples.h"

namespace korvax {

// Readers of its channels may be made and read on several threads at once
// (each reader by one), so what they share must be safe for that.
class recording_file {
public:
    virtual ~recording_file() = default;
    virtual unsigned channels() const = 0;
    virtual std::uint32_t rate() const = 0;
    // A reader of channel `c` (from 0) from the first sample.
    virtual std::unique_ptr<sample_source> channel(unsigned c) = 0;
    // Whether a reader met fewer samples than the file claims, or a read error.
    virtual bool cut_short() const = 0;
    // Whether every channel is known to hold the same samples as every other
    // (a mono recording stored as stereo), so that one reads as any other:
    // once a reader has read a channel whole from its first sample, without a
    // skip, and met no frame whose channels differ.
    virtual bool channels_alike() const = 0;
};

// Opens the recording at `name`; empty, with the reason in `why`, when it
// cannot be read as one.
using recording_opener = std::unique_ptr<recording_file> (*)(const std::string& name, std::string& why);
// The same for a recording held in memory (piped in); the bytes must outlive
// the recording.
using held_recording_opener = std::unique_ptr<recording_file> (*)(const std::vector<std::uint8_t>& bytes,
                                                                  std::string& why);

// WAV files only, with the program's own reader.
std::unique_ptr<recording_file> open_wav_recording(const std::string& name, std::string& why);

// A WAV held in memory, with the program's own reader; the bytes must outlive
// the recording.
std::unique_ptr<recording_file> open_wav_recording(const std::vector<std::uint8_t>& bytes, std::string& why);
std::unique_ptr<recording_file> open_wav_recording(std::vector<std::uint8_t>&& bytes, std::string& why) = delete;

// Channels of samples held in memory (the page's, decoded by the browser).
class memory_recording final : public recording_file {
public:
    memory_recording(std::vector<std::vector<float>> channels, std::uint32_t rate)
        : channels_(std::move(channels)), rate_(rate) {}
    unsigned channels() const override { return static_cast<unsigned>(channels_.size()); }
    std::uint32_t rate() const override { return rate_; }
    std::unique_ptr<sample_source> channel(unsigned c) override {
        return c < channels_.size() ? std::make_unique<memory_source>(channels_[c], rate_) : nullptr;
    }
    bool cut_short() const override { return false; }
    bool channels_alike() const override {
        return std::all_of(channels_.begin(), channels_.end(), [&](const auto& c) { return c == channels_.front(); });
    }

private:
    std::vector<std::vector<float>> channels_;
    std::uint32_t rate_;
};

// Whether the bytes a file starts with are those of a recording: RIFF WAVE,
// AIFF, FLAC, Ogg or MP3.
bool looks_like_recording(const std::uint8_t* start, std::size_t n);

}  // namespace korvax

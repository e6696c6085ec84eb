// The program's own signal for an image, as samples, for tests that read it
// back: converted in this process, written to memory.
#pragma once

#include <string>
#include <vector>

#include "driver/convert.h"
#include "output/wav.h"

namespace korvax_test {

// The samples of the WAV the program writes for the image at `path` at
// `rate` (with `-n` when `inverted`), 8 bits each as written, and its status.
// The program's messages are dropped.
inline std::vector<std::uint8_t> program_wav(const std::string& path, unsigned rate, bool inverted = false,
                                             int* status = nullptr) {
    korvax::options o;
    o.sample_rate = rate;
    o.inverted = inverted;
    korvax::memory_sink sink("signal");
    korvax::kept_messages dropped;
    const int s = korvax::convert(o, path, &sink, dropped);
    if (status != nullptr) *status = s;
    sink.bytes.erase(sink.bytes.begin(), sink.bytes.begin() + long(std::min(sink.bytes.size(), korvax::wav_header_size)));
    return std::move(sink.bytes);
}

// The same as samples of full scale +-1.
inline std::vector<float> program_signal(const std::string& path, unsigned rate, bool inverted = false,
                                         int* status = nullptr) {
    std::vector<float> y;
    for (std::uint8_t b : program_wav(path, rate, inverted, status)) y.push_back(static_cast<float>(b - 128) / 128);
    return y;
}

}  // namespace korvax_test

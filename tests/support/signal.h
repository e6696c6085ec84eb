// The program's own signal for an image, as samples, for tests that read it
// back: converted in this process, written to memory.
#pragma once

#include <string>
#include <vector>

#include "driver/convert.h"
#include "output/wav.h"

namespace korvax_test {

// The WAV the program writes for the image at `path` at `rate` (with `-n`
// when `inverted`), as samples of full scale +-1, and its status. The
// program's messages are dropped.
inline std::vector<float> program_signal(const std::string& path, unsigned rate, bool inverted = false,
                                         int* status = nullptr) {
    korvax::options o;
    o.sample_rate = rate;
    o.inverted = inverted;
    korvax::memory_sink sink("signal");
    korvax::kept_messages dropped;
    const int s = korvax::convert(o, path, &sink, dropped);
    if (status != nullptr) *status = s;
    std::vector<float> y;
    for (std::size_t i = korvax::wav_header_size; i < sink.bytes.size(); ++i)
        y.push_back(static_cast<float>(sink.bytes[i] - 128) / 128);
    return y;
}

}  // namespace korvax_test

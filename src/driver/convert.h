// One conversion run, from a named image to a WAV sink: the sequence that the
// command line, the tests, the fuzz targets, the benchmark and the web page
// all go through.
#pragma once

#include <cstdint>
#include <string>

#include "output/wav.h"

namespace korvax {

struct options {
    int format = -1;                    // forced registry number; any other asks for detection
    std::uint32_t sample_rate = 44100;  // 8000 to 192000
    std::uint8_t p_gain = 75;           // the signal's high level: gain 1..8 times 15, low 8 bits
    bool inverted = false;              // -n
    bool verify = false;                // -V: read the WAV back from the sink's name
    int baud = 0;                       // -b: TRS-80 speed, 250, 500 or 1500; 0 takes it from the image
};

// Selects the format (detection or the forced one, reported on standard
// error), writes the WAV to `output` and, when asked, reads it back. With no
// output the image is only identified. Returns the exit status.
int convert(const options& o, const std::string& input, byte_sink* output);

}  // namespace korvax

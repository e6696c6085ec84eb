// Readers that take a WAV file the program wrote back to what it carries,
// working only from the signal each machine expects and from the WAV header
// (rate, length), never from the encoders' code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/run.h"

namespace korvax_test {

// The bytes read back, or, when the signal could not be read, why not.
struct decoded {
    bytes data;
    std::string error;  // empty when the whole signal was read
};

// Every byte of the image, leader and sync byte included. These readers find
// pulses by their size, so they read either polarity.
decoded decode_trs80(const wav_info& wav);
decoded decode_homelab(const wav_info& wav);
// The leader of 0xAA bytes and every data byte after it.
decoded decode_cgenie(const wav_info& wav);

// Commodore: the length in samples of every pulse (versions 0 and 1) or of
// every half-wave (version 2). A pulse is taken to start with its high half,
// at a rising edge of the signal as it stands in the file; the first starts
// with the file.
std::vector<std::size_t> decode_tap(const wav_info& wav, int version);

}  // namespace korvax_test

// Readers that take a WAV file the program wrote back to what it carries,
// working only from the signal each machine expects and from the WAV header
// (rate, length), never from the encoders' code.
#pragma once

#include <cstdint>
#include <optional>
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

// Commodore: the length in samples of every pulse (versions 0 and 1: two
// half-waves, paired from the start of the file) or of every half-wave
// (version 2); none when the signal starts with its low half-wave, which a
// reader that times each pulse from its rising edge cannot follow.
std::optional<std::vector<std::size_t>> decode_tap(const wav_info& wav, int version);

// What a Commodore image asks for: its tape frequency (units of 8 cycles a
// second, by machine and video standard) and every pulse (versions 0 and 1)
// or half-wave (version 2) in whole units. A byte b is b units; a 0x00 is 882
// cycles per zero byte in a row (version 0) or the 24-bit cycle count that
// follows it (versions 1 and 2, ignored when fewer than three bytes follow).
struct tap_pulses {
    int version = 0;
    std::uint64_t frequency = 0;
    std::vector<std::uint64_t> units;
};
tap_pulses read_tap(const bytes& image);

}  // namespace korvax_test

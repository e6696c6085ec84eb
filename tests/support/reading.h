// Reading the program's own signal back through the cassette channel, for
// every machine alike: an image is played (program_signal), sent through a
// rung of the channel, read by its machine's reader, and the reading is
// scored against the image. The ladder tests and the results table share it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/cbm/recording.h"
#include "support/cassette.h"

namespace korvax_test {

enum class machine { trs80, cbm, cgenie, homelab };
inline constexpr machine machines[] = {machine::trs80, machine::cbm, machine::cgenie, machine::homelab};
const char* name_of(machine m);

struct condition {
    unsigned rate;
    int rung;  // -1: the program's own WAV, untouched
    bool invert = false, slow = false, dropouts = false;
    std::uint64_t seed = 1;
    // Played and sent through the channel at twice the rate, then recorded
    // at the rate (halving_source).
    bool halved = false;
};

// What a reading gives back against what the image holds: for TRS-80 and
// Homelab the tape from the first sync byte on, for Colour Genie from the sync
// byte on, for Commodore every program's name, load address and bytes and,
// for a TAP image, its pulses within the loaders' tolerance.
struct score {
    bool exact = true;
    std::size_t wrong = 0;       // bytes read wrong, or not read at all
    std::size_t unreported = 0;  // of them, neither in doubt nor in a block whose failing checksum is reported
    std::size_t doubtful = 0;    // bytes reported in doubt
    std::size_t outside = 0;     // wrong bytes not in doubt, or in doubt away from every dropout
    std::size_t pulses_off = 0;  // Commodore TAP: pulses out of tolerance
    std::size_t dropouts = 0;    // in the channel
    std::string why;             // the first thing that was not exact

    void fail(const std::string& what);
    score& operator+=(const score& o);
};

// Every example and corpus image of the machine (a corpus image only where
// the corpus is there), shortest first.
std::vector<std::string> images(machine m);
std::string describe(const std::string& image, const condition& c);

// The image played at the condition's rate (inverted for rung -1 when the
// condition says so), through the channel, read back and scored.
score read_back(machine m, const std::string& image, const condition& c);
// A signal made otherwise, read and scored as if under `c` (its rate and
// speed error), with these dropouts.
score read_signal(machine m, const std::string& image, korvax::sample_source& in, const condition& c,
                  const std::vector<dropout>& drops = {});

// Commodore: a recording read whole, and TAP version 1 pulse data as a list
// of pulses in units of 8 cycles.
korvax::cbm::recording_read cbm_read(const std::vector<float>& samples, unsigned rate);
// How many of a TAP image's pulses another, read from a tape `speed` times
// as fast, does not give back within a loader's tolerance.
std::size_t tap_pulses_off(const std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& read, double speed,
                           unsigned rate);
std::vector<std::size_t> tap_units(const std::vector<std::uint8_t>& data);

}  // namespace korvax_test

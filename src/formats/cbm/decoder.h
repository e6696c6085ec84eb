// Commodore pulses read back from the program's own signal (-V), as a loader
// times them: each pulse from the falling level change at its start to the
// one after the next (or every half-wave, for version 2), and the ROM
// loader's blocks read from them.
#pragma once

#include <string>
#include <vector>

#include "formats/cbm/pulses.h"
#include "formats/format.h"

namespace korvax::cbm {

// The signal's pulses in samples, one at a time.
class pulse_reader {
public:
    pulse_reader(sample_source& wav, bool half_waves) : steps_(wav, event_finder::looking_for::steps), halves_(half_waves) {}
    // Whether the first level change falls, as a loader needs; read first.
    bool starts_falling();
    // The next pulse's length in samples; false at the end.
    bool next(std::uint64_t& samples);

private:
    bool half(std::uint64_t& samples);
    event_finder steps_;
    bool halves_;
    bool started_ = false, first_falls_ = true, ended_ = false;
    bool have_pending_ = false;  // the first level change, read to tell its direction
    signal_event pending_{};
    std::uint64_t from_ = 0;  // where the current half starts
};

// The ROM loader's reading of blocks from pulses fed one at a time: short,
// medium or long by their length in units, halfway between them, and longer
// ones pauses. A byte is a long-medium marker, eight bits least significant
// first and an odd parity bit; a long-short pair ends a copy of a block.
class kernal_reader {
public:
    explicit kernal_reader(double samples_per_unit) : samples_per_unit_(samples_per_unit) {}
    void pulse(std::uint64_t samples);
    // The verdict once every pulse is in: each block twice, with its countdown
    // before and its XOR checksum after, the payloads equal to `blocks`.
    readback finish(const std::vector<std::vector<std::uint8_t>>& blocks);

private:
    void parse(bool at_end);
    double samples_per_unit_;
    std::string window_;        // pulses not parsed yet, as S, M, L or P
    std::uint64_t window_at_ = 0;  // the index of its first pulse
    std::vector<std::vector<std::uint8_t>> copies_{1};
    std::string error_;
};

// A tape's pulses read back against the ones `walk(f)` calls `f` with, each
// within a sample of its length at `units_per_second` and all of them adding
// up to exactly their rounded lengths; each read pulse also goes to `kernal`
// when there is one.
template <typename W>
readback read_pulses(sample_source& wav, bool half_waves, std::uint32_t units_per_second, W walk,
                     kernal_reader* kernal = nullptr);

}  // namespace korvax::cbm

#include "formats/cbm/decoder_impl.h"

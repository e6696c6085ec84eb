// What reading a recording of a tape finds, for every machine: the stretches
// of tape read back as bytes, each byte that was read from an unclear signal
// marked as in doubt, with where it lies in the recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvax {

// A byte read from an unclear signal: a pulse or cycle whose timing falls
// between the classes, a missing edge, a dropout.
struct doubtful_byte {
    std::size_t index;  // in the segment's bytes
    double seconds;     // where it starts in the recording
};

// One stretch of tape read as bytes, from its sync byte on.
struct tape_segment {
    double start_seconds = 0;  // where the sync byte starts in the recording
    int baud = 0;              // the speed, where a machine has several (TRS-80: 250, 500, 1500)
    std::vector<std::uint8_t> bytes;
    std::vector<doubtful_byte> doubtful;  // in order of index
};

}  // namespace korvax

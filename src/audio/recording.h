// What reading a recording of a tape finds, for every machine: the stretches
// of tape read back as bytes, each byte that was read from an unclear signal
// marked as in doubt, with where it lies in the recording.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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
    double end_seconds = 0;               // where its last byte ends in the recording
};

// A block whose checksum held over its bytes [sum_from, to) (the checksum
// byte among them): where the one byte in doubt among [from, to) is one of
// those, it is right, since one wrong byte makes a sum of bytes fail. Its
// doubt is dropped. (Two in doubt could be wrong by amounts that cancel; one
// in doubt in the bytes before `sum_from`, which tell where the sum lies,
// could have put it elsewhere.)
inline void settle_by_checksum(std::vector<doubtful_byte>& doubtful, std::size_t from, std::size_t sum_from,
                               std::size_t to) {
    std::size_t in = 0, at = 0;
    for (std::size_t k = 0; k < doubtful.size(); ++k)
        if (doubtful[k].index >= from && doubtful[k].index < to) ++in, at = k;
    if (in == 1 && doubtful[at].index >= sum_from) doubtful.erase(doubtful.begin() + std::ptrdiff_t(at));
}

// Where a reader first took a leader (locked onto its clock) in what it was
// given, and at what speed, where the machine has several: what a recording
// with no tape in it can still tell of one.
struct leader_seen {
    double seconds = -1;  // from the start of the samples read; -1: none taken
    int baud = 0;
    bool found() const { return seconds >= 0; }
};

// A part whose leader ends in no sync byte that can be read is lost: a
// segment with no bytes, where the leader ended, stands for it; the report
// says this of it, and images leave it out.
inline const char* const lost_part = "lost: no sync byte after its leader";
inline tape_segment lost_segment(double seconds, int baud = 0) {
    tape_segment lost;
    lost.start_seconds = lost.end_seconds = seconds;
    lost.baud = baud;
    return lost;
}
// Whether no part was read (only parts lost, or none): a leader with nothing
// after it, as the recording's report tells.
inline bool none_read(const std::vector<tape_segment>& segments) {
    return std::all_of(segments.begin(), segments.end(), [](const tape_segment& s) { return s.bytes.empty(); });
}

// One segment or program as the report tells it: a line each.
struct tape_item {
    double start_seconds = 0;           // where it starts in the recording
    std::string machine;                // "TRS-80", "Colour Genie", "Homelab", "Commodore"
    int baud = 0;                       // where the machine has several speeds
    std::string kind;                   // what it holds, e.g. "SYSTEM", "BASIC", "Level I", "header", "program"
    std::string name;                   // where the format has one
    std::optional<unsigned> load_address;
    std::size_t length = 0;             // bytes of data
    std::size_t pulses = 0;             // of a tape read only as pulses (no bytes: a loader not known)
    enum class checksum { none, holds, fails } check = checksum::none;  // where the format has one
    std::string missing;  // a part not found, as the report says it ("cut short", "no header found")
    std::vector<doubtful_byte> doubtful;
};

}  // namespace korvax

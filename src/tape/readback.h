// The read-back check (-V): the WAV the program wrote, read again as the
// machine's loader would read it and compared with the image. Each machine's
// reader lives with its machine; what they share is here: the verdict, the
// bytes compared as they come, and the reader of signals whose bits are cells
// opened by an event (a pulse, or a level change).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "audio/events.h"

namespace korvax {

// What reading back found.
struct readback {
    std::uint64_t count = 0;     // bytes or pulses read back as in the image
    const char* unit = "bytes";  // what was counted
    std::string error;           // where and why reading stopped; empty when all was read
    std::string hint;            // the format's own advice when it fails, if any
};

// Whether a gap is read as a given length: within `tolerance` of it (each
// machine's protocol says how far its reader lets a gap stray).
bool near(double gap, double nominal, double tolerance);

// A number as the messages give it: one decimal, none when it is whole.
std::string number(double v);

// Bits, most significant first, compared with the image's bytes (`head`,
// then `tail`) as they come.
class byte_check {
public:
    byte_check(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail) : head_(head), tail_(tail) {}
    void bit(bool one);
    std::size_t bits() const { return bits_; }
    // The verdict once reading has ended, with `error` set when it stopped
    // early: the matching bytes counted, and where they first differ.
    void finish(readback& r) const;

private:
    std::size_t want_size() const { return head_.size() + tail_.size(); }
    int want(std::size_t i) const { return i < head_.size() ? head_[i] : tail_[i - head_.size()]; }
    void compare(std::size_t index, int got);
    std::span<const std::uint8_t> head_, tail_;
    std::size_t bits_ = 0;
    int byte_ = 0;
    std::size_t matched_ = 0;    // bytes equal to the image's before the first that differs
    bool differs_ = false;
    int differing_ = 0;          // the first byte that differs, as read
};

// Bits as cells opened by events at `events` (pulse starts or level changes):
// a 1 is two gaps of half a cell, a 0 one gap of a whole cell of `cell`
// samples. Only events before `cutoff` (a sample position) are read; the last
// one's gap runs to `end`, or to the end of the signal when `end` is 0.
readback read_cells(event_finder& events, double cutoff, std::uint64_t end, double cell, double tolerance,
                    byte_check& check);

}  // namespace korvax

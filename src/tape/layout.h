// Where a tape's parts start, by byte of the image: the leader, the sync
// byte, a header (a name), data. Encoders mark the timeline there, so that a
// map of the tape and its timetable can say where each part starts in the
// WAV.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tape/timeline.h"

namespace korvax {

struct tape_part {
    std::size_t at;  // the byte of the image that starts it
    tape_mark::what kind;
    std::string label;
};

// Marks `t` at every part that starts at byte `index`; `next` walks the parts
// in order.
inline void mark_parts(const std::vector<tape_part>& parts, std::size_t& next, std::size_t index, timeline& t) {
    for (; next < parts.size() && parts[next].at == index; ++next) t.mark(parts[next].kind, parts[next].label);
}

}  // namespace korvax

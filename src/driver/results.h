// What a run found, told two more ways: the tape's timetable as lines of
// text (where each part starts in the WAV), and every value as JSON for the
// web page.
#pragma once

#include <string>
#include <vector>

#include "driver/convert.h"

namespace korvax {

// m:ss.s
std::string clock_time(double seconds);

// 13055 as "13,055".
std::string with_commas(std::uint64_t n);

// A line per part of the tape: its start in the WAV, what it is, its label.
std::vector<std::string> timetable(const std::vector<tape_mark>& marks, std::uint32_t sample_rate);

// The run's values and messages as one JSON object.
std::string result_json(const run_result& r, const std::vector<std::string>& messages);

}  // namespace korvax

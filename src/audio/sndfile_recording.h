// Recordings of every kind libsndfile reads (WAV, AIFF, FLAC, Ogg, MP3 and
// more), for the command line.
#pragma once

#include "audio/recording_file.h"

namespace korvax {

std::unique_ptr<recording_file> open_sndfile_recording(const std::string& name, std::string& why);
// The same, held in memory (piped in); the bytes must outlive the recording.
// A WAV is read by the program's own reader, as the page reads one.
std::unique_ptr<recording_file> open_sndfile_recording(const std::vector<std::uint8_t>& bytes, std::string& why);
std::unique_ptr<recording_file> open_sndfile_recording(std::vector<std::uint8_t>&& bytes, std::string& why) = delete;

}  // namespace korvax

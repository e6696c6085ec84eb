// Recordings of every kind libsndfile reads (WAV, AIFF, FLAC, Ogg, MP3 and
// more), for the command line.
#pragma once

#include "audio/recording_file.h"

namespace korvax {

std::unique_ptr<recording_file> open_sndfile_recording(const std::string& name, std::string& why);

}  // namespace korvax

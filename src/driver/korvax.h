// KORVAX: emulator tape images to 8-bit mono WAV audio.
//
// The command line: options to a conversion run (driver/convert.h).
#pragma once

#include "driver/convert.h"

namespace korvax {

// The whole program: options, selection, conversion. Returns the exit status.
int run(int argc, char** argv);

// The same, with recordings opened by `open_recording` (files) and
// `open_held` (piped in).
int run(int argc, char** argv, recording_opener open_recording, held_recording_opener open_held = open_wav_recording);
int run(int argc, char** argv, messages& out, run_result* result, recording_opener open_recording,
        held_recording_opener open_held = open_wav_recording);

// The same with the conversion's messages told to `out` and what it found
// kept in `result` (the web page's way in).
int run(int argc, char** argv, messages& out, run_result* result);

}  // namespace korvax

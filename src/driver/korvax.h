// KORVAX: emulator tape images to 8-bit mono WAV audio.
//
// The command line: options to a conversion run (driver/convert.h).
#pragma once

namespace korvax {

// The whole program: options, selection, conversion. Returns the exit status.
int run(int argc, char** argv);

}  // namespace korvax

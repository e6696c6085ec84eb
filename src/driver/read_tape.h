// The other direction: a recording of a tape read back into an image. The
// machine is found from the signal (or forced with -f), each of its channels
// is read and the one that reads better kept, and the image goes to the
// output in the kind its name asks for, among those of the machine.
#pragma once

#include <string>

#include "audio/recording_file.h"
#include "driver/convert.h"

namespace korvax {

// An image written, but some bytes are in doubt, or a checksum fails.
inline constexpr int exit_doubtful = 8;

// Reads the recording `rec` (named `name`) and writes its image to `output`
// (none: only the report), or to further files beside it where the image is
// several. `channel` is the one to read (from 0), or -1 for the better one.
// Returns the exit status.
int read_tape(const options& o, const std::string& name, recording_file& rec, int channel, byte_sink* output,
              messages& out, run_result* result);

}  // namespace korvax

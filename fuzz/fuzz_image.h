// What the fuzz targets share.
#pragma once

namespace korvax_fuzz {

// Stops the process with a message when a property fails, so that both
// libFuzzer and the replay driver report the input.
[[noreturn]] void fail(const char* what);

}  // namespace korvax_fuzz

// What the fuzz targets share: the image is handed to the program the way a
// user hands it, as a file on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvax_fuzz {

// Writes the image to a scratch file of this process named "image" plus
// `suffix` (".cas", ".HTP", "" ...) and returns its path. The file and its
// folder are removed when the process ends.
std::string write_image(const std::uint8_t* data, std::size_t size, const std::string& suffix);

// Stops the process with a message when a property fails, so that both
// libFuzzer and the replay driver report the input.
[[noreturn]] void fail(const char* what);

}  // namespace korvax_fuzz

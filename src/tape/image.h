// A tape image as the formats see it: its name (some formats go by the
// extension) and its bytes, read once, whole, from a file or a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output/messages.h"

namespace korvax {

using byte_vector = std::vector<std::uint8_t>;

class spool_file;

struct image {
    std::string name;  // as given: a path, or "-" for standard input
    byte_vector bytes;
    // A recording from a pipe, written to a temporary file as it came rather
    // than held (`bytes` then holds only its start).
    std::shared_ptr<spool_file> spool = nullptr;
};

// No tape image comes near this: the largest real ones are a few hundred
// kilobytes. Anything larger is refused before it is read.
inline constexpr std::size_t image_cap = std::size_t{64} << 20;

// How a name is shown in messages: standard input by those words.
inline std::string shown_name(const std::string& name) { return name == "-" ? "standard input" : name; }

// The image `name` names ("-": standard input), read whole. A file that
// cannot be read ends the run with status 4, one larger than the cap, or
// nothing on standard input, with status 6, each after its message. A pipe
// that starts as a recording does is spooled to a temporary file, of any
// length; where none can be made it is held, up to the cap.
image read_image(const std::string& name, messages& out);

}  // namespace korvax

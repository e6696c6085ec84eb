#include "formats/format.h"

#include <strings.h>

namespace korvax {

bool has_extension(const std::string& name, const char* extension) {
    const std::size_t dot = name.rfind('.');
    return dot != std::string::npos && ::strcasecmp(name.c_str() + dot, extension) == 0;
}

}  // namespace korvax

#include "fuzz_image.h"

#include <cstdio>
#include <cstdlib>

namespace korvax_fuzz {

void fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

}  // namespace korvax_fuzz

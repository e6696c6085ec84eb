#include "formats/format.h"

#include <strings.h>

#include <cstdarg>
#include <cstring>

#include "output/fatal.h"

namespace korvax {

file_ptr open_image(const char* path) { return file_ptr(std::fopen(path, "rb"), std::fclose); }

void check_read(std::FILE* in, const char* path) {
    if (!std::ferror(in)) return;
    std::fprintf(stderr, "Error reading %s.\n", path);
    quit(exit_input);
}

int freadbyte(std::FILE* in, const char* path) {
    const int c = std::getc(in);
    if (c == EOF) {
        check_read(in, path);
        std::fputs("unexpected End of File!\n", stderr);
        quit(exit_image);
    }
    return c;
}

void say(bool report, const char* format, ...) {
    if (!report) return;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

bool has_extension(const char* path, const char* extension) {
    const char* dot = std::strrchr(path, '.');
    return dot != nullptr && ::strcasecmp(dot, extension) == 0;
}

}  // namespace korvax

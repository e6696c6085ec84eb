// Detection over every registered format. The first byte picks the image's
// name (content alone decides for some formats, content and extension for
// others); the rest is the image. Each format reads it, in registry order, as
// the driver asks them.
//
// Properties: the only fatal end reading may take is the end of the image
// inside a header it has already recognised, or a program past the top of
// memory (status 6); and reading twice gives the same answer and the same
// report, so nothing carries over from one image to the next.
#include <array>
#include <cstdint>

#include "driver/registry.h"
#include "fuzz_image.h"

namespace {

const std::array<const char*, 10> names = {"i.cas", "I.CAS", "i.htp", "i.Htp", "i.tap",
                                           "i.wav", "i",     "i.cas.bin", "i.prg", "i.Prg"};

std::string read_once(const korvax::tape_format& format, const korvax::image& im) {
    korvax::report found;
    const bool taken = format.read(im, found, false) != nullptr;
    if (found.fatal != 0 && (found.fatal != korvax::exit_image || taken))
        korvax_fuzz::fail("reading ended with a status other than 6, or took an image it ended on");
    std::string said = taken ? "taken" : "refused";
    for (const auto& e : found.entries) said += "\n" + e.line;
    return said + "\n" + found.kind + "\n" + found.fatal_message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const korvax::image im{names[data[0] % names.size()], std::vector<std::uint8_t>(data + 1, data + size)};
    for (const korvax::tape_format* format : korvax::tape_format_registry)
        if (read_once(*format, im) != read_once(*format, im)) korvax_fuzz::fail("reading changed its answer");
    return 0;
}

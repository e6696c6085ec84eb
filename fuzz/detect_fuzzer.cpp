// Detection over every registered format. The first byte picks the file name's
// extension (content alone decides for some formats, content and extension
// for others); the rest is the image. Each format's analyze is asked in
// registry order, as the driver asks them.
//
// Properties: the only fatal end an analyze may take is the end of the file
// inside a header it has already recognised (status 6); and asking twice
// gives the same answer, so nothing carries over from one image to the next.
#include <array>
#include <cstdint>

#include "driver/registry.h"
#include "fuzz_image.h"
#include "output/fatal.h"

namespace {

const std::array<const char*, 10> suffixes = {".cas", ".CAS", ".htp", ".Htp", ".tap",
                                               ".wav", "",     ".cas.bin", ".prg", ".Prg"};

int analyze_once(const korvax::tape_format& format, const std::string& path) {
    try {
        return format.analyze(path.c_str()) ? 1 : 0;
    } catch (const korvax::exit_request& e) {
        if (e.status != korvax::exit_image) korvax_fuzz::fail("analyze ended with a status other than 6");
        return -e.status;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string path = korvax_fuzz::write_image(data + 1, size - 1, suffixes[data[0] % suffixes.size()]);
    for (const korvax::tape_format* format : korvax::tape_format_registry)
        if (analyze_once(*format, path) != analyze_once(*format, path)) korvax_fuzz::fail("analyze changed its answer");
    return 0;
}

// Detection over every registered format. The first byte picks the file name's
// extension (content alone decides for some formats, content and extension
// for others); the rest is the image. Each format's analyze is asked in
// registry order, as the driver asks them.
//
// Properties: an analyze answers its own index or "not recognised", never
// another format's; the only fatal end it may take is the end of the file
// inside a header it has already recognised (status 6); and asking twice
// gives the same answer, so nothing carries over from one image to the next.
#include <array>
#include <cstdint>

#include "driver/korvax.h"
#include "fuzz_image.h"

namespace {

const std::array<const char*, 8> suffixes = {".cas", ".CAS", ".htp", ".Htp", ".tap", ".wav", "", ".cas.bin"};

int analyze_once(const korvax::tape_format& format, const std::string& path) {
    try {
        return format.analyze(path.c_str());
    } catch (const korvax::exit_request& e) {
        if (e.status != korvax::exit_image) korvax_fuzz::fail("analyze ended with a status other than 6");
        return -e.status;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string path = korvax_fuzz::write_image(data + 1, size - 1, suffixes[data[0] % suffixes.size()]);
    korvax_fuzz::reset_run();
    for (int index = 0; index < korvax::fmt_count; ++index) {
        const korvax::tape_format& format = *korvax::tape_format_registry[index];
        const int answer = analyze_once(format, path);
        if (answer >= 0 && answer != index && answer != korvax::fmt_count)
            korvax_fuzz::fail("analyze answered another format's index");
        if (analyze_once(format, path) != answer) korvax_fuzz::fail("analyze changed its answer");
    }
    return 0;
}

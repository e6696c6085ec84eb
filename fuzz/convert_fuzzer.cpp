// The conversion of one format, chosen at build time by KORVAX_FUZZ_FORMAT (a
// format's short name). The input's first four bytes are the settings a user
// could give; the rest is the image:
//   byte 0     the gain level (-g N gives the low 8 bits of 15 N, and 15 is
//              odd, so every byte is reachable)
//   byte 1     bit 0 set: inverted output (-n)
//   bytes 2-3  the sample rate, little-endian, spread over 8000..192000 with
//              both ends reachable
// The run is the program's own, with the format forced, into a sink in memory
// that takes at most `output_cap` bytes: the writer's own guard stops the run
// there, which bounds the work per input.
//
// Property: the conversion is done twice, with another image of the format
// converted in between, and must give the same bytes and the same status, so
// no state carries from one run to the next.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/convert.h"
#include "driver/registry.h"
#include "fuzz_image.h"

#ifndef KORVAX_FUZZ_FORMAT
#error "KORVAX_FUZZ_FORMAT must name the format to fuzz"
#endif

namespace {

const int format = korvax::format_number(KORVAX_FUZZ_FORMAT);

constexpr std::uint64_t output_cap = 1 << 14;
constexpr std::size_t settings_bytes = 4;
constexpr unsigned min_rate = 8000;
constexpr unsigned max_rate = 192000;

struct conversion {
    int status = 0;
    std::vector<std::uint8_t> wav;
    bool operator==(const conversion&) const = default;
};

conversion convert(const std::uint8_t* settings, const std::string& path) {
    korvax::options o;
    o.format = format;
    o.p_gain = settings[0];
    o.inverted = settings[1] & 1;
    const unsigned spread = settings[2] | (settings[3] << 8);
    o.sample_rate = min_rate + spread * (max_rate - min_rate) / 0xFFFF;
    korvax::memory_sink out("fuzz.wav", output_cap);
    conversion c;
    c.status = korvax::convert(o, path, &out);
    c.wav = std::move(out.bytes);
    return c;
}

// An image that leaves a run's state where a fresh run would not start: an
// odd number of half-waves or pulse halves, every level used.
std::string other_image() {
    static const std::string path = [] {
        std::vector<std::uint8_t> b;
        std::string suffix = ".other";
        if (std::string_view(KORVAX_FUZZ_FORMAT) == "MTAP") {
            const std::string head = "C64-TAPE-RAW";
            b.assign(head.begin(), head.end());
            b.insert(b.end(), {2, 0, 0, 0, 3, 0, 0, 0, 0x30, 0x42, 0x56});
        } else if (std::string_view(KORVAX_FUZZ_FORMAT) == "PRG") {
            b = {0x00, 0xC0, 0x60};  // told by its extension
            suffix = ".other.prg";
        } else {
            b.assign(256, 0x00);
            b.insert(b.end(), {0xA5, 0x80, 0x66, 0x01});
        }
        return korvax_fuzz::write_image(b.data(), b.size(), suffix);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (format < 0) korvax_fuzz::fail("KORVAX_FUZZ_FORMAT names no format of the registry");
    if (size < settings_bytes) return 0;
    const std::string path = korvax_fuzz::write_image(
        data + settings_bytes, size - settings_bytes,
        std::string(".") + korvax::tape_format_registry[format]->extension);
    const conversion first = convert(data, path);
    convert(data, other_image());
    if (!(convert(data, path) == first)) korvax_fuzz::fail("a second conversion of the same image gave other bytes");
    return 0;
}

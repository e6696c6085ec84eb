// The conversion of one format, chosen at build time by KORVAX_FUZZ_FORMAT (a
// format's short name). The input's first four bytes are the settings a user
// could give; the rest is the image, held in memory:
//   byte 0     the gain level (-g N gives the low 8 bits of 15 N, and 15 is
//              odd, so every byte is reachable)
//   byte 1     bit 0 set: inverted output (-n); bit 1 set: the read-back
//              check (-V)
//   bytes 2-3  the sample rate, little-endian, spread over 8000..192000 with
//              both ends reachable
// The run is the program's own, with the format forced, into a sink in memory
// that takes at most `output_cap` bytes: the writer's own guard stops the run
// there, which bounds the work per input.
//
// Property: the conversion is done twice, with the format's own sample image
// converted in between, and must give the same bytes, messages and status,
// so no state carries from one run to the next.
#include <cstdint>
#include <string>
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
    std::string messages;
    bool operator==(const conversion&) const = default;
};

conversion convert(const std::uint8_t* settings, const korvax::image& im) {
    korvax::options o;
    o.format = format;
    o.p_gain = settings[0];
    o.inverted = settings[1] & 1;
    o.verify = settings[1] & 2;
    const unsigned spread = settings[2] | (settings[3] << 8);
    o.sample_rate = min_rate + spread * (max_rate - min_rate) / 0xFFFF;
    korvax::memory_sink out("fuzz.wav", output_cap);
    korvax::kept_messages told;
    conversion c;
    c.status = korvax::convert(o, im, &out, told);
    c.wav = std::move(out.bytes);
    c.messages = told.text();
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (format < 0) korvax_fuzz::fail("KORVAX_FUZZ_FORMAT names no format of the registry");
    if (size < settings_bytes) return 0;
    const korvax::tape_format& f = *korvax::tape_format_registry[static_cast<std::size_t>(format)];
    const korvax::image im{std::string("image.") + f.extension,
                           std::vector<std::uint8_t>(data + settings_bytes, data + size)};
    const conversion first = convert(data, im);
    convert(data, f.sample());
    if (!(convert(data, im) == first)) korvax_fuzz::fail("a second conversion of the same image gave other bytes");
    return 0;
}

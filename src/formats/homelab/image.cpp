// Homelab HTP images.
//
// Like a TRS-80 image, the file is the byte stream the machine writes: its
// leader of zero bytes (of any length), 0xA5, then name, address, length,
// data and checksum (and further blocks, each with its own leader), every
// byte of it played after the lead-in. An image is one when its name ends in
// .htp and it starts with a zero leader and 0xA5.
#include "formats/homelab/image.h"

#include <limits>

#include "formats/homelab/encoder.h"
#include "formats/homelab/layout.h"
#include "formats/homelab/protocol.h"
#include "formats/tape_start.h"

namespace korvax {
namespace {

class htp_tape final : public tape {
public:
    explicit htp_tape(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    void play(const signal_levels& s, timeline& t) const override { homelab::play(bytes_, homelab::parts(bytes_), s, t); }

    // Bytes are framed by counting bits, from the pulse that opens each cell.
    readback read_back(const signal_levels&, sample_source& wav, std::uint64_t) const override {
        const double cell = double(homelab::bit_cell_cycles) * wav.rate() / homelab::clock_hz;
        event_finder pulses(wav, event_finder::looking_for::pulses);
        byte_check check({}, bytes_);
        return read_cells(pulses, std::numeric_limits<double>::infinity(), 0, cell, homelab::loader_tolerance, check);
    }

private:
    std::span<const std::uint8_t> bytes_;
};

std::unique_ptr<tape> htp_read(const image& im, report& found, bool forced) {
    const tape_start start = read_tape_start(im.bytes, false);
    if (!forced && (!has_extension(im.name, ".htp") || start.kind == tape_start::none)) return nullptr;
    found.family = "homelab";
    found.kind = tape_start_line(start);
    return std::make_unique<htp_tape>(im.bytes);
}

image htp_sample() {
    byte_vector b(256, 0x00);
    b.insert(b.end(), {0xA5, 'G', 0x00, 0x16, 0x40, 0x01, 0x00, 0x2A, 0x2A, 0x00});
    return {"sample.htp", b};
}

}  // namespace

// Below 44100 Hz the last bit's longer pulse rounds to as many samples as the
// others, and a loader that looks for it to frame bytes is lost.
const tape_format htp_format = {
    .name = "HTP",
    .extension = "htp",
    .description = "Homelab high level tape image",
    .read = htp_read,
    .recommended_rate = 44100,
    .sample = htp_sample,
};

}  // namespace korvax

// TRS-80 Model I, III and 4 / Video Genie CAS images, at three speeds.
//
// The image is the byte stream the machine's cassette routine writes: its
// leader, the sync byte, then the program, every byte of it played after the
// lead-in. The speed is the one -b asks for, else the image's own: a leader
// of 0x55 bytes and 0x7F is high speed (1500 baud), a zero leader and 0xA5
// followed by a Level I program is 250 baud, any other zero leader 500 baud
// (formats/tape_start.h tells them apart). An image is one when its name
// ends in .cas and it starts with either leader.
#include "formats/trs80/image.h"

#include "formats/trs80/decoder.h"
#include "formats/trs80/encoder.h"
#include "formats/trs80/layout.h"
#include "formats/tape_start.h"

namespace korvax {
namespace {

class cas_tape final : public tape {
public:
    cas_tape(std::span<const std::uint8_t> bytes, const tape_start& start) : bytes_(bytes), start_(start) {}

    void play(const signal_levels& s, timeline& t) const override {
        trs80::play(bytes_, speed(s), trs80::parts(bytes_, speed(s)), s, t);
    }

    readback read_back(const signal_levels& s, sample_source& wav, std::uint64_t) const override {
        return trs80::read_back(bytes_, speed(s), wav);
    }

private:
    // The speed to play at: the one asked for, else the image's own.
    int speed(const signal_levels& s) const {
        if (s.baud != 0) return s.baud;
        return start_.kind == tape_start::level1 ? 250 : start_.kind == tape_start::high_speed ? 1500 : 500;
    }
    std::span<const std::uint8_t> bytes_;
    tape_start start_;
};

// Forced with -f 3, any image is played; one that starts with neither leader
// at 500 baud.
std::unique_ptr<tape> cas_read(const image& im, report& found, bool forced) {
    const tape_start start = read_tape_start(im.bytes, true);
    if (!forced && (!has_extension(im.name, ".cas") || start.kind == tape_start::none)) return nullptr;
    found.family = start.kind == tape_start::level1       ? "trs80-250"
                   : start.kind == tape_start::high_speed ? "trs80-1500"
                                                          : "trs80-500";
    found.kind = tape_start_line(start);
    if (start.level1_wanted != 0)
        found.kind_warnings.push_back("    WARNING: the Level I program is cut short: the image holds " +
                                      std::to_string(start.level1_found) + " of its " +
                                      std::to_string(start.level1_wanted) + " bytes and not its checksum.");
    return std::make_unique<cas_tape>(im.bytes, start);
}

image cas_sample() {
    byte_vector b(256, 0x00);
    b.insert(b.end(), {0xA5, 0x55, 'G', 'A', 'M', 'E', ' ', ' ', 0x78, 0x00, 0x50});
    return {"sample.cas", b};
}

}  // namespace

const tape_format cas_trs80_format = {
    .name = "CAS",
    .extension = "cas",
    .description = "TRS-80 Model I/VideoGenie high level tape image",
    .read = cas_read,
    .recommended_rate = 22050,
    .sample = cas_sample,
};

}  // namespace korvax

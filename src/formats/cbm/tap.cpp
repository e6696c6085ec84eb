// Commodore TAP images (C64, VIC-20, C16/Plus4; PAL or NTSC; versions 0 to 2).
//
// A TAP image holds no program bytes but the measured length of every pulse
// on the tape. Layout, little-endian:
//   0  12 bytes  "????TAPE-RAW"; the four-byte machine prefix may be anything
//                but a line feed
//  12  1 byte    version 0, 1 or 2
//  13  1 byte    machine 0 C64, 1 VIC-20, 2 C16/Plus4 (C264)
//  14  1 byte    video standard 0 PAL, 1 NTSC
//  15  1 byte    reserved
//  16  4 bytes   length of the pulse data
//  20  ...       pulse data (formats/cbm/pulses.h)
// The header is reported as it is read.
#include "formats/cbm/tap.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "formats/cbm/decoder.h"
#include "formats/cbm/encoder.h"

namespace korvax {
namespace {

constexpr std::size_t header_size = 20;
constexpr int newest_version = 2;
constexpr int machine_vic20 = 1, machine_c264 = 2;
constexpr int video_ntsc = 1;

const char* machine_name(int type) {
    static constexpr const char* names[] = {"C64", "VIC-20", "C264"};
    return type >= 0 && type <= machine_c264 ? names[type] : "unknown";
}

const char* video_name(int standard) {
    static constexpr const char* names[] = {"PAL", "NTSC"};
    return standard >= 0 && standard <= video_ntsc ? names[standard] : "unknown";
}

// Any video byte other than 1 counts as PAL, any machine byte other than 1
// and 2 as a C64.
std::uint32_t tape_frequency(int machine_type, int video_standard) {
    const bool is_ntsc = video_standard == video_ntsc;
    switch (machine_type) {
        case machine_vic20: return is_ntsc ? cbm::ntsc : cbm::vic20_pal;
        case machine_c264: return is_ntsc ? cbm::c264_ntsc : cbm::c264_pal;
        default: return is_ntsc ? cbm::ntsc : cbm::c64_pal;
    }
}

class tap_tape final : public tape {
public:
    tap_tape(int version, std::uint32_t frequency, std::span<const std::uint8_t> data)
        : version_(version), frequency_(frequency), data_(data) {}

    void tell(const signal_levels& s, messages& out) const override {
        if (version_ == 2) {
            const int second = cbm::v2_first_level ^ s.p_gain;
            if (cbm::v2_first_level - second < cbm::v2_min_swing)
                out.say("    WARNING: at this gain, version 2 half-waves swing between levels 80 and %i; "
                        "use gain 5, 6 or 8 for a signal that loads.",
                        second);
        } else if (!s.inverted) {
            out.line("Decoders read this signal only inverted: if the machine does not load it, convert with -n.");
        }
    }

    void play(const signal_levels& s, timeline& t) const override { cbm::play_tap(version_, data_, frequency_, s, t); }

    // Each pulse timed from one falling level change to the one after next,
    // as a loader times it from its high half; version 2 half-wave by
    // half-wave.
    readback read_back(const signal_levels&, sample_source& wav, std::uint64_t) const override {
        readback r = cbm::read_pulses(wav, version_ == 2, frequency_,
                                      [&](auto f) { cbm::for_each_tap_pulse(version_, data_, f); });
        if (version_ == 2) r.hint = "Version 2 images load at gain 5, 6 or 8, without -n.";
        return r;
    }

private:
    int version_;
    std::uint32_t frequency_;
    std::span<const std::uint8_t> data_;
};

// The one reader of TAP images: the header, reported, and the pulse data.
// Nothing when the image is no usable TAP image; an image that ends inside
// its header ends the run.
std::unique_ptr<tape> tap_read(const image& im, report& found, bool) {
    const std::span<const std::uint8_t> b = im.bytes;
    // Bytes 4 to 11 of the first line (at most 12 characters, ended early by
    // a line feed) must read "TAPE-RAW".
    if (b.size() < 12 || std::find(b.begin(), b.begin() + 4, '\n') != b.begin() + 4 ||
        std::memcmp(b.data() + 4, "TAPE-RAW", 8) != 0)
        return nullptr;
    std::size_t at = 12;
    const auto byte = [&]() -> std::optional<int> {
        if (at >= b.size()) {
            found.fatal = exit_image;
            found.fatal_message = "unexpected End of File!";
            return std::nullopt;
        }
        return b[at++];
    };
    const auto version = byte();
    if (!version) return nullptr;
    if (*version > newest_version) {
        found.text("MTAP Version not (yet) supported, sorry!");
        return nullptr;
    }
    const auto machine = byte();
    if (!machine) return nullptr;
    found.field("Machine type", machine_name(*machine));
    const auto video = byte();
    if (!video) return nullptr;
    found.field("Video standard", video_name(*video));
    if (!byte()) return nullptr;  // reserved
    const std::uint32_t frequency = tape_frequency(*machine, *video);
    found.field("Tape frequency", std::to_string(frequency * cbm::cycles_per_unit));
    std::uint32_t length = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const auto x = byte();
        if (!x) return nullptr;
        length |= static_cast<std::uint32_t>(*x) << shift;
    }
    found.field("TAP data length", std::to_string(length));

    const std::uint64_t in_file = b.size() - header_size;
    if (length != in_file) {
        found.warning("    WARNING: TAP data size (" + std::to_string(in_file) + ") doesn't match header (" +
                      std::to_string(length) + ").");
        // The larger of the two is used.
        length = static_cast<std::uint32_t>(std::max<std::uint64_t>(length, in_file));
    }
    found.field("TAP version", std::to_string(*version));
    found.family = *version == 2 ? "tap2" : "tap01";
    // Never more than the file holds, whatever the header claims: the bytes
    // past its end are reported missing, not played.
    const std::span<const std::uint8_t> data = b.subspan(header_size, std::min<std::uint64_t>(length, in_file));
    if (data.size() < length) {
        found.warning("WARNING! TAP data size mismatch. Read " + std::to_string(data.size()) + " bytes, header stated " +
                      std::to_string(length) + " bytes.");
        found.warning("         Image may not be readable.");
    }
    return std::make_unique<tap_tape>(*version, frequency, data);
}

image tap_sample() {
    byte_vector b = {'C', '6', '4', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 1, 0, 0, 0, 3, 0, 0, 0};
    b.insert(b.end(), {0x30, 0x42, 0x56});
    return {"sample.tap", b};
}

}  // namespace

const tape_format tap_format = {
    .name = "MTAP",
    .extension = "tap",
    .description = "Commodore low level tape image",
    .read = tap_read,
    .recommended_rate = 22050,
    .sample = tap_sample,
};

}  // namespace korvax

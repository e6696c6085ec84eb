// Colour Genie CAS images.
//
// An image may start with the emulator's text header: the 32 characters
// "Colour Genie - Virtual Tape File", free text, and a 0x00 that ends it. The
// recorded bytes follow, starting with the sync byte 0x66 ("f"); an image
// without the header holds only these bytes. The machine's own leader is not
// in the image: the encoder writes it.
#include "formats/cgenie/image.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "formats/cgenie/encoder.h"
#include "formats/cgenie/protocol.h"

namespace korvax {
namespace {

constexpr char header_text[] = "Colour Genie - Virtual Tape File";
constexpr std::size_t header_text_size = sizeof header_text - 1;  // 32, no terminator

// Whether the image starts with the header text; one shorter than the text
// has no header. Detection and conversion both ask this, so they cannot
// disagree.
bool starts_with_header_text(std::span<const std::uint8_t> b) {
    return b.size() >= header_text_size && std::memcmp(b.data(), header_text, header_text_size) == 0;
}

class cgc_tape final : public tape {
public:
    explicit cgc_tape(std::span<const std::uint8_t> bytes) : bytes_(bytes) {
        if (!starts_with_header_text(bytes)) {
            data_ = bytes;
            return;
        }
        // The byte after the header's 0x00 starts the data only when it is the
        // sync byte; any other byte there is dropped. Without a 0x00 there is
        // no data.
        const auto zero = std::find(bytes.begin(), bytes.end(), 0);
        const auto first = static_cast<std::size_t>(zero - bytes.begin()) + 1;
        if (first < bytes.size() && bytes[first] == cgenie::sync_byte) {
            header_size_ = first;
            data_ = bytes.subspan(first);
        } else {
            data_ = bytes.subspan(std::min(bytes.size(), first + 1));
        }
    }

    void tell(const signal_levels&, messages& out) const override {
        if (!starts_with_header_text(bytes_))
            out.line("CAS file without header.");
        else if (header_size_ != 0)
            out.say("CAS header size %zu bytes.", header_size_);
        out.line("Writing leader (AAh) bytes.");
    }

    void play(const signal_levels& s, timeline& t) const override { cgenie::play(data_, parts(), s, t); }

    // Half-waves alternate between two levels, so every level change is read.
    // When the last half-wave is at the silence level it has no edge of its
    // own: the start of the closing silence ends it.
    readback read_back(const signal_levels&, sample_source& wav, std::uint64_t samples) const override {
        const double zero = wav.rate() / cgenie::bit_rate;
        const std::uint64_t closing = cycles_to_samples(cgenie::silence_ticks, cgenie::tick_hz, wav.rate());
        const std::uint64_t silence = samples - std::min(samples, closing);
        static constexpr auto leader = [] {
            std::array<std::uint8_t, cgenie::leader_bytes> a{};
            a.fill(cgenie::leader_byte);
            return a;
        }();
        byte_check check(leader, data_);
        event_finder steps(wav, event_finder::looking_for::steps);
        return read_cells(steps, double(silence) - zero / 4, silence, zero, cgenie::loader_tolerance, check);
    }

private:
    // The sync byte, and a SYSTEM tape's name (0x55 and 6 characters) before
    // its blocks.
    std::vector<tape_part> parts() const {
        std::vector<tape_part> p;
        if (data_.empty()) return p;
        if (data_[0] == cgenie::sync_byte) p.push_back({0, tape_mark::what::sync, ""});
        constexpr std::size_t name_size = 6;
        if (data_.size() > 2 + name_size && data_[1] == 0x55) {
            std::string name;
            for (std::size_t i = 2; i < 2 + name_size; ++i) name += data_[i] >= 0x20 && data_[i] < 0x7F ? char(data_[i]) : '?';
            p.push_back({1, tape_mark::what::header, "SYSTEM " + name.substr(0, name.find_last_not_of(' ') + 1)});
            p.push_back({2 + name_size, tape_mark::what::data, ""});
        } else if (data_.size() > 1) {
            p.push_back({1, tape_mark::what::data, ""});
        }
        return p;
    }
    std::span<const std::uint8_t> bytes_, data_;
    std::size_t header_size_ = 0;
};

// An image with the header text, whatever its name. Without the text, a .cas
// image that starts with the sync byte (or a leader of sync bytes) or with its
// own 0xAA leader; a TRS-80 image starts with 0x00 or 0x55 instead.
std::unique_ptr<tape> cgc_read(const image& im, report& found, bool forced) {
    const bool text = starts_with_header_text(im.bytes);
    const int first = im.bytes.empty() ? -1 : im.bytes[0];
    if (!forced && !text && !((first == cgenie::sync_byte || first == cgenie::leader_byte) && has_extension(im.name, ".cas")))
        return nullptr;
    found.family = "cgenie";
    return std::make_unique<cgc_tape>(im.bytes);
}

image cgc_sample() {
    return {"sample.cas", {0x66, 0x55, 'G', 'A', 'M', 'E', ' ', ' ', 0x78, 0x00, 0x50}};
}

}  // namespace

const tape_format cgc_format = {
    .name = "CGC",
    .extension = "cas",
    .description = "Colour Genie high level tape image format",
    .read = cgc_read,
    .recommended_rate = 22050,
    .sample = cgc_sample,
};

}  // namespace korvax

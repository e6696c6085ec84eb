#include "audio/recording_file.h"

#include <atomic>
#include <cstring>

#include "audio/wav_file.h"

namespace korvax {
namespace {

class wav_recording final : public recording_file {
public:
    wav_recording(std::string name, const std::vector<std::uint8_t>* bytes, unsigned channels, std::uint32_t rate)
        : name_(std::move(name)), bytes_(bytes), channels_(channels), rate_(rate) {}
    unsigned channels() const override { return channels_; }
    std::uint32_t rate() const override { return rate_; }
    std::unique_ptr<sample_source> channel(unsigned c) override {
        std::string why;
        auto w = bytes_ != nullptr ? wav_file::open(*bytes_, why, c) : wav_file::open(name_, why, c);
        if (!w) return nullptr;
        return std::make_unique<reader>(std::move(w), *this);
    }
    bool cut_short() const override { return cut_short_; }
    bool channels_alike() const override { return alike_; }

private:
    // Tells the recording when its samples ran out before their end, and
    // whether a channel read whole found every frame's channels alike.
    struct reader final : sample_source {
        reader(std::unique_ptr<wav_file> w, wav_recording& r) : wav(std::move(w)), owner(r) {}
        std::uint32_t rate() const override { return wav->rate(); }
        std::size_t read(float* out, std::size_t n) override {
            const std::size_t got = wav->read(out, n);
            if (wav->failed()) owner.cut_short_ = true;
            if (got == 0 && n > 0 && wav->channels_alike()) owner.alike_ = true;
            return got;
        }
        std::uint64_t skip(std::uint64_t n) override { return wav->skip(n); }
        std::unique_ptr<wav_file> wav;
        wav_recording& owner;
    };
    std::string name_;
    const std::vector<std::uint8_t>* bytes_;
    unsigned channels_;
    std::uint32_t rate_;
    // Set by the readers of its channels, which may read side by side.
    std::atomic<bool> cut_short_ = false, alike_ = false;
};

}  // namespace

std::unique_ptr<recording_file> open_wav_recording(const std::string& name, std::string& why) {
    const auto w = wav_file::open(name, why);
    if (!w) return nullptr;
    return std::make_unique<wav_recording>(name, nullptr, w->channels(), w->rate());
}

std::unique_ptr<recording_file> open_wav_recording(const std::vector<std::uint8_t>& bytes, std::string& why) {
    const auto w = wav_file::open(bytes, why);
    if (!w) return nullptr;
    return std::make_unique<wav_recording>("", &bytes, w->channels(), w->rate());
}

bool looks_like_recording(const std::uint8_t* b, std::size_t n) {
    const auto at = [&](std::size_t i, const char* s) { return n >= i + std::strlen(s) && std::memcmp(b + i, s, std::strlen(s)) == 0; };
    if (at(0, "RIFF") && at(8, "WAVE")) return true;
    if (at(0, "RF64") && at(8, "WAVE")) return true;
    if (at(0, "FORM") && (at(8, "AIFF") || at(8, "AIFC"))) return true;
    // Sony Wave64 (its "riff" and "wave" GUIDs) and Apple's CAF, which
    // recorders use for long takes.
    if (at(0, "riff\x2e\x91\xcf\x11") && at(24, "wave\xf3\xac\xd3\x11")) return true;
    if (at(0, "caff") && n >= 6 && b[4] == 0 && b[5] == 1) return true;
    if (at(0, "fLaC") || at(0, "OggS") || at(0, "ID3")) return true;
    // An MPEG audio frame's sync: eleven set bits, then a layer that is not
    // the reserved one.
    return n >= 2 && b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && (b[1] & 0x06) != 0;
}

}  // namespace korvax

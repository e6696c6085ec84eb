#include "audio/sndfile_recording.h"

#include <sndfile.h>

#include <vector>

namespace korvax {
namespace {

class sndfile_recording final : public recording_file {
public:
    sndfile_recording(std::string name, const SF_INFO& info) : name_(std::move(name)), info_(info) {}
    unsigned channels() const override { return static_cast<unsigned>(info_.channels); }
    std::uint32_t rate() const override { return static_cast<std::uint32_t>(info_.samplerate); }
    std::unique_ptr<sample_source> channel(unsigned c) override {
        SF_INFO info{};
        SNDFILE* f = sf_open(name_.c_str(), SFM_READ, &info);
        if (f == nullptr) {
            cut_short_ = true;
            return nullptr;
        }
        return std::make_unique<reader>(f, info, c, *this);
    }
    bool cut_short() const override { return cut_short_; }

private:
    // One channel of the interleaved frames, a block at a time.
    struct reader final : sample_source {
        reader(SNDFILE* f, const SF_INFO& i, unsigned c, sndfile_recording& r) : file(f), info(i), channel(c), owner(r) {}
        ~reader() override { sf_close(file); }
        std::uint32_t rate() const override { return static_cast<std::uint32_t>(info.samplerate); }
        std::size_t read(float* out, std::size_t n) override {
            if (n == 0) return 0;
            const auto channels = static_cast<std::size_t>(info.channels);
            frames.resize(n * channels);
            const sf_count_t got = sf_readf_float(file, frames.data(), static_cast<sf_count_t>(n));
            if (got < 0 || sf_error(file) != SF_ERR_NO_ERROR) {
                owner.cut_short_ = true;
                return 0;
            }
            for (sf_count_t i = 0; i < got; ++i) out[i] = frames[static_cast<std::size_t>(i) * channels + channel];
            read_so_far += got;
            // A file whose header claims more frames than it holds.
            if (got == 0 && info.frames != SF_COUNT_MAX && read_so_far < info.frames) owner.cut_short_ = true;
            return static_cast<std::size_t>(got);
        }
        SNDFILE* file;
        SF_INFO info;
        unsigned channel;
        sndfile_recording& owner;
        std::vector<float> frames;
        sf_count_t read_so_far = 0;
    };
    std::string name_;
    SF_INFO info_;
    bool cut_short_ = false;
};

}  // namespace

std::unique_ptr<recording_file> open_sndfile_recording(const std::string& name, std::string& why) {
    SF_INFO info{};
    SNDFILE* f = sf_open(name.c_str(), SFM_READ, &info);
    if (f == nullptr) {
        why = sf_strerror(nullptr);
        // Its message may end a sentence; the caller ends the line.
        while (!why.empty() && (why.back() == '.' || why.back() == ' ')) why.pop_back();
        return nullptr;
    }
    sf_close(f);
    if (info.channels <= 0 || info.samplerate <= 0) {
        why = "it has no channels or no sample rate";
        return nullptr;
    }
    return std::make_unique<sndfile_recording>(name, info);
}

}  // namespace korvax

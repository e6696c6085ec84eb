#include "audio/sndfile_recording.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/wav_file.h"

namespace korvax {
namespace {

// SF_FORMAT_MPEG, which libsndfile names from version 1.1 on.
constexpr int mpeg_format = 0x230000;

// A recording held in memory, as libsndfile's virtual I/O reads it.
struct memory_cursor {
    const std::vector<std::uint8_t>* bytes;
    sf_count_t at = 0;
};
sf_count_t memory_length(void* user) { return sf_count_t(static_cast<memory_cursor*>(user)->bytes->size()); }
sf_count_t memory_seek(sf_count_t offset, int whence, void* user) {
    auto* m = static_cast<memory_cursor*>(user);
    const sf_count_t size = memory_length(user), from = whence == SEEK_CUR ? m->at : whence == SEEK_END ? size : 0;
    m->at = std::clamp<sf_count_t>(from + offset, 0, size);
    return m->at;
}
sf_count_t memory_read(void* out, sf_count_t n, void* user) {
    auto* m = static_cast<memory_cursor*>(user);
    const sf_count_t k = std::clamp<sf_count_t>(memory_length(user) - m->at, 0, n);
    if (k > 0) std::memcpy(out, m->bytes->data() + m->at, std::size_t(k));
    m->at += k;
    return k;
}
sf_count_t memory_write(const void*, sf_count_t, void*) { return 0; }
sf_count_t memory_tell(void* user) { return static_cast<memory_cursor*>(user)->at; }
SF_VIRTUAL_IO memory_io{memory_length, memory_seek, memory_read, memory_write, memory_tell};

// A recording in a file, or held in memory.
class sndfile_recording final : public recording_file {
public:
    explicit sndfile_recording(std::string name) : name_(std::move(name)) {}
    explicit sndfile_recording(const std::vector<std::uint8_t>& bytes) : bytes_(&bytes) {}
    unsigned channels() const override { return static_cast<unsigned>(info_.channels); }
    std::uint32_t rate() const override { return static_cast<std::uint32_t>(info_.samplerate); }
    std::unique_ptr<sample_source> channel(unsigned c) override {
        SF_INFO info{};
        std::unique_ptr<memory_cursor> cursor;
        SNDFILE* f = open(info, cursor);
        if (f == nullptr) {
            cut_short_ = true;
            return nullptr;
        }
        return std::make_unique<reader>(f, std::move(cursor), info, c, *this);
    }
    bool cut_short() const override { return cut_short_; }
    bool channels_alike() const override { return alike_; }

    // Whether libsndfile reads the recording's header, and finds channels
    // and a rate in it; `why` says why not.
    bool read_header(std::string& why) {
        std::unique_ptr<memory_cursor> cursor;
        SNDFILE* f = open(info_, cursor);
        if (f == nullptr) {
            why = sf_strerror(nullptr);
            // Its message may end a sentence; the caller ends the line.
            while (!why.empty() && (why.back() == '.' || why.back() == ' ')) why.pop_back();
            return false;
        }
        sf_close(f);
        if (info_.channels <= 0 || info_.samplerate <= 0) {
            why = "it has no channels or no sample rate";
            return false;
        }
        return true;
    }

private:
    // libsndfile's handle on the recording from its start; a recording held
    // in memory is read through `cursor`, which must outlive the handle.
    SNDFILE* open(SF_INFO& info, std::unique_ptr<memory_cursor>& cursor) const {
        if (bytes_ == nullptr) return sf_open(name_.c_str(), SFM_READ, &info);
        cursor = std::make_unique<memory_cursor>(memory_cursor{bytes_});
        return sf_open_virtual(&memory_io, SFM_READ, &info, cursor.get());
    }

    // One channel of the interleaved frames, a block at a time.
    struct reader final : sample_source {
        reader(SNDFILE* f, std::unique_ptr<memory_cursor> m, const SF_INFO& i, unsigned c, sndfile_recording& r)
            : file(f), cursor(std::move(m)), info(i), channel(c), owner(r) {}
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
            // A frame's channels are alike where each sample equals the next
            // (after a seek, which the answer cannot come from, not compared).
            for (std::size_t i = 0; alike && !skipped && channels > 1 && i < std::size_t(got); ++i)
                alike =
                    std::equal(&frames[i * channels], &frames[i * channels + channels - 1], &frames[i * channels + 1]);
            read_so_far += got;
            // A file whose header claims more frames than it holds. An MP3's
            // count is an estimate (from its Xing tag, or from its size and
            // first frame's bit rate) that a whole file may miss by a few of
            // its frames (half a percent from an MPEG-2 encoder): there only a
            // shortfall of more than 2% is a file cut short.
            const sf_count_t slack = (info.format & SF_FORMAT_TYPEMASK) == mpeg_format ? info.frames / 50 : 0;
            if (got == 0 && info.frames != SF_COUNT_MAX && read_so_far < info.frames - slack) owner.cut_short_ = true;
            if (got == 0 && alike && !skipped && !owner.cut_short_) owner.alike_ = true;
            return static_cast<std::size_t>(got);
        }
        // Samples stored as they are (PCM or float) or in FLAC are sought to
        // exactly; other kinds are read through.
        std::uint64_t skip(std::uint64_t n) override {
            const int major = info.format & SF_FORMAT_TYPEMASK, subtype = info.format & SF_FORMAT_SUBMASK;
            const bool exact = major == SF_FORMAT_FLAC || subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_S8 ||
                               subtype == SF_FORMAT_PCM_16 || subtype == SF_FORMAT_PCM_24 ||
                               subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
            if (!info.seekable || !exact) return sample_source::skip(n);
            const sf_count_t to = std::min<sf_count_t>(info.frames, read_so_far + static_cast<sf_count_t>(n));
            if (to <= read_so_far || sf_seek(file, to, SEEK_SET) != to) return sample_source::skip(n);
            const auto k = static_cast<std::uint64_t>(to - read_so_far);
            read_so_far = to;
            skipped = true;
            return k;
        }
        SNDFILE* file;
        std::unique_ptr<memory_cursor> cursor;
        SF_INFO info;
        unsigned channel;
        sndfile_recording& owner;
        std::vector<float> frames;
        sf_count_t read_so_far = 0;
        bool alike = true, skipped = false;  // every frame read had its channels alike; a seek passed some
    };
    std::string name_;
    const std::vector<std::uint8_t>* bytes_ = nullptr;
    SF_INFO info_{};
    // Set by the readers of its channels, which may read side by side.
    std::atomic<bool> cut_short_ = false, alike_ = false;
};

// Numbers of `n` bytes, little- and big-endian.
std::uint64_t little(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int k = n - 1; k >= 0; --k) v = v << 8 | p[k];
    return v;
}
std::uint64_t big(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int k = 0; k < n; ++k) v = v << 8 | p[k];
    return v;
}

// What a WAV, RF64, Wave64 or AIFF file's sound data chunk claims, against
// what the file holds after its header. libsndfile reads what is there
// without a word, but a recording cut short (a full disk, a copy stopped
// part-way) must not pass for a whole one. Other containers tell their own
// end.
struct data_chunk {
    bool riff = false;  // a WAV's (not an RF64's)
    std::uint64_t length = 0, room = 0;
    // A writer that could not seek back leaves its size unknown.
    bool cut() const { return !wav_size_unknown(length) && length > room; }
};
// `read(at, out, n)` reads up to `n` bytes from `at` of the `size` there are.
template <class reader>
data_chunk data_chunk_in(std::uint64_t size, const reader& read) {
    data_chunk d;
    static constexpr std::uint8_t w64_riff[8] = {'r', 'i', 'f', 'f', 0x2e, 0x91, 0xcf, 0x11};
    static constexpr std::uint8_t w64_data[8] = {'d', 'a', 't', 'a', 0xf3, 0xac, 0xd3, 0x11};
    std::uint8_t head[40] = {};
    const std::size_t got = read(0, head, sizeof head);
    const bool wave = got >= 12 && (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0) &&
                      std::memcmp(head + 8, "WAVE", 4) == 0;
    const bool aiff = got >= 12 && std::memcmp(head, "FORM", 4) == 0 &&
                      (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0);
    const bool w64 = got == sizeof head && std::memcmp(head, w64_riff, 8) == 0;
    // The chunks, each an id and a size, then its bytes: in a WAV a 4-byte
    // id and a little-endian size, padded to an even length (an RF64's data
    // size, all ones there, is in its ds64 chunk); in an AIFF the same,
    // big-endian; in a Wave64 a 16-byte GUID and a 64-bit little-endian
    // size that counts this header too, padded to 8 bytes.
    const std::uint64_t header = w64 ? 24 : 8;
    std::uint64_t rf64_data = 0;
    for (std::uint64_t at = w64 ? 40 : 12; (wave || aiff || w64) && at + header <= size;) {
        std::uint8_t c[24] = {};
        if (read(at, c, sizeof c) < header) break;
        if (w64 && little(c + 16, 8) < header) break;
        std::uint64_t length = w64 ? little(c + 16, 8) - header : wave ? little(c + 4, 4) : big(c + 4, 4);
        if (wave && std::memcmp(c, "ds64", 4) == 0) rf64_data = little(c + 16, 8);  // after the RIFF size
        if (w64 ? std::memcmp(c, w64_data, 8) == 0 : std::memcmp(c, wave ? "data" : "SSND", 4) == 0) {
            if (length == 0xFFFFFFFFu && rf64_data != 0) length = rf64_data;
            d.riff = wave && std::memcmp(head, "RIFF", 4) == 0;
            d.length = length, d.room = size - at - header;
            break;
        }
        if (length > size) break;
        at += header + length + (w64 ? (8 - length % 8) % 8 : length & 1);
    }
    return d;
}

data_chunk data_chunk_of(const std::string& name) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return {};
    const long end = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
    const data_chunk d =
        data_chunk_in(end > 0 ? std::uint64_t(end) : 0, [&](std::uint64_t at, std::uint8_t* out, std::size_t n) {
            return std::fseek(f, long(at), SEEK_SET) == 0 ? std::fread(out, 1, n, f) : 0;
        });
    std::fclose(f);
    return d;
}

data_chunk data_chunk_of(const std::vector<std::uint8_t>& b) {
    return data_chunk_in(b.size(), [&](std::uint64_t at, std::uint8_t* out, std::size_t n) {
        const std::size_t k = at < b.size() ? std::min<std::size_t>(n, b.size() - at) : 0;
        std::copy_n(b.begin() + std::ptrdiff_t(at), k, out);
        return k;
    });
}

// The recording as libsndfile reads it, if its header holds (`d` is what its
// data chunk claims).
std::unique_ptr<recording_file> checked(std::unique_ptr<sndfile_recording> r, const data_chunk& d, std::string& why) {
    if (!r->read_header(why)) return nullptr;
    if (d.cut()) {
        why = "it ends before the end its header gives";
        return nullptr;
    }
    return r;
}

}  // namespace

std::unique_ptr<recording_file> open_sndfile_recording(const std::string& name, std::string& why) {
    const data_chunk d = data_chunk_of(name);
    // A WAV whose data size was never filled in, which libsndfile reads as
    // holding nothing, or as far as it claims: the program's own reader
    // takes the samples to the end. (All ones libsndfile reads to the end
    // itself.)
    if (d.riff && wav_size_unknown(d.length) && d.length != 0xFFFFFFFFu && d.room > 0) return open_wav_recording(name, why);
    return checked(std::make_unique<sndfile_recording>(name), d, why);
}

std::unique_ptr<recording_file> open_sndfile_recording(const std::vector<std::uint8_t>& bytes, std::string& why) {
    // A WAV is read as from a file: by the program's own reader, which takes
    // one whose sizes were never filled in to its end; one it does not read
    // (u-law, A-law, ADPCM) by libsndfile, as from a file. When neither
    // reads it, the program's own reader says why.
    if (bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 &&
        std::memcmp(bytes.data() + 8, "WAVE", 4) == 0) {
        if (auto own = open_wav_recording(bytes, why)) return own;
        std::string also;
        return checked(std::make_unique<sndfile_recording>(bytes), data_chunk_of(bytes), also);
    }
    return checked(std::make_unique<sndfile_recording>(bytes), data_chunk_of(bytes), why);
}

}  // namespace korvax

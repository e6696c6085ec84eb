#include "audio/wav_file.h"

#include <sys/stat.h>

#include <cstring>
#include <limits>

namespace korvax {
namespace {

constexpr std::uint16_t format_pcm = 1, format_float = 3, format_extensible = 0xFFFE;

std::uint32_t le(const unsigned char* p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

}  // namespace

wav_file::~wav_file() {
    if (file_ != nullptr) std::fclose(file_);
}

std::unique_ptr<wav_file> wav_file::open(const std::string& path, std::string& why, unsigned channel) {
    std::unique_ptr<wav_file> w(new wav_file);
    w->file_ = std::fopen(path.c_str(), "rb");
    struct stat st {};
    if (w->file_ == nullptr || ::fstat(::fileno(w->file_), &st) != 0) {
        why = "it cannot be read";
        return nullptr;
    }
    return read_header(std::move(w), static_cast<std::uint64_t>(st.st_size), why, channel);
}

std::unique_ptr<wav_file> wav_file::open(const std::vector<std::uint8_t>& bytes, std::string& why, unsigned channel) {
    std::unique_ptr<wav_file> w(new wav_file);
    // An empty buffer cannot be opened as a stream, and holds no WAV anyway.
    static unsigned char nothing = 0;
    w->file_ = ::fmemopen(bytes.empty() ? &nothing : const_cast<std::uint8_t*>(bytes.data()), bytes.empty() ? 1 : bytes.size(), "rb");
    if (w->file_ == nullptr) {
        why = "it cannot be read";
        return nullptr;
    }
    return read_header(std::move(w), bytes.size(), why, channel);
}

std::unique_ptr<wav_file> wav_file::read_header(std::unique_ptr<wav_file> w, std::uint64_t size, std::string& why,
                                                unsigned channel) {
    unsigned char head[12];
    if (std::fread(head, 1, 12, w->file_) != 12 || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        why = std::ferror(w->file_) ? "it cannot be read" : "it is not a WAV file";
        return nullptr;
    }
    // A writer that could not seek back (to a pipe, or one that stopped
    // before it could) leaves its sizes unknown: the samples then run to the
    // end. A recorder writing to a pipe puts a length not known yet in the
    // data chunk and that and the header's in the RIFF size, so a RIFF size
    // of 2 GiB or so that the file does not reach holds only where the data
    // chunk's is unknown too.
    const std::uint64_t riff = le(head + 4, 4);
    const bool riff_streamed = riff >= 0x7FFFF000u && riff > size - 8;
    if (riff != size - 8 && !wav_size_unknown(riff) && !riff_streamed) {
        why = "its size fields do not match its length";
        return nullptr;
    }
    // Chunks follow one another, each padded to an even length; "fmt " comes
    // before "data".
    std::uint64_t at = 12;
    bool have_format = false;
    unsigned block = 0;
    for (;;) {
        unsigned char chunk[8];
        if (std::fread(chunk, 1, 8, w->file_) != 8) {
            why = std::ferror(w->file_) ? "it cannot be read" : "it has no samples";
            return nullptr;
        }
        const std::uint64_t length = le(chunk + 4, 4);
        at += 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char f[40] = {};
            if (length < 16 || std::fread(f, 1, std::min<std::uint64_t>(length, sizeof f), w->file_) !=
                                   std::min<std::uint64_t>(length, sizeof f)) {
                why = "its format chunk is damaged";
                return nullptr;
            }
            std::uint16_t tag = static_cast<std::uint16_t>(le(f, 2));
            if (tag == format_extensible && length >= 26) tag = static_cast<std::uint16_t>(le(f + 24, 2));
            w->channels_ = le(f + 2, 2);
            w->rate_ = le(f + 4, 4);
            block = le(f + 12, 2);
            w->bits_ = le(f + 14, 2);
            w->is_float_ = tag == format_float;
            const bool pcm = tag == format_pcm && (w->bits_ == 8 || w->bits_ == 16 || w->bits_ == 24 || w->bits_ == 32);
            const bool fp = tag == format_float && (w->bits_ == 32 || w->bits_ == 64);
            if (!(pcm || fp) || w->channels_ == 0 || w->rate_ == 0 || block != w->channels_ * w->bits_ / 8) {
                why = "it is not a PCM or float WAV file this program reads";
                return nullptr;
            }
            have_format = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_format) {
                why = "its samples come before their format";
                return nullptr;
            }
            const bool unknown = wav_size_unknown(length);
            if ((length > size - at && !unknown) || (riff_streamed && !wav_size_unknown(riff) && !unknown)) {
                why = "its size fields do not match its length";
                return nullptr;
            }
            w->frames_ = w->left_ = (unknown ? size - at : length) / block;
            break;
        }
        at += length + (length & 1);
        if (at > size || std::fseek(w->file_, static_cast<long>(at), SEEK_SET) != 0) {
            why = "its size fields do not match its length";
            return nullptr;
        }
    }
    if (channel >= w->channels_) {
        why = "it has no channel " + std::to_string(channel + 1);
        return nullptr;
    }
    w->channel_ = channel;
    return w;
}

// Seeks past the frames; in a file cut short, past its end, where the next
// read finds nothing and tells it.
std::uint64_t wav_file::skip(std::uint64_t n) {
    n = std::min(n, left_);
    skipped_ = skipped_ || n > 0;
    const std::uint64_t bytes = n * (bits_ / 8) * channels_;
    if (n == 0 || bytes > std::uint64_t(std::numeric_limits<off_t>::max()) ||
        ::fseeko(file_, off_t(bytes), SEEK_CUR) != 0)
        return sample_source::skip(n);
    left_ -= n;
    return n;
}

std::size_t wav_file::read(float* out, std::size_t n) {
    const unsigned bytes = bits_ / 8, block = bytes * channels_;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, left_));
    buf_.resize(n * block);
    const std::size_t got = n == 0 ? 0 : std::fread(buf_.data(), block, n, file_);
    if (got < n) failed_ = true;
    left_ -= got;
    // A frame's channels are alike where each sample's bytes equal the next's
    // (after a skip, which the answer cannot come from, not compared).
    for (std::size_t i = 0; alike_ && !skipped_ && channels_ > 1 && i < got; ++i)
        alike_ = std::memcmp(&buf_[i * block], &buf_[i * block + bytes], block - bytes) == 0;
    const unsigned char* p = buf_.data() + std::size_t(channel_) * bytes;
    // One loop per kind of sample, so that each runs without a branch.
    if (bits_ == 8 && block == 1) {
        for (std::size_t i = 0; i < got; ++i) out[i] = static_cast<float>(p[i] - 128) * (1.0f / 128);
    } else if (bits_ == 8) {
        for (std::size_t i = 0; i < got; ++i) out[i] = static_cast<float>(p[i * block] - 128) * (1.0f / 128);
    } else if (!is_float_) {
        // The sample's bytes as the top of a signed 32-bit number.
        const unsigned shift = 8 * (4 - bytes);
        for (std::size_t i = 0; i < got; ++i, p += block) {
            std::uint32_t v = 0;
            for (unsigned k = 0; k < bytes; ++k) v |= std::uint32_t{p[k]} << (shift + 8 * k);
            out[i] = static_cast<float>(static_cast<std::int32_t>(v) * (1.0 / 2147483648.0));
        }
    } else if (bits_ == 32) {
        for (std::size_t i = 0; i < got; ++i, p += block) std::memcpy(&out[i], p, 4);
    } else {
        for (std::size_t i = 0; i < got; ++i, p += block) {
            double d;
            std::memcpy(&d, p, 8);
            out[i] = static_cast<float>(d);
        }
    }
    return got;
}

}  // namespace korvax

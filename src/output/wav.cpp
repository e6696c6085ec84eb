#include "output/wav.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "output/fatal.h"

namespace korvax {
namespace {

void put_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr std::uint16_t channels = 1;
constexpr std::uint16_t bits_per_sample = 8;
constexpr std::uint16_t block_align = channels * bits_per_sample / 8;

}  // namespace

fd_sink::~fd_sink() {
    if (fd_ >= 0) ::close(fd_);
}

bool fd_sink::write(const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool fd_sink::close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

wav_writer::wav_writer(byte_sink& out, messages& told, std::uint32_t rate, bool invert, std::uint64_t size)
    : sink(out),
      log(told),
      sample_rate(rate),
      inverted(invert ? 255 : 0),
      counting(false),
      filter(filter_init(rate)),
      limit(wav_limit(out)),
      buf(std::make_unique<std::uint8_t[]>(buf_size)) {
    // The RIFF chunk covers everything after its own 8-byte id and size; the
    // data chunk everything after the 44-byte header. No pad byte follows an
    // odd-sized data chunk.
    std::uint8_t h[wav_header_size] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E',
                                       'f', 'm', 't', ' ', 16, 0, 0, 0};
    put_le32(h + 4, static_cast<std::uint32_t>(size - 8));
    put_le16(h + 20, 1);  // PCM
    put_le16(h + 22, channels);
    put_le32(h + 24, sample_rate);
    put_le32(h + 28, sample_rate * block_align);  // bytes a second
    put_le16(h + 32, block_align);
    put_le16(h + 34, bits_per_sample);
    std::memcpy(h + 36, "data", 4);
    put_le32(h + 40, static_cast<std::uint32_t>(size - wav_header_size));
    told_size = size;
    reserve(wav_header_size);
    std::memcpy(buf.get(), h, wav_header_size);
    used = wav_header_size;
}

wav_writer::wav_writer(byte_sink& out, messages& told, std::uint32_t rate, count_only)
    : sink(out),
      log(told),
      sample_rate(rate),
      inverted(0),
      counting(true),
      filter(filter_init(rate)),
      limit(UINT64_MAX) {
    reserve(wav_header_size);
}

void wav_writer::write_failed() const {
    log.say("Error writing %s.", sink.name().c_str());
    quit(exit_output);
}

void wav_writer::too_large() const {
    log.say("Error writing %s.", sink.name().c_str());
    log.line("Output exceeds the 4 GiB size limit of WAV files.");
    quit(exit_output);
}

void wav_writer::flush() {
    if (!sink.write(buf.get(), used)) write_failed();
    handed += used;
    used = 0;
    if (wav_progress != nullptr) wav_progress(handed, told_size);
}

// A long run is filtered in stretches of a fixed length. Between stretches
// it checks whether the accumulator has stopped changing: then it never
// changes again during the run, and every remaining sample is the same byte.
void wav_writer::long_run(int level, std::uint64_t count) {
    constexpr std::size_t stretch = 64;
    const double x = level;
    const double hpc = filter.hpc;
    const double drive = (1.0 - hpc) * x;
    const std::uint8_t mask = inverted;
    double accu = filter.hp_accu;
    const auto filter_run = [&](auto byte_of) {
        while (count > 0) {
            if (used == buf_size) flush();
            std::uint8_t* p = buf.get() + used;
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, buf_size - used));
            used += n;
            count -= n;
            for (; n > 0; p += stretch, n -= std::min(n, stretch)) {
                if (hpc * accu + drive == accu) {
                    std::memset(p, byte_of(x - accu), n);
                    break;
                }
                for (std::size_t i = 0, m = std::min(n, stretch); i < m; ++i) {
                    accu = hpc * accu + drive;
                    p[i] = byte_of(x - accu);
                }
            }
        }
    };
    if (within_sample_table(level, accu))
        filter_run([mask](double y) { return sample_bytes[static_cast<int>(y)] ^ mask; });
    else
        filter_run([mask](double y) {
            return static_cast<std::uint8_t>(static_cast<std::uint8_t>(clamp_filtered(y) + 128) ^ mask);
        });
    filter.hp_accu = accu;
}

void wav_writer::finish() {
    flush();
    if (!sink.close()) write_failed();
    // RIFF size in KiB, a half rounded up.
    log.say("%llu kbytes written.", static_cast<unsigned long long>((file_size - 8 + 512) / 1024));
}

}  // namespace korvax

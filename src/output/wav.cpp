#include "output/wav.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace korvax {

wav_header wave;

namespace {

void put_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

[[noreturn]] void write_failed(const wav_file& out) {
    std::fprintf(stderr, "Error writing %s.\n", out.name.c_str());
    quit(exit_output);
}

// Writes all of [p, p + n) at the file's current position.
bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool patch_le32(int fd, off_t offset, std::uint32_t v) {
    std::uint8_t b[4];
    put_le32(b, v);
    return ::pwrite(fd, b, 4, offset) == 4;
}

}  // namespace

wav_file::~wav_file() {
    if (fd >= 0) ::close(fd);
}

void wav_set_sample_freq(int rate) {
    wave.sample_rate = static_cast<std::uint32_t>(rate);
    wave.byte_rate = wave.sample_rate * wav_header::channels * wav_header::bits_per_sample / 8;
    wave.block_align = wav_header::channels * wav_header::bits_per_sample / 8;
}

void wav_open(wav_file& out, int fd, std::string name) {
    if (out.fd >= 0) ::close(out.fd);
    out.fd = fd;
    out.name = std::move(name);
    out.file_size = 0;
    out.used = 0;
    if (!out.buf) out.buf = std::make_unique<std::uint8_t[]>(wav_file::buf_size);
}

void wav_flush(wav_file& out) {
    if (!write_all(out.fd, out.buf.get(), out.used)) write_failed(out);
    out.used = 0;
}

void wav_too_large(const wav_file& out) {
    std::fprintf(stderr, "Error writing %s.\n", out.name.c_str());
    std::fputs("Output exceeds the 4 GiB size limit of WAV files.\n", stderr);
    quit(exit_output);
}

// A long run is filtered in stretches of a fixed length. Between stretches
// it checks whether the accumulator has stopped changing: then it never
// changes again during the run, and every remaining sample is the same byte.
void wav_write_long_run(int level, std::uint64_t count, wav_file& out) {
    constexpr std::size_t stretch = 64;
    const double x = level;
    const double hpc = filter.hpc;
    const double drive = (1.0 - hpc) * x;
    const std::uint8_t inverted = settings.p_inverted;
    double accu = filter.hp_accu;
    const auto filter_run = [&](auto byte_of) {
        while (count > 0) {
            if (out.used == wav_file::buf_size) wav_flush(out);
            std::uint8_t* p = out.buf.get() + out.used;
            std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(count, wav_file::buf_size - out.used));
            out.used += n;
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
        filter_run([inverted](double y) { return sample_bytes[static_cast<int>(y)] ^ inverted; });
    else
        filter_run([inverted](double y) {
            return static_cast<std::uint8_t>(static_cast<std::uint8_t>(clamp_filtered(y) + 128) ^ inverted);
        });
    filter.hp_accu = accu;
}

void wav_init(wav_file& out) {
    // The sizes at offsets 4 and 40 stay 0 until wav_close knows them.
    std::uint8_t h[wav_header_size] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E',
                                       'f', 'm', 't', ' ', 16, 0, 0, 0};
    put_le16(h + 20, 1);  // PCM
    put_le16(h + 22, wav_header::channels);
    put_le32(h + 24, wave.sample_rate);
    put_le32(h + 28, wave.byte_rate);
    put_le16(h + 32, wave.block_align);
    put_le16(h + 34, wav_header::bits_per_sample);
    std::memcpy(h + 36, "data", 4);

    wav_reserve(out, wav_header_size);
    std::memcpy(out.buf.get() + out.used, h, wav_header_size);
    out.used += wav_header_size;

    wav_write_run(settings.p_silence, cycles_to_samples(machine.leadin_cycles), out);
}

void wav_close(wav_file& out) {
    wav_flush(out);
    // The RIFF chunk covers everything after its own 8-byte id and size; the
    // data chunk everything after the 44-byte header. No pad byte follows an
    // odd-sized data chunk.
    const std::uint64_t riff = out.file_size - 8;
    if (!patch_le32(out.fd, 4, static_cast<std::uint32_t>(riff)) ||
        !patch_le32(out.fd, 40, static_cast<std::uint32_t>(out.file_size - wav_header_size)))
        write_failed(out);
    const int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) write_failed(out);
    // RIFF size in KiB, a half rounded up.
    std::fprintf(stderr, "%llu kbytes written.\n",
                 static_cast<unsigned long long>((riff + 512) / 1024));
}

}  // namespace korvax

// The conversion of one format, chosen at build time by KORVAX_FUZZ_FORMAT (a
// registry index). The input's first four bytes are the settings a user could
// give; the rest is the image:
//   byte 0     the gain level (-g N gives the low 8 bits of 15 N, and 15 is
//              odd, so every byte is reachable)
//   byte 1     bit 0 set: inverted output (-n)
//   bytes 2-3  the sample rate, little-endian, spread over 8000..192000 with
//              both ends reachable
// The run follows the driver's steps for a forced format: analyze first where
// the format loads its image there, then the filter, init, header and lead-in,
// convert and the size patch.
//
// Work per input is bounded by starting the output just below the WAV size
// limit: the writer's own guard stops the run after `output_cap` bytes.
//
// Property: the conversion is done twice and must give the same bytes and the
// same status, so no module state carries from one run to the next.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/korvax.h"
#include "fuzz_image.h"
#include "output/filter.h"
#include "output/wav.h"

#ifndef KORVAX_FUZZ_FORMAT
#error "KORVAX_FUZZ_FORMAT must name the registry index of the format to fuzz"
#endif

namespace {

constexpr int format_index = KORVAX_FUZZ_FORMAT;
static_assert(format_index >= 0 && format_index < korvax::fmt_count);

constexpr std::uint64_t output_cap = 1 << 14;
constexpr std::size_t settings_bytes = 4;
constexpr int min_rate = 8000;
constexpr int max_rate = 192000;

struct conversion {
    int status = 0;
    std::vector<std::uint8_t> wav;
};

// The output goes to an anonymous in-memory file, emptied before each run, so
// that it can be read back. The writer gets its own descriptor of it, which it
// closes.
int output_file() {
    static const int fd = ::memfd_create("korvax-fuzz.wav", MFD_CLOEXEC);
    if (fd < 0) korvax_fuzz::fail("cannot make the output file");
    return fd;
}

int fresh_output() {
    const int fd = output_file();
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) korvax_fuzz::fail("cannot empty the output");
    return ::dup(fd);
}

std::vector<std::uint8_t> read_output() {
    const int fd = output_file();
    std::vector<std::uint8_t> b(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    if (!b.empty() && ::pread(fd, b.data(), b.size(), 0) != static_cast<ssize_t>(b.size()))
        korvax_fuzz::fail("cannot read the output back");
    return b;
}

conversion convert(const std::uint8_t* settings, const std::string& path) {
    korvax_fuzz::reset_run();
    korvax::settings.p_gain = settings[0];
    korvax::settings.p_inverted = (settings[1] & 1) ? 255 : 0;
    const unsigned spread = settings[2] | (settings[3] << 8);
    korvax::wav_set_sample_freq(min_rate + static_cast<int>(spread * (max_rate - min_rate) / 0xFFFF));

    const korvax::tape_format& format = *korvax::tape_format_registry[format_index];
    // Kept from input to input, as its large sample buffer is costly to
    // allocate under the sanitizers; wav_open starts it afresh.
    static korvax::wav_file out;
    conversion c;
    try {
        if (format.analyze_loads_image && format.analyze(path.c_str()) != format_index) return c;
        korvax::machine.format_index = format_index;
        korvax::filter_init(korvax::wave.sample_rate);
        format.init();
        korvax::wav_open(out, fresh_output(), "fuzz.wav");
        out.file_size = korvax::wav_max_file_size - output_cap;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
        if (!in) korvax_fuzz::fail("cannot open the image");
        korvax::wav_init(out);
        format.convert(in.get(), out);
        in.reset();
        korvax::wav_close(out);
    } catch (const korvax::exit_request& e) {
        c.status = e.status;
        // A run stopped at the cap still has its samples in the buffer: they
        // are compared too.
        if (out.fd >= 0) {
            korvax::wav_flush(out);
            ::close(out.fd);
            out.fd = -1;
        }
    }
    c.wav = read_output();
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < settings_bytes) return 0;
    const auto& format = *korvax::tape_format_registry[format_index];
    const std::string path = korvax_fuzz::write_image(data + settings_bytes, size - settings_bytes,
                                                      std::string(".") + format.extension);
    const conversion first = convert(data, path);
    const conversion second = convert(data, path);
    if (first.status != second.status || first.wav != second.wav)
        korvax_fuzz::fail("a second conversion of the same image gave other bytes");
    return 0;
}

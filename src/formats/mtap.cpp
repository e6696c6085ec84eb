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
//  20  ...       pulse data
// A data byte b != 0 is a pulse of b units of 8 machine cycles. A zero byte
// escapes a longer pulse: in version 0 a run of z zero bytes is one pulse of
// z x 882 cycles; in versions 1 and 2 the three bytes after it are the
// pulse's length in cycles. In versions 0 and 1 a pulse is a full square
// wave, its first half at one level and its second half at the other (0 and
// the gain); in version 2 each byte is one half-wave, and the level swings
// between 80 and 80 XOR the gain. There is no lead-in: the image carries
// everything, pauses included.
//
// The image is read once, while it is recognised, and held for the
// conversion.
#include "formats/mtap.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "output/wav.h"

namespace korvax {
namespace {

constexpr std::size_t header_size = 20;
constexpr int newest_version = 2;
constexpr unsigned cycles_per_unit = 8;
constexpr std::uint64_t zero_byte_cycles = 882;  // a version 0 zero byte, not 256 x 8

// Tape frequencies: units of pulse data per second, the machine clock / 8.
constexpr std::uint32_t c64_pal = 123'156;     // 985,248 Hz / 8
constexpr std::uint32_t ntsc = 127'841;        // 1,022,728 Hz / 8, C64 and VIC-20
constexpr std::uint32_t vic20_pal = 138'551;   // 1,108,408 Hz / 8
constexpr std::uint32_t c264_pal = 110'840;    // 886,720 Hz / 8
constexpr std::uint32_t c264_ntsc = 111'860;   // 894,880 Hz / 8

constexpr int machine_vic20 = 1;
constexpr int machine_c264 = 2;
constexpr int video_ntsc = 1;

// Version 2 half-waves start at this level and alternate with it XOR gain.
constexpr std::uint8_t v2_first_level = 80;
// A swing from 80 smaller than this (or upwards) is not read as a signal.
constexpr int v2_min_swing = 40;

// The image as the reader found it. Reset by every analyze, so repeated runs
// in one process start clean.
struct tap_image {
    int version = 0;
    int machine_type = 0;
    int video_standard = 0;
    std::uint32_t frequency = 0;     // units per second
    std::vector<std::uint8_t> data;  // the pulse bytes actually in the file
};
tap_image tap;

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
        case machine_vic20: return is_ntsc ? ntsc : vic20_pal;
        case machine_c264: return is_ntsc ? c264_ntsc : c264_pal;
        default: return is_ntsc ? ntsc : c64_pal;
    }
}

// Bytes 4 to 11 of the first line (at most 12 characters, ended early by a
// line feed) must read "TAPE-RAW".
bool signature_matches(std::FILE* in) {
    char line[12];
    std::size_t n = 0;
    for (int c; n < sizeof line && (c = std::getc(in)) != EOF;) {
        line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    return n == sizeof line && std::memcmp(line + 4, "TAPE-RAW", 8) == 0;
}

// Reads the header, reports it and loads the pulse data. False when the
// stream is no usable TAP image; an end of file inside the header is fatal.
bool read_tap_data(std::FILE* in) {
    if (std::fseek(in, 0, SEEK_END) != 0) return false;
    const off_t file_size = ::ftello(in);
    if (file_size < 0 || std::fseek(in, 0, SEEK_SET) != 0) return false;
    if (!signature_matches(in)) return false;

    tap.version = freadbyte(in);
    if (tap.version > newest_version) {
        std::fputs("MTAP Version not (yet) supported, sorry!\n", stderr);
        return false;
    }
    tap.machine_type = freadbyte(in);
    std::fprintf(stderr, "Machine type : %s\n", machine_name(tap.machine_type));
    tap.video_standard = freadbyte(in);
    std::fprintf(stderr, "Video standard : %s\n", video_name(tap.video_standard));
    freadbyte(in);  // reserved
    tap.frequency = tape_frequency(tap.machine_type, tap.video_standard);
    std::fprintf(stderr, "Tape frequency : %d\n", static_cast<int>(tap.frequency * cycles_per_unit));
    std::uint32_t length = 0;
    for (int shift = 0; shift < 32; shift += 8)
        length |= static_cast<std::uint32_t>(freadbyte(in)) << shift;
    // Printed unsigned: a damaged header's length past 2^31 is still a length.
    std::fprintf(stderr, "TAP data length : %u\n", length);

    // The file has reached past the header, so it holds at least 20 bytes.
    const std::uint64_t in_file = static_cast<std::uint64_t>(file_size) - header_size;
    if (length != in_file) {
        std::fprintf(stderr, "    WARNING: TAP data size (%u) doesn't match header (%u).\n",
                     static_cast<std::uint32_t>(in_file), length);
        // The larger of the two is used.
        if (length < in_file) length = static_cast<std::uint32_t>(std::min<std::uint64_t>(in_file, UINT32_MAX));
    }
    std::fprintf(stderr, "TAP version : %d\n", tap.version);

    // Never more than the file holds, whatever the header claims: the bytes
    // past the end of the file are reported missing, not played.
    try {
        tap.data.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, in_file)));
    } catch (const std::bad_alloc&) {
        std::fputs("Couldn't allocate buffer memory!\n", stderr);
        return false;
    }
    if (!tap.data.empty()) tap.data.resize(std::fread(tap.data.data(), 1, tap.data.size(), in));
    if (tap.data.size() < length) {
        std::fprintf(stderr, "WARNING! TAP data size mismatch. Read %zu bytes, header stated %u bytes.\n",
                     tap.data.size(), length);
        // No line break: the driver's next line continues this one.
        std::fputs("         Image may not be readable.", stderr);
    }
    return true;
}

void mtap_init() {
    machine.leadin_cycles = 0;
    machine.clock_hz = tap.frequency * cycles_per_unit;
}

int mtap_open() { return 0; }

int mtap_analyze(const char* path) {
    tap = tap_image{};
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) return fmt_count;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(in, std::fclose);
    if (read_tap_data(in)) return fmt_mtap;
    tap = tap_image{};
    return fmt_count;
}

// The level of the next run of samples; it flips after every run, even an
// empty one.
struct synth_state {
    wav_file& out;
    std::uint8_t level;

    void wave_out(std::uint64_t count) {
        wav_write_run(level, count, out);
        level ^= settings.p_gain;
    }
};

// A pulse of `units` units in samples, rounded to the nearest sample, in 64
// bits so that the longest pauses come out whole.
std::uint64_t pulse_samples(std::uint64_t units) {
    return (std::uint64_t{wave.sample_rate} * units + tap.frequency / 2) / tap.frequency;
}

void warn_about_v2_gain() {
    const int second = v2_first_level ^ settings.p_gain;
    if (v2_first_level - second < v2_min_swing)
        std::fprintf(stderr,
                     "    WARNING: at this gain, version 2 half-waves swing between levels 80 and %i; "
                     "use gain 5, 6 or 8 for a signal that loads.\n",
                     second);
}

int mtap_convert(std::FILE*, wav_file& out) {
    const bool half_waves = tap.version == 2;
    if (half_waves) warn_about_v2_gain();
    synth_state synth{out, half_waves ? v2_first_level : std::uint8_t{0}};
    const std::vector<std::uint8_t>& d = tap.data;
    const std::size_t n = d.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t units = d[i];
        if (units == 0 && tap.version == 0) {
            const std::size_t run_end = static_cast<std::size_t>(
                std::find_if(d.begin() + static_cast<std::ptrdiff_t>(i), d.end(),
                             [](std::uint8_t b) { return b != 0; }) - d.begin());
            units = (run_end - i) * zero_byte_cycles / cycles_per_unit;
            i = run_end - 1;
        } else if (units == 0) {
            if (i + 3 >= n) continue;  // an escape cut short plays nothing
            units = (d[i + 1] | d[i + 2] << 8 | d[i + 3] << 16) / cycles_per_unit;
            i += 3;
        }
        const std::uint64_t samples = pulse_samples(units);
        if (half_waves) {
            synth.wave_out(samples);
        } else {
            synth.wave_out(samples / 2);
            synth.wave_out(samples - samples / 2);
        }
    }
    return 0;
}

int mtap_read_bit() { return 0; }
int mtap_dump_bit() { return 0; }
void mtap_close() {}

}  // namespace

const tape_format mtap_format = {
    .name = "MTAP",
    .extension = "tap",
    .description = "Commodore low level tape image",
    .init = mtap_init,
    .open = mtap_open,
    .analyze = mtap_analyze,
    .convert = mtap_convert,
    .read_bit = mtap_read_bit,
    .dump_bit = mtap_dump_bit,
    .close = mtap_close,
    .analyze_loads_image = true,
};

}  // namespace korvax

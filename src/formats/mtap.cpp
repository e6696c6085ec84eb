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
// Detection reads and reports the header; the conversion and the read-back
// check read the image again with the same reader, quietly.
#include "formats/mtap.h"

#include <sys/types.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "formats/pulses.h"
#include "output/fatal.h"

namespace korvax {
namespace {

constexpr std::size_t header_size = 20;
constexpr int newest_version = 2;
constexpr unsigned cycles_per_unit = 8;
constexpr std::uint64_t zero_byte_cycles = 882;  // a version 0 zero byte, not 256 x 8

// Tape frequencies: units of pulse data per second, the machine clock / 8.
constexpr std::uint32_t c64_pal = c64_pal_units;
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

// The image as the reader found it.
struct tap_image {
    int version = 0;
    int machine_type = 0;
    int video_standard = 0;
    std::uint32_t frequency = 0;     // units per second
    std::vector<std::uint8_t> data;  // the pulse bytes actually in the file
};

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

// The one reader of TAP images, for detection and conversion alike: the
// header, reported when `report`, and the pulse data. Nothing when the stream
// is no usable TAP image; an end of file inside the header is fatal, and so is
// a read error.
std::optional<tap_image> read_tap(std::FILE* in, const char* path, bool report) {
    tap_image tap;
    if (std::fseek(in, 0, SEEK_END) != 0) return std::nullopt;
    const off_t file_size = ::ftello(in);
    if (file_size < 0 || std::fseek(in, 0, SEEK_SET) != 0) return std::nullopt;
    const bool signature = signature_matches(in);
    check_read(in, path);
    if (!signature) return std::nullopt;

    tap.version = freadbyte(in, path);
    if (tap.version > newest_version) {
        say(report, "MTAP Version not (yet) supported, sorry!\n");
        return std::nullopt;
    }
    tap.machine_type = freadbyte(in, path);
    say(report, "Machine type : %s\n", machine_name(tap.machine_type));
    tap.video_standard = freadbyte(in, path);
    say(report, "Video standard : %s\n", video_name(tap.video_standard));
    freadbyte(in, path);  // reserved
    tap.frequency = tape_frequency(tap.machine_type, tap.video_standard);
    say(report, "Tape frequency : %d\n", static_cast<int>(tap.frequency * cycles_per_unit));
    std::uint32_t length = 0;
    for (int shift = 0; shift < 32; shift += 8)
        length |= static_cast<std::uint32_t>(freadbyte(in, path)) << shift;
    // Printed unsigned: a damaged header's length past 2^31 is still a length.
    say(report, "TAP data length : %u\n", length);

    // The header has been read, yet the size the system reports can be less
    // than 20 bytes (files under /proc report 0): then no data is counted as
    // in the file, rather than a wrapped size that would be allocated whole.
    const std::uint64_t in_file =
        file_size > static_cast<off_t>(header_size) ? static_cast<std::uint64_t>(file_size) - header_size : 0;
    if (length != in_file) {
        say(report, "    WARNING: TAP data size (%u) doesn't match header (%u).\n", static_cast<std::uint32_t>(in_file),
            length);
        // The larger of the two is used.
        if (length < in_file) length = static_cast<std::uint32_t>(std::min<std::uint64_t>(in_file, UINT32_MAX));
    }
    say(report, "TAP version : %d\n", tap.version);

    // Never more than the file holds, whatever the header claims: the bytes
    // past the end of the file are reported missing, not played.
    try {
        tap.data.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, in_file)));
    } catch (const std::bad_alloc&) {
        say(report, "Couldn't allocate buffer memory!\n");
        return std::nullopt;
    }
    if (!tap.data.empty()) tap.data.resize(std::fread(tap.data.data(), 1, tap.data.size(), in));
    check_read(in, path);
    if (tap.data.size() < length) {
        say(report, "WARNING! TAP data size mismatch. Read %zu bytes, header stated %u bytes.\n", tap.data.size(), length);
        // No line break: the driver's next line continues this one.
        say(report, "         Image may not be readable.");
    }
    return tap;
}

bool mtap_analyze(const char* path) {
    const file_ptr in = open_image(path);
    return in && read_tap(in.get(), path, true).has_value();
}

// Every pulse of the image in units of 8 cycles, in order: a byte b != 0 is b
// units; a zero byte is a pause.
template <typename F>
void for_each_pulse(const tap_image& tap, F pulse) {
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
        pulse(units);
    }
}

// The image again, quietly, for what follows its detection.
tap_image reread_tap(std::FILE* in, const char* path) {
    std::optional<tap_image> tap = read_tap(in, path, false);
    if (!tap) {
        std::fputs("Unknown/unsupported tape image file.\n", stderr);
        quit(exit_image);
    }
    assert(tap->frequency != 0);
    return *std::move(tap);
}

void warn_about_v2_gain(std::uint8_t gain) {
    const int second = v2_first_level ^ gain;
    if (v2_first_level - second < v2_min_swing)
        std::fprintf(stderr,
                     "    WARNING: at this gain, version 2 half-waves swing between levels 80 and %i; "
                     "use gain 5, 6 or 8 for a signal that loads.\n",
                     second);
}

void mtap_convert(std::FILE* in, const char* path, wav_writer& out, const signal_levels& s) {
    const tap_image tap = reread_tap(in, path);
    const bool half_waves = tap.version == 2;
    if (half_waves && !out.quiet) warn_about_v2_gain(s.p_gain);
    // The level of the next version 2 half-wave; it flips after every one,
    // even an empty one.
    std::uint8_t level = v2_first_level;
    for_each_pulse(tap, [&](std::uint64_t units) {
        if (half_waves) {
            out.run(level, pulse_samples(units, tap.frequency, out.sample_rate));
            level ^= s.p_gain;
        } else {
            square_pulse(out, units, tap.frequency, s.p_gain);
        }
    });
}

// Each pulse timed from one falling level change to the one after next, as a
// loader times it from its high half; version 2 half-wave by half-wave.
readback mtap_verify(std::FILE* in, const char* path, const wav_samples& wav, const signal_levels&) {
    const tap_image tap = reread_tap(in, path);
    std::vector<std::uint64_t> units;
    for_each_pulse(tap, [&](std::uint64_t u) { units.push_back(u); });
    readback r = read_pulses(wav, tap.version == 2, units, tap.frequency);
    if (tap.version == 2) r.hint = "Version 2 images load at gain 5, 6 or 8, without -n.";
    return r;
}

}  // namespace

const tape_format mtap_format = {
    .name = "MTAP",
    .extension = "tap",
    .description = "Commodore low level tape image",
    .analyze = mtap_analyze,
    .convert = mtap_convert,
    .verify = mtap_verify,
    .kind_line = nullptr,
    .recommended_rate = 22050,
    .analyzed_when_forced = true,
};

}  // namespace korvax

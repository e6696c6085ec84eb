// Commodore TAP images: pulse lengths and levels, the header report, damaged
// headers, the version 2 gain warning, size limits and real images.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>

#include "driver/korvax.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

using runs = std::vector<std::pair<int, std::size_t>>;

// A TAP image; the header's length field says `claimed`, or the true length.
bytes tap(int version, const bytes& data, int machine = 0, int video = 0, long long claimed = -1,
          const std::string& prefix = "C64-") {
    bytes b(prefix.begin(), prefix.end());
    for (char c : std::string("TAPE-RAW")) b.push_back(static_cast<std::uint8_t>(c));
    const auto length = static_cast<std::uint32_t>(claimed < 0 ? static_cast<long long>(data.size()) : claimed);
    b.insert(b.end(), {static_cast<std::uint8_t>(version), static_cast<std::uint8_t>(machine),
                       static_cast<std::uint8_t>(video), 0});
    for (int shift = 0; shift < 32; shift += 8) b.push_back(static_cast<std::uint8_t>(length >> shift));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// The header report; a size warning stands before the version line.
std::string report(const std::string& machine, const std::string& video, int clock, long long length, int version,
                   const std::string& size_warning = "") {
    return "Machine type : " + machine + "\nVideo standard : " + video + "\nTape frequency : " +
           std::to_string(clock) + "\nTAP data length : " + std::to_string(length) + "\n" + size_warning +
           "TAP version : " + std::to_string(version) + "\n";
}

const std::string detected = "Supported format detected: Commodore low level tape image.\n";
const std::string selected = "Selected format: Commodore low level tape image.\n";
const std::string unknown = "Unknown/unsupported tape image file.\n";
const std::string no_output = "Error creating output file or none specified.\n";

// At 44100 Hz on a C64 PAL clock (123,156 units a second), default gain 75.
struct signal_case {
    const char* what;
    int version;
    bytes data;
    runs expected;
    std::uint8_t gain = 75;
    unsigned rate = 44100;
};

TEST(mtap_signal, pulses_escapes_and_levels) {
    for (const signal_case& c : std::vector<signal_case>{
             {"0x30 is 17 samples, the shorter half first", 1, {0x30}, {{0, 8}, {75, 9}}},
             {"rounded, not truncated: 0x05 is 2 samples", 1, {0x05}, {{0, 1}, {75, 1}}},
             {"0x30 at 96000 Hz is 37 samples", 1, {0x30}, {{0, 18}, {75, 19}}, 75, 96000},
             {"v0 lone zero: 882 cycles, 39 samples", 0, {0x10, 0x00, 0x10},
              {{0, 3}, {75, 3}, {0, 19}, {75, 20}, {0, 3}, {75, 3}}},
             {"v0 three zeros are one pulse of 118", 0, {0, 0, 0}, {{0, 59}, {75, 59}}},
             {"v0 zeros at the very end", 0, {0x30, 0, 0, 0}, {{0, 8}, {75, 9}, {0, 59}, {75, 59}}},
             {"v1 escape of 10,000 cycles, then the fifth byte", 1, {0x00, 0x10, 0x27, 0x00, 0x30},
              {{0, 224}, {75, 224}, {0, 8}, {75, 9}}},
             {"v1 escape among the last three bytes writes nothing", 1, {0x30, 0x00, 0x30, 0x30},
              {{0, 8}, {75, 9}, {0, 8}, {75, 9}, {0, 8}, {75, 9}}},
             {"v1 0x01: two empty halves, level back where it was", 1, {0x01, 0x30}, {{0, 8}, {75, 9}}},
             {"v1 0x02: one sample at the flipped level", 1, {0x02, 0x30}, {{75, 1}, {0, 8}, {75, 9}}},
             {"v2 half-waves at 80 and 80 XOR 75", 2, {0x30, 0x30}, {{80, 17}, {27, 17}}},
             {"v2 0x01 flips the level once", 2, {0x01, 0x30}, {{27, 17}}},
             {"v2 pause of 0 flips the level once", 2, {0, 0, 0, 0, 0x30}, {{27, 17}}},
             {"v2 escape cut short", 2, {0x30, 0, 0x30}, {{80, 17}, {27, 17}}},
             {"v2 at gain 2 swings to 78", 2, {0x30, 0x30}, {{80, 17}, {78, 17}}, 30},
             {"v2 at gain 1 swings up to 95", 2, {0x30, 0x30}, {{80, 17}, {95, 17}}, 15},
             {"v2 at gain 0 does not swing", 2, {0x30, 0x30}, {{80, 34}}, 0},
             // Long pauses, whose sample count passes 32 bits on the way.
             {"v0 1000 zeros in one pulse", 0, bytes(1000, 0), {{0, 19739}, {75, 19740}}},
             {"v1 longest escape", 1, {0, 0xFF, 0xFF, 0xFF}, {{0, 375476}, {75, 375477}}},
             {"v2 longest escape at 192000 Hz", 2, {0, 0xFF, 0xFF, 0xFF}, {{80, 3269455}}, 75, 192000},
         }) {
        EXPECT_EQ(c.expected, level_runs(raw_levels(korvax::fmt_mtap, tap(c.version, c.data), c.rate, c.gain)))
            << c.what;
    }
}

// The machine and video bytes choose the clock, which the report shows and
// the pulses follow: a v1 escape of 1,000,000 cycles at 44100 Hz.
TEST(mtap_file, machine_and_video_standard_set_the_clock) {
    struct clock_case {
        int machine, video;
        const char* machine_name;
        const char* video_name;
        int clock;
        std::size_t samples;
    };
    const bytes pause = {0x00, 0x40, 0x42, 0x0F};
    for (const clock_case& c : {
             clock_case{0, 0, "C64", "PAL", 985248, 44760},
             clock_case{0, 1, "C64", "NTSC", 1022728, 43120},
             clock_case{1, 0, "VIC-20", "PAL", 1108408, 39787},
             clock_case{1, 1, "VIC-20", "NTSC", 1022728, 43120},
             clock_case{2, 0, "C264", "PAL", 886720, 49734},
             clock_case{2, 1, "C264", "NTSC", 894880, 49280},
             clock_case{3, 2, "unknown", "unknown", 985248, 44760},
             clock_case{255, 1, "unknown", "NTSC", 1022728, 43120},
             clock_case{2, 9, "C264", "unknown", 886720, 49734},
         }) {
        scratch_dir dir;
        const std::string image = dir.write("x.bin", tap(1, pause, c.machine, c.video));
        const std::string lines = report(c.machine_name, c.video_name, c.clock, 4, 1);
        const result info = run_korvax({"-i", image});
        EXPECT_EQ(0, info.status);
        EXPECT_EQ(lines + detected + no_output, info.err) << c.machine << "/" << c.video;
        const result conv = run_korvax({"-i", image, "-o", dir.path("o.wav")});
        EXPECT_EQ(0, conv.status);
        EXPECT_EQ(c.samples, read_wav(dir.path("o.wav")).samples.size()) << c.machine << "/" << c.video;
    }
}

// Caps the address space of the runs started meanwhile: an image that claims
// gigabytes must not make the program allocate them.
struct address_space_cap {
    rlimit saved{};
    explicit address_space_cap(rlim_t bytes) {
        ::getrlimit(RLIMIT_AS, &saved);
        rlimit cap = saved;
        cap.rlim_cur = std::min(bytes, saved.rlim_max);
        ::setrlimit(RLIMIT_AS, &cap);
    }
    ~address_space_cap() { ::setrlimit(RLIMIT_AS, &saved); }
};

// Whole runs on good and damaged images: exact messages, status and, where a
// WAV is written, its number of samples.
TEST(mtap_file, headers_damaged_and_whole) {
    const address_space_cap cap(rlim_t{1} << 30);
    struct file_case {
        const char* what;
        bytes image;
        std::vector<std::string> options;
        int status;
        std::string err;
        long long samples = -1;  // -1: no output expected
    };
    const bytes pulses_900(900, 0x30);
    // The first n bytes of an empty image's header.
    const auto cut = [](int version, std::size_t n) {
        const bytes b = tap(version, {});
        return bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    };
    for (const file_case& c : std::vector<file_case>{
             {"header claims more than the file: only what is there plays", tap(1, pulses_900, 0, 0, 1000), {}, 0,
              report("C64", "PAL", 985248, 1000, 1, "    WARNING: TAP data size (900) doesn't match header (1000).\n") +
                  "WARNING! TAP data size mismatch. Read 900 bytes, header stated 1000 bytes.\n"
                  "         Image may not be readable." + detected + "15 kbytes written.\n",
              900 * 17},
             {"header claims less: the file's length wins", tap(1, pulses_900, 0, 0, 800), {}, 0,
              report("C64", "PAL", 985248, 800, 1, "    WARNING: TAP data size (900) doesn't match header (800).\n") +
                  detected + "15 kbytes written.\n",
              900 * 17},
             {"20 bytes claiming 4 GB", tap(1, {}, 0, 0, 0xF0000000), {}, 0,
              report("C64", "PAL", 985248, 4026531840, 1, "    WARNING: TAP data size (0) doesn't match header (4026531840).\n") +
                  "WARNING! TAP data size mismatch. Read 0 bytes, header stated 4026531840 bytes.\n"
                  "         Image may not be readable." + detected + "0 kbytes written.\n",
              0},
             {"v1 pulses 0x30 0x30 make a 78-byte file", tap(1, {0x30, 0x30}), {}, 0,
              report("C64", "PAL", 985248, 2, 1) + detected + "0 kbytes written.\n", 34},
             {"empty pulse data makes a bare header", tap(1, {}), {}, 0,
              report("C64", "PAL", 985248, 0, 1) + detected + "0 kbytes written.\n", 0},
             {"any prefix, any name", tap(0, {0x30}, 2, 0, -1, std::string("\0\xFF\r ", 4)), {}, 0,
              report("C264", "PAL", 886720, 1, 0) + detected + "0 kbytes written.\n", 19},
             {"forced, still read and reported", tap(1, {0x30}), {"-f", "2"}, 0,
              selected + report("C64", "PAL", 985248, 1, 1) + "0 kbytes written.\n", 17},
             {"forced on something else", {1, 2, 3}, {"-f", "2"}, 6, selected + unknown},
             {"forced on an unsupported version", tap(3, {}), {"-f", "0x2"}, 6,
              selected + "MTAP Version not (yet) supported, sorry!\n" + unknown},
             {"version 3 is not recognised", tap(3, {0x30}), {}, 6, "MTAP Version not (yet) supported, sorry!\n" + unknown},
             {"header cut after the video byte", cut(1, 15), {}, 6,
              "Machine type : C64\nVideo standard : PAL\nunexpected End of File!\n"},
             {"version 3 cut short is just not recognised", cut(3, 15), {}, 6,
              "MTAP Version not (yet) supported, sorry!\n" + unknown},
             {"signature alone", cut(1, 12), {}, 6, "unexpected End of File!\n"},
             {"shorter than a signature", cut(1, 11), {}, 6, unknown},
             {"line feed in the prefix", tap(1, {0x30}, 0, 0, -1, "C6\n-"), {}, 6, unknown},
         }) {
        scratch_dir dir;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-i", dir.write("game.wav", c.image), "-o", dir.path("out.wav")});
        const result r = run_korvax(args);
        EXPECT_EQ(c.status, r.status) << c.what;
        EXPECT_EQ(c.err, r.err) << c.what;
        if (c.samples >= 0) {
            const wav_info w = read_wav(dir.path("out.wav"));
            EXPECT_EQ(static_cast<std::size_t>(c.samples), w.samples.size()) << c.what;
            EXPECT_EQ(w.samples.size(), w.data_size) << c.what;
            EXPECT_EQ(w.samples.size() + 36, w.riff_size) << c.what;
        }
    }
}

// Version 2 levels that no decoder reads are written as they are, with a
// warning, once, whatever the pulse data; other versions never warn.
TEST(mtap_file, version_2_gain_warning) {
    const auto warning = [](int level) {
        return "    WARNING: at this gain, version 2 half-waves swing between levels 80 and " + std::to_string(level) +
               "; use gain 5, 6 or 8 for a signal that loads.\n";
    };
    struct gain_case {
        const char* gain;
        int version;
        int level;  // 0: no warning
    };
    for (const gain_case& c : {gain_case{"0", 2, 80}, gain_case{"1", 2, 95}, gain_case{"2", 2, 78},
                               gain_case{"3", 2, 125}, gain_case{"4", 2, 108}, gain_case{"5", 2, 0},
                               gain_case{"6", 2, 0}, gain_case{"7", 2, 57}, gain_case{"8", 2, 0},
                               gain_case{"9", 2, 215}, gain_case{"18", 2, 94}, gain_case{"2", 1, 0},
                               gain_case{"2", 0, 0}}) {
        for (const bytes& data : {bytes{}, bytes{0x30, 0x30, 0x30}}) {
            scratch_dir dir;
            const result r = run_korvax(
                {"-g", c.gain, "-i", dir.write("g.tap", tap(c.version, data)), "-o", dir.path("o.wav")});
            EXPECT_EQ(0, r.status);
            const std::string w = c.level ? warning(c.level) : "";
            const std::size_t start = r.err.find(detected) + detected.size();
            EXPECT_EQ(w, r.err.substr(start, r.err.rfind("0 kbytes") - start)) << "gain " << c.gain;
        }
    }
}

// One version 0 pulse of 50 million zero bytes is more than 4 GiB of samples
// per half at 192000 Hz: the run stops before the first of them is written.
// The image is a sparse file, so it costs no disk.
TEST(mtap_file, a_pulse_past_the_wav_size_limit_stops_the_run) {
    scratch_dir dir;
    const std::string image = dir.write("huge.tap", tap(0, {}, 2, 0, 50'000'000));
    std::filesystem::resize_file(image, 20 + 50'000'000);
    const result r = run_korvax({"-s", "192000", "-i", image, "-o", dir.path("o.wav")});
    EXPECT_EQ(5, r.status);
    const std::string tail = "Error writing " + dir.path("o.wav") + ".\nOutput exceeds the 4 GiB size limit of WAV files.\n";
    EXPECT_EQ(report("C264", "PAL", 886720, 50'000'000, 0) + detected + tail, r.err);
    EXPECT_LE(std::filesystem::file_size(dir.path("o.wav")), 44u);
}

// The samples of each pulse of a version 1 or 2 image: u units are
// rate x u / frequency samples, rounded to the nearest.
std::vector<std::size_t> pulse_lengths(const bytes& image, std::uint64_t frequency, std::uint64_t rate) {
    std::vector<std::size_t> lengths;
    for (std::size_t i = 20; i < image.size(); ++i) {
        std::uint64_t units = image[i];
        if (units == 0) {
            if (i + 3 >= image.size()) continue;
            units = (image[i + 1] | image[i + 2] << 8 | image[i + 3] << 16) / 8;
            i += 3;
        }
        lengths.push_back((rate * units + frequency / 2) / frequency);
    }
    return lengths;
}

// Converts a real image and reads the WAV back. Its length must be what the
// pulses predict; a version 1 image must also read back pulse by pulse: each
// pulse starts with a step down, the filter cannot hide a step of the full
// gain, and the distance from one step down to the next is that pulse.
void expect_converts_to_its_pulses(const std::string& path, unsigned rate) {
    const bytes image = read_file(path);
    ASSERT_GE(image.size(), 20u);
    ASSERT_NE(0, image[12]) << path;
    scratch_dir dir;
    const result r = run_korvax({"-s", std::to_string(rate), "-i", path, "-o", dir.path("o.wav")});
    ASSERT_EQ(0, r.status) << path << r.err;
    const std::string clock_line = "Tape frequency : ";
    const std::size_t at = r.err.find(clock_line);
    ASSERT_NE(std::string::npos, at) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("TAP data length : " + std::to_string(image.size() - 20) + "\n"));
    EXPECT_NE(std::string::npos, r.err.find("TAP version : " + std::to_string(image[12]) + "\n" + detected));
    const std::vector<std::size_t> pulses =
        pulse_lengths(image, std::stoull(r.err.substr(at + clock_line.size())) / 8, rate);
    const bytes samples = read_wav(dir.path("o.wav")).samples;
    std::size_t total = 0;
    for (std::size_t n : pulses) total += n;
    EXPECT_EQ(total, samples.size()) << path << " at " << rate;
    if (image[12] != 1) return;
    std::vector<std::size_t> read_back;
    for (std::size_t i = 1, last = 0; i < samples.size(); ++i) {
        if (samples[i] + 20 > samples[i - 1]) continue;
        if (last != 0) read_back.push_back(i - last);
        last = i;
    }
    // The first pulse has no step before it, the last none after it.
    ASSERT_GE(pulses.size(), 2u);
    EXPECT_EQ(std::vector<std::size_t>(pulses.begin() + 1, pulses.end() - 1), read_back) << path << " at " << rate;
}

TEST(mtap_corpus, real_images_convert_to_their_pulses) {
    std::vector<std::string> files;
    for (const char* prefix : {"c16-", "c64-", "vic20"})
        for (const std::string& f : corpus_files(prefix)) files.push_back(f);
    if (files.empty()) GTEST_SKIP() << "shared corpus not present";
    for (const std::string& f : files)
        for (unsigned rate : {44100u, 22050u}) expect_converts_to_its_pulses(f, rate);
}

// The bundled example, a C64 BASIC program in the ROM loader's encoding.
TEST(mtap_example, hello_tap_converts_to_its_pulses) {
    expect_converts_to_its_pulses(KORVAX_EXAMPLES "/hello.tap", 44100);
}

}  // namespace

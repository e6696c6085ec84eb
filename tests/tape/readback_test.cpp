// The read-back check as a sweep: every image, converted with -V at rates
// across the whole range, at every gain and in both polarities, must read
// back (status 0), except for the known limits below, each of which must
// still fail (status 7) so that the table cannot go stale. The WAVs are
// written to memory and read back from there, in this process.
#include <gtest/gtest.h>

#include <algorithm>

#include "formats/cbm/decoder.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

// An image's kind as the program reports it. Each known limit names the kind
// it applies to, a rate and a gain (0: any) and a polarity (-1: either).
enum class family { trs80, trs80_level1, trs80_fast, homelab, cgenie, tap01, tap2, program };
family family_of(const korvax::image& im) {
    const std::string f = convert_in_process(im, {}, false).found.found.family;
    return f == "tap2" ? family::tap2 : f == "tap01" ? family::tap01 : f == "program" ? family::program
           : f == "homelab" ? family::homelab : f == "cgenie" ? family::cgenie : f == "trs80-250" ? family::trs80_level1
           : f == "trs80-1500" ? family::trs80_fast : family::trs80;
}

const struct known_limit { family fam; unsigned rate; int gain, inverted; const char* why; } known_limits[] = {
    {family::trs80, 8000, 0, -1,
     "each run of a cell is rounded down on its own, so a 1 bit is 14 samples against 16.3 (14% short)"},
    {family::trs80_fast, 8000, 0, -1, "a 1 bit's cycle is 2 or 3 samples against 2.7 (up to 26% off)"},
    {family::trs80_fast, 11025, 0, -1, "a 1 bit's cycle is 3 or 4 samples against 3.7 (up to 20% off)"},
    {family::trs80_fast, 0, 0, 1, "each cycle starts with its negative half, so cycles are read half a cycle out of step"},
    {family::homelab, 8000, 0, -1, "a 1 bit's half cell is 5 samples against 5.9 (15% short)"},
    // Not 8000 Hz, where a 1's half-wave is 3 samples against 3.3 (10% short).
    {family::cgenie, 11025, 0, -1, "a 1's half-wave is 4 samples against 4.6 (13% short)"},
    {family::tap01, 0, 0, 0, "the first half of each pulse is the low one, so only -n starts pulses with a rise"},
    {family::program, 0, 0, 1, "each pulse starts with its high half, so -n starts it with a rise"},
    // Version 2 alternates between 80 and 80 XOR the gain level: below 80 at
    // gains 5 to 8, so the first half-wave is the high one; above it at gains
    // 1, 3 and 4, which need -n; at gain 2 (78) the step is lost in rounding.
    {family::tap2, 0, 1, 0, "80 XOR 15 = 95: the first half-wave is the low one"},
    {family::tap2, 0, 2, -1, "80 XOR 30 = 78: a step of 2, too small to see"},
    {family::tap2, 0, 3, 0, "80 XOR 45 = 125: the first half-wave is the low one"},
    {family::tap2, 0, 4, 0, "80 XOR 60 = 108: the first half-wave is the low one"},
    {family::tap2, 0, 5, 1, "80 XOR 75 = 27, inverted: the first half-wave is the low one"},
    {family::tap2, 0, 6, 1, "80 XOR 90 = 10, inverted: the first half-wave is the low one"},
    {family::tap2, 0, 7, 1, "80 XOR 105 = 57, inverted: the first half-wave is the low one"},
    {family::tap2, 0, 8, 1, "80 XOR 120 = 40, inverted: the first half-wave is the low one"},
};

void sweep(const std::vector<korvax::image>& images, const std::vector<unsigned>& rates, const std::vector<int>& gains) {
    for (const korvax::image& im : images) {
        const family fam = family_of(im);
        for (unsigned rate : rates)
            for (int gain : gains)
                for (int inverted : {0, 1}) {
                    korvax::options o;
                    o.verify = true;
                    o.sample_rate = rate;
                    o.p_gain = static_cast<std::uint8_t>(gain * 15);
                    o.inverted = inverted;
                    const int status = convert_in_process(im, o).status;
                    const auto limit = std::find_if(std::begin(known_limits), std::end(known_limits), [&](auto& k) {
                        return k.fam == fam && (k.rate == 0 || k.rate == rate) && (k.gain == 0 || k.gain == gain) &&
                               (k.inverted < 0 || k.inverted == inverted);
                    });
                    const bool known = limit != std::end(known_limits);
                    if (status != (known ? 7 : 0))
                        ADD_FAILURE() << im.name << " at " << rate << " Hz, gain " << gain << (inverted ? ", -n" : "")
                                      << ": status " << status << (known ? ", a known limit: " : "")
                                      << (known ? limit->why : "");
                }
    }
}

korvax::image from_file(const std::string& path) { return {path, read_file(path)}; }

const std::vector<unsigned> every_rate = {8000, 11025, 22050, 44100, 48000, 96000, 192000};

// The examples, and images made for what they and the corpus lack: a Colour
// Genie image whose last half-wave is at the gain level (the real ones all end
// at the silence level), Commodore version 0 with its runs of zero bytes, and
// pauses of each version, one of them at the end where it is ignored. (The
// example hello.prg is left out: hello2.t64 holds its program.) Like a
// real tape the version 2 image starts with a long half-wave: at 8000 Hz and
// gain 1 a first half-wave of 2 samples ends while the signal still settles
// from its jump to level 80, which hides its step of 15.
TEST(read_back, examples_and_made_images_at_every_rate_gain_and_polarity) {
    std::vector<korvax::image> images = {
        {"odd-half-waves.cas", {0x66, 0x55, 0x01}},
        {"v0.tap", tap_image(0, {0x30, 0x42, 0x56, 0x00, 0x30, 0x00, 0x00, 0x00, 0x56, 0x42, 0x00})},
        {"v1.tap", tap_image(1, {0x30, 0x00, 0x10, 0x27, 0x00, 0x56, 0x42, 0x00, 0x30})},
        {"v2.tap", tap_image(2, {0x6A, 0x6B, 0x1A, 0x1B, 0x34, 0x35, 0x00, 0xFF, 0x3F, 0x00, 0x0D, 0x0E})}};
    for (const char* example : {"hello.cas", "hello-255.cas", "hello-level1.cas", "hello-fast.cas", "hello.htp",
                                "hello-cgenie.cas", "hello.tap", "hello2.t64"})
        images.push_back(from_file(std::string(KORVAX_EXAMPLES) + "/" + example));
    sweep(images, every_rate, {1, 2, 3, 4, 5, 6, 7, 8});
}

// Read back at every setting, the corpus's half hour of audio would take
// minutes. So the smallest real image of each kind (each TRS-80 speed) is
// swept over every rate at gain 1, the weakest signal, and every real image is
// read back at 22,050 Hz.
TEST(read_back, real_images) {
    const auto smallest = corpus_files({"trs80-system-follin", "trs80-odd-level1", "trs80-cas-hs", "homelab2-basic-tehen",
                                        "cgenie-66leader", "c64-pal-v1-retroload", "c16-pal-v2-bucle", "c64-prg-mc-ribos"});
    if (smallest.empty()) GTEST_SKIP() << "the shared corpus is not present";
    std::vector<korvax::image> images;
    for (const std::string& f : smallest) images.push_back(from_file(f));
    sweep(images, every_rate, {1});
    // Not the T64 archive whose only entry is a memory snapshot: it is
    // refused (status 6), as a made one is in the command-line test.
    std::vector<std::string> all = corpus_files({"trs80-", "homelab", "cgenie-", "c16-", "c64-", "vic20"});
    std::erase_if(all, [](const std::string& f) { return f.ends_with("snapshot.t64"); });
    images.clear();
    for (const std::string& f : all) images.push_back(from_file(f));
    sweep(images, {22050}, {5});
}

// The C64 ROM loader's reading that -V applies to program files, on
// hello.prg's pulses before the filter: its header block (type 1 for a
// program at 0x0801, start, end one past the last byte, the name padded with
// spaces to 192 bytes) and its bytes, and each kind of damage told.
TEST(read_back, program_blocks_as_the_rom_loads_them) {
    const bytes hello = read_file(std::string(KORVAX_EXAMPLES) + "/hello.prg"), data(hello.begin() + 2, hello.end());
    const unsigned end = 0x0801 + unsigned(data.size());
    const bytes header = bytes{1, 1, 8, std::uint8_t(end), std::uint8_t(end >> 8)} + text("HELLO") + bytes(182, ' ');
    const runs r = signal_runs("PRG", hello, 44100, 75, "hello.prg");
    std::vector<std::size_t> pulses, swapped, cut;
    for (std::size_t i = 0; i + 1 < r.size(); i += 2) pulses.push_back(r[i].second + r[i + 1].second);
    swapped = cut = pulses;
    std::swap(swapped[27138], swapped[27139]);  // the first bit of the header's first byte
    cut.resize(cut.size() - 100);
    bytes other = data;
    other[0] ^= 1;
    using damage = std::tuple<std::vector<std::size_t>, std::vector<bytes>, std::string, std::size_t>;
    for (const auto& [pulse_lengths, blocks, error, count] : std::vector<damage>{
             {pulses, {header, data}, "", 192 + data.size()},
             {swapped, {header, data}, "the byte at pulse 27136 fails its parity check", 0},
             {pulses, {header, other}, "block 1, copy 1: byte 9 reads back as 27, not 26", 192},
             {cut, {header, data}, "3 copies of blocks read back, where there are two of each of 2", 192},
         }) {
        korvax::cbm::kernal_reader kernal(44100.0 / 123156);
        for (const std::size_t n : pulse_lengths) kernal.pulse(n);
        const korvax::readback got = kernal.finish(blocks);
        EXPECT_EQ(error, got.error);
        EXPECT_EQ(count, got.count);
    }
}

}  // namespace

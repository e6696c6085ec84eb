// Reading recordings: the machines' readers, and the whole read of a recording
// held in memory, fed a stream of samples made from the input. The first four
// bytes are the settings, the rest the samples:
//   bytes 0-1  the sample rate, little-endian, spread over 8000..192000 with
//              both ends reachable
//   byte 2     bits 0-2: the reader: 0 TRS-80 (any speed), 1 TRS-80 at 250
//              baud, 2 at 500, 3 at 1500, 4 Commodore, 5 Colour Genie,
//              6 Homelab, 7 all four (and the machine found from the signal);
//              bits 3-4: what the rest is (below); bit 5: two channels;
//              bit 6: the read-back check (-V); bit 7: the rest is a WAV
//              file, read by the program's own WAV reader (bits 3-5 unused)
//   byte 3     how many times the samples repeat, less one (a short input
//              then makes a leader long enough to lock onto)
// The rest, by bits 3-4 of byte 2:
//   0  8-bit samples, unsigned, as in a WAV (two channels: interleaved)
//   1  16-bit samples, signed, little-endian (two channels: interleaved)
//   2  runs: each byte one run of (low 6 bits + 1) samples at a level given
//      by its top two bits: -1/2, 0, +1/2, or the opposite of the last level
//      that was not 0 (the next half of a square wave)
//   3  runs as in 2, each of (low 6 bits + 1) 22050ths of a second, whatever
//      the rate
// With runs, a second channel is the first at half the level, inverted.
// A tape signal is edges, so runs let a single changed byte move one edge,
// where raw samples need many changed to make or move a clean one.
//
// Every channel stops at `max_samples` samples, which bounds the work per
// input: the readers stream, so their cost is linear in it. That is 5.9 s at
// 44100 Hz, enough for a whole Commodore load of a short program with its
// leaders cut short, and 1.4 s at 192000 Hz.
//
// Properties: nothing crashes or trips a sanitizer; reading the same samples
// again, after other readings, gives the same segments, report items and
// images, so no state carries from one reading to the next; and the read
// through the driver, into an output in memory, ends with status 0 (read),
// 6 (no tape found) or 8 (read, some bytes in doubt), never another: with
// -V, a failed read-back check (7) means an image that does not read back
// as what was read, which is a fault unless some bytes were in doubt.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/recording_file.h"
#include "audio/samples.h"
#include "driver/read_tape.h"
#include "driver/registry.h"
#include "formats/cbm/recording.h"
#include "formats/cgenie/recording.h"
#include "formats/homelab/recording.h"
#include "formats/trs80/recording.h"
#include "fuzz_image.h"

namespace {

constexpr std::size_t settings_bytes = 4;
constexpr unsigned min_rate = 8000;
constexpr unsigned max_rate = 192000;
constexpr std::size_t max_samples = 1 << 18;
constexpr unsigned run_unit_rate = 22050;

enum reader_choice { trs80_any, trs80_250, trs80_500, trs80_1500, commodore, colour_genie, homelab, all_four };

std::vector<std::vector<float>> samples_of(const std::uint8_t* data, std::size_t size, unsigned rate, unsigned kind,
                                           bool stereo, unsigned repeats) {
    const std::size_t cap = max_samples;
    std::vector<std::vector<float>> ch(stereo ? 2 : 1);
    if (kind < 2) {
        const std::size_t width = kind == 0 ? 1 : 2, frame = width * ch.size(), frames = size / frame;
        for (unsigned r = 0; r < repeats && frames > 0 && ch[0].size() < cap; ++r)
            for (std::size_t f = 0; f < frames && ch[0].size() < cap; ++f)
                for (std::size_t c = 0; c < ch.size(); ++c) {
                    const std::uint8_t* s = data + f * frame + c * width;
                    ch[c].push_back(kind == 0 ? float(int(s[0]) - 128) / 128
                                              : float(std::int16_t(std::uint16_t(s[0] | (s[1] << 8)))) / 32768);
                }
        return ch;
    }
    // Runs: in samples (kind 2), or in 22050ths of a second (kind 3), each
    // ending at the sample nearest its end, so that no rounding accumulates.
    float last = 0.5f;
    std::uint64_t units = 0;
    for (unsigned r = 0; r < repeats && size > 0 && ch[0].size() < cap; ++r)
        for (std::size_t i = 0; i < size && ch[0].size() < cap; ++i) {
            const unsigned level = data[i] >> 6;
            const float v = level == 0 ? -0.5f : level == 1 ? 0.0f : level == 2 ? 0.5f : -last;
            if (v != 0) last = v;
            units += (data[i] & 63u) + 1;
            const std::uint64_t end = kind == 2 ? units : (units * rate + run_unit_rate / 2) / run_unit_rate;
            while (ch[0].size() < end && ch[0].size() < cap) ch[0].push_back(v);
        }
    if (stereo)
        for (const float v : ch[0]) ch[1].push_back(-v / 2);
    return ch;
}

// Text that differs when anything read differs; seconds in hexadecimal
// floating point, exactly.
void put_bytes(std::string& s, const std::vector<std::uint8_t>& b) {
    char t[4];
    for (const std::uint8_t x : b) std::snprintf(t, sizeof t, "%02x", x), s += t;
    s += '\n';
}
void put_doubts(std::string& s, const std::vector<korvax::doubtful_byte>& d) {
    char t[64];
    for (const korvax::doubtful_byte& b : d) std::snprintf(t, sizeof t, " %zu@%a", b.index, b.seconds), s += t;
    s += '\n';
}
std::string told(const std::vector<korvax::tape_segment>& segments) {
    std::string s;
    char t[64];
    for (const korvax::tape_segment& g : segments) {
        std::snprintf(t, sizeof t, "segment %a %d\n", g.start_seconds, g.baud);
        s += t;
        put_bytes(s, g.bytes);
        put_doubts(s, g.doubtful);
    }
    return s;
}
std::string told(const std::vector<korvax::tape_item>& items) {
    std::string s;
    char t[96];
    for (const korvax::tape_item& i : items) {
        std::snprintf(t, sizeof t, "item %a %d %u %zu %d ", i.start_seconds, i.baud, i.load_address.value_or(0x10000u),
                      i.length, int(i.check));
        s += t + i.machine + "|" + i.kind + "|" + i.name + "\n";
        put_doubts(s, i.doubtful);
    }
    return s;
}

// Each reader chosen, straight on the first channel: what it read, described
// and as its images, and what its leader probe finds.
std::string read_directly(const std::vector<float>& samples, unsigned rate, unsigned choice) {
    std::string s;
    char t[64];
    const auto chosen = [&](reader_choice r) { return choice == unsigned(r) || choice == all_four; };
    if (choice <= trs80_1500 || choice == all_four) {
        static const int bauds[] = {0, 250, 500, 1500};
        korvax::memory_source in(samples, rate);
        const auto segments = korvax::trs80::read_recording(in, bauds[choice == all_four ? 0 : choice]);
        s += told(segments) + told(korvax::trs80::describe(segments));
        put_bytes(s, korvax::trs80::cas_image(segments));
        for (const korvax::tape_segment& g : segments)
            if (g.baud == 1500) put_bytes(s, korvax::trs80::unframe(g.bytes));
        korvax::memory_source probe(samples, rate);
        s += "leader " + std::to_string(korvax::trs80::leader_baud(probe)) + "\n";
    }
    if (chosen(commodore)) {
        korvax::memory_source in(samples, rate);
        const korvax::cbm::recording_read r = korvax::cbm::read_recording(in);
        std::snprintf(t, sizeof t, "commodore %a %a %d\n", r.seconds, r.leader_seconds, int(r.falling_first));
        s += t + told(korvax::cbm::describe(r));
        put_bytes(s, korvax::cbm::tap_image(r));
        put_bytes(s, korvax::cbm::t64_image(r.programs));
        for (const korvax::cbm::kernal_program& p : r.programs) {
            std::snprintf(t, sizeof t, "program %d %d %d %zu\n", p.type, int(p.header_holds), int(p.data_holds),
                          p.header_doubtful);
            s += t;
            put_bytes(s, korvax::cbm::prg_image(p));
            put_doubts(s, p.doubtful);
        }
        korvax::memory_source probe(samples, rate);
        if (const auto l = korvax::cbm::find_leader(probe, double(max_samples) / rate)) {
            std::snprintf(t, sizeof t, "leader %a %a %a\n", l->start_seconds, l->seconds, l->pulse_seconds);
            s += t;
        }
    }
    // The probes are fed in uneven blocks, as a stream hands them.
    const auto probe = [&](auto&& p) {
        for (std::size_t at = 0, n = 1; at < samples.size(); at += n, n = n * 3 % 4099)
            p.feed(samples.data() + at, std::min(n, samples.size() - at));
        std::snprintf(t, sizeof t, "leader %d %a\n", int(p.found()), p.found() ? p.seconds() : 0.0);
        s += t;
    };
    if (chosen(colour_genie)) {
        korvax::memory_source in(samples, rate);
        const auto segments = korvax::cgenie::read_recording(in);
        s += told(segments) + told(korvax::cgenie::describe(segments));
        put_bytes(s, korvax::cgenie::cas_image(segments));
        probe(korvax::cgenie::leader_probe(rate));
    }
    if (chosen(homelab)) {
        korvax::memory_source in(samples, rate);
        const auto segments = korvax::homelab::read_recording(in);
        s += told(segments) + told(korvax::homelab::describe(segments));
        put_bytes(s, korvax::homelab::htp_image(segments));
        probe(korvax::homelab::leader_probe(rate));
    }
    return s;
}

// The whole read, as the command line does it: the machine forced as -f
// does, or found; every channel read and the better kept; the image into
// memory, named so that the driver writes no further file beside it, and as
// a kind any tape of the machine makes (a Commodore tape of another loader
// holds no program for a T64: a TAP image holds every tape).
void read_through_driver(const std::vector<std::vector<float>>& channels, unsigned rate, unsigned choice,
                         bool verify) {
    korvax::options o;
    o.verify = verify;
    static const char* const forced[] = {"CAS", "CAS", "CAS", "CAS", "PRG", "CGC", "HTP"};
    static const int bauds[] = {0, 250, 500, 1500};
    if (choice != all_four) o.format = korvax::format_number(forced[choice]);
    if (choice <= trs80_1500) o.baud = bauds[choice];
    korvax::memory_recording rec(channels, rate);
    korvax::memory_sink out(choice == commodore ? "read.tap" : "read.image");
    korvax::kept_messages said;
    korvax::run_result result;
    const int status = korvax::read_tape(o, "recording.wav", rec, -1, &out, said, &result);
    // Where bytes are in doubt, their doubt shaped the reading (where a block
    // whose length is in doubt ends), and an image cannot hold it: played
    // clean, it may read otherwise, which -V then tells.
    const bool doubts = std::any_of(result.items.begin(), result.items.end(),
                                    [](const korvax::tape_item& i) { return !i.doubtful.empty(); });
    if (status == korvax::exit_readback && doubts) return;
    if (status != korvax::exit_ok && status != korvax::exit_image && status != korvax::exit_doubtful) {
        std::fprintf(stderr, "status %d:\n%s", status, said.text().c_str());
        korvax_fuzz::fail("reading a recording ended with a status other than 0, 6 or 8");
    }
    if ((status == korvax::exit_image) != out.bytes.empty())
        korvax_fuzz::fail("an image was written with status 6, or none with status 0 or 8");
}

}  // namespace

// The samples of a WAV file's first two channels, as far as `max_samples`;
// none when the reader refuses the file.
std::vector<std::vector<float>> wav_samples(const std::uint8_t* data, std::size_t size, unsigned& rate) {
    std::string why;
    const std::vector<std::uint8_t> bytes(data, data + size);  // the recording reads them as it goes
    const auto rec = korvax::open_wav_recording(bytes, why);
    if (!rec || rec->channels() == 0) return {};
    rate = rec->rate();
    std::vector<std::vector<float>> channels;
    for (unsigned c = 0; c < std::min(2u, rec->channels()); ++c) {
        const auto in = rec->channel(c);
        if (!in) return {};
        std::vector<float>& ch = channels.emplace_back(max_samples);
        ch.resize(in->read(ch.data(), ch.size()));
    }
    return channels;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < settings_bytes) return 0;
    const unsigned spread = data[0] | (data[1] << 8);
    unsigned rate = min_rate + spread * (max_rate - min_rate) / 0xFFFF;
    const unsigned choice = data[2] & 7, kind = (data[2] >> 3) & 3;
    const bool stereo = data[2] & 0x20, verify = data[2] & 0x40;
    const auto channels = data[2] & 0x80
                              ? wav_samples(data + settings_bytes, size - settings_bytes, rate)
                              : samples_of(data + settings_bytes, size - settings_bytes, rate, kind, stereo, data[3] + 1u);
    if (channels.empty()) return 0;
    const std::string first = read_directly(channels[0], rate, choice);
    read_through_driver(channels, rate, choice, verify);
    if (read_directly(channels[0], rate, choice) != first)
        korvax_fuzz::fail("reading the same samples again gave another result");
    return 0;
}

#include "support/decode.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace korvax_test {
namespace {

// A gap is read as a given length when it is within an eighth of it: room for
// a tape's speed error and for rounding to whole samples, while a cell and a
// half cell (or a long and a short half-wave) stay far apart.
bool near(double gap, double nominal) { return std::abs(gap - nominal) <= nominal / 8; }

// Where a pulse begins: the signal leaves rest (byte 128, or 127 inverted) by
// more than half its peak in either direction. The high-pass filter makes a
// flat top droop and the silence after it undershoot, but by far less.
std::vector<std::size_t> pulse_starts(const bytes& y) {
    int peak = 0;
    for (std::uint8_t v : y) peak = std::max(peak, std::abs(v - 128));
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < y.size(); ++i)
        if (2 * std::abs(y[i] - 128) > peak && (i == 0 || 2 * std::abs(y[i - 1] - 128) <= peak)) starts.push_back(i);
    return starts;
}

// Level changes: a step between neighbouring samples of more than half the
// largest step. The filter drifts by a few units per sample at most; a change
// of level jumps by the whole difference of the levels.
struct edge {
    std::size_t at;
    bool rise;
};
std::vector<edge> edges(const bytes& y) {
    int step = 0;
    for (std::size_t i = 1; i < y.size(); ++i) step = std::max(step, std::abs(y[i] - y[i - 1]));
    std::vector<edge> found;
    for (std::size_t i = 1; i < y.size(); ++i)
        if (2 * std::abs(y[i] - y[i - 1]) > step) found.push_back({i, y[i] > y[i - 1]});
    return found;
}

// Bits, most significant first, from the events at `at` (pulse starts or
// level changes), the last one closed by `end`: a 1 is two gaps of half a
// cell, a 0 one gap of a whole cell of `cell` samples.
decoded read_bits(const std::vector<std::size_t>& at, std::size_t end, double cell) {
    const auto gap = [&](std::size_t i) { return double(i + 1 < at.size() ? at[i + 1] : end) - double(at[i]); };
    decoded out;
    std::size_t bits = 0;
    for (std::size_t i = 0; i < at.size(); ++bits) {
        int bit = 0;
        if (i + 1 < at.size() && near(gap(i), cell / 2) && near(gap(i + 1), cell / 2))
            bit = 1, i += 2;
        else if (near(gap(i), cell))
            i += 1;
        else
            return {out.data, "bit " + std::to_string(bits) + " at sample " + std::to_string(at[i]) + ": a gap of " +
                                  std::to_string(gap(i)) + " samples, a cell is " + std::to_string(cell)};
        if (bits % 8 == 0) out.data.push_back(0);
        out.data.back() = static_cast<std::uint8_t>(out.data.back() | bit << (7 - bits % 8));
    }
    if (bits % 8) out.error = "the signal ends after " + std::to_string(bits) + " bits, not whole bytes";
    return out;
}

}  // namespace

// 500 baud: 3,566-cycle cells of the 1,747,200 Hz clock; a pulse opens every
// cell, a second one half a cell later makes the bit a 1.
decoded decode_trs80(const wav_info& wav) {
    return read_bits(pulse_starts(wav.samples), wav.samples.size(), 3566.0 * wav.sample_rate / 1'747'200);
}

// 4,425-cycle cells of the 3 MHz clock. The last bit of a byte has pulses
// 110 cycles (2.5%) longer, well within the reader's tolerance.
decoded decode_homelab(const wav_info& wav) {
    return read_bits(pulse_starts(wav.samples), wav.samples.size(), 4425.0 * wav.sample_rate / 3e6);
}

// 1200 baud: half-waves alternate between two levels; a 0 is one half-wave of
// 1/1200 s, a 1 two of 1/2400 s. 15,000 cycles of the 2,216,750 Hz clock of
// silence close the signal: when the last half-wave is at the silence level it
// has no edge of its own, and the silence's start ends it.
decoded decode_cgenie(const wav_info& wav) {
    const double zero = wav.sample_rate / 1200.0;
    const std::size_t silence =
        wav.samples.size() - std::min<std::size_t>(wav.samples.size(), 15000ull * wav.sample_rate / 2'216'750);
    std::vector<std::size_t> at;
    for (const edge& x : edges(wav.samples))
        if (double(x.at) + zero / 4 < double(silence)) at.push_back(x.at);
    return read_bits(at, silence, zero);
}

std::optional<std::vector<std::size_t>> decode_tap(const wav_info& wav, int version) {
    const std::vector<edge> e = edges(wav.samples);
    // The first half-wave was the high one if the first level change falls.
    if (!e.empty() && e.front().rise) return std::nullopt;
    std::vector<std::size_t> halves, out;
    std::size_t from = 0;
    for (const edge& x : e) {
        halves.push_back(x.at - from);
        from = x.at;
    }
    if (from < wav.samples.size()) halves.push_back(wav.samples.size() - from);
    for (std::size_t i = 0; i < halves.size(); i += version == 2 ? 1 : 2)
        out.push_back(halves[i] + (version != 2 && i + 1 < halves.size() ? halves[i + 1] : 0));
    return out;
}

tap_pulses read_tap(const bytes& b) {
    tap_pulses t;
    t.version = b.at(12);
    // C64, VIC-20, C264; any other machine byte is a C64, any video byte but 1 PAL.
    static const std::uint64_t pal[] = {123156, 138551, 110840}, ntsc[] = {127841, 127841, 111860};
    const int machine = b.at(13) <= 2 ? b[13] : 0;
    t.frequency = b.at(14) == 1 ? ntsc[machine] : pal[machine];
    for (std::size_t i = 20; i < b.size(); ++i) {
        std::uint64_t cycles = 8u * b[i];
        if (b[i] == 0 && t.version == 0) {
            for (cycles = 882; i + 1 < b.size() && b[i + 1] == 0; ++i) cycles += 882;
        } else if (b[i] == 0) {
            if (i + 3 >= b.size()) continue;
            cycles = b[i + 1] | b[i + 2] << 8 | b[i + 3] << 16;
            i += 3;
        }
        t.units.push_back(cycles / 8);
    }
    return t;
}

}  // namespace korvax_test

#include "support/decode.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace korvax_test {
namespace {

// A gap is read as a given length when it is within an eighth of it: room for
// a tape's speed error and for rounding to whole samples, while a cell and a
// half cell (or a long and a short half-wave) stay far apart.
bool near(double gap, double nominal) { return std::abs(gap - nominal) <= nominal / 8; }

// A sample around the resting level (0 = byte 128; -1 when inverted, which
// does not matter to these readers).
int level(std::uint8_t sample) { return int{sample} - 128; }

// Where a pulse begins: the signal leaves rest by more than half its peak in
// either direction. The high-pass filter makes a flat top droop and the
// silence after it undershoot, but by far less than half the peak.
std::vector<std::size_t> pulse_starts(const bytes& y) {
    int peak = 0;
    for (std::uint8_t v : y) peak = std::max(peak, std::abs(level(v)));
    std::vector<std::size_t> starts;
    bool in_pulse = false;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const bool out = 2 * std::abs(level(y[i])) > peak;
        if (out && !in_pulse) starts.push_back(i);
        in_pulse = out;
    }
    return starts;
}

// Level changes: a step between neighbouring samples of more than half the
// largest step. The filter drifts by a few units per sample at most; a change
// of level jumps by the whole difference of the levels. The first sample is
// left out: it steps from nothing.
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

void append_bit(bytes& data, std::size_t& bits, int bit) {
    if (bits++ % 8 == 0) data.push_back(0);
    data.back() = static_cast<std::uint8_t>(data.back() | (bit << (7 - (bits - 1) % 8)));
}

decoded whole_bytes(decoded out, std::size_t bits) {
    if (bits % 8) out.error = "the signal ends after " + std::to_string(bits) + " bits, not whole bytes";
    return out;
}

// The length in samples of a 0 bit's cell and of each half cell of a 1.
struct cell {
    double zero;
    double half;
};

// Bits of pulse-position signals, most significant first: a clock pulse opens
// every cell; a second pulse half a cell later makes the bit a 1. `cell_of(k)`
// gives the cell of bit k of a byte (k = 0 for the first). The end of the
// file closes the last cell.
decoded read_cells(const wav_info& wav, const std::function<cell(int)>& cell_of) {
    const std::vector<std::size_t> p = pulse_starts(wav.samples);
    const auto next = [&](std::size_t i) { return double(i + 1 < p.size() ? p[i + 1] : wav.samples.size()); };
    decoded out;
    std::size_t bits = 0;
    for (std::size_t i = 0; i < p.size();) {
        const cell c = cell_of(static_cast<int>(bits % 8));
        const double gap = next(i) - double(p[i]);
        if (i + 1 < p.size() && near(gap, c.half) && near(next(i + 1) - double(p[i + 1]), c.half)) {
            append_bit(out.data, bits, 1);
            i += 2;
        } else if (near(gap, c.zero)) {
            append_bit(out.data, bits, 0);
            i += 1;
        } else {
            out.error = "bit " + std::to_string(bits) + " at sample " + std::to_string(p[i]) + ": next pulse after " +
                        std::to_string(gap) + " samples, a cell is " + std::to_string(c.zero);
            return out;
        }
    }
    return whole_bytes(out, bits);
}

}  // namespace

// 500 baud: 3,566-cycle cells of the 1,747,200 Hz clock.
decoded decode_trs80(const wav_info& wav) {
    const double zero = 3566.0 * wav.sample_rate / 1'747'200;
    return read_cells(wav, [=](int) { return cell{zero, zero / 2}; });
}

// 4,425-cycle cells of the 3 MHz clock (half cells of 2,212); the last bit of
// a byte has pulses 110 cycles longer: 4,535 for a 0, twice 2,322 for a 1. The
// reader frames bytes by counting bits: below 44.1 kHz the longer pulse is no
// longer than the others once rounded to samples.
decoded decode_homelab(const wav_info& wav) {
    const double per_cycle = wav.sample_rate / 3e6;
    return read_cells(wav, [=](int k) {
        return k == 7 ? cell{4535 * per_cycle, 2322 * per_cycle} : cell{4425 * per_cycle, 2212 * per_cycle};
    });
}

// 1200 baud: half-waves alternate between two levels; a 0 is one half-wave of
// 1/1200 s, a 1 two of 1/2400 s. 15,000 cycles of the 2,216,750 Hz clock of
// silence close the signal: when the last half-wave is at the silence level it
// has no edge of its own, and the silence's start ends it.
decoded decode_cgenie(const wav_info& wav) {
    const double zero = wav.sample_rate / 1200.0, one = zero / 2;
    const std::vector<edge> e = edges(wav.samples);
    std::vector<std::size_t> at;
    for (const edge& x : e) at.push_back(x.at);
    const std::size_t silence =
        wav.samples.size() - std::min<std::size_t>(wav.samples.size(), 15000ull * wav.sample_rate / 2'216'750);
    if (!at.empty() && double(at.back()) + one / 2 < double(silence)) at.push_back(silence);
    decoded out;
    std::size_t bits = 0;
    for (std::size_t i = 0; i + 1 < at.size();) {
        const double gap = double(at[i + 1] - at[i]);
        if (near(gap, zero)) {
            append_bit(out.data, bits, 0);
            i += 1;
        } else if (i + 2 < at.size() && near(gap, one) && near(double(at[i + 2] - at[i + 1]), one)) {
            append_bit(out.data, bits, 1);
            i += 2;
        } else {
            out.error = "bit " + std::to_string(bits) + " at sample " + std::to_string(at[i]) + ": half-wave of " +
                        std::to_string(gap) + " samples, neither " + std::to_string(zero) + " nor twice " +
                        std::to_string(one);
            return out;
        }
    }
    return whole_bytes(out, bits);
}

tap_signal decode_tap(const wav_info& wav, int version) {
    const std::vector<edge> e = edges(wav.samples);
    tap_signal out;
    // The first half-wave was the high one if the first level change falls.
    out.starts_high = e.empty() || !e.front().rise;
    std::vector<std::size_t> halves;
    std::size_t from = 0;
    for (const edge& x : e) {
        halves.push_back(x.at - from);
        from = x.at;
    }
    if (from < wav.samples.size()) halves.push_back(wav.samples.size() - from);
    if (version == 2) {
        out.lengths = halves;
    } else {
        for (std::size_t i = 0; i < halves.size(); i += 2)
            out.lengths.push_back(halves[i] + (i + 1 < halves.size() ? halves[i + 1] : 0));
    }
    return out;
}

}  // namespace korvax_test

#include "verify/readback.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace korvax {
namespace {

std::uint32_t le32(const byte_vector& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24);
}

// A gap is read as a given length when it is within an eighth of it: room for
// a tape's speed error and for rounding to whole samples, while a cell and a
// half cell (or a long and a short half-wave) stay far apart.
bool near(double gap, double nominal) { return std::abs(gap - nominal) <= nominal / 8; }

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    std::string s = text;
    return s.ends_with(".0") ? s.substr(0, s.size() - 2) : s;
}

// Bits most significant first: the `bits`th bit read is `bit`.
void add_bit(byte_vector& got, std::size_t bits, bool bit) {
    if (bits % 8 == 0) got.push_back(0);
    got.back() = static_cast<std::uint8_t>(got.back() | int(bit) << (7 - bits % 8));
}

// The bytes read (`bits` bits in all) against the image's: the count of those
// that match, and where they first differ unless reading already stopped.
void compare(readback& r, const byte_vector& got, std::size_t bits, const byte_vector& want) {
    if (r.error.empty() && bits % 8) r.error = "the signal ends after " + std::to_string(bits) + " bits, not whole bytes";
    const auto differ = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    r.count = static_cast<std::uint64_t>(differ.first - got.begin());
    if (!r.error.empty()) return;
    if (differ.first != got.end())
        r.error = "byte " + std::to_string(r.count) + " reads back as " + std::to_string(*differ.first) +
                  ", not " + (differ.second != want.end() ? std::to_string(*differ.second) : "the end");
    else if (got.size() != want.size())
        r.error = "the signal ends after " + std::to_string(got.size()) + " of " + std::to_string(want.size()) +
                  " bytes";
}

}  // namespace

bool read_wav(const std::string& path, wav_samples& wav, std::string& why) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    const byte_vector b = f ? read_rest(f.get()) : byte_vector{};
    if (!f || std::ferror(f.get())) {
        why = "it cannot be read";
        return false;
    }
    const auto text = [&](std::size_t at, const char* s) { return std::memcmp(b.data() + at, s, 4) == 0; };
    if (b.size() < 44 || !text(0, "RIFF") || !text(8, "WAVE") || !text(12, "fmt ") || !text(36, "data") ||
        le32(b, 20) != 0x00010001 || (le32(b, 32) & 0xFFFF0000) != 0x00080000) {
        why = "it is not an 8-bit mono PCM WAV file";
        return false;
    }
    if (le32(b, 4) != b.size() - 8 || le32(b, 40) != b.size() - 44) {
        why = "its size fields do not match its length";
        return false;
    }
    wav.sample_rate = le32(b, 24);
    wav.samples.assign(b.begin() + 44, b.end());
    return true;
}

byte_vector read_rest(std::FILE* in) {
    byte_vector b;
    std::uint8_t block[65536];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, in)) > 0;) b.insert(b.end(), block, block + n);
    return b;
}

// The high-pass filter makes a flat top droop and the silence after it
// undershoot, but by far less than half the peak.
std::vector<std::size_t> pulse_starts(const byte_vector& y) {
    int peak = 0;
    for (std::uint8_t v : y) peak = std::max(peak, std::abs(v - 128));
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < y.size(); ++i)
        if (2 * std::abs(y[i] - 128) > peak && (i == 0 || 2 * std::abs(y[i - 1] - 128) <= peak)) starts.push_back(i);
    return starts;
}

// The filter drifts by a few units per sample at most; a change of level
// jumps by the whole difference of the levels.
std::vector<edge> edges(const byte_vector& y) {
    int step = 0;
    for (std::size_t i = 1; i < y.size(); ++i) step = std::max(step, std::abs(y[i] - y[i - 1]));
    std::vector<edge> found;
    for (std::size_t i = 1; i < y.size(); ++i)
        if (2 * std::abs(y[i] - y[i - 1]) > step) found.push_back({i, y[i] > y[i - 1]});
    return found;
}

readback read_bytes(const std::vector<std::size_t>& at, std::size_t end, double cell, const byte_vector& want) {
    const auto gap = [&](std::size_t i) { return double(i + 1 < at.size() ? at[i + 1] : end) - double(at[i]); };
    byte_vector got;
    readback r;
    std::size_t bits = 0;
    for (std::size_t i = 0; i < at.size(); ++bits) {
        int bit = 0;
        if (i + 1 < at.size() && near(gap(i), cell / 2) && near(gap(i + 1), cell / 2)) {
            bit = 1, i += 2;
        } else if (near(gap(i), cell)) {
            i += 1;
        } else {
            r.error = "byte " + std::to_string(bits / 8) + ", bit " + std::to_string(7 - bits % 8) + " at sample " +
                      std::to_string(at[i]) + ": a gap of " + number(gap(i)) + " samples, where a 0 bit is " +
                      number(cell) + " and each half of a 1 bit " + number(cell / 2);
            break;
        }
        add_bit(got, bits, bit);
    }
    compare(r, got, bits, want);
    return r;
}

readback read_cycles(const byte_vector& y, double zero, double one, const byte_vector& want) {
    readback r;
    const std::vector<std::size_t> starts = pulse_starts(y);
    if (!starts.empty() && y[starts.front()] < 128) {
        r.error = "the first cycle starts with its negative half, so every cycle is read half a cycle out of step";
        return r;
    }
    std::vector<std::size_t> at;
    if (!starts.empty()) {
        at.push_back(starts.front());
        for (const edge& e : edges(y))
            if (e.rise && e.at > starts.front()) at.push_back(e.at);
    }
    byte_vector got;
    std::size_t bits = 0;
    double last = 0;  // the last bit's cycle
    for (std::size_t i = 0; i + 1 < at.size(); ++i, ++bits) {
        const double gap = double(at[i + 1] - at[i]);
        const bool bit = near(gap, one);
        if (!bit && !near(gap, zero)) {
            r.error = "byte " + std::to_string(bits / 8) + ", bit " + std::to_string(7 - bits % 8) + " at sample " +
                      std::to_string(at[i]) + ": a cycle of " + number(gap) + " samples, where a 0 bit is " +
                      number(zero) + " and a 1 bit " + number(one);
            break;
        }
        last = bit ? one : zero;
        add_bit(got, bits, bit);
    }
    if (r.error.empty() && bits > 0 && !near(double(y.size() - at.back()), last / 2))
        r.error = "the half cycle after the last bit is " + std::to_string(y.size() - at.back()) +
                  " samples, where it should be " + number(last / 2);
    compare(r, got, bits, want);
    return r;
}

std::vector<std::size_t> pulse_lengths(const byte_vector& y, bool half_waves) {
    std::vector<std::size_t> halves, pulses;
    std::size_t from = 0;
    for (const edge& x : edges(y)) halves.push_back(x.at - from), from = x.at;
    if (from < y.size()) halves.push_back(y.size() - from);
    for (std::size_t i = 0; i < halves.size(); i += half_waves ? 1 : 2)
        pulses.push_back(halves[i] + (!half_waves && i + 1 < halves.size() ? halves[i + 1] : 0));
    return pulses;
}

readback read_pulses(const wav_samples& wav, bool half_waves, const std::vector<std::uint64_t>& units,
                     std::uint32_t units_per_second) {
    readback r;
    r.unit = "pulses";
    const std::vector<edge> e = edges(wav.samples);
    // A loader times each pulse from the start of its high half.
    if (!e.empty() && e.front().rise) {
        r.error = "the first pulse starts with its low half, so every pulse is read half a pulse out of step";
        return r;
    }
    const double per_unit = double(wav.sample_rate) / units_per_second;
    std::int64_t off = 0;
    std::size_t at = 0;  // the pulse's first sample
    for (const std::size_t got : pulse_lengths(wav.samples, half_waves)) {
        if (r.count >= units.size()) {
            r.error = "more pulses read back than the image holds (" + std::to_string(units.size()) + ")";
            return r;
        }
        const std::uint64_t u = units[r.count];
        if (std::abs(double(got) - double(u) * per_unit) > 1.0) {
            r.error = "pulse " + std::to_string(r.count) + " at sample " + std::to_string(at) +
                      " is " + std::to_string(got) + " samples, where it should be " + number(double(u) * per_unit);
            return r;
        }
        at += got;
        ++r.count;
        off += std::int64_t(got) - std::int64_t((std::uint64_t{wav.sample_rate} * u + units_per_second / 2) / units_per_second);
    }
    if (r.count != units.size())
        r.error = std::to_string(r.count) + " of " + std::to_string(units.size()) +
                  " pulses read back: the shorter ones vanish at this rate";
    else if (off != 0)
        r.error = "the pulses add up to " + std::to_string(off) + " samples more than the image's";
    return r;
}

readback read_kernal_blocks(const std::vector<std::size_t>& pulses, double samples_per_unit,
                            const std::vector<byte_vector>& blocks) {
    readback r;
    std::string p;  // each pulse as S, M or L, or P for a pause
    for (const std::size_t n : pulses) {
        const double units = double(n) / samples_per_unit;
        p += units < 57 ? 'S' : units < 76 ? 'M' : units < 100 ? 'L' : 'P';
    }
    std::vector<byte_vector> copies(1);
    for (std::size_t i = 0; i < p.size();) {
        if (p.compare(i, 2, "LS") == 0) {
            copies.emplace_back();
            i += 2;
            continue;
        }
        if (p.compare(i, 2, "LM") != 0) {  // a pilot, a trailer or a pause
            ++i;
            continue;
        }
        int value = 0, ones = 0;
        for (int bit = 0; bit < 9; ++bit) {
            const std::string pair = p.substr(i + 2 + 2 * std::size_t(bit), 2);
            if (pair != "MS" && pair != "SM") {
                r.error = "pulse " + std::to_string(i + 2 + 2 * std::size_t(bit)) + " starts no bit: a byte ends early";
                return r;
            }
            value |= (pair == "MS") << bit;
            ones += pair == "MS";
        }
        if (ones % 2 == 0) {
            r.error = "the byte at pulse " + std::to_string(i) + " fails its parity check";
            return r;
        }
        copies.back().push_back(static_cast<std::uint8_t>(value));
        i += 20;
    }
    copies.pop_back();  // what follows the last end-of-data marker
    for (std::size_t k = 0; k < copies.size() && k / 2 < blocks.size(); ++k) {
        byte_vector want;
        std::uint8_t sum = 0;
        for (int n = 9; n >= 1; --n) want.push_back(static_cast<std::uint8_t>(k % 2 ? n : 0x80 | n));
        for (const std::uint8_t b : blocks[k / 2]) want.push_back(b), sum ^= b;
        want.push_back(sum);
        const auto differ = std::mismatch(copies[k].begin(), copies[k].end(), want.begin(), want.end());
        if (differ.first != copies[k].end() || differ.second != want.end()) {
            r.error = "block " + std::to_string(k / 2) + ", copy " + std::to_string(k % 2 + 1) + ": byte " +
                      std::to_string(differ.first - copies[k].begin()) + " reads back as " +
                      (differ.first != copies[k].end() ? std::to_string(*differ.first) : "the end") + ", not " +
                      (differ.second != want.end() ? std::to_string(*differ.second) : "the end");
            return r;
        }
        if (k % 2) r.count += blocks[k / 2].size();
    }
    if (copies.size() != 2 * blocks.size())
        r.error = std::to_string(copies.size()) + " copies of blocks read back, where there are two of each of " +
                  std::to_string(blocks.size());
    return r;
}

}  // namespace korvax

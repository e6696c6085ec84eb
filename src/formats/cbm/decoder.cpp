#include "formats/cbm/decoder.h"

namespace korvax::cbm {

bool pulse_reader::starts_falling() {
    if (!started_) {
        started_ = true;
        have_pending_ = steps_.next(pending_);
        first_falls_ = !have_pending_ || !pending_.up;
    }
    return first_falls_;
}

// The level's halves: the first from the start of the signal, each then from
// one level change to the next, the last to the end of the signal.
bool pulse_reader::half(std::uint64_t& samples) {
    if (ended_) return false;
    signal_event e;
    const bool got = have_pending_ || steps_.next(e);
    if (have_pending_) e = pending_, have_pending_ = false;
    if (!got) {
        ended_ = true;
        const std::uint64_t end = steps_.samples_read();
        if (end <= from_) return false;
        samples = end - from_;
        from_ = end;
        return true;
    }
    samples = e.at - from_;
    from_ = e.at;
    return true;
}

bool pulse_reader::next(std::uint64_t& samples) {
    starts_falling();
    std::uint64_t a = 0, b = 0;
    if (!half(a)) return false;
    samples = a + (!halves_ && half(b) ? b : 0);
    return true;
}

void kernal_reader::pulse(std::uint64_t samples) {
    const double units = double(samples) / samples_per_unit_;
    window_ += units < short_medium_split ? 'S' : units < medium_long_split ? 'M' : units < long_pause_split ? 'L' : 'P';
    if (window_.size() >= 4096) parse(false);
}

// Parses the window as far as it can; a byte needs its 20 pulses in view
// unless the pulses have ended.
void kernal_reader::parse(bool at_end) {
    std::size_t i = 0;
    while (error_.empty() && i < window_.size()) {
        if (!at_end && window_.size() - i < 20) break;
        if (window_.compare(i, 2, "LS") == 0) {
            copies_.emplace_back();
            i += 2;
            continue;
        }
        if (window_.compare(i, 2, "LM") != 0) {  // a pilot, a trailer or a pause
            ++i;
            continue;
        }
        int value = 0, ones = 0;
        for (int bit = 0; bit < 9; ++bit) {
            const std::string pair = window_.substr(std::min(window_.size(), i + 2 + 2 * std::size_t(bit)), 2);
            if (pair != "MS" && pair != "SM") {
                error_ = "pulse " + std::to_string(window_at_ + i + 2 + 2 * std::size_t(bit)) +
                         " starts no bit: a byte ends early";
                return;
            }
            value |= (pair == "MS") << bit;
            ones += pair == "MS";
        }
        if (ones % 2 == 0) {
            error_ = "the byte at pulse " + std::to_string(window_at_ + i) + " fails its parity check";
            return;
        }
        copies_.back().push_back(static_cast<std::uint8_t>(value));
        i += 20;
    }
    window_.erase(0, i);
    window_at_ += i;
}

readback kernal_reader::finish(const std::vector<std::vector<std::uint8_t>>& blocks) {
    parse(true);
    readback r;
    if (!error_.empty()) {
        r.error = error_;
        return r;
    }
    std::vector<std::vector<std::uint8_t>> copies = copies_;
    copies.pop_back();  // what follows the last end-of-data marker
    for (std::size_t k = 0; k < copies.size() && k / 2 < blocks.size(); ++k) {
        std::vector<std::uint8_t> want;
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

}  // namespace korvax::cbm

#include "audio/events.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace korvax {
namespace {

constexpr std::size_t block_size = 16384;
constexpr double memory_seconds = 0.05;  // how long the largest step or peak is remembered

}  // namespace

event_finder::event_finder(sample_source& in, looking_for what)
    : in_(in), what_(what), block_(block_size), marks_(block_size + 8), candidates_(block_size) {
    const double decay = std::exp(-1.0 / (memory_seconds * in.rate()));
    double power = 1;
    for (float& p : decay_power_) p = static_cast<float>(power), power *= decay;
    log_decay_ = std::log(decay);
}

// How much the largest step or peak has faded over `gap` samples.
float event_finder::fade(std::uint64_t gap) const {
    return gap < decay_table ? decay_power_[gap] : static_cast<float>(std::exp(double(gap) * log_decay_));
}

// Only a step or a height past the floor can be an event, and only those can
// be the largest that decides one (a smaller largest never refuses a larger
// one), so the samples are first sifted for them, in a loop with no branch
// to mispredict, and only those few are weighed one by one.
void event_finder::read_block() {
    found_.clear();
    served_ = 0;
    const std::size_t n = in_.read(block_.data(), block_.size());
    if (n == 0) {
        ended_ = true;
        return;
    }
    const float* y = block_.data();
    std::uint32_t* c = candidates_.data();
    std::size_t count = 0;
    // Which samples pass the floor, a byte each in a loop the compiler turns
    // into vector instructions; then the marked ones, eight bytes at a time,
    // skipping the long stretches with none.
    const float before_block = base_ == 0 ? y[0] : last_;
    std::uint8_t* mark = marks_.data();
    if (what_ == looking_for::steps) {
        mark[0] = std::fabs(y[0] - before_block) > event_floor;
        for (std::size_t i = 1; i < n; ++i) mark[i] = std::fabs(y[i] - y[i - 1]) > event_floor;
    } else {
        for (std::size_t i = 0; i < n; ++i) mark[i] = std::fabs(y[i]) > event_floor;
    }
    std::fill(mark + n, mark + ((n + 7) & ~std::size_t{7}), 0);
    for (std::size_t i = 0; i < n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, mark + i, 8);
        // Marks are 0 or 1, so each set bit is one byte's lowest.
        for (; word != 0; word &= word - 1)
            c[count++] = static_cast<std::uint32_t>(i + static_cast<std::size_t>(std::countr_zero(word)) / 8);
    }
    if (what_ == looking_for::steps) {
        // (The first sample of the stream has no step before it: its mark is 0.)
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint64_t at = base_ + c[k];
            const float before = c[k] > 0 ? y[c[k] - 1] : last_;
            const float step = std::fabs(y[c[k]] - before);
            const float faded = largest_ * fade(at - largest_at_);
            largest_ = step > faded ? step : faded;
            largest_at_ = at;
            if (2 * step > largest_) found_.push_back({at, y[c[k]] > before});
        }
        last_ = y[n - 1];
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint64_t at = base_ + c[k];
            // A sample at rest since the last one past the floor: the signal
            // has left any pulse.
            if (at != largest_at_ + 1) above_ = false;
            const float height = std::fabs(y[c[k]]);
            const float faded = largest_ * fade(at - largest_at_);
            largest_ = height > faded ? height : faded;
            largest_at_ = at;
            const bool now = 2 * height > largest_;
            if (now && !above_) found_.push_back({at, y[c[k]] > 0});
            above_ = now;
        }
        if (count == 0 || c[count - 1] != n - 1) above_ = false;
    }
    base_ += n;
}

}  // namespace korvax

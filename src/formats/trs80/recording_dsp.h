// Signal conditioning for reading recordings of tapes: the pieces a decoder
// runs on every sample, each O(1) per sample so that reading keeps far ahead
// of real time, and none holding more than a few milliseconds of signal.
//
// - sample_ring: the last samples (or filter outputs) by absolute index, so a
//   decoder can look back over a window once it knows where to look.
// - block_sums: prefix sums of the input, from which any boxcar over the
//   recent past is two look-ups (pulse matched filters, moving averages).
// - crossing_finder: zero crossings with hysteresis that follows the signal's
//   level, placed between samples by linear interpolation, so that short
//   half cycles at 22050 Hz (under 4 samples) are still timed to a fraction
//   of a sample.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korvax::trs80 {

// The last `capacity` values (a power of two) by absolute sample index.
template <typename T>
class sample_ring {
public:
    explicit sample_ring(std::size_t at_least) {
        std::size_t n = 1;
        while (n < at_least) n <<= 1;
        values_.assign(n, T{});
        mask_ = n - 1;
    }
    void put(std::uint64_t index, T v) { values_[index & mask_] = v; }
    T operator[](std::uint64_t index) const { return values_[index & mask_]; }
    std::size_t capacity() const { return values_.size(); }

private:
    std::vector<T> values_;
    std::size_t mask_ = 0;
};

// Prefix sums of the input (in double, so a long recording loses nothing),
// for the block of samples just added and the `span` before it, side by side
// in memory: a box sum over the recent past is two loads, and a reader's
// filter over a block is a loop of its own that the compiler can vectorise.
class block_sums {
public:
    explicit block_sums(std::size_t span) : span_(span), sums_(1, 0.0) {}
    // Appends samples `count()` to `count() + n - 1`.
    void push(const float* x, std::size_t n) {
        if (sums_.size() > span_ + 1) {
            const std::size_t drop = sums_.size() - (span_ + 1);
            sums_.erase(sums_.begin(), sums_.begin() + static_cast<std::ptrdiff_t>(drop));
            first_ += drop;
        }
        double total = sums_.back();
        for (std::size_t i = 0; i < n; ++i) sums_.push_back(total += x[i]);
    }
    std::uint64_t count() const { return first_ + sums_.size() - 1; }
    // Where the sum of the samples before `index` is (and the sums after it
    // follow): for an index from the `span` before the last block on.
    const double* at(std::uint64_t index) const { return sums_.data() + (index - first_); }

private:
    std::size_t span_;
    std::vector<double> sums_;  // sums_[k]: the sum of the samples before first_ + k
    std::uint64_t first_ = 0;
};

// A float's bits, and back (as std::bit_cast, which the page's compiler
// lacks).
inline std::uint32_t bits_of(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
inline float float_of(std::uint32_t b) {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// Zero crossings of a conditioned signal, each confirmed once the signal has
// gone past the hysteresis on the other side (so noise riding on a slow edge
// makes one crossing, not several), and timed where it last crossed zero.
class crossing_finder {
public:
    struct crossing {
        double at;    // in samples, between two samples
        int rising;   // 1: from below to above zero, 0: from above to below
        float peak;   // the largest magnitude of the half cycle it ends
    };
    // Feeds sample `index` with value `z`; true when a crossing is confirmed.
    // `hiss`: the signal is hiss, whose sign changes at random.
    bool push(std::uint64_t index, float z, float hysteresis, crossing& out, bool hiss) {
        // Where the sign changed is only noted here; the crossing's time is
        // worked out once it is confirmed. In hiss a branch on the change
        // would guess wrong, so masks select what is kept; on a tape's
        // signal the branch guesses right and costs less.
        const bool changed = ((z >= 0) != (last_ >= 0)) & (index > 0);
        if (hiss) {
            const std::uint64_t kept = std::uint64_t(changed) - 1;  // all ones where the sign stayed
            cross_index_ = (cross_index_ & kept) | (index & ~kept);
            cross_before_ = (cross_before_ & std::uint32_t(kept)) | (bits_of(last_) & ~std::uint32_t(kept));
            cross_after_ = (cross_after_ & std::uint32_t(kept)) | (bits_of(z) & ~std::uint32_t(kept));
        } else if (changed) {
            cross_index_ = index, cross_before_ = bits_of(last_), cross_after_ = bits_of(z);
        }
        last_ = z;
        const float m = std::fabs(z);
        peak_ = std::max(peak_, m);
        const bool up = state_ <= 0 && z > hysteresis, down = state_ >= 0 && z < -hysteresis;
        if (!(up || down)) return false;
        const float before = float_of(cross_before_), after = float_of(cross_after_);
        const double at = cross_index_ > 0 ? double(cross_index_ - 1) + double(before) / double(before - after) : 0;
        out = {at, up ? 1 : 0, peak_};
        state_ = up ? 1 : -1;
        peak_ = m;
        return true;
    }
    void reset() { state_ = 0, peak_ = 0; }

private:
    // The last sign change: the sample after it, and the values either side
    // (as their bits, which masks select without a branch).
    std::uint64_t cross_index_ = 0;
    std::uint32_t cross_before_ = 0, cross_after_ = 0;
    float last_ = 0, peak_ = 0;
    int state_ = 0;
};

}  // namespace korvax::trs80

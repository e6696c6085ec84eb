#include "audio/shared_stretch.h"

#include <algorithm>

namespace korvax {

// A reader's samples, from the ring.
class shared_stretch::view final : public sample_source {
public:
    view(shared_stretch& s, std::size_t k) : s_(s), k_(k), at_(s.from_) {}
    view(const view&) = delete;
    view& operator=(const view&) = delete;
    ~view() override { s_.passed(k_, UINT64_MAX); }
    std::uint32_t rate() const override { return s_.in_.rate(); }
    std::size_t read(float* out, std::size_t n) override {
        std::size_t done = 0;
        while (done < n) {
            const std::uint64_t b = (at_ - s_.from_) / block_samples;
            const auto off = static_cast<std::size_t>((at_ - s_.from_) % block_samples);
            const auto [p, size] = s_.block(b);
            if (off >= size) break;
            const std::size_t c = std::min(n - done, size - off);
            std::copy_n(p + off, c, out + done);
            done += c;
            at_ += c;
            if (off + c < size) continue;
            s_.passed(k_, b + 1);
            if (size < block_samples) break;
        }
        return done;
    }

private:
    shared_stretch& s_;
    std::size_t k_;
    std::uint64_t at_;
};

shared_stretch::shared_stretch(sample_source& in, std::uint64_t in_at, std::uint64_t from, std::uint64_t to,
                               std::size_t readers)
    : in_(in), in_at_(in_at), from_(from), to_(std::max(from, to)), ring_(block_samples * slots), next_(readers, 0) {}

std::unique_ptr<sample_source> shared_stretch::reader(std::size_t k) { return std::make_unique<view>(*this, k); }

void shared_stretch::prime() { block(0); }

std::uint64_t shared_stretch::at() const {
    const std::lock_guard<std::mutex> l(m_);
    return in_at_;
}

std::pair<const float*, std::size_t> shared_stretch::block(std::uint64_t b) {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
        if (b > last_) return {nullptr, 0};
        if (b < decoded_) return {ring_.data() + (b % slots) * block_samples, b == last_ ? last_size_ : block_samples};
        // The next block to decode: its slot is free once every reader has
        // passed the block it held.
        const std::uint64_t slowest = *std::min_element(next_.begin(), next_.end());
        if (!decoding_ && (b < slots || slowest > b - slots)) break;
        // Waiting for room, it waits for half the ring, so that it is not
        // woken for each block the slowest reader passes.
        if (!decoding_) wake_at_ = std::min(wake_at_, b - slots / 2 + 1);
        ++waiting_;
        changed_.wait(l);
        --waiting_;
    }
    decoding_ = true;
    l.unlock();
    // Only this thread touches the source and the free slot until it is done.
    float* slot = ring_.data() + (b % slots) * block_samples;
    const std::uint64_t start = from_ + b * block_samples;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block_samples, to_ - std::min(to_, start)));
    std::size_t got = 0;
    std::uint64_t skipped = 0;
    try {
        const bool there = b > 0 || from_ == in_at_ || (skipped = in_.skip(from_ - in_at_)) == from_ - in_at_;
        for (std::size_t g = 1; there && got < want && g > 0; got += g) g = in_.read(slot + got, want - got);
    } catch (...) {
        l.lock();
        decoded_ = b + 1, last_ = b, last_size_ = 0, decoding_ = false;
        changed_.notify_all();
        throw;
    }
    l.lock();
    in_at_ += skipped + got;
    decoded_ = b + 1;
    if (got < block_samples) last_ = b, last_size_ = got;
    decoding_ = false;
    if (waiting_ > 0) changed_.notify_all();
    return {slot, b == last_ ? last_size_ : block_samples};
}

void shared_stretch::passed(std::size_t k, std::uint64_t b) {
    const std::lock_guard<std::mutex> l(m_);
    next_[k] = b;
    if (waiting_ > 0 && *std::min_element(next_.begin(), next_.end()) >= wake_at_) {
        wake_at_ = UINT64_MAX;
        changed_.notify_all();
    }
}

}  // namespace korvax

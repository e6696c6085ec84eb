// Samples as a decoder reads them: mono, at any rate, in blocks, full scale
// +-1. A decoder never holds a whole recording, only what its source hands it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvax {

class sample_source {
public:
    virtual ~sample_source() = default;
    virtual std::uint32_t rate() const = 0;
    // Up to `n` samples into `out`: fewer only at the end, 0 after it.
    virtual std::size_t read(float* out, std::size_t n) = 0;
    // Passes over up to `n` samples as reading them would; how many (fewer
    // only at the end). A source that can seek does so.
    virtual std::uint64_t skip(std::uint64_t n) {
        std::vector<float> block(static_cast<std::size_t>(std::min<std::uint64_t>(n, 4096)));
        std::uint64_t done = 0;
        for (std::size_t got = 1; done < n && got > 0; done += got)
            got = read(block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(n - done, block.size())));
        return done;
    }
};

// Samples held in memory (tests, the page, a signal written to memory).
class memory_source final : public sample_source {
public:
    memory_source(const std::vector<float>& samples, std::uint32_t rate) : samples_(samples), rate_(rate) {}
    std::uint32_t rate() const override { return rate_; }
    std::size_t read(float* out, std::size_t n) override {
        const std::size_t k = std::min(n, samples_.size() - at_);
        std::copy_n(samples_.data() + at_, k, out);
        at_ += k;
        return k;
    }
    std::uint64_t skip(std::uint64_t n) override {
        const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n, samples_.size() - at_));
        at_ += k;
        return k;
    }

private:
    const std::vector<float>& samples_;
    std::uint32_t rate_;
    std::size_t at_ = 0;
};

}  // namespace korvax

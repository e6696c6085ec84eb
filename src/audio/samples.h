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

private:
    const std::vector<float>& samples_;
    std::uint32_t rate_;
    std::size_t at_ = 0;
};

}  // namespace korvax

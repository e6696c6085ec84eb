// One stretch of a channel, decoded once and handed to several readers that
// read it side by side, each on a thread of its own and at its own pace.
// Decoding a recording (libsndfile's conversion, the file's reads) costs as
// much as a reader's own work on hiss, so each reader decoding its own copy
// would spend most of that again.
//
// The samples pass through a ring of blocks. The reader that first needs a
// block decodes it, from the one source, in order; a block's slot is used
// again once every reader has passed it, and a reader that runs that far
// ahead of the slowest waits for it. So every reader must be running at once
// (a reader that waits for one that has not started would wait for ever), and
// each must be destroyed (or read to its end) when its reader stops.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/samples.h"

namespace korvax {

class shared_stretch {
public:
    // Samples `from` up to `to` of `in`, which is at sample `in_at` (no
    // further than `from`), for `readers` readers.
    shared_stretch(sample_source& in, std::uint64_t in_at, std::uint64_t from, std::uint64_t to, std::size_t readers);
    shared_stretch(const shared_stretch&) = delete;
    shared_stretch& operator=(const shared_stretch&) = delete;

    // Reader `k`'s source (from 0 to `readers` - 1, each taken once), from
    // sample `from`.
    std::unique_ptr<sample_source> reader(std::size_t k);
    // Decodes the first block now, on this thread: the buffers the source
    // keeps for its reads then lie in this thread's heap.
    void prime();
    // Where `in` got to: the sample after the last one decoded.
    std::uint64_t at() const;

private:
    class view;
    // Block `b` is decoded (or the stretch ended before it); returns its slot
    // and how many samples it holds.
    std::pair<const float*, std::size_t> block(std::uint64_t b);
    // Reader `k` has passed every block before `b` (all of them, when it is
    // done).
    void passed(std::size_t k, std::uint64_t b);

    static constexpr std::size_t block_samples = 4096, slots = 64;

    sample_source& in_;
    std::uint64_t in_at_, from_, to_;  // where `in` is; the stretch
    std::vector<float> ring_;
    mutable std::mutex m_;
    std::condition_variable changed_;
    std::vector<std::uint64_t> next_;  // each reader's next block
    std::uint64_t decoded_ = 0;        // blocks decoded
    std::uint64_t last_ = UINT64_MAX;  // where the samples ended, once they have: the last block
    std::size_t last_size_ = 0;        // and how many it holds
    bool decoding_ = false;
    std::size_t waiting_ = 0;             // readers waiting for a block
    std::uint64_t wake_at_ = UINT64_MAX;  // how far the slowest reader must get before one waiting for room is woken
};

}  // namespace korvax

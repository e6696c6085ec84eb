// One decode of a stretch handed to readers on threads of their own: each
// gets exactly the samples it would have read from a source of its own, at
// its own pace, and one that stops early holds none of the others back.
#include <gtest/gtest.h>

#include <thread>

#include "audio/shared_stretch.h"

namespace {

using korvax::memory_source;
using korvax::shared_stretch;

struct reader_plan {
    std::size_t chunk;  // samples asked for at a time
    std::size_t stop;   // after this many (or at the end)
};

struct stretch_case {
    const char* name;
    std::size_t samples;  // in the source
    std::uint64_t in_at, from, to;
    std::vector<reader_plan> readers;
};

TEST(shared_stretch, each_reader_gets_the_stretch) {
    constexpr std::size_t all = SIZE_MAX;
    const stretch_case cases[] = {
        {"four paces", 1'000'000, 0, 0, 700'000, {{4096, all}, {1, all}, {9999, all}, {65536, all}}},
        {"from further in", 1'000'000, 0, 123'457, 623'457, {{4096, all}, {777, all}, {5000, all}}},
        {"source already part-way", 1'000'000, 100'000, 300'001, 900'000, {{4096, all}, {33, all}}},
        {"source ends first", 500'000, 0, 100'000, 2'000'000, {{4096, all}, {3000, all}, {8191, all}}},
        // Far past the ring's reach, while the others wait on nobody.
        {"readers that stop early", 2'000'000, 0, 0, 2'000'000, {{4096, 10}, {4096, all}, {100, 300'000}, {7, all}}},
        {"nothing to read", 1000, 0, 5000, 6000, {{4096, all}, {10, all}}},
    };
    for (const stretch_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> x(c.samples);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = float(i);
        memory_source in(x, 44100);
        ASSERT_EQ(c.in_at, in.skip(c.in_at));
        shared_stretch s(in, c.in_at, c.from, c.to, c.readers.size());
        s.prime();
        std::vector<std::vector<float>> got(c.readers.size());
        std::vector<std::thread> threads;
        for (std::size_t k = 0; k < c.readers.size(); ++k) {
            threads.emplace_back([&, k] {
                auto src = s.reader(k);
                std::vector<float> block(c.readers[k].chunk);
                while (got[k].size() < c.readers[k].stop) {
                    const std::size_t n = src->read(block.data(), block.size());
                    got[k].insert(got[k].end(), block.begin(), block.begin() + std::ptrdiff_t(n));
                    if (n < block.size()) break;
                }
            });
        }
        for (std::thread& t : threads) t.join();
        const std::size_t end = std::min<std::size_t>(c.samples, c.to), whole = end > c.from ? end - c.from : 0;
        for (std::size_t k = 0; k < c.readers.size(); ++k) {
            const std::size_t want = c.readers[k].stop == all ? whole : std::min(whole, got[k].size());
            ASSERT_EQ(want, got[k].size()) << "reader " << k;
            for (std::size_t i = 0; i < want; ++i) ASSERT_EQ(float(c.from + i), got[k][i]) << "reader " << k;
        }
        // Where the source got to: the stretch's end, or its own.
        EXPECT_EQ(c.samples < c.from ? c.samples : end, s.at());
    }
}

}  // namespace

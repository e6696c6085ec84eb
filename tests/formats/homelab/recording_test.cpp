// Homelab tapes read back from recordings: the program's own signal for every
// example and corpus image, through the cassette channel's rungs, must come
// back as the image's bytes from the first sync byte on, and what cannot be
// read must be reported, never returned as good.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "formats/homelab/recording.h"
#include "support/cassette.h"
#include "support/signal.h"

using namespace korvax_test;
using bytes = std::vector<std::uint8_t>;

namespace {

struct image {
    std::string path;
    bytes data;
};

std::vector<image> images() {
    std::vector<std::string> paths = {std::string(KORVAX_EXAMPLES) + "/hello.htp"};
    if (std::filesystem::is_directory(KORVAX_CORPUS))
        for (const auto& e : std::filesystem::directory_iterator(KORVAX_CORPUS))
            if (e.path().filename().string().starts_with("homelab")) paths.push_back(e.path().string());
    std::sort(paths.begin() + 1, paths.end());
    std::vector<image> out;
    for (const std::string& p : paths) {
        std::ifstream f(p, std::ios::binary);
        out.push_back({p, bytes{std::istreambuf_iterator<char>(f), {}}});
    }
    return out;
}

struct outcome {
    bool exact = false;
    std::size_t wrong = 0, silent = 0, unmarked = 0, doubt = 0;
    std::vector<korvax::tape_segment> segments;
};

// The image's blocks: where each sync byte lies.
std::vector<std::size_t> syncs(const bytes& b) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < b.size();) {
        while (i < b.size() && b[i] == 0) ++i;
        if (i >= b.size() || b[i] != 0xA5) break;
        at.push_back(i);
        std::size_t p = i + 1;
        while (p < b.size() && b[p] != 0) ++p;
        if (p + 5 > b.size()) break;
        i = p + 5 + (b[p + 3] | b[p + 4] << 8) + 2;
    }
    return at;
}

outcome read_back(const image& im, unsigned rate, int rung, const channel_options& o = {}) {
    std::vector<float> x = program_signal(im.path, rate, o.invert);
    if (rung >= 0) x = cassette(x, rate, ladder[rung], o).samples;
    korvax::memory_source in(x, rate);
    outcome r;
    r.segments = korvax::homelab::read_recording(in);
    const auto items = korvax::homelab::describe(r.segments);
    r.exact = korvax::homelab::htp_image(r.segments) == im.data;
    // Each segment against the image's block that it matches best.
    const std::vector<std::size_t> blocks = syncs(im.data);
    std::size_t right_total = 0;
    for (std::size_t s = 0; s < r.segments.size(); ++s) {
        const korvax::tape_segment& seg = r.segments[s];
        r.doubt += seg.doubtful.size();
        std::size_t from = blocks.empty() ? 0 : blocks[0], most = 0;
        for (std::size_t b : blocks) {
            std::size_t right = 0;
            for (std::size_t i = 0; i < seg.bytes.size() && b + i < im.data.size(); ++i) right += seg.bytes[i] == im.data[b + i];
            if (right > most) most = right, from = b;
        }
        right_total += most;
        std::size_t d = 0;
        for (std::size_t i = 0; i < seg.bytes.size(); ++i) {
            while (d < seg.doubtful.size() && seg.doubtful[d].index < i) ++d;
            const bool right = from + i < im.data.size() && seg.bytes[i] == im.data[from + i];
            const bool reported = (d < seg.doubtful.size() && seg.doubtful[d].index == i) ||
                                  items[s].check == korvax::tape_item::checksum::fails;
            if (!right && !reported) ++r.silent;
            if (!right && !(d < seg.doubtful.size() && seg.doubtful[d].index == i)) ++r.unmarked;
            if (!right) ++r.wrong;
        }
    }
    // Bytes of the tape from the first sync byte on that no segment gave.
    const std::size_t tape = blocks.empty() ? 0 : im.data.size() - blocks[0];
    r.wrong += tape > right_total + r.wrong ? tape - right_total - r.wrong : 0;
    return r;
}

std::string name(const image& im) { return std::filesystem::path(im.path).filename().string(); }

}  // namespace

TEST(homelab_recording, clean_signal_round_trips) {
    for (const image& im : images())
        for (unsigned rate : {22050u, 44100u, 11025u, 192000u}) {
            const outcome r = read_back(im, rate, -1);
            EXPECT_TRUE(r.exact) << name(im) << " at " << rate << " Hz: " << r.wrong << " wrong";
            EXPECT_EQ(r.doubt, 0u) << name(im) << " at " << rate;
        }
}

TEST(homelab_recording, DISABLED_results_table) {
    const auto all = images();
    std::printf("rung  rate   pol  drop  exact  wrong  silent  unmarked  doubt\n");
    for (int rung = 0; rung <= 7; ++rung)
        for (unsigned rate : {22050u, 44100u})
            for (bool invert : {false, true})
                for (bool dropouts : {false, true}) {
                    std::size_t exact = 0, wrong = 0, silent = 0, unmarked = 0, doubt = 0;
                    for (std::size_t i = 0; i < all.size(); ++i) {
                        const outcome r = read_back(all[i], rate, rung, {dropouts, invert, i % 2 == 1, 1});
                        exact += r.exact, wrong += r.wrong, silent += r.silent, unmarked += r.unmarked, doubt += r.doubt;
                    }
                    std::printf("%4d %6u %4s %5s %3zu/%zu %6zu %7zu %9zu %6zu\n", rung, rate, invert ? "-" : "+",
                                dropouts ? "yes" : "no", exact, all.size(), wrong, silent, unmarked, doubt);
                    std::fflush(stdout);
                }
}

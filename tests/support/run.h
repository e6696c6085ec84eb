// Test helpers: run the real korvax binary, make scratch files and images,
// and draw a format's signal before the filter.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvax_test {

using bytes = std::vector<std::uint8_t>;
// The elements of `a` followed by those of `b` (bytes, runs).
template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes text(std::string_view s);

struct result {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the korvax binary with these arguments (no shell involved). With
// `pipe_reader`, standard output is a pipe whose reader takes at most that
// many bytes, then goes away.
result run_korvax(const std::vector<std::string>& args, std::optional<std::size_t> pipe_reader = std::nullopt);

// A fresh directory, removed with everything in it when the test ends.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Writes `content` to `name` and returns its path.
    std::string write(const std::string& name, const bytes& content) const;

private:
    std::filesystem::path dir_;
};

bytes read_file(const std::string& path);

// `zeros` zero bytes, 0xA5, then `payload`: the start that TRS-80 and Homelab
// detection looks for.
bytes with_zero_leader(const bytes& payload, std::size_t zeros = 256);

// A Commodore TAP image: the prefix, "TAPE-RAW", version, machine, video
// standard, a reserved byte, the data length (`claimed`, or the true one) and
// the pulse data.
bytes tap_image(int version, const bytes& data, int machine = 0, int video = 0, long long claimed = -1,
                const std::string& prefix = "C64-");

// The number -f takes for the format with this short name, as text.
std::string format_option(std::string_view name);

// Files of the shared corpus of real images whose names start with any of
// `prefixes`, sorted; none when the corpus is absent.
std::vector<std::string> corpus_files(std::initializer_list<std::string_view> prefixes);

// What the real binary says of an image named `name` holding `content`, asked
// without an output file: the detected format's description (after the
// format's report, if any), "" when the image is not recognised, or else its
// whole answer.
std::string detected_format(const std::string& name, const bytes& content);

// The signal a format writes for an image (in a file called `name`) before
// the filter, lead-in included, as (level, samples) runs.
using runs = std::vector<std::pair<int, std::size_t>>;
runs signal_runs(std::string_view format, const bytes& image, unsigned rate = 44100, std::uint8_t gain = 75,
                 const std::string& name = "image");
// `unit` `times` over (its last and first runs at different levels).
runs repeat(const runs& unit, int times);

}  // namespace korvax_test

// Test helpers: run the real korvax binary, make scratch files, read WAVs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace korvax_test {

using bytes = std::vector<std::uint8_t>;
// The elements of `a` followed by those of `b` (bytes, runs).
template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct result {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the korvax binary with these arguments (no shell involved).
result run_korvax(const std::vector<std::string>& args);
// The same with exactly this environment ("NAME=value" entries).
result run_korvax(const std::vector<std::string>& args, const std::vector<std::string>& env);

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
bool file_exists(const std::string& path);

// 256 zero bytes, 0xA5, then `payload`: the start that TRS-80 and Homelab
// detection looks for.
bytes with_zero_leader(const bytes& payload, std::size_t zeros = 256);

// A Commodore TAP image: the prefix, "TAPE-RAW", version, machine, video
// standard, a reserved byte, the data length (`claimed`, or the true one) and
// the pulse data.
bytes tap_image(int version, const bytes& data, int machine = 0, int video = 0, long long claimed = -1,
                const std::string& prefix = "C64-");

// A WAV file as a player reads it.
struct wav_info {
    std::uint32_t sample_rate = 0;
    bytes samples;  // the data chunk
};
// Reads a WAV file; fails the current test unless its header is the one the
// program writes, with sizes matching the file.
wav_info read_wav(const std::string& path);

// Files of the shared corpus of real images whose names start with any of
// `prefixes`, sorted; none when the corpus is absent.
std::vector<std::string> corpus_files(std::initializer_list<std::string_view> prefixes);

// What the real binary says of an image named `name` holding `content`, asked
// without an output file: the detected format's description, "" when the
// image is not recognised, or else its whole answer.
std::string detected_format(const std::string& name, const bytes& content);

// The signal a format writes for an image before the filter: the level of
// every sample, from the format's convert alone (no header, no lead-in). The
// filter is bypassed (a coefficient of 1 keeps the accumulator at 0).
std::vector<int> raw_levels(int format, const bytes& image, unsigned rate = 44100,
                            std::uint8_t gain = 75);

// Run lengths of a level stream: (level, count) pairs.
using runs = std::vector<std::pair<int, std::size_t>>;
runs level_runs(const std::vector<int>& levels);
// Appends a run, joined to the last one when at the same level, as
// level_runs reads a stream back.
void add_run(runs& r, int level, std::size_t count);
// `unit` `times` over (its last and first runs at different levels).
runs repeat(const runs& unit, int times);

}  // namespace korvax_test

// Test helpers: run the real korvax binary, make scratch files and images,
// and draw a format's signal before the filter.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/convert.h"
#include "driver/registry.h"

namespace korvax_test {

using bytes = std::vector<std::uint8_t>;
// The elements of `a` followed by those of `b` (bytes, runs).
template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline bytes text(std::string_view s) { return bytes(s.begin(), s.end()); }

inline bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A fresh directory, removed with everything in it when the test ends.
class scratch_dir {
public:
    scratch_dir() {
        char name[] = "/tmp/korvax-test-XXXXXX";
        dir_ = ::mkdtemp(name);
    }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Writes `content` to `name` and returns its path.
    std::string write(const std::string& name, const bytes& content) const {
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                          static_cast<std::streamsize>(content.size()));
        return path(name);
    }

private:
    std::filesystem::path dir_;
};

struct result {
    int status = -1;
    std::string out, err;  // standard output and error
};

// Runs the korvax binary with these arguments (no shell involved); standard
// output and error go to files, which cannot fill up and block it as pipes
// could. Standard input is the file `input` names, or nothing.
inline result run_korvax(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
    const scratch_dir dir;
    std::vector<std::string> copy = args;
    std::vector<char*> argv = {const_cast<char*>("korvax")};  // as a user's shell would name it
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open(input.c_str(), O_RDONLY), 0);
        ::dup2(::open(dir.path("out").c_str(), O_WRONLY | O_CREAT, 0600), 1);
        ::dup2(::open(dir.path("err").c_str(), O_WRONLY | O_CREAT, 0600), 2);
        ::execv(KORVAX_BINARY, argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    const bytes out = read_file(dir.path("out")), err = read_file(dir.path("err"));
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), std::string(out.begin(), out.end()),
            std::string(err.begin(), err.end())};
}

// `zeros` zero bytes, 0xA5, then `payload`: the start that TRS-80 and Homelab
// detection looks for.
inline bytes with_zero_leader(const bytes& payload, std::size_t zeros = 256) {
    return bytes(zeros, 0x00) + bytes{0xA5} + payload;
}

// A Commodore TAP image: the prefix, "TAPE-RAW", version, machine, video
// standard, a reserved byte, the data length (`claimed`, or the true one) and
// the pulse data.
inline bytes tap_image(int version, const bytes& data, int machine = 0, int video = 0, long long claimed = -1,
                       const std::string& prefix = "C64-") {
    const auto length = std::uint32_t(claimed < 0 ? static_cast<long long>(data.size()) : claimed);
    return text(prefix) + text("TAPE-RAW") +
           bytes{std::uint8_t(version), std::uint8_t(machine), std::uint8_t(video), 0, std::uint8_t(length),
                 std::uint8_t(length >> 8), std::uint8_t(length >> 16), std::uint8_t(length >> 24)} +
           data;
}

// Files of the shared corpus of real images whose names start with any of
// `prefixes`, sorted; none when the corpus is absent.
inline std::vector<std::string> corpus_files(std::initializer_list<std::string_view> prefixes) {
    std::vector<std::string> files;
    if (!std::filesystem::is_directory(KORVAX_CORPUS)) return files;
    for (const auto& e : std::filesystem::directory_iterator(KORVAX_CORPUS))
        for (std::string_view prefix : prefixes)
            if (e.path().filename().string().starts_with(prefix)) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// A run of the program in this process: its status, messages, the WAV it
// wrote to memory and what it found.
struct in_process {
    int status = -1;
    std::string err;  // the messages, a line each
    bytes wav;
    korvax::run_result found;
};
inline in_process convert_in_process(const korvax::image& im, korvax::options o = {}, bool output = true) {
    korvax::memory_sink sink("out.wav");
    korvax::kept_messages out;
    in_process r;
    r.status = korvax::convert(o, im, output ? &sink : nullptr, out, &r.found);
    r.err = out.text();
    r.wav = std::move(sink.bytes);
    return r;
}

// The signal a format writes for an image (named `name`) before the filter,
// lead-in included, as (level, samples) runs. A filter coefficient of 1
// keeps the accumulator at 0, so every sample is its level plus 128.
using runs = std::vector<std::pair<int, std::size_t>>;
inline runs signal_runs(std::string_view format, const bytes& image, unsigned rate = 44100, std::uint8_t gain = 75,
                        const std::string& name = "image") {
    korvax::memory_sink sink("signal");
    korvax::kept_messages out;
    korvax::wav_writer w(sink, out, rate, false, korvax::wav_header_size);
    w.filter = {1.0, 0.0};
    korvax::report found;
    const korvax::image im{name, image};  // the tape reads it in place, so it lives as long
    const auto tape = korvax::tape_format_registry.at(korvax::format_number(format))->read(im, found, true);
    korvax::timeline t(w);
    if (tape) tape->play({gain, 0, 0, false}, t);
    w.flush();
    runs r;
    for (std::size_t i = korvax::wav_header_size; i < sink.bytes.size(); ++i) {
        if (r.empty() || r.back().first != sink.bytes[i] - 128) r.emplace_back(sink.bytes[i] - 128, 0);
        ++r.back().second;
    }
    return r;
}

}  // namespace korvax_test

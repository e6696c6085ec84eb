#include "support/run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "driver/registry.h"

namespace korvax_test {

bytes text(std::string_view s) { return bytes(s.begin(), s.end()); }

result run_korvax(const std::vector<std::string>& args, std::optional<std::size_t> pipe_reader) {
    // Standard output and error go to files, which cannot fill up and block
    // the child as pipes could.
    const scratch_dir dir;
    const std::string out = dir.path("stdout"), err = dir.path("stderr");
    std::vector<std::string> copy = args;
    std::vector<char*> argv = {const_cast<char*>("korvax")};  // as a user's shell would name it
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipe_ends[2] = {-1, -1};
    if (pipe_reader && ::pipe2(pipe_ends, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe_reader ? pipe_ends[1] : ::open(out.c_str(), O_WRONLY | O_CREAT, 0600), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT, 0600), 2);
        ::execv(KORVAX_BINARY, argv.data());
        ::_exit(127);
    }
    bytes o;
    if (pipe_reader) {
        ::close(pipe_ends[1]);
        std::uint8_t block[4096];
        for (ssize_t n; o.size() < *pipe_reader &&
                        (n = ::read(pipe_ends[0], block, std::min(sizeof block, *pipe_reader - o.size()))) > 0;)
            o.insert(o.end(), block, block + n);
        ::close(pipe_ends[0]);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    if (!pipe_reader) o = read_file(out);
    const bytes e = read_file(err);
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), std::string(o.begin(), o.end()),
            std::string(e.begin(), e.end())};
}

scratch_dir::scratch_dir() {
    char name[] = "/tmp/korvax-test-XXXXXX";
    dir_ = ::mkdtemp(name);
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string scratch_dir::write(const std::string& name, const bytes& content) const {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                              static_cast<std::streamsize>(content.size()));
    return p;
}

bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bytes with_zero_leader(const bytes& payload, std::size_t zeros) { return bytes(zeros, 0x00) + bytes{0xA5} + payload; }

bytes tap_image(int version, const bytes& data, int machine, int video, long long claimed, const std::string& prefix) {
    const auto length = static_cast<std::uint32_t>(claimed < 0 ? static_cast<long long>(data.size()) : claimed);
    bytes b = text(prefix) + text("TAPE-RAW");
    b.insert(b.end(), {static_cast<std::uint8_t>(version), static_cast<std::uint8_t>(machine),
                       static_cast<std::uint8_t>(video), 0});
    for (int shift = 0; shift < 32; shift += 8) b.push_back(static_cast<std::uint8_t>(length >> shift));
    return b + data;
}

std::string format_option(std::string_view name) { return std::to_string(korvax::format_number(name)); }

std::vector<std::string> corpus_files(std::initializer_list<std::string_view> prefixes) {
    std::vector<std::string> files;
    if (!std::filesystem::is_directory(KORVAX_CORPUS)) return files;
    for (const auto& e : std::filesystem::directory_iterator(KORVAX_CORPUS))
        for (std::string_view prefix : prefixes)
            if (e.path().filename().string().starts_with(prefix)) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string detected_format(const std::string& name, const bytes& content) {
    scratch_dir dir;
    const result r = run_korvax({"-i", dir.write(name, content)});
    const std::string head = "Supported format detected: ", tail = ".\nError creating output file or none specified.\n";
    if (r.status == 6 && r.err == "Unknown/unsupported tape image file.\n") return "";
    const std::size_t at = r.err.find(head) + head.size();  // after the format's own report, if any
    if (r.status == 0 && at >= head.size() && r.err.ends_with(tail) && r.err.size() > at + tail.size())
        return r.err.substr(at, r.err.size() - at - tail.size());
    return "status " + std::to_string(r.status) + ": " + r.err;
}

// A filter coefficient of 1 keeps the accumulator at 0, so every sample is
// its level plus 128.
runs signal_runs(std::string_view format, const bytes& image, unsigned rate, std::uint8_t gain, const std::string& name) {
    scratch_dir dir;
    const std::string path = dir.write(name, image);
    korvax::memory_sink sink("signal");
    {
        korvax::wav_writer out(sink, rate, false, korvax::wav_header_size);
        out.filter = {1.0, 0.0};
        const korvax::file_ptr in = korvax::open_image(path.c_str());
        korvax::tape_format_registry.at(korvax::format_number(format))->convert(in.get(), path.c_str(), out, {gain, 0});
        out.flush();
    }
    runs r;
    for (std::size_t i = korvax::wav_header_size; i < sink.bytes.size(); ++i) {
        const int level = sink.bytes[i] - 128;
        if (!r.empty() && r.back().first == level) ++r.back().second;
        else r.emplace_back(level, 1);
    }
    return r;
}

runs repeat(const runs& unit, int times) {
    runs r;
    for (int i = 0; i < times; ++i) r = r + unit;
    return r;
}

}  // namespace korvax_test

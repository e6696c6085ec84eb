#include "support/run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

namespace korvax_test {

namespace {

std::string slurp_fd(int fd) {
    std::string s;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(n));
    return s;
}

std::uint32_t le32(const bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t le16(const bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

}  // namespace

result run_korvax(const std::vector<std::string>& args) {
    // Standard output and error go to temporary files, which cannot fill up
    // and block the child as pipes could.
    char out_name[] = "/tmp/korvax-out-XXXXXX";
    char err_name[] = "/tmp/korvax-err-XXXXXX";
    const int out_fd = ::mkstemp(out_name);
    const int err_fd = ::mkstemp(err_name);
    std::vector<char*> argv;
    const std::string program = KORVAX_BINARY;
    std::string name = "korvax";  // as a user's shell would name it
    argv.push_back(name.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    result r;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    ::lseek(out_fd, 0, SEEK_SET);
    ::lseek(err_fd, 0, SEEK_SET);
    r.out = slurp_fd(out_fd);
    r.err = slurp_fd(err_fd);
    ::close(out_fd);
    ::close(err_fd);
    ::unlink(out_name);
    ::unlink(err_name);
    return r;
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
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return p;
}

bytes read_file(const std::string& path) {
    // In one block: the round trips read hundreds of megabytes of WAV files.
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = f ? static_cast<std::streamoff>(f.tellg()) : 0;
    bytes b(size > 0 ? static_cast<std::size_t>(size) : 0);
    f.seekg(0);
    f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return b;
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

bytes with_zero_leader(const bytes& payload, std::size_t zeros) {
    bytes b(zeros, 0x00);
    b.push_back(0xA5);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes tap_image(int version, const bytes& data, int machine, int video, long long claimed, const std::string& prefix) {
    bytes b(prefix.begin(), prefix.end());
    for (char c : std::string("TAPE-RAW")) b.push_back(static_cast<std::uint8_t>(c));
    const auto length = static_cast<std::uint32_t>(claimed < 0 ? static_cast<long long>(data.size()) : claimed);
    b.insert(b.end(), {static_cast<std::uint8_t>(version), static_cast<std::uint8_t>(machine),
                       static_cast<std::uint8_t>(video), 0});
    for (int shift = 0; shift < 32; shift += 8) b.push_back(static_cast<std::uint8_t>(length >> shift));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

wav_info read_wav(const std::string& path) {
    const bytes b = read_file(path);
    wav_info w;
    EXPECT_GE(b.size(), 44u) << path;
    if (b.size() < 44) return w;
    EXPECT_EQ(0, std::memcmp(b.data(), "RIFF", 4));
    EXPECT_EQ(0, std::memcmp(b.data() + 8, "WAVEfmt ", 8));
    EXPECT_EQ(16u, le32(b, 16));
    EXPECT_EQ(1u, le16(b, 20));
    EXPECT_EQ(0, std::memcmp(b.data() + 36, "data", 4));
    w.riff_size = le32(b, 4);
    w.channels = le16(b, 22);
    w.sample_rate = le32(b, 24);
    w.byte_rate = le32(b, 28);
    w.block_align = le16(b, 32);
    w.bits = le16(b, 34);
    w.data_size = le32(b, 40);
    w.samples.assign(b.begin() + 44, b.end());
    return w;
}

std::string corpus_dir() {
    const std::string dir = KORVAX_CORPUS;
    return std::filesystem::is_directory(dir) ? dir : std::string();
}

std::vector<std::string> corpus_files(const std::string& prefix) {
    std::vector<std::string> files;
    const std::string dir = corpus_dir();
    if (dir.empty()) return files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind(prefix, 0) == 0) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace korvax_test

#include <cstdio>

#include "driver/korvax.h"
#include "output/filter.h"
#include "output/wav.h"

namespace korvax_test {

std::vector<int> raw_levels(int format, const bytes& image, unsigned rate, std::uint8_t gain) {
    scratch_dir dir;
    const std::string in_path = dir.write("image", image);
    const std::string out_path = dir.path("out");
    korvax::settings = korvax::run_settings{};
    korvax::settings.p_gain = gain;
    korvax::machine = korvax::machine_timing{};
    korvax::machine.format_index = format;
    korvax::wav_set_sample_freq(static_cast<int>(rate));
    korvax::filter.hpc = 1.0;
    korvax::filter.hp_accu = 0.0;
    const korvax::tape_format& f = *korvax::tape_format_registry.at(static_cast<std::size_t>(format));
    if (f.analyze_loads_image) f.analyze(in_path.c_str());
    f.init();
    std::FILE* in = std::fopen(in_path.c_str(), "rb");
    {
        korvax::wav_file out;
        korvax::wav_open(out, ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), out_path);
        f.convert(in, out);
        korvax::wav_flush(out);
    }
    std::fclose(in);
    std::vector<int> levels;
    for (std::uint8_t b : read_file(out_path)) levels.push_back(int{b} - 128);
    return levels;
}

void add_run(runs& r, int level, std::size_t count) {
    if (!r.empty() && r.back().first == level)
        r.back().second += count;
    else
        r.emplace_back(level, count);
}

runs level_runs(const std::vector<int>& levels) {
    runs r;
    for (int s : levels) add_run(r, s, 1);
    return r;
}

runs repeat(const runs& unit, int times) {
    runs r;
    for (int i = 0; i < times; ++i)
        for (auto [level, count] : unit) add_run(r, level, count);
    return r;
}

}  // namespace korvax_test

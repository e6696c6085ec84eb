#include "support/run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "driver/korvax.h"
#include "output/filter.h"
#include "output/wav.h"

namespace korvax_test {

namespace {

// envp null: the child inherits this process's environment.
result run_with_env(const std::vector<std::string>& args, char* const* envp) {
    // Standard output and error go to files, which cannot fill up and block
    // the child as pipes could.
    const scratch_dir dir;
    const std::string out = dir.path("stdout"), err = dir.path("stderr");
    std::vector<std::string> copy = args;
    std::vector<char*> argv = {const_cast<char*>("korvax")};  // as a user's shell would name it
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT, 0600), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT, 0600), 2);
        ::execve(KORVAX_BINARY, argv.data(), envp != nullptr ? envp : environ);
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    const bytes o = read_file(out), e = read_file(err);
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), std::string(o.begin(), o.end()),
            std::string(e.begin(), e.end())};
}

}  // namespace

result run_korvax(const std::vector<std::string>& args) { return run_with_env(args, nullptr); }

result run_korvax(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> copy = env;
    std::vector<char*> envp;
    for (std::string& e : copy) envp.push_back(e.data());
    envp.push_back(nullptr);
    return run_with_env(args, envp.data());
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

bytes with_zero_leader(const bytes& payload, std::size_t zeros) { return bytes(zeros, 0x00) + bytes{0xA5} + payload; }

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
    if (b.size() < 44) {
        ADD_FAILURE() << path << " is too short for a WAV header";
        return w;
    }
    w.sample_rate = static_cast<std::uint32_t>(b[24] | b[25] << 8 | b[26] << 16 | b[27] << 24);
    w.samples.assign(b.begin() + 44, b.end());
    // The one header the program writes: 8-bit mono PCM at this rate, its
    // sizes those of this file.
    bytes header;
    const auto put = [&](std::string_view text) { header.insert(header.end(), text.begin(), text.end()); };
    const auto le = [&](std::uint32_t v, int size) {
        for (int i = 0; i < size; ++i) header.push_back(static_cast<std::uint8_t>(v >> 8 * i));
    };
    const auto n = static_cast<std::uint32_t>(w.samples.size());
    put("RIFF"), le(36 + n, 4), put("WAVEfmt "), le(16, 4), le(1, 2), le(1, 2);
    le(w.sample_rate, 4), le(w.sample_rate, 4), le(1, 2), le(8, 2), put("data"), le(n, 4);
    EXPECT_EQ(header, bytes(b.begin(), b.begin() + 44)) << path;
    return w;
}

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
    if (r.status == 0 && r.err.starts_with(head) && r.err.ends_with(tail) && r.err.size() > head.size() + tail.size())
        return r.err.substr(head.size(), r.err.size() - head.size() - tail.size());
    return "status " + std::to_string(r.status) + ": " + r.err;
}

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
    for (int i = 0; i < times; ++i) r = r + unit;
    return r;
}

}  // namespace korvax_test

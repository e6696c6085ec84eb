// How close a whole conversion comes to the cost of the filter itself.
//
// The filter's recurrence is serial in IEEE double: each sample needs the
// previous accumulator, so no bit-exact converter can spend less than one
// multiply-then-add latency per sample, plus a byte store. The floor below is
// exactly that loop with nothing else; the conversions are the library's whole
// run (options, detection, the encoder, the WAV file on disk) on two large
// images made here. Both are reported in nanoseconds per output sample, and
// the ratio says how much the rest of the program costs on top of the filter.
//
//   korvax_bench [-r repetitions] [-c CORPUS]
//                                   the benchmark, then the read-back check's
//                                   cost (-V) next to the conversion's
//   korvax_bench -w DIR             only write the images into DIR, and a
//                                   1 MB TAP image (for the comparison with
//                                   other converters and the memory check)
//
// The read-back table converts each image in a child process of its own,
// once without -V and once with it, and reports the CPU time and the peak
// memory (resident set) of each: a program file, a TAP image, a TRS-80
// image, the corpus's 26-minute T64 when CORPUS is given, and a T64 of 1,000
// one-byte programs, at 44100 and 192000 Hz.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver/convert.h"
#include "output/filter.h"
#include "output/output_file.h"
#include "output/wav.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// A small deterministic generator (xorshift64), so every run and every
// machine converts the same images.
struct noise {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    std::uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<std::uint32_t>(s >> 32);
    }
};

// A C64 PAL TAP version 1 image: the three pulse lengths of the tape loader
// (short 0x30, medium 0x42, long 0x56), with a pause of two seconds
// (1,970,496 cycles of the 985,248 Hz clock) before every 100,000th pulse,
// as between the blocks of a real tape.
bytes make_tap(int pulses) {
    constexpr std::uint32_t pause_cycles = 2 * 985'248;
    bytes data;
    data.reserve(pulses + 64);
    noise n;
    for (int i = 0; i < pulses; ++i) {
        if (i % 100'000 == 0) {
            data.push_back(0x00);
            for (int k = 0; k < 3; ++k) data.push_back(static_cast<std::uint8_t>(pause_cycles >> (8 * k)));
        }
        const std::uint32_t r = n.next() % 8;  // short pulses are the commonest
        data.push_back(r < 4 ? 0x30 : r < 6 ? 0x42 : 0x56);
    }
    bytes tap = {'C', '6', '4', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 1, 0, 0, 0};
    for (int k = 0; k < 4; ++k) tap.push_back(static_cast<std::uint8_t>(data.size() >> (8 * k)));
    tap.insert(tap.end(), data.begin(), data.end());
    return tap;
}

// A 16 KiB TRS-80 image: the leader of 256 zero bytes, the sync byte 0xA5,
// then bytes with an even mix of 0 and 1 bits.
bytes make_cas() {
    bytes cas(256, 0x00);
    cas.push_back(0xA5);
    noise n;
    while (cas.size() < 16 * 1024) cas.push_back(static_cast<std::uint8_t>(n.next()));
    return cas;
}

bytes make_bench_tap() { return make_tap(600'000); }
// About 1 MB, for the peak memory of a conversion, which holds the TAP data.
bytes make_memory_tap() { return make_tap(1'000'000); }

// A C64 program file of 40 KiB: a load address, then bytes.
bytes make_prg() {
    bytes prg = {0x01, 0x08};
    noise n;
    while (prg.size() < 40 * 1024 + 2) prg.push_back(static_cast<std::uint8_t>(n.next()));
    return prg;
}

// A T64 archive of 1,000 programs of one byte each: a header block, a pause
// and a data block each, so about half an hour of tape from 33 KB.
bytes make_t64_many() {
    constexpr unsigned count = 1000, directory = 0x40, entry = 32;
    const auto le16 = [](bytes& b, unsigned v) { b.push_back(std::uint8_t(v)), b.push_back(std::uint8_t(v >> 8)); };
    bytes t(directory, 0);
    const std::string signature = "C64S tape image file";
    std::copy(signature.begin(), signature.end(), t.begin());
    t[0x22] = t[0x24] = count & 0xFF;
    t[0x23] = t[0x25] = count >> 8;
    const unsigned data = directory + count * entry;
    for (unsigned i = 0; i < count; ++i) {
        bytes e = {1, 0x82};
        le16(e, 0xC000);
        le16(e, 0xC001);
        le16(e, 0);
        le16(e, data + i);
        le16(e, 0);
        e.resize(16, 0);
        char name[8];
        const int n = std::snprintf(name, sizeof name, "P%u", i);
        e.insert(e.end(), name, name + n);
        e.resize(entry, ' ');
        t.insert(t.end(), e.begin(), e.end());
    }
    for (unsigned i = 0; i < count; ++i) t.push_back(0x60);
    return t;
}

struct image {
    const char* label;
    const char* file;
    bytes (*make)();
};
constexpr image images[] = {
    {"TAP v1, 600,000 pulses", "bench.tap", make_bench_tap},
    {"TRS-80, 16 KiB", "bench.cas", make_cas},
};
constexpr unsigned rates[] = {44100, 192000};

void write_file(const std::string& path, const bytes& content) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!f) {
        std::fprintf(stderr, "korvax_bench: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

// Time is the CPU time of this thread, in the kernel included (the writes to
// the file): on a machine shared with others, wall time would also count
// their turns on the processor.
double cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Keeps the compiler from dropping work whose result nobody reads.
void keep(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

// The floor: the filter recurrence and the byte it stores, one sample after
// the other, into a buffer the size of the writer's, with the same hold and
// offset. The level is fixed, so the hold's branches are always predicted and
// the loop runs at the pace of the accumulator's chain.
double floor_seconds(std::uint64_t samples, unsigned rate) {
    const double hpc = korvax::filter_init(rate).hpc;
    const double x = 75;
    const double drive = (1.0 - hpc) * x;
    const std::uint8_t mask = 0;
    constexpr std::size_t size = korvax::wav_writer::buf_size;
    auto buf = std::make_unique<std::uint8_t[]>(size);
    double accu = 0.0;
    const double t0 = cpu_seconds();
    for (std::uint64_t i = 0; i < samples; ++i) {
        accu = hpc * accu + drive;
        buf[i & (size - 1)] = static_cast<std::uint8_t>(korvax::clamp_filtered(x - accu) + 128) ^ mask;
    }
    keep(buf.get());
    keep(&accu);
    return cpu_seconds() - t0;
}

// One whole conversion through the program's run function (detection, the
// encoder, the WAV file on disk), its messages discarded, into a new file as a
// user converting an image gets. (Rewriting a file in place would time the
// disk: ext4 forces a truncated and rewritten file's blocks out when it is
// closed.) Returns the run's exit status.
int convert(const std::string& in, const std::string& out, unsigned rate) {
    ::unlink(out.c_str());
    korvax::options o;
    o.sample_rate = rate;
    korvax::fd_sink sink(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666), out);
    korvax::kept_messages dropped;
    return korvax::convert(o, in, &sink, dropped);
}

// One conversion in a child process, into a new file as the command line
// writes it (through a temporary file), with or without -V: the child's CPU
// time (user and system) and peak resident memory, and its status.
struct child_run {
    int status = -1;
    double seconds = 0;
    double peak_mib = 0;
};
child_run convert_in_child(const std::string& in, const std::string& out, unsigned rate, bool verify, bool inverted) {
    ::unlink(out.c_str());
    const pid_t pid = ::fork();
    if (pid == 0) {
        korvax::options o;
        o.sample_rate = rate;
        o.verify = verify;
        o.inverted = inverted;
        const std::unique_ptr<korvax::output_file> sink = korvax::output_file::open(out);
        korvax::kept_messages dropped;
        ::_exit(sink ? korvax::convert(o, in, sink.get(), dropped) : 99);
    }
    int status = 0;
    rusage use{};
    ::wait4(pid, &status, 0, &use);
    child_run r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.seconds = double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
    r.peak_mib = double(use.ru_maxrss) / 1024;
    return r;
}

// The read-back check's cost: the best of `reps` runs each.
int readback_table(const std::string& dir, const char* corpus, int reps) {
    std::vector<std::pair<std::string, std::string>> inputs = {
        {"TRS-80, 16 KiB", dir + "/bench.cas"}, {"TAP v1, 600,000 pulses", dir + "/bench.tap"},
        {"PRG, 40 KiB", dir + "/bench.prg"}, {"T64, 1,000 programs", dir + "/many.t64"}};
    write_file(dir + "/bench.prg", make_prg());
    write_file(dir + "/many.t64", make_t64_many());
    if (corpus != nullptr) inputs.emplace_back("compunet.t64 (corpus)", std::string(corpus) + "/c64-t64-multi3-compunet.t64");
    std::printf("\n-V: CPU s of the conversion alone and with -V, best of %d runs; -V adds (x conversion);\n"
                "peak resident memory of each\n\n", reps);
    std::printf("%-24s %7s %9s %9s %8s %9s %9s\n", "image", "rate", "convert", "with -V", "adds", "peak", "peak -V");
    int failures = 0;
    for (const auto& [label, in] : inputs) {
        if (!std::filesystem::exists(in)) continue;
        for (const unsigned rate : rates) {
            child_run plain{-1, 1e9, 0}, checked{-1, 1e9, 0};
            for (int i = 0; i < reps; ++i) {
                // A TAP image of version 1 loads inverted.
                const bool inverted = in.ends_with(".tap");
                const child_run a = convert_in_child(in, dir + "/v.wav", rate, false, inverted);
                const child_run b = convert_in_child(in, dir + "/v.wav", rate, true, inverted);
                if (a.status != 0 || b.status != 0) {
                    std::printf("%-24s %7u   status %d, with -V %d\n", label.c_str(), rate, a.status, b.status);
                    ++failures;
                    break;
                }
                if (a.seconds < plain.seconds) plain = a;
                if (b.seconds < checked.seconds) checked = b;
            }
            if (plain.status != 0) continue;
            std::printf("%-24s %7u %9.3f %9.3f %8.2f %7.1f M %7.1f M\n", label.c_str(), rate, plain.seconds,
                        checked.seconds, (checked.seconds - plain.seconds) / plain.seconds, plain.peak_mib,
                        checked.peak_mib);
        }
    }
    return failures;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 7;
    const char* image_dir = nullptr;
    const char* corpus = nullptr;
    for (int c; (c = ::getopt(argc, argv, "r:w:c:")) != -1;) {
        if (c == 'r') reps = std::max(1, std::atoi(optarg));
        else if (c == 'w') image_dir = optarg;
        else if (c == 'c') corpus = optarg;
        else {
            std::fprintf(stderr, "usage: korvax_bench [-r repetitions] [-c corpus] [-w image_dir]\n");
            return 1;
        }
    }
    if (image_dir != nullptr) {
        for (const image& im : images) write_file(std::string(image_dir) + "/" + im.file, im.make());
        write_file(std::string(image_dir) + "/memory.tap", make_memory_tap());
        return 0;
    }

    char dir_template[] = "/tmp/korvax-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dir_template);
    const std::string out = dir + "/out.wav";

    // Each conversion is paired with a floor run of the same number of
    // samples right before it, and the ratio is taken within each pair, so
    // that what a neighbour's load does to caches and clocks hits both alike.
    std::printf("korvax_bench: %d runs each; CPU ns per output sample, best of the runs;\n"
                "ratio = conversion / floor, median over the runs of the ratio of each pair\n\n",
                reps);
    std::printf("%-24s %7s %10s %8s %8s %7s %7s\n", "image", "rate", "samples", "floor", "korvax",
                "ratio", "spread");
    int failures = 0;
    for (const image& im : images) {
        const std::string in = dir + "/" + im.file;
        write_file(in, im.make());
        for (const unsigned rate : rates) {
            if (const int status = convert(in, out, rate); status != 0) {
                std::printf("%-24s %7u   not converted (exit status %d)\n", im.label, rate, status);
                ++failures;
                continue;
            }
            const std::uint64_t samples = std::filesystem::file_size(out) - korvax::wav_header_size;
            const double per_sample = 1e9 / static_cast<double>(samples);
            std::vector<double> floor_ns, korvax_ns, ratio;
            for (int i = 0; i < reps; ++i) {
                floor_ns.push_back(floor_seconds(samples, rate) * per_sample);
                const double t0 = cpu_seconds();
                convert(in, out, rate);
                korvax_ns.push_back((cpu_seconds() - t0) * per_sample);
                ratio.push_back(korvax_ns.back() / floor_ns.back());
            }
            std::printf("%-24s %7u %10llu %8.3f %8.3f %7.2f %7.2f\n", im.label, rate,
                        static_cast<unsigned long long>(samples),
                        *std::min_element(floor_ns.begin(), floor_ns.end()),
                        *std::min_element(korvax_ns.begin(), korvax_ns.end()), median(ratio),
                        *std::max_element(ratio.begin(), ratio.end()) -
                            *std::min_element(ratio.begin(), ratio.end()));
        }
    }
    failures += readback_table(dir, corpus, std::min(reps, 3));
    std::filesystem::remove_all(dir);
    return failures == 0 ? 0 : 2;
}

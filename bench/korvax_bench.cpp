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
//   korvax_bench [-r repetitions] [-c CORPUS] [-t TABLE]
//                                   the benchmark, then the read-back check's
//                                   cost (-V) next to the conversion's, then
//                                   the reading of recordings; -t runs one
//                                   table only: convert, verify or read
//   korvax_bench -w DIR             only write the images into DIR, and a
//                                   1 MB TAP image (for the comparison with
//                                   other converters and the memory check)
//
// The read-back table converts each image in a child process of its own,
// once without -V and once with it, and reports the CPU time and the peak
// memory (resident set) of each: a program file, a TAP image, a TRS-80
// image, the corpus's 26-minute T64 when CORPUS is given, and a T64 of 1,000
// one-byte programs, at 44100 and 192000 Hz.
//
// The reading table reads recordings back into images as `korvax -i x.wav -o
// x.cas` does (the run function, the recording opened by libsndfile as the
// command line opens it, and by the program's own WAV reader as the page
// does), each in a child process of its own: the program's own WAV of a tape
// of each machine at 44100 Hz, mono, as stereo with the same samples in both
// channels (read once), and as stereo with the second channel inverted (so
// that both are surveyed and read), the C64 tape again after three minutes
// of hiss (the machine is looked for through it), ten minutes of hiss and no
// tape (every machine looks through all of it, and finds nothing: exit
// status 6), and the corpus's 26-minute T64 when CORPUS is there; the two
// recordings with hiss also as a mono MP3, which cannot be sought in. It
// reports seconds of audio per second of the child's CPU time (x real time),
// per second by the clock (the survey's readers run side by side) and its
// peak resident memory. CORPUS defaults to the folder the build was
// configured with.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/recording_file.h"
#include "driver/convert.h"
#include "driver/registry.h"
#include "output/filter.h"
#include "output/output_file.h"
#include "output/wav.h"

#ifdef KORVAX_SNDFILE
#include <sndfile.h>

#include "audio/sndfile_recording.h"
#endif

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

// A TRS-80 high-speed (1500 baud) image of 16 KiB: 256 bytes of 0x55, the
// sync byte 0x7F, then bits as they lie on tape, most significant first:
// each data byte after its 0 start bit.
bytes make_cas_fast() {
    bytes cas(256, 0x55);
    cas.push_back(0x7F);
    noise n;
    std::uint32_t bits = 0;  // waiting to be stored, `held` of them
    int held = 0;
    while (cas.size() < 16 * 1024) {
        bits = bits << 9 | (n.next() & 0xFF);  // the start bit, then the byte
        held += 9;
        for (; held >= 8; held -= 8) cas.push_back(static_cast<std::uint8_t>(bits >> (held - 8)));
    }
    return cas;
}

// A Colour Genie SYSTEM tape of 64 blocks of 256 bytes (16 KiB), with the
// emulators' text header: 0x66, 0x55, a name of six characters, each block
// 0x3C, its length (0 for 256), its load address, its bytes and the sum of
// the address and the bytes, then 0x78 and the entry address.
bytes make_cgenie() {
    const std::string header = "Colour Genie - Virtual Tape File";
    bytes t(header.begin(), header.end());
    t.insert(t.end(), {0x00, 0x66, 0x55, 'B', 'E', 'N', 'C', 'H', ' '});
    noise n;
    for (unsigned block = 0; block < 64; ++block) {
        const unsigned address = 0x5800 + block * 256;
        t.insert(t.end(), {0x3C, 0x00, std::uint8_t(address), std::uint8_t(address >> 8)});
        unsigned sum = (address & 0xFF) + (address >> 8);
        for (int i = 0; i < 256; ++i) {
            const auto b = static_cast<std::uint8_t>(n.next());
            t.push_back(b);
            sum += b;
        }
        t.push_back(std::uint8_t(sum));
    }
    t.insert(t.end(), {0x78, 0x00, 0x58});
    return t;
}

// A Homelab block of 16 KiB: a leader of 256 zero bytes, 0xA5, its name
// ending in 0x00, the load address and length (low byte first), the bytes,
// their sum and the flag 0x00 of a last block.
bytes make_htp() {
    constexpr unsigned address = 0x4000, length = 16 * 1024;
    bytes t(256, 0x00);
    t.insert(t.end(), {0xA5, 'B', 'E', 'N', 'C', 'H', 0x00, std::uint8_t(address), std::uint8_t(address >> 8),
                       std::uint8_t(length), std::uint8_t(length >> 8)});
    noise n;
    unsigned sum = 0;
    for (unsigned i = 0; i < length; ++i) {
        const auto b = static_cast<std::uint8_t>(n.next());
        t.push_back(b);
        sum += b;
    }
    t.insert(t.end(), {std::uint8_t(sum), 0x00});
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

// What a child process did: its exit status, CPU time (user and system, of
// all its threads), peak resident memory and, where timed, the time it took
// by the clock.
struct child_run {
    int status = -1;
    double seconds = 0;
    double peak_mib = 0;
    double wall = 0;
};

double clock_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// What the child `pid` did, once it has ended.
child_run waited(pid_t pid) {
    int status = 0;
    rusage use{};
    ::wait4(pid, &status, 0, &use);
    child_run r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.seconds =
        double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
    r.peak_mib = double(use.ru_maxrss) / 1024;
    return r;
}

// One conversion in a child process, into a new file as the command line
// writes it (through a temporary file), with or without -V.
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
    return waited(pid);
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

// Reading recordings back.

// The 44-byte header of the program's WAV, read from `in`, with its
// little-endian fields.
struct wav_head {
    std::uint8_t b[korvax::wav_header_size];

    explicit wav_head(std::ifstream& in) { in.read(reinterpret_cast<char*>(b), sizeof b); }
    std::uint32_t get(std::size_t at) const {
        return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
               std::uint32_t(b[at + 3]) << 24;
    }
    void put(std::size_t at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    void write(std::ofstream& out) const { out.write(reinterpret_cast<const char*>(b), sizeof b); }
};

// A mono 8-bit WAV at `rate` with no samples, to put hiss in.
bytes empty_wav(std::uint32_t rate) {
    bytes b = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16,  0,   0, 0, 1, 0,
               1,   0,   0,   0,   0,  0, 0, 0, 0,   0,   1,   0,   8,   0,   'd', 'a', 't', 'a', 0, 0, 0, 0};
    for (int k = 0; k < 4; ++k) b[24 + k] = std::uint8_t(rate >> (8 * k)), b[28 + k] = std::uint8_t(rate >> (8 * k));
    return b;
}

void written_or_exit(const std::ofstream& out, const std::string& name) {
    if (out) return;
    std::fprintf(stderr, "korvax_bench: cannot write %s\n", name.c_str());
    std::exit(1);
}

// A mono 8-bit WAV of the program's as stereo, the same sample in both
// channels (or the second inverted), copied in blocks so that the parent,
// whose memory every child starts with, stays small.
void write_stereo(const std::string& mono, const std::string& stereo, bool invert_second) {
    std::ifstream in(mono, std::ios::binary);
    std::ofstream out(stereo, std::ios::binary);
    wav_head h(in);
    const std::uint32_t data = h.get(40), rate = h.get(24);
    h.b[22] = 2;              // channels
    h.put(28, rate * 2);      // bytes per second
    h.b[32] = 2;              // bytes per frame
    h.put(40, data * 2);      // data size
    h.put(4, 36 + data * 2);  // RIFF size
    h.write(out);
    std::vector<char> block(65536), pairs(2 * block.size());
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        const auto n = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < n; ++i) {
            const auto b = static_cast<unsigned char>(block[i]);
            pairs[2 * i] = block[i];
            pairs[2 * i + 1] = invert_second ? static_cast<char>(std::min(255, 256 - b)) : block[i];
        }
        out.write(pairs.data(), static_cast<std::streamsize>(2 * n));
    }
    written_or_exit(out, stereo);
}

// The program's mono 8-bit WAV with `seconds` of tape hiss before the tape
// (about 40 dB below full scale, as a blank stretch of a real tape), so that
// the machine is looked for through the hiss first.
void put_hiss_before(const std::string& wav, double seconds) {
    const std::string tape = wav + ".tape";
    std::filesystem::rename(wav, tape);
    std::ifstream in(tape, std::ios::binary);
    std::ofstream out(wav, std::ios::binary);
    wav_head h(in);
    const auto hiss = static_cast<std::uint32_t>(seconds * h.get(24));
    const std::uint32_t data = h.get(40) + hiss;
    h.put(40, data);
    h.put(4, 36 + data);
    h.write(out);
    noise n;
    std::vector<char> block(65536);
    for (std::uint32_t done = 0; done < hiss;) {
        const std::uint32_t k = std::min<std::uint32_t>(hiss - done, static_cast<std::uint32_t>(block.size()));
        for (std::uint32_t i = 0; i < k; ++i) block[i] = static_cast<char>(128 + int(n.next() % 5) - 2);
        out.write(block.data(), k);
        done += k;
    }
    if (in.peek() != std::ifstream::traits_type::eof()) out << in.rdbuf();  // (no tape: nothing to copy)
    in.close();
    std::filesystem::remove(tape);
    written_or_exit(out, wav);
}

// The mono WAV `wav` as an MP3 (libsndfile's encoder, at its default bit
// rate), where this libsndfile writes MP3: a recording that cannot be sought
// in, so that the survey reads on through it rather than seeking.
bool write_mp3(const std::string& wav, const std::string& mp3) {
#ifdef KORVAX_SNDFILE
    SF_INFO in_info{};
    SNDFILE* in = sf_open(wav.c_str(), SFM_READ, &in_info);
    if (in == nullptr) return false;
    SF_INFO out_info{};
    out_info.samplerate = in_info.samplerate, out_info.channels = 1;
    out_info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* out = sf_format_check(&out_info) ? sf_open(mp3.c_str(), SFM_WRITE, &out_info) : nullptr;
    bool written = out != nullptr;
    std::vector<float> block(65536);
    for (sf_count_t got; written && (got = sf_read_float(in, block.data(), sf_count_t(block.size()))) > 0;)
        written = sf_write_float(out, block.data(), got) == got;
    sf_close(in);
    if (out != nullptr) written = sf_close(out) == 0 && written;
    return written;
#else
    (void)wav, (void)mp3;
    return false;
#endif
}

// How the child opens a recording: as the command line does, or as the page
// does (the program's own WAV reader).
struct opener {
    const char* name;
    korvax::recording_opener open;
};
constexpr opener openers[] = {
#ifdef KORVAX_SNDFILE
    {"sndfile", korvax::open_sndfile_recording},
#endif
    {"wav", korvax::open_wav_recording},
};

// One recording read back in a child process, into a new image file as the
// command line writes it; with `format` (a registry number, as -f gives it)
// the machine is not looked for, only that one's reader runs.
child_run read_in_child(const std::string& in, const std::string& out, korvax::recording_opener open, int format) {
    ::unlink(out.c_str());
    const double t0 = clock_seconds();
    const pid_t pid = ::fork();
    if (pid == 0) {
        korvax::options o;
        o.open_recording = open;
        o.format = format;
        const std::unique_ptr<korvax::output_file> sink = korvax::output_file::open(out);
        korvax::kept_messages dropped;
        ::_exit(sink ? korvax::convert(o, in, sink.get(), dropped) : 99);
    }
    child_run r = waited(pid);
    r.wall = clock_seconds() - t0;
    return r;
}

// The peak memory of a child that reads nothing: what every child starts with.
double empty_child_mib() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    return waited(pid).peak_mib;
}

// Each machine's tape, written by the program at 44100 Hz and read back: the
// best CPU time of `reps` runs, the best time by the clock (the survey's
// readers run side by side where there are cores for them), the highest
// peak.
int reading_table(const std::string& dir, const char* corpus, int reps) {
    struct tape_case {
        std::string label;
        std::string image;   // the image, converted to the recording read ("": none, hiss alone)
        int baud;            // -b for the conversion
        std::string kind;    // the image read back into
        const char* format;  // the machine's format, for -f
        double hiss = 0;     // seconds of hiss before the tape
    };
    write_file(dir + "/read.cas", make_cas());
    write_file(dir + "/read-fast.cas", make_cas_fast());
    write_file(dir + "/read-cgenie.cas", make_cgenie());
    write_file(dir + "/read.htp", make_htp());
    write_file(dir + "/read.prg", make_prg());
    std::vector<tape_case> cases = {
        {"TRS-80 250 baud, 16 KiB", dir + "/read.cas", 250, ".cas", "CAS"},
        {"TRS-80 500 baud, 16 KiB", dir + "/read.cas", 500, ".cas", "CAS"},
        {"TRS-80 1500 baud, 16 KiB", dir + "/read-fast.cas", 0, ".cas", "CAS"},
        {"Colour Genie, 16 KiB", dir + "/read-cgenie.cas", 0, ".cas", "CGC"},
        {"Homelab, 16 KiB", dir + "/read.htp", 0, ".htp", "HTP"},
        {"C64 PRG, 40 KiB", dir + "/read.prg", 0, ".t64", "PRG"},
        {"C64 PRG after 3 min hiss", dir + "/read.prg", 0, ".t64", "PRG", 180},
        {"10 min hiss, no tape", "", 0, ".cas", "CAS", 600},
    };
    if (corpus != nullptr && std::filesystem::exists(std::string(corpus) + "/c64-t64-multi3-compunet.t64"))
        cases.push_back(
            {"compunet.t64 (corpus)", std::string(corpus) + "/c64-t64-multi3-compunet.t64", 0, ".t64", "PRG"});
    constexpr unsigned rate = 44100;
    std::printf(
        "\nReading recordings at %u Hz: audio seconds per CPU second of the whole read (x real time),\n"
        "and per second by the clock (x clock), best of %d runs on %u cores;\n"
        "peak resident memory, highest of the runs (a child that reads nothing: %.1f M);\n"
        "-f: x real time with the machine named, so that it is not looked for;\n"
        "stereo: the same samples in both channels (read once); two: the second inverted (both read);\n"
        "mp3: mono, as MP3 (libsndfile's encoder), which cannot be sought in\n\n",
        rate, reps, std::thread::hardware_concurrency(), empty_child_mib());
    std::printf("%-26s %-7s %-8s %8s %8s %9s %9s %8s %9s\n", "tape", "layout", "opener", "audio s", "CPU s", "x real",
                "x clock", "peak", "-f");
    int failures = 0;
    for (const tape_case& c : cases) {
        const std::string mono = dir + "/read.wav", stereo = dir + "/read-stereo.wav", differ = dir + "/read-two.wav";
        korvax::options o;
        o.sample_rate = rate;
        o.baud = c.baud;
        korvax::kept_messages dropped;
        if (c.image.empty()) {
            write_file(mono, empty_wav(rate));
        } else if (const int status = korvax::convert(o, c.image, korvax::output_file::open(mono).get(), dropped);
                   status != 0) {
            std::printf("%-26s not converted (exit status %d)\n", c.label.c_str(), status);
            ++failures;
            continue;
        }
        if (c.hiss > 0) put_hiss_before(mono, c.hiss);
        write_stereo(mono, stereo, false);
        write_stereo(mono, differ, true);
        // Behind hiss, the survey goes through many stretches: also as MP3.
        const std::string mp3 = dir + "/read.mp3";
        std::filesystem::remove(mp3);
        const bool compressed = c.hiss > 0 && write_mp3(mono, mp3);
        const double audio = double(std::filesystem::file_size(mono) - korvax::wav_header_size) / rate;
        for (const auto& [layout, wav] :
             {std::pair{"mono", mono}, std::pair{"stereo", stereo}, std::pair{"two", differ}, std::pair{"mp3", mp3}})
            for (const opener& op : openers) {
                // (An MP3 only through libsndfile.)
                if (wav == mp3 && (!compressed || std::string(op.name) != "sndfile")) continue;
                child_run best{-1, 1e9, 0}, forced{-1, 1e9, 0};
                double peak = 0, wall = 1e9;
                for (int i = 0; i < reps; ++i) {
                    const child_run r = read_in_child(wav, dir + "/back" + c.kind, op.open, -1);
                    const child_run f =
                        read_in_child(wav, dir + "/back" + c.kind, op.open, korvax::format_number(c.format));
                    const int expected = c.image.empty() ? korvax::exit_image : 0;
                    if (r.status != expected || f.status != expected) {
                        best = r.status != expected ? r : f;
                        break;
                    }
                    if (r.seconds < best.seconds) best = r;
                    if (f.seconds < forced.seconds) forced = f;
                    wall = std::min(wall, r.wall);
                    peak = std::max({peak, r.peak_mib, f.peak_mib});
                }
                if (best.status != (c.image.empty() ? korvax::exit_image : 0)) {
                    std::printf("%-26s %-7s %-8s   read with exit status %d\n", c.label.c_str(), layout, op.name,
                                best.status);
                    ++failures;
                    continue;
                }
                std::printf("%-26s %-7s %-8s %8.1f %8.3f %9.0f %9.0f %6.1f M %9.0f\n", c.label.c_str(), layout, op.name,
                            audio, best.seconds, audio / best.seconds, audio / wall, peak, audio / forced.seconds);
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
    const char* corpus = KORVAX_BENCH_CORPUS;
    std::string table = "all";
    for (int c; (c = ::getopt(argc, argv, "r:w:c:t:")) != -1;) {
        if (c == 'r') reps = std::max(1, std::atoi(optarg));
        else if (c == 'w') image_dir = optarg;
        else if (c == 'c') corpus = optarg;
        else if (c == 't' &&
                 (std::string(optarg) == "convert" || std::string(optarg) == "verify" || std::string(optarg) == "read"))
            table = optarg;
        else {
            std::fprintf(stderr,
                         "usage: korvax_bench [-r repetitions] [-c corpus] [-t convert|verify|read] [-w image_dir]\n");
            return 1;
        }
    }
    if (image_dir != nullptr) {
        for (const image& im : images) write_file(std::string(image_dir) + "/" + im.file, im.make());
        write_file(std::string(image_dir) + "/memory.tap", make_memory_tap());
        return 0;
    }
    if (!std::filesystem::is_directory(corpus)) corpus = nullptr;

    char dir_template[] = "/tmp/korvax-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dir_template);
    const std::string out = dir + "/out.wav";
    int failures = 0;
    if (table == "all" || table == "convert") {
        // Each conversion is paired with a floor run of the same number of
        // samples right before it, and the ratio is taken within each pair, so
        // that what a neighbour's load does to caches and clocks hits both alike.
        std::printf(
            "korvax_bench: %d runs each; CPU ns per output sample, best of the runs;\n"
            "ratio = conversion / floor, median over the runs of the ratio of each pair\n\n",
            reps);
        std::printf("%-24s %7s %10s %8s %8s %7s %7s\n", "image", "rate", "samples", "floor", "korvax", "ratio",
                    "spread");
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
                std::printf(
                    "%-24s %7u %10llu %8.3f %8.3f %7.2f %7.2f\n", im.label, rate,
                    static_cast<unsigned long long>(samples), *std::min_element(floor_ns.begin(), floor_ns.end()),
                    *std::min_element(korvax_ns.begin(), korvax_ns.end()), median(ratio),
                    *std::max_element(ratio.begin(), ratio.end()) - *std::min_element(ratio.begin(), ratio.end()));
            }
        }
    }
    if (table == "all" || table == "verify") failures += readback_table(dir, corpus, std::min(reps, 3));
    if (table == "all" || table == "read") failures += reading_table(dir, corpus, std::min(reps, 3));
    std::filesystem::remove_all(dir);
    return failures == 0 ? 0 : 2;
}

#include "driver/korvax.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "formats/cas_trs80.h"
#include "formats/cgc.h"
#include "formats/htp.h"
#include "formats/mtap.h"
#include "output/filter.h"
#include "output/wav.h"

namespace korvax {

const std::array<const tape_format*, fmt_count> tape_format_registry = {
    &cgc_format,
    &htp_format,
    &mtap_format,
    &cas_trs80_format,
};
static_assert(tape_format_registry.size() == fmt_count);

run_settings settings;
machine_timing machine;

std::uint64_t cycles_to_samples(std::uint64_t cycles) {
    if (machine.clock_hz == 0) return 0;  // no machine selected: nothing to time
    return cycles * wave.sample_rate / machine.clock_hz;
}

int freadbyte(std::FILE* stream) {
    const int c = std::getc(stream);
    if (c == EOF) {
        std::fputs("unexpected End of File!\n", stderr);
        quit(exit_image);
    }
    return c;
}

void quit(int status) { throw exit_request{status}; }

namespace {

constexpr int min_rate = 8000;
constexpr int max_rate = 192000;

// What main keeps for one run.
struct run_state {
    std::string input_name;        // empty until -i
    std::vector<std::string> all_inputs;  // every -i of the command line
    wav_file output;               // open from -o to wav_close
    const tape_format* selected = nullptr;
};

[[noreturn]] void print_usage() {
    std::fputs(
        "\nKORVAX v1.1\n"
        "Emulator tape image to PCM wave file converter.\n"
        "\nUsage:\n"
        "korvax [options] -i <input_filename> -o <output_filename>\n"
        "\nCommand line options:\n"
        "-f <#format>    : force given format (number picked from the list above)\n"
        "-g <gain>       : gain, must be between 1 and 8 (default: 5)\n"
        "-h              : prints this text\n"
        "-n              : invert output signal (may help if output file does not load)\n"
        "-s <frequency>  : set WAV sample frequency between 8000 and 96000\n"
        "\nSupported emulator tape image formats:\n",
        stdout);
    for (int i = 0; i < fmt_count; ++i)
        std::printf("%02i - \t%s - \t%s.\n", i, tape_format_registry[i]->name,
                    tape_format_registry[i]->description);
    quit(exit_usage);
}

// A number as C's "%i" reads it (decimal, 0x hexadecimal, 0 octal, trailing
// text ignored), refused when no number can be read or when it does not fit
// in an int.
bool parse_number(const char* text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 0);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

int option_number(char option) {
    int value = 0;
    if (!parse_number(optarg, value)) {
        std::fprintf(stderr, "Error parsing argument for '-%c'.\n", option);
        quit(exit_parse);
    }
    return value;
}

// Whether two names reach the same file: the same inode when both exist
// (links, other spellings), else the same normalised path.
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    const bool ea = ::stat(a.c_str(), &sa) == 0;
    const bool eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (ea != eb) return false;
    std::error_code ec;
    const auto ca = std::filesystem::weakly_canonical(a, ec);
    if (ec) return false;
    const auto cb = std::filesystem::weakly_canonical(b, ec);
    return !ec && ca == cb;
}

// The image is read more than once (by detection, then by the conversion, and
// a Colour Genie header is read and sought back over), so a pipe, whose bytes
// are gone once read, would lose data without a word: it is refused.
void open_input(run_state& run, const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    struct stat st {};
    const bool readable = f != nullptr && ::fstat(::fileno(f), &st) == 0 && !S_ISDIR(st.st_mode);
    const bool seekable = readable && std::fseek(f, 0, SEEK_END) == 0;
    if (f != nullptr) std::fclose(f);
    if (!seekable) {
        std::fprintf(stderr, "Error opening %s.\n", path);
        if (readable) std::fputs("Input must be a file that can be read twice, not a pipe.\n", stderr);
        quit(exit_input);
    }
    run.input_name = path;
}

void open_output(run_state& run, const char* path) {
    // The input is never destroyed: an output naming any -i of the command
    // line is refused before anything is created or truncated.
    for (const std::string& input : run.all_inputs) {
        if (same_file(path, input)) {
            std::fprintf(stderr, "Error opening %s for writing.\n", path);
            std::fputs("Output file is the input file.\n", stderr);
            quit(exit_output);
        }
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "Error opening %s for writing.\n", path);
        quit(exit_output);
    }
    wav_open(run.output, fd, path);
}

constexpr const char* optstring = "?hnf:g:i:o:s:";

// Every -i of the command line, wherever it stands, without acting on any
// option.
std::vector<std::string> input_names(int argc, char** argv) {
    std::vector<std::string> names;
    opterr = 0;
    optind = 0;
    for (int c; (c = ::getopt(argc, argv, optstring)) != -1;)
        if (c == 'i') names.emplace_back(optarg);
    opterr = 1;
    optind = 0;
    return names;
}

void read_options(run_state& run, int argc, char** argv) {
    for (int c; (c = ::getopt(argc, argv, optstring)) != -1;) {
        switch (c) {
            case 's': {
                const int rate = option_number('s');
                if (rate < min_rate || rate > max_rate) {
                    std::fprintf(stderr, "Unsupported sample rate: %i.\n", rate);
                    std::fprintf(stderr, "Supported sample rates are between %i and %i.\n",
                                 min_rate, max_rate);
                    quit(exit_rate);
                }
                wav_set_sample_freq(rate);
                break;
            }
            case 'f': {
                const int index = option_number('f');
                if (index < 0 || index >= fmt_count) {
                    std::fprintf(stderr, "Illegal format index: %i.\n", index);
                    std::fprintf(stderr, "Format index must be between 0 and %i.\n",
                                 fmt_count - 1);
                }
                // Anything outside the registry asks for detection.
                settings.format_detected = (index >= 0 && index < fmt_count) ? index : fmt_count;
                break;
            }
            case 'g': {
                const int gain = option_number('g');
                if (gain < 1 || gain > 8) {
                    std::fprintf(stderr, "Illegal gain value: %i.\n", gain);
                    std::fputs("Gain must be between 1 and 8.\n", stderr);
                }
                // Used even when illegal: the low 8 bits of gain x 15.
                settings.p_gain = static_cast<std::uint8_t>(static_cast<long long>(gain) * 15);
                break;
            }
            case 'i':
                open_input(run, optarg);
                break;
            case 'o':
                open_output(run, optarg);
                break;
            case 'n':
                settings.p_inverted = 255;
                std::fputs("Inverted output signal.\n", stderr);
                break;
            default:  // -h, -?, an unknown option or a missing argument
                print_usage();
        }
    }
}

void select_format(run_state& run) {
    const char* path = run.input_name.c_str();
    machine.format_index = fmt_count;
    if (settings.format_detected == fmt_count) {
        for (const tape_format* format : tape_format_registry) {
            const int answer = format->analyze(path);
            if (answer >= 0 && answer < fmt_count) {
                std::fprintf(stderr, "Supported format detected: %s.\n",
                             tape_format_registry[answer]->description);
                machine.format_index = answer;
                run.selected = tape_format_registry[answer];
                return;
            }
        }
        return;
    }
    const tape_format* forced = tape_format_registry[settings.format_detected];
    std::fprintf(stderr, "Selected format: %s.\n", forced->description);
    if (forced->analyze_loads_image && forced->analyze(path) != settings.format_detected) return;
    machine.format_index = settings.format_detected;
    run.selected = forced;
}

void process_image(std::FILE* in, wav_file& out, const tape_format& format,
                   const std::string& input_name) {
    format.convert(in, out);
    if (std::ferror(in)) {
        std::fprintf(stderr, "Error reading %s.\n", input_name.c_str());
        quit(exit_input);
    }
}

int run_once(run_state& run, int argc, char** argv) {
    run.all_inputs = input_names(argc, argv);
    read_options(run, argc, argv);
    if (argc <= 2) print_usage();

    select_format(run);
    filter_init(wave.sample_rate);
    if (machine.format_index == fmt_count) {
        std::fputs("Unknown/unsupported tape image file.\n", stderr);
        return exit_image;
    }
    run.selected->init();

    if (run.output.fd < 0) {
        std::fputs("Error creating output file or none specified.\n", stderr);
        return exit_ok;
    }
    // Opened before the header is written, so a failure leaves the output empty.
    std::FILE* in = std::fopen(run.input_name.c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "Error opening %s.\n", run.input_name.c_str());
        return exit_input;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> input(in, std::fclose);
    wav_init(run.output);
    process_image(in, run.output, *run.selected, run.input_name);
    input.reset();
    wav_close(run.output);
    return exit_ok;
}

}  // namespace

int run(int argc, char** argv) {
    settings = run_settings{};
    machine = machine_timing{};
    wave = wav_header{};
    run_state state;
    try {
        return run_once(state, argc, argv);
    } catch (const exit_request& e) {
        return e.status;
    }
}

}  // namespace korvax

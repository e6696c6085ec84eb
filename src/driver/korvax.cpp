#include "driver/korvax.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/convert.h"
#include "driver/registry.h"
#include "output/fatal.h"
#include "output/output_file.h"

namespace korvax {
namespace {

constexpr int min_rate = 8000;
constexpr int max_rate = 192000;

// What the command line gives a run.
struct run_state {
    options settings;
    std::string input_name;               // empty until -i
    std::vector<std::string> all_inputs;  // every -i of the command line
    std::unique_ptr<output_file> output;  // ready from -o to the end of the run
};

[[noreturn]] void print_usage() {
    std::fputs(
        "\nKORVAX v1.1\n"
        "Emulator tape image to PCM wave file converter.\n"
        "\nUsage:\n"
        "korvax [options] -i <input_filename> -o <output_filename>\n"
        "\nCommand line options:\n"
        "-b <baud>       : TRS-80 speed: 250 (Level I), 500 or 1500 (default: from the image)\n"
        "-f <#format>    : force given format (number picked from the list above)\n"
        "-g <gain>       : gain, must be between 1 and 8 (default: 5)\n"
        "-h              : prints this text\n"
        "-n              : invert output signal (may help if output file does not load)\n"
        "-s <frequency>  : set WAV sample frequency between 8000 and 96000\n"
        "-V              : verify that the WAV reads back as the image (status 7 if not)\n"
        "\nSupported emulator tape image formats:\n",
        stdout);
    for (int i = 0; i < format_count; ++i)
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

// A name that cannot be opened, or a folder, is refused at once; the image's
// bytes are read when the run starts, once, so a pipe or standard input ("-")
// serves as well as a file.
void open_input(run_state& run, const char* path) {
    if (std::string_view(path) != "-") {
        // A named pipe is not opened here: its writer would take a reader
        // that comes and goes for the end of its reading.
        struct stat st {};
        bool readable = ::stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
        if (readable && !S_ISFIFO(st.st_mode)) {
            const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            readable = fd >= 0;
            if (fd >= 0) ::close(fd);
        }
        if (!readable) {
            std::fprintf(stderr, "Error opening %s.\n", path);
            quit(exit_input);
        }
    }
    run.input_name = path;
}

void open_output(run_state& run, const char* path) {
    // The input is never destroyed: an output naming any -i of the command
    // line is refused before anything is created or truncated.
    for (const std::string& input : run.all_inputs) {
        if (input != "-" && same_file(path, input)) {
            std::fprintf(stderr, "Error opening %s for writing.\n", path);
            std::fputs("Output file is the input file.\n", stderr);
            quit(exit_output);
        }
    }
    // Nothing is truncated yet: a file is replaced only by a complete WAV.
    // A later -o replaces an earlier one, whose temporary file goes.
    run.output.reset();
    run.output = output_file::open(path);
    if (!run.output) {
        std::fprintf(stderr, "Error opening %s for writing.\n", path);
        quit(exit_output);
    }
}

constexpr const char* optstring = "?hnVb:f:g:i:o:s:";

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
                run.settings.sample_rate = static_cast<std::uint32_t>(rate);
                break;
            }
            case 'f': {
                const int index = option_number('f');
                if (index < 0 || index >= format_count) {
                    std::fprintf(stderr, "Illegal format index: %i.\n", index);
                    std::fprintf(stderr, "Format index must be between 0 and %i.\n",
                                 format_count - 1);
                }
                // Anything outside the registry asks for detection.
                run.settings.format = index;
                break;
            }
            case 'g': {
                const int gain = option_number('g');
                if (gain < 1 || gain > 8) {
                    std::fprintf(stderr, "Illegal gain value: %i.\n", gain);
                    std::fputs("Gain must be between 1 and 8.\n", stderr);
                }
                // Used even when illegal: the low 8 bits of gain x 15.
                run.settings.p_gain = static_cast<std::uint8_t>(static_cast<long long>(gain) * 15);
                break;
            }
            case 'b': {
                const int baud = option_number('b');
                if (baud != 250 && baud != 500 && baud != 1500) {
                    std::fputs("Error parsing argument for '-b'.\n", stderr);
                    quit(exit_parse);
                }
                run.settings.baud = baud;
                break;
            }
            case 'i':
                open_input(run, optarg);
                break;
            case 'o':
                open_output(run, optarg);
                break;
            case 'n':
                run.settings.inverted = true;
                std::fputs("Inverted output signal.\n", stderr);
                break;
            case 'V':
                run.settings.verify = true;
                break;
            default:  // -h, -?, an unknown option or a missing argument
                print_usage();
        }
    }
}

int run_once(run_state& run, int argc, char** argv, messages& out, run_result* result) {
    run.all_inputs = input_names(argc, argv);
    read_options(run, argc, argv);
    if (argc <= 2) print_usage();
    return convert(run.settings, run.input_name, run.output.get(), out, result);
}

}  // namespace

int run(int argc, char** argv, messages& out, run_result* result, recording_opener open_recording) {
    run_state state;
    state.settings.open_recording = open_recording;
    try {
        return run_once(state, argc, argv, out, result);
    } catch (const exit_request& e) {
        if (result != nullptr) result->status = e.status;
        return e.status;
    }
}

int run(int argc, char** argv, messages& out, run_result* result) {
    return run(argc, argv, out, result, open_wav_recording);
}

int run(int argc, char** argv, recording_opener open_recording) {
    stderr_messages out;
    return run(argc, argv, out, nullptr, open_recording);
}

int run(int argc, char** argv) { return run(argc, argv, open_wav_recording); }

}  // namespace korvax

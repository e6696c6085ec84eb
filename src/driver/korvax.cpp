#include "driver/korvax.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/convert.h"
#include "driver/registry.h"
#include "driver/results.h"
#include "output/fatal.h"
#include "output/output_file.h"

namespace korvax {
namespace {

// The project's version, from CMakeLists.txt's project() line.
#ifndef KORVAX_VERSION
#error "KORVAX_VERSION is defined by the build (CMakeLists.txt)"
#endif

constexpr int min_rate = 8000;
constexpr int max_rate = 192000;

// What the command line gives a run.
struct run_state {
    explicit run_state(messages& told) : out(told) {}
    messages& out;                        // where every message of the run goes
    options settings;
    bool timetable = false;               // -t
    std::string input_name;               // empty until -i
    std::vector<std::string> all_inputs;  // every -i of the command line
    std::unique_ptr<output_file> output;  // ready from -o to the end of the run
};

// The usage text on standard output; the run ends with `status` (1 after
// -h, -? and a mistake, 0 after --help).
[[noreturn]] void print_usage(int status = exit_usage) {
    std::fputs(
        "\nKORVAX v" KORVAX_VERSION "\n"
        "Emulator tape image to PCM wave file converter.\n"
        "\nUsage:\n"
        "korvax [options] -i <input_filename> -o <output_filename>\n"
        "korvax [options] <input_filename> [<output_filename>]\n"
        "korvax [options] -i <recording> -o <image>  (reads a recorded tape back)\n"
        "\nCommand line options:\n"
        "-b <baud>       : TRS-80 speed: 250 (Level I), 500 or 1500 (default: from the image)\n"
        "-c <channel>    : the channel of a recording to read (default: the one that reads better)\n"
        "-f <#format>    : force given format (number picked from the list above)\n"
        "-g <gain>       : gain, must be between 1 and 8 (default: 5)\n"
        "-h              : prints this text\n"
        "-n              : invert output signal (may help if output file does not load)\n"
        "-s <frequency>  : set WAV sample frequency between 8000 and 192000\n"
        "-t              : print where each part of the tape starts in the WAV (m:ss.s)\n"
        "-V              : verify that the WAV reads back as the image (status 7 if not)\n"
        "--help          : prints this text (status 0)\n"
        "--version       : prints the version and the licence\n"
        "\nSupported emulator tape image formats:\n",
        stdout);
    for (int i = 0; i < format_count; ++i)
        std::printf("%02i - \t%s - \t%s.\n", i, tape_format_registry[i]->name,
                    tape_format_registry[i]->description);
    quit(status);
}

[[noreturn]] void print_version() {
    std::fputs("korvax " KORVAX_VERSION "\n"
               "Copyright (c) 2026 The KORVAX developers\n"
               "MIT licence: see the LICENSE file.\n",
               stdout);
    quit(exit_ok);
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

// -b's values, told after its error.
constexpr const char* baud_hint = "Speeds: 250, 500 or 1500.";

int option_number(messages& out, char option) {
    int value = 0;
    if (!parse_number(optarg, value)) {
        out.say("Error parsing argument for '-%c'.", option);
        if (option == 'b') out.line(baud_hint);
        quit(exit_parse);
    }
    return value;
}

// The system's reason why a file could not be opened, on a line of its own.
void print_reason(messages& out, int error) {
    if (error != 0) out.line(std::strerror(error));
}

// A name that cannot be opened, or a folder, is refused at once; the image's
// bytes are read when the run starts, once, so a pipe or standard input ("-")
// serves as well as a file.
void open_input(run_state& run, const char* path) {
    if (std::string_view(path) != "-") {
        // A named pipe is not opened here: its writer would take a reader
        // that comes and goes for the end of its reading.
        struct stat st {};
        int error = ::stat(path, &st) == 0 ? 0 : errno;
        if (error == 0 && S_ISDIR(st.st_mode)) error = EISDIR;
        if (error == 0 && !S_ISFIFO(st.st_mode)) {
            const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) error = errno;
            if (fd >= 0) ::close(fd);
        }
        if (error != 0) {
            run.out.say("Error opening %s.", path);
            print_reason(run.out, error);
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
            run.out.say("Error opening %s for writing.", path);
            run.out.line("Output file is the input file.");
            quit(exit_output);
        }
    }
    // Nothing is truncated yet: a file is replaced only by a complete WAV.
    // A later -o replaces an earlier one, whose temporary file goes.
    run.output.reset();
    errno = 0;
    run.output = output_file::open(path);
    if (!run.output) {
        // A folder is refused without a system call failing.
        struct stat st {};
        const int error = errno != 0 ? errno : (::stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? EISDIR : 0);
        run.out.say("Error opening %s for writing.", path);
        print_reason(run.out, error);
        quit(exit_output);
    }
}

// The leading '-' hands over every argument that is not an option, or an
// option's argument, in its place (as option 1), whatever POSIXLY_CORRECT says.
constexpr const char* optstring = "-?hntVb:c:f:g:i:o:s:";
constexpr int help_option = 256;  // beyond every character, so no short option's
constexpr int version_option = 257;
constexpr ::option long_options[] = {
    {"help", no_argument, nullptr, help_option},
    {"version", no_argument, nullptr, version_option},
    {nullptr, 0, nullptr, 0},
};

int next_option(int argc, char** argv) { return ::getopt_long(argc, argv, optstring, long_options, nullptr); }

// The files a command line names: every -i, whether there is an -o, and the
// names given without an option (positional names), found without acting on
// any option.
struct file_names {
    std::vector<std::string> inputs;
    bool output = false;
    std::vector<std::string> positional;
};

file_names scan_names(int argc, char** argv) {
    file_names names;
    opterr = 0;
    optind = 0;
    for (int c; (c = next_option(argc, argv)) != -1;) {
        if (c == 'i') names.inputs.emplace_back(optarg);
        if (c == 'o') names.output = true;
        if (c == 1) names.positional.emplace_back(optarg);
    }
    // Everything after "--" is a name, even when it starts with '-'.
    for (int i = optind; i < argc; ++i) names.positional.emplace_back(argv[i]);
    opterr = 1;
    optind = 0;
    return names;
}

// Positional names stand for -i and -o: the first is the image, a second the
// WAV. Used only on a command line without -i and -o, and at most two.
void check_positional(messages& out, const file_names& names) {
    const std::vector<std::string>& free = names.positional;
    if (free.empty()) return;
    if (!names.inputs.empty() || names.output) {
        out.say("Unexpected name '%s': with -i or -o on the command line, name each file with -i or -o.",
                free.front().c_str());
        print_usage();
    }
    if (free.size() > 2) {
        out.say("Too many names: '%s' comes after the image and the WAV file.", free[2].c_str());
        print_usage();
    }
}

void read_options(run_state& run, int argc, char** argv) {
    for (int c; (c = next_option(argc, argv)) != -1;) {
        switch (c) {
            case 's': {
                const int rate = option_number(run.out, 's');
                if (rate < min_rate || rate > max_rate) {
                    run.out.say("Unsupported sample rate: %i.", rate);
                    run.out.say("Supported sample rates are between %i and %i.", min_rate, max_rate);
                    quit(exit_rate);
                }
                run.settings.sample_rate = static_cast<std::uint32_t>(rate);
                break;
            }
            case 'f': {
                const int index = option_number(run.out, 'f');
                if (index < 0 || index >= format_count) {
                    run.out.say("Illegal format index: %i.", index);
                    run.out.say("Format index must be between 0 and %i.", format_count - 1);
                }
                // Anything outside the registry asks for detection.
                run.settings.format = index;
                break;
            }
            case 'g': {
                const int gain = option_number(run.out, 'g');
                if (gain < 1 || gain > 8) {
                    run.out.say("Illegal gain value: %i.", gain);
                    run.out.line("Gain must be between 1 and 8.");
                }
                // Used even when illegal: the low 8 bits of gain x 15.
                run.settings.p_gain = static_cast<std::uint8_t>(static_cast<long long>(gain) * 15);
                break;
            }
            case 'b': {
                const int baud = option_number(run.out, 'b');
                if (baud != 250 && baud != 500 && baud != 1500) {
                    run.out.line("Error parsing argument for '-b'.");
                    run.out.line(baud_hint);
                    quit(exit_parse);
                }
                run.settings.baud = baud;
                break;
            }
            case 'c': {
                const int channel = option_number(run.out, 'c');
                if (channel < 1) {
                    run.out.say("Illegal channel: %i.", channel);
                    run.out.line("Channels are counted from 1.");
                    quit(exit_parse);
                }
                run.settings.channel = channel - 1;
                break;
            }
            case 't':
                run.timetable = true;
                break;
            case 'i':
                open_input(run, optarg);
                break;
            case 'o':
                open_output(run, optarg);
                break;
            case 'n':
                run.settings.inverted = true;
                run.out.line("Inverted output signal.");
                break;
            case 'V':
                run.settings.verify = true;
                break;
            case 1:  // a positional name, opened once every option has been read
                break;
            case help_option:
                print_usage(exit_ok);
            case version_option:
                print_version();
            default:  // -h, -?, an unknown option or a missing argument
                print_usage();
        }
    }
}

int run_once(run_state& run, int argc, char** argv, messages& out, run_result* result) {
    const file_names names = scan_names(argc, argv);
    run.all_inputs = names.inputs;
    const bool positional = names.inputs.empty() && !names.output && !names.positional.empty();
    if (positional) run.all_inputs.push_back(names.positional.front());
    read_options(run, argc, argv);
    check_positional(run.out, names);
    // A lone option is not a run; a lone name is the image to identify.
    if (argc <= 2 && !positional) print_usage();
    if (positional) {
        open_input(run, names.positional[0].c_str());
        if (names.positional.size() > 1) open_output(run, names.positional[1].c_str());
    }
    run_result kept;
    run_result& r = result != nullptr ? *result : kept;
    const bool to_standard_output = run.output && run.output->name() == "-";
    const int status = convert(run.settings, run.input_name, run.output.get(), out, &r);
    if (run.timetable && (status == exit_ok || status == exit_readback))
        for (const std::string& line : timetable(r.marks, r.sample_rate)) {
            // On standard output, unless the WAV is going there.
            if (to_standard_output)
                out.line(line);
            else
                std::printf("%s\n", line.c_str());
        }
    return status;
}

}  // namespace

int run(int argc, char** argv, messages& out, run_result* result, recording_opener open_recording,
        held_recording_opener open_held) {
    run_state state(out);
    state.settings.open_recording = open_recording;
    state.settings.open_held_recording = open_held;
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

int run(int argc, char** argv, recording_opener open_recording, held_recording_opener open_held) {
    stderr_messages out;
    return run(argc, argv, out, nullptr, open_recording, open_held);
}

int run(int argc, char** argv) { return run(argc, argv, open_wav_recording); }

}  // namespace korvax

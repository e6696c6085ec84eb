// The command line as a user meets it: the real binary's exact messages,
// standard output, exit status and files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/run.h"

using namespace korvax_test;

namespace {

const std::string usage =
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
    "\nSupported emulator tape image formats:\n"
    "00 - \tCGC - \tColour Genie high level tape image format.\n"
    "01 - \tHTP - \tHomelab high level tape image.\n"
    "02 - \tMTAP - \tCommodore low level tape image.\n"
    "03 - \tCAS - \tTRS-80 Model I/VideoGenie high level tape image.\n";

const std::string trs80_detected =
    "Supported format detected: TRS-80 Model I/VideoGenie high level tape image.\n";
const std::string no_output = "Error creating output file or none specified.\n";
const std::string unknown = "Unknown/unsupported tape image file.\n";

// A detectable TRS-80 image and other fixtures, made per test. In arguments,
// "@name" stands for the path of a scratch file.
struct fixture {
    scratch_dir dir;
    fixture() {
        dir.write("game.cas", with_zero_leader({0xD3, 0xD3, 0xD3, 'K'}));
        dir.write("plain.bin", {1, 2, 3});
        ::mkdir(dir.path("folder").c_str(), 0755);
    }
    std::vector<std::string> expand(const std::vector<std::string>& args) const {
        std::vector<std::string> out;
        for (const std::string& a : args) out.push_back(a.rfind('@', 0) == 0 ? dir.path(a.substr(1)) : a);
        return out;
    }
    // "@/name" in an expected message stands for the scratch file's path.
    std::string text(const std::string& s) const {
        std::string r;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s.compare(i, 2, "@/") == 0) {
                r += dir.path(s.substr(i + 2, s.find_first_of(". \n", i + 2) - i - 2));
                i = s.find_first_of(". \n", i + 2) - 1;
            } else {
                r += s[i];
            }
        }
        return r;
    }
};

struct cli_case {
    const char* label;
    std::vector<std::string> args;
    int status;
    bool prints_usage;
    std::string err;  // "@/" stands for the scratch directory
};

class command_line : public testing::TestWithParam<cli_case> {};

TEST_P(command_line, prints_and_exits_as_documented) {
    const cli_case& c = GetParam();
    fixture fx;
    const result r = run_korvax(fx.expand(c.args));
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.prints_usage ? usage : "", r.out);
    EXPECT_EQ(fx.text(c.err), r.err);
}

const std::string bad_rate_lines = "Supported sample rates are between 8000 and 192000.\n";
const std::string bad_format_lines = "Format index must be between 0 and 3.\n";

INSTANTIATE_TEST_SUITE_P(
    cases, command_line,
    testing::Values(
        cli_case{"no_arguments", {}, 1, true, ""},
        // Options are read before the argument count is checked.
        cli_case{"lone_option", {"-n"}, 1, true, "Inverted output signal.\n"},
        cli_case{"help", {"-h", "-i", "@game.cas"}, 1, true, ""},
        cli_case{"question_mark", {"-?", "x"}, 1, true, ""},
        cli_case{"lone_argument", {"game.cas"}, 1, true, ""},
        cli_case{"unknown_option", {"-x", "y"}, 1, true, "korvax: invalid option -- 'x'\n"},
        cli_case{"missing_argument", {"-n", "-s"}, 1, true,
                 "Inverted output signal.\nkorvax: option requires an argument -- 's'\n"},
        cli_case{"rate_too_low", {"-s", "7999", "-i", "@game.cas"}, 3, false,
                 "Unsupported sample rate: 7999.\n" + bad_rate_lines},
        cli_case{"rate_too_high", {"-s", "192001"}, 3, false,
                 "Unsupported sample rate: 192001.\n" + bad_rate_lines},
        cli_case{"rate_not_a_number", {"-s", "fast"}, 2, false, "Error parsing argument for '-s'.\n"},
        cli_case{"rate_blank", {"-s", " "}, 2, false, "Error parsing argument for '-s'.\n"},
        // 4294975296 is 2^32 + 8000: it must not wrap to a valid rate.
        cli_case{"rate_past_int", {"-s", "4294975296"}, 2, false, "Error parsing argument for '-s'.\n"},
        cli_case{"gain_past_int", {"-g", "99999999999"}, 2, false, "Error parsing argument for '-g'.\n"},
        cli_case{"format_past_int", {"-f", "0x100000000"}, 2, false, "Error parsing argument for '-f'.\n"},
        cli_case{"format_not_a_number", {"-f", "x3"}, 2, false, "Error parsing argument for '-f'.\n"},
        // Accepted bounds and number syntaxes.
        cli_case{"rate_bounds", {"-s", "8000", "-s", "192000", "-s", "0x1F40", "-i", "@game.cas"}, 0,
                 false, trs80_detected + no_output},
        cli_case{"illegal_gain_goes_on", {"-g", "0", "-g", "9", "-i", "@game.cas"}, 0, false,
                 "Illegal gain value: 0.\nGain must be between 1 and 8.\n"
                 "Illegal gain value: 9.\nGain must be between 1 and 8.\n" +
                     trs80_detected + no_output},
        cli_case{"format_four_detects", {"-f", "4", "-i", "@game.cas"}, 0, false,
                 "Illegal format index: 4.\n" + bad_format_lines + trs80_detected + no_output},
        cli_case{"format_far_out_detects", {"-f", "-7", "-i", "@game.cas", "-f", "99"}, 0, false,
                 "Illegal format index: -7.\n" + bad_format_lines + "Illegal format index: 99.\n" +
                     bad_format_lines + trs80_detected + no_output},
        cli_case{"later_format_wins", {"-f", "9", "-f", "3", "-i", "@plain.bin"}, 0, false,
                 "Illegal format index: 9.\n" + bad_format_lines +
                     "Selected format: TRS-80 Model I/VideoGenie high level tape image.\n" + no_output},
        cli_case{"missing_input", {"-i", "@nothing.cas", "-n"}, 4, false, "Error opening @/nothing.cas.\n"},
        cli_case{"directory_input", {"-i", "@folder"}, 4, false, "Error opening @/folder.\n"},
        cli_case{"output_in_missing_folder", {"-o", "@none/x.wav"}, 5, false,
                 "Error opening @/none/x.wav for writing.\n"},
        cli_case{"output_is_a_folder", {"-o", "@folder"}, 5, false, "Error opening @/folder for writing.\n"},
        // Non-option arguments count but name nothing.
        cli_case{"no_options", {"game.cas", "out.wav"}, 6, false, unknown},
        cli_case{"unrecognised_image", {"-i", "@plain.bin", "-o", "@out.wav"}, 6, false, unknown},
        // Commodore images are read while being recognised; forced, a file that
        // is no TAP image is still refused.
        cli_case{"forced_commodore_non_tap", {"-f", "2", "-i", "@plain.bin", "-o", "@out.wav"}, 6,
                 false, "Selected format: Commodore low level tape image.\n" + unknown},
        // Forced with no -i, there is nothing to convert: refused before the
        // header is written.
        cli_case{"forced_without_input", {"-f", "3", "-o", "@out.wav"}, 4, false,
                 "Selected format: TRS-80 Model I/VideoGenie high level tape image.\nError opening .\n"},
        cli_case{"output_full", {"-i", "@game.cas", "-o", "/dev/full"}, 5, false,
                 trs80_detected + "Error writing /dev/full.\n"},
        cli_case{"read_error", {"-f", "3", "-i", "/proc/self/mem", "-o", "@out.wav"}, 4, false,
                 "Selected format: TRS-80 Model I/VideoGenie high level tape image.\n"
                 "Error reading /proc/self/mem.\n"}),
    [](const testing::TestParamInfo<cli_case>& info) { return std::string(info.param.label); });

TEST(command_line, second_output_gets_the_signal_first_stays_empty) {
    fixture fx;
    const result r = run_korvax(fx.expand({"-o", "@a.wav", "-i", "@game.cas", "-o", "@b.wav"}));
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(read_file(fx.dir.path("a.wav")).empty());
    EXPECT_GT(read_file(fx.dir.path("b.wav")).size(), 44u);
}

TEST(command_line, input_names_of_any_length_are_held_whole) {
    fixture fx;
    std::string dir = fx.dir.path("");
    for (int i = 0; i < 4; ++i) {  // four levels of 120 characters: a 480+ character path
        dir += std::string(120, static_cast<char>('a' + i)) + "/";
        ::mkdir(dir.c_str(), 0755);
    }
    const std::string image = dir + "GAME.CAS";
    const bytes content = read_file(fx.dir.path("game.cas"));
    fx.dir.write(image.substr(fx.dir.path("").size()), content);
    const result r = run_korvax({"-i", image, "-o", fx.dir.path("out.wav")});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(trs80_detected, r.err.substr(0, trs80_detected.size()));
}

// The input is never destroyed, whatever the order or the spelling.
TEST(command_line, refuses_to_write_over_its_input) {
    fixture fx;
    const std::string in = fx.dir.path("game.cas");
    const bytes before = read_file(in);
    ::symlink(in.c_str(), fx.dir.path("link.wav").c_str());
    const std::string dotted = fx.dir.path("folder/../game.cas");
    for (const auto& [first, second] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-i", in, "-o", in}, in},
             {{"-o", in, "-i", in}, in},
             {{"-i", in, "-o", dotted}, dotted},
             {{"-o", fx.dir.path("link.wav"), "-i", in}, fx.dir.path("link.wav")},
         }) {
        const result r = run_korvax(first);
        EXPECT_EQ(5, r.status);
        EXPECT_EQ("Error opening " + second + " for writing.\nOutput file is the input file.\n", r.err);
        EXPECT_EQ(before, read_file(in));
    }
}

}  // namespace

namespace {

// The bytes of the bundled examples, recorded once after checking the output
// by hand and kept as size and hash: any change to the filter's arithmetic,
// the rounding of a duration or the header shows here, whatever the compiler.
struct golden_case {
    const char* image;
    std::vector<std::string> options;
    std::size_t size;
    std::uint64_t fnv1a;
};

std::uint64_t fnv1a(const bytes& b) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (std::uint8_t x : b) h = (h ^ x) * 0x100000001b3u;
    return h;
}

TEST(examples, convert_to_their_recorded_bytes) {
    scratch_dir dir;
    for (const golden_case& g : {
             golden_case{"hello.cas", {}, 213507, 0x7eb31e83f45e5700u},
             golden_case{"hello.htp", {}, 147586, 0x1297ad53c78b573du},
             golden_case{"hello.cas", {"-s", "8000", "-g", "8", "-n"}, 38225, 0xc717e35953006a9fu},
             golden_case{"hello.htp", {"-s", "192000", "-g", "1"}, 650885, 0x3674ce0f2d37ebe2u},
             golden_case{"hello-cgenie.cas", {}, 87328, 0xb7dd2c2ed03703d0u},
             golden_case{"hello.tap", {}, 805890, 0x98cc9e4449b747a1u},
             golden_case{"hello.tap", {"-s", "22050", "-g", "8", "-n"}, 422012, 0x1923b5a500183890u},
         }) {
        std::vector<std::string> args = g.options;
        args.insert(args.end(), {"-i", std::string(KORVAX_EXAMPLES) + "/" + g.image, "-o", dir.path("o.wav")});
        ASSERT_EQ(0, run_korvax(args).status) << g.image;
        const bytes wav = read_file(dir.path("o.wav"));
        EXPECT_EQ(g.size, wav.size()) << g.image;
        EXPECT_EQ(g.fnv1a, fnv1a(wav)) << g.image;
    }
}

// An output named before a failure was created and stays, empty.
TEST(command_line, failed_runs_leave_the_output_empty) {
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"-o", "@out.wav", "-s", "5"},
             std::vector<std::string>{"-o", "@out.wav"},
             std::vector<std::string>{"-f", "3", "-o", "@out.wav"},
             std::vector<std::string>{"-o", "@out.wav", "-i", "@plain.bin"},
         }) {
        fixture fx;
        EXPECT_NE(0, run_korvax(fx.expand(args)).status);
        ASSERT_TRUE(file_exists(fx.dir.path("out.wav")));
        EXPECT_TRUE(read_file(fx.dir.path("out.wav")).empty());
    }
}

}  // namespace

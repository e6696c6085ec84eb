// The command line as a user meets it, and hostile input as users' files
// bring it. Every case runs the real binary and checks its exact standard
// output, standard error and status (so a sanitizer report, which would add
// to standard error, fails the case too), the size of the WAV it leaves, that
// every file it was given is byte for byte as before, and that it leaves no
// other file behind.
#include <sys/resource.h>
#include <sys/stat.h>

#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "support/run.h"

using namespace korvax_test;

namespace {

const std::string usage =
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
    "\nSupported emulator tape image formats:\n"
    "00 - \tCGC - \tColour Genie high level tape image format.\n"
    "01 - \tHTP - \tHomelab high level tape image.\n"
    "02 - \tMTAP - \tCommodore low level tape image.\n"
    "03 - \tCAS - \tTRS-80 Model I/VideoGenie high level tape image.\n"
    "04 - \tPRG - \tCommodore program file.\n";

// In arguments and expected messages, "@@" stands for the scratch folder.
// Either way the run may leave no file in the scratch folder but out.wav of a
// row that gives its size.
constexpr long long unchecked = -2;  // the output is elsewhere, or one of the row's files
constexpr long long absent = -1;     // no out.wav

struct cli_case {
    std::string label;
    std::map<std::string, bytes> files;  // scratch files, by relative name
    std::vector<std::string> args;
    int status;
    std::string err;
    long long wav_size = unchecked;  // of @@/out.wav
    std::function<void(const std::string& dir)> setup = nullptr;
    std::optional<std::string> out = std::nullopt;  // standard output: by default the usage text at status 1, else ""
    std::map<std::string, std::optional<bytes>> made = {};  // files the run makes, and their bytes where known
};

std::string replace_here(std::string s, const std::string& dir) {
    for (std::size_t at; (at = s.find("@@")) != std::string::npos;) s.replace(at, 2, dir);
    return s;
}

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        names.insert(std::filesystem::relative(e.path(), dir).string());
    return names;
}

// Runs each case and checks that it ends as documented.
void check(const std::vector<cli_case>& cases) {
    for (const cli_case& c : cases) {
        SCOPED_TRACE(c.label);
        scratch_dir scratch;
        const std::string root = std::filesystem::path(scratch.path("x")).parent_path().string();
        for (const auto& [name, content] : c.files) scratch.write(name, content);
        rlimit limit{};  // a row's setup may lower the file-size limit for its run
        ::getrlimit(RLIMIT_FSIZE, &limit);
        if (c.setup) c.setup(root);
        std::set<std::string> names = listing(root);
        if (c.wav_size >= 0) names.insert("out.wav");
        for (const auto& m : c.made) names.insert(m.first);
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(replace_here(a, root));
        const result r = run_korvax(args);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        EXPECT_EQ(names, listing(root));
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(replace_here(c.err, root), r.err);
        EXPECT_EQ(c.out.value_or(c.status == 1 ? usage : ""), r.out);
        for (const auto& [name, content] : c.files) EXPECT_EQ(content, read_file(scratch.path(name))) << name;
        if (c.wav_size >= 0) {
            EXPECT_EQ(c.wav_size, static_cast<long long>(read_file(scratch.path("out.wav")).size()));
        }
        for (const auto& [name, content] : c.made) {
            EXPECT_TRUE(!content || *content == read_file(scratch.path(name))) << name;
        }
    }
}

const std::string trs80 = "TRS-80 Model I/VideoGenie high level tape image";
const std::string commodore = "Commodore low level tape image";
const std::string unknown = "Unknown/unsupported tape image file.\n";
const std::string no_output = "Error creating output file or none specified.\n";
std::string detected(const std::string& d) { return "Supported format detected: " + d + ".\n"; }
std::string selected(const std::string& d) { return "Selected format: " + d + ".\n"; }
std::string kbytes(long long file_size) { return std::to_string((file_size - 8 + 512) / 1024) + " kbytes written.\n"; }
const std::string inverted_hint =
    "Decoders read this signal only inverted: if the machine does not load it, convert with -n.\n";

std::vector<std::string> io(const std::string& image, std::vector<std::string> options = {}) {
    return options + std::vector<std::string>{"-i", "@@/" + image, "-o", "@@/out.wav"};
}

// The smallest TRS-80 image: 184,419 bytes at 44100 Hz, 33,185 at 8000 Hz.
const std::map<std::string, bytes> game = {{"game.cas", with_zero_leader({})}};
const std::string game_ok = detected(trs80) + kbytes(184419);

TEST(command_line, options_and_bounds) {
    const std::string rates = "Supported sample rates are between 8000 and 192000.\n";
    const std::string gains = "Gain must be between 1 and 8.\n";
    const std::string speeds = "Speeds: 250, 500 or 1500.\n";
    const std::string version = "korvax " KORVAX_VERSION "\nCopyright (c) 2026 The KORVAX developers\n"
                                "MIT licence: see the LICENSE file.\n";
    check({
        {"no arguments", {}, {}, 1, ""},
        {"-h", {}, {"-h"}, 1, ""},
        // The long options act in their place, as the others do.
        {"--help", {}, {"-n", "--help", "-s", "1"}, 0, "Inverted output signal.\n", unchecked, nullptr, usage},
        {"--version", {}, {"--version"}, 0, "", unchecked, nullptr, version},
        {"--vers, as getopt_long shortens", {}, {"--vers"}, 0, "", unchecked, nullptr, version},
        // Options are read before the argument count is checked.
        {"missing argument", {}, {"-n", "-s"}, 1,
         "Inverted output signal.\nkorvax: option requires an argument -- 's'\n"},
        {"rate not a number", {}, {"-s", "fast"}, 2, "Error parsing argument for '-s'.\n"},
        // 2^32 + 8000 must not wrap to a valid rate.
        {"rate past int", {}, {"-s", "4294975296"}, 2, "Error parsing argument for '-s'.\n"},
        {"rate 8000 in octal", game, io("game.cas", {"-s", "017500"}), 0, detected(trs80) + kbytes(33185), 33185},
        {"rate 192000, the highest", game, io("game.cas", {"-s", "192000"}), 0, detected(trs80) + kbytes(810012), 810012},
        {"rate 192001 in hexadecimal", game, io("game.cas", {"-s", "0x2EE01"}), 3,
         "Unsupported sample rate: 192001.\n" + rates, absent},
        {"illegal gains go on", game, {"-g", "0", "-g", "9", "-i", "@@/game.cas"}, 0,
         "Illegal gain value: 0.\n" + gains + "Illegal gain value: 9.\n" + gains + detected(trs80) + no_output},
        {"format 5 detects", game, {"-f", "5", "-i", "@@/game.cas"}, 0,
         "Illegal format index: 5.\nFormat index must be between 0 and 4.\n" + detected(trs80) + no_output},
        // -b sets the TRS-80 speed; no other value is one.
        {"1500 baud in hexadecimal", game, io("game.cas", {"-b", "0x5DC"}), 0, detected(trs80) + kbytes(66662), 66662},
        {"250 baud", game, io("game.cas", {"-b", "250"}), 0, detected(trs80) + kbytes(324227), 324227},
        {"300 baud", game, io("game.cas", {"-b", "300"}), 2, "Error parsing argument for '-b'.\n" + speeds, absent},
        {"baud not a number", {}, {"-b", "fast"}, 2, "Error parsing argument for '-b'.\n" + speeds},
        {"baud for homelab", {{"game.htp", with_zero_leader({})}}, io("game.htp", {"-b", "500"}), 0,
         detected("Homelab high level tape image") +
             "Option -b ignored: only TRS-80 images have a choice of speed.\n" + kbytes(132698), 132698},
        {"forced, 255-byte leader", {{"game.cas", with_zero_leader({}, 255)}}, io("game.cas", {"-f", "3"}), 0,
         selected(trs80) + "Leader of 255 zero bytes.\n" + kbytes(183707), 183707},
    });
}

TEST(command_line, run_course) {
    const std::map<std::string, bytes> plain = {{"plain.bin", {1, 2, 3}}};
    const std::string mem = "Error reading /proc/self/mem.\n";
    const auto mixed = [](const std::string& name) {
        return "Unexpected name '" + name + "': with -i or -o on the command line, name each file with -i or -o.\n";
    };
    check({
        // Names without an option stand for -i and -o; an option's argument is
        // not one, and after "--" every argument is one.
        {"image and wav by position", game, {"@@/game.cas", "@@/out.wav"}, 0, game_ok, 184419},
        {"image alone by position", game, {"@@/game.cas"}, 0, detected(trs80) + no_output},
        {"names among options", game, {"-s", "8000", "@@/game.cas", "-g", "5", "@@/out.wav"}, 0,
         detected(trs80) + kbytes(33185), 33185},
        {"names after --", game, {"-n", "--", "@@/game.cas", "@@/out.wav"}, 0, "Inverted output signal.\n" + game_ok,
         184419},
        {"a third name", game, {"@@/game.cas", "@@/out.wav", "@@/more.wav"}, 1,
         "Too many names: '@@/more.wav' comes after the image and the WAV file.\n"},
        {"a name with -i", game, {"-i", "@@/game.cas", "@@/out.wav"}, 1, mixed("@@/out.wav")},
        {"a name with -o", game, {"-o", "@@/out.wav", "@@/game.cas"}, 1, mixed("@@/game.cas")},
        {"a missing image by position", {}, {"@@/nothing.cas", "@@/out.wav"}, 4,
         "Error opening @@/nothing.cas.\nNo such file or directory\n"},
        {"forced commodore, no tap", plain, io("plain.bin", {"-f", "2"}), 6, selected(commodore) + unknown, absent},
        // -i fails before later options are read.
        {"missing input", {}, {"-i", "@@/nothing.cas", "-n"}, 4,
         "Error opening @@/nothing.cas.\nNo such file or directory\n"},
        // /proc/self/mem opens and seeks, but its first page cannot be read.
        {"read error, detecting", {}, {"-i", "/proc/self/mem", "-o", "@@/out.wav"}, 4, mem},
        {"read error, trs80", {}, {"-f", "3", "-i", "/proc/self/mem", "-o", "@@/out.wav"}, 4, selected(trs80) + mem},
        {"read error, commodore", {}, {"-f", "2", "-i", "/proc/self/mem", "-o", "@@/out.wav"}, 4,
         selected(commodore) + mem, absent},
        {"folder", {}, io("dir.cas"), 4, "Error opening @@/dir.cas.\nIs a directory\n", absent,
         [](const std::string& d) { ::mkdir((d + "/dir.cas").c_str(), 0755); }},
        // The image is read once, so a pipe serves as a file does.
        {"pipe", {}, io("fifo.cas"), 0, game_ok, 184419,
         [](const std::string& d) {
             ::mkfifo((d + "/fifo.cas").c_str(), 0600);
             if (::fork() == 0) {
                 const bytes b = with_zero_leader({});
                 std::ofstream((d + "/fifo.cas").c_str(), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), 257);
                 ::_exit(0);
             }
         }},
        {"standard input, empty", {}, {"-i", "-", "-o", "@@/out.wav"}, 6, "No image on standard input.\n", absent},
        // No tape image comes near 64 MiB; a recording may, and from a pipe
        // it is held whole where no temporary file can be made for it.
        {"over 64 MiB", {}, io("big.cas"), 6,
         "@@/big.cas is larger than 64 MiB, more than any tape image.\n" + unknown, absent,
         [](const std::string& d) {
             std::ofstream(d + "/big.cas").put(0);
             std::filesystem::resize_file(d + "/big.cas", 65 << 20);
         }},
        {"a piped recording over 64 MiB", {}, {"-i", "@@/fifo.wav", "-o", "@@/out.cas"}, 4,
         "@@/fifo.wav holds a recording larger than 64 MiB: save it to a file and name that with -i.\n", unchecked,
         [](const std::string& d) {
             ::setenv("TMPDIR", (d + "/none").c_str(), 1);
             ::mkfifo((d + "/fifo.wav").c_str(), 0600);
             if (::fork() == 0) {
                 std::ofstream fifo((d + "/fifo.wav").c_str(), std::ios::binary);
                 fifo << "RIFF\xff\xff\xff\xffWAVEfmt " << std::string(65 << 20, '\0');
                 ::_exit(0);
             }
         }},
        {"output a folder", game, {"-i", "@@/game.cas", "-o", "@@"}, 5, "Error opening @@ for writing.\nIs a directory\n"},
        {"full device", game, {"-i", "@@/game.cas", "-o", "/dev/full"}, 5,
         detected(trs80) + "Error writing /dev/full.\n"},
    });
}

// The input is never destroyed, however the output names it.
TEST(command_line, output_is_the_input) {
    const std::string refused = "Output file is the input file.\n";
    check({
        {"hard link", game, {"-i", "@@/game.cas", "-o", "@@/hard.wav"}, 5,
         "Error opening @@/hard.wav for writing.\n" + refused, unchecked,
         [](const std::string& d) { ::link((d + "/game.cas").c_str(), (d + "/hard.wav").c_str()); }},
        // The first -i is replaced by the second, but is still an input.
        {"an earlier -i", {{"game.cas", with_zero_leader({})}, {"other.cas", {1}}},
         {"-i", "@@/game.cas", "-i", "@@/other.cas", "-o", "@@/game.cas"}, 5,
         "Error opening @@/game.cas for writing.\n" + refused},
        {"by position", game, {"@@/game.cas", "@@/./game.cas"}, 5,
         "Error opening @@/./game.cas for writing.\n" + refused},
        {"output first, another spelling", game, {"-o", "@@/./x/../game.cas", "-i", "@@/game.cas"}, 5,
         "Error opening @@/./x/../game.cas for writing.\n" + refused, unchecked,
         [](const std::string& d) { ::mkdir((d + "/x").c_str(), 0755); }},
    });
}

// A WAV from an earlier run stays as it was until a new one is complete: a
// run that fails, before or during the conversion, leaves it and no
// temporary file.
TEST(command_line, earlier_output_kept) {
    const bytes yesterday = text("RIFF, yesterday's good WAV");
    const std::map<std::string, bytes> kept = {{"out.wav", yesterday}, {"game.cas", game.at("game.cas")}};
    const std::map<std::string, bytes> plain = {{"out.wav", yesterday}, {"plain.bin", {1, 2, 3}}};
    check({
        {"named before a missing input", kept, {"-o", "@@/out.wav", "-i", "@@/typo.cas"}, 4,
         "Error opening @@/typo.cas.\nNo such file or directory\n"},
        {"usage", kept, {"-o@@/out.wav"}, 1, ""},
        {"unrecognised image", plain, io("plain.bin"), 6, unknown},
        {"file-size limit part-way", kept, io("game.cas"), 5, detected(trs80) + "Error writing @@/out.wav.\n",
         unchecked, [](const std::string&) {
             rlimit limit{};
             ::getrlimit(RLIMIT_FSIZE, &limit);
             limit.rlim_cur = 100000;
             ::setrlimit(RLIMIT_FSIZE, &limit);
         }},
        // The folder is tried before any conversion work.
        {"missing folder", game, {"-o", "@@/none/out.wav", "-i", "@@/game.cas"}, 5,
         "Error opening @@/none/out.wav for writing.\nNo such file or directory\n", absent},
        {"a second -o replaces the first", game, {"-o", "@@/first.wav", "-o", "@@/out.wav", "-i", "@@/game.cas"},
         0, game_ok, 184419},
    });
}

// A tape played back: the program's own WAV of a bundled example, at 44100
// Hz, as tape.wav; `damage` may then spoil it.
// An image named "@@/..." is one of the case's own files.
std::function<void(const std::string&)> recorded(const std::string& image, std::function<void(bytes&)> damage = nullptr,
                                                 std::vector<std::string> options = {}) {
    return [=](const std::string& dir) {
        const std::string path = image.starts_with("@@/") ? dir + image.substr(2) : std::string(KORVAX_EXAMPLES) + "/" + image;
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-i", path, "-o", dir + "/tape.wav"});
        run_korvax(args);
        if (!damage) return;
        bytes wav = read_file(dir + "/tape.wav");
        damage(wav);
        std::ofstream(dir + "/tape.wav", std::ios::binary).write(reinterpret_cast<const char*>(wav.data()), long(wav.size()));
    };
}

bytes example(const std::string& name) { return read_file(std::string(KORVAX_EXAMPLES) + "/" + name); }

// A recording read back: the report, the status, and the images written.
TEST(command_line, recordings) {
    const std::string heard = "Recording: 44100 Hz, 1 channel.\n";
    // A run that wrote `image` (as the report names it) with bytes in doubt.
    const auto in_doubt = [](const std::string& image) {
        return "Image written: @@/" + image +
               ".\nSome bytes are in doubt: re-record the stretches named above, or keep the image as it is.\n";
    };
    const std::string basic = "0:04.2 TRS-80, 500 baud: BASIC H, 37 bytes";
    const bytes hello = example("hello.cas");
    const bytes hello_back(hello.begin() + 1, hello.end());  // written with a leader of 255 zeros
    const std::string two = heard + "0:00.0 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n"
                                    "0:18.6 Commodore: program BORDER, load $C000, 10 bytes, checksums hold.\n";
    // A tape of another loader alone: a leader, then pulses of two lengths
    // no ROM block has.
    bytes turbo = text("C64-TAPE-RAW") + bytes{1, 0, 0, 0, 0x58, 0x1B, 0, 0};
    for (int i = 0; i < 7000; ++i) turbo.push_back(i < 3000 ? 0x30 : i * 7 % 3 == 0 ? 0x20 : 0x38);
    // A ROM program, then after a pause another loader's blocks: a turbo
    // game's loader and the game.
    bytes mixed = example("hello.tap");
    for (int b : {0x00, 0x40, 0x11, 0x1E}) mixed.push_back(std::uint8_t(b));  // 2 s
    for (int i = 0; i < 12000; ++i) mixed.push_back(i < 3000 ? 0x28 : i * 7 % 3 == 0 ? 0x20 : 0x38);
    for (int k = 0; k < 4; ++k) mixed[16 + std::size_t(k)] = std::uint8_t((mixed.size() - 20) >> (8 * k));
    bytes data_250(255, 0);  // two bytes of data at 250 baud, the last a zero
    for (int b : {0xA5, 0x42, 0x00}) data_250.push_back(std::uint8_t(b));
    // Two Homelab blocks, the first after 0xA4 where its sync byte belongs:
    // its leader ends in no sync byte, and the block is lost.
    const bytes lost = {'L', 'O', 'S', 'T', 0, 0x00, 0x50, 4, 0, 0x5A, 0x5A, 0x5A, 0x5A, 0x68, 0xD8},
                kept = {'K', 0, 0x16, 0x40, 2, 0, 0x10, 0x20, 0x30, 0x00};
    const bytes lost_htp = bytes(256, 0) + bytes{0xA4} + lost + bytes(128, 0) + bytes{0xA5} + kept;
    bytes lost_cas = hello_back;  // ... and two TRS-80 programs so, at 500 and at 1500 baud
    lost_cas[255] = 0xA4;
    lost_cas = lost_cas + hello_back;
    const bytes fast = example("hello-fast.cas");
    bytes lost_fast = fast;
    lost_fast[256] = 0x7E;
    lost_fast = lost_fast + fast;
    bytes escaped(255, 0);  // a SYSTEM tape named "A\e[2JB" of one byte
    for (int b : {0xA5, 0x55, 0x41, 0x1B, 0x5B, 0x32, 0x4A, 0x42, 0x3C, 0x01, 0x00, 0x70, 0xC9, 0x39, 0x78, 0x00, 0x70})
        escaped.push_back(std::uint8_t(b));
    const auto silence = [](bytes& wav) { std::fill(wav.begin() + 44, wav.end(), 0x80); };
    // A square wave 0.07 dB below full scale.
    const auto loud = [](bytes& wav) {
        for (auto b = wav.begin() + 44; b != wav.end(); ++b) *b = *b >= 0x80 ? 0xFF : 0x01;
    };
    // 20 ms of silence 4.4 s in, inside the program's bytes.
    const auto dropout = [](bytes& wav) { std::fill_n(wav.begin() + 44 + 4.4 * 44100, 882, 0x80); };
    // The recording stopped this many seconds in, or started this late.
    const auto resized = [](bytes& wav) {
        for (const auto& [at, size] : {std::pair{4, wav.size() - 8}, std::pair{40, wav.size() - 44}})
            for (int k = 0; k < 4; ++k) wav[std::size_t(at + k)] = std::uint8_t(size >> (8 * k));
    };
    const auto stopped = [=](double seconds) {
        return [=](bytes& wav) { wav.resize(std::size_t(44 + seconds * 44100)), resized(wav); };
    };
    const auto started = [=](std::size_t seconds) {
        return [=](bytes& wav) { wav.erase(wav.begin() + 44, wav.begin() + long(44 + seconds * 44100)), resized(wav); };
    };
    // ... or started after this many seconds of silence.
    const auto after_silence = [=](double silent, std::function<void(bytes&)> then = nullptr) {
        return [=](bytes& wav) {
            if (then) then(wav);
            wav.insert(wav.begin() + 44, std::size_t(silent * 44100), 0x80), resized(wav);
        };
    };
    // Two 8-bit mono recordings as the channels of one (the shorter padded
    // with silence).
    const auto stereo_of = [=](const bytes& left, const bytes& right) {
        bytes stereo(left.begin(), left.begin() + 44);
        for (std::size_t i = 44; i < std::max(left.size(), right.size()); ++i)
            stereo.insert(stereo.end(), {i < left.size() ? left[i] : std::uint8_t(0x80),
                                         i < right.size() ? right[i] : std::uint8_t(0x80)});
        stereo[22] = 2, stereo[28] = 0x88, stereo[29] = 0x58, stereo[30] = 0x01, stereo[32] = 2;  // 88,200 B/s
        resized(stereo);
        return stereo;
    };
    // A recording played into the second channel of a stereo input, the
    // first left silent.
    const auto second_channel = [=](std::function<void(bytes&)> then) {
        return [=](bytes& wav) {
            then(wav);
            wav = stereo_of(bytes(wav.begin(), wav.begin() + 44), wav);  // the first channel silent
        };
    };
    // The recordings of images one after the other ("": 20 s of silence).
    const auto in_turn = [=](const std::string& first, const std::vector<std::string>& then) {
        return [=](const std::string& d) {
            bytes after;
            for (const std::string& image : then) {
                if (image.empty()) {
                    after.insert(after.end(), 20 * 44100, 0x80);
                    continue;
                }
                recorded(image)(d);
                const bytes wav = read_file(d + "/tape.wav");
                after.insert(after.end(), wav.begin() + 44, wav.end());
            }
            recorded(first, [&](bytes& wav) { wav.insert(wav.end(), after.begin(), after.end()), resized(wav); })(d);
        };
    };
    // Two images' recordings as the two channels of one (a two-track tape).
    const auto two_tracks = [=](const std::string& left, const std::string& right) {
        return [=](const std::string& d) {
            recorded(right)(d);
            const bytes other = read_file(d + "/tape.wav");
            recorded(left, [&](bytes& wav) { wav = stereo_of(wav, other); })(d);
        };
    };
    // hello2.t64 recorded as out-2.prg.
    const auto as_out_2 = [](const std::string& d) {
        recorded("hello2.t64")(d);
        std::filesystem::rename(d + "/tape.wav", d + "/out-2.prg");
    };
    check({
        {"TRS-80", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 0,
         heard + basic + ".\nImage written: @@/out.cas (TRS-80 tape).\n", unchecked, recorded("hello.cas"), "",
         {{"out.cas", hello_back}}},
        {"TRS-80, to standard output", {}, {"-i", "@@/tape.wav", "-o", "-"}, 0,
         heard + basic + ".\nImage written: standard output (TRS-80 tape).\n", unchecked, recorded("hello.cas"),
         std::string(hello_back.begin(), hello_back.end())},
        {"TRS-80, checked", {}, {"-V", "@@/tape.wav", "@@/out.cas"}, 0,
         heard + basic + ".\nImage written: @@/out.cas (TRS-80 tape).\n"
                         "Read-back check: the image's own signal reads back as the image.\n",
         unchecked, recorded("hello.cas"), "", {{"out.cas", hello_back}}},
        // Played at the speed it was read at: as its bytes are no Level I
        // program's, the image alone would have it played at 500 baud.
        {"TRS-80 at 250 baud, told and checked", {{"data.cas", data_250}},
         {"-b", "250", "-V", "-i", "@@/tape.wav", "-o", "@@/out.cas"}, 0,
         heard + "0:07.3 TRS-80, 250 baud: data, 2 bytes.\nImage written: @@/out.cas (TRS-80 tape).\n"
                 "Read-back check: the image's own signal reads back as the image.\n",
         unchecked, recorded("@@/data.cas", nullptr, {"-b", "250"}), "", {{"out.cas", data_250}}},
        {"a program file", {}, {"-i", "@@/tape.wav", "-o", "@@/out.prg"}, 0,
         heard + "0:00.0 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n"
                 "Image written: @@/out.prg (program HELLO).\n",
         unchecked, recorded("hello.prg"), "", {{"out.prg", example("hello.prg")}}},
        {"a program file, with -b", {}, {"-b", "1500", "-i", "@@/tape.wav"}, 0,
         heard + "Option -b ignored: only TRS-80 tapes have a choice of speed.\n"
                 "0:00.0 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n",
         unchecked, recorded("hello.prg")},
        // Nothing found is dropped: a second program gets a name of its own.
        {"two programs", {}, {"-i", "@@/tape.wav", "-o", "@@/out.prg"}, 0,
         two + "Image written: @@/out.prg (program HELLO).\nImage written: @@/out-2.prg (program BORDER).\n", unchecked,
         recorded("hello2.t64"), "", {{"out.prg", std::nullopt}, {"out-2.prg", std::nullopt}}},
        // ... and never over the recording.
        {"two programs, the second's name the recording's", {}, {"-i", "@@/out-2.prg", "-o", "@@/out.prg"}, 5,
         two + "Error opening @@/out-2.prg for writing.\nOutput file is the input file.\n", unchecked, as_out_2},
        {"another machine's image", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 5,
         two + "Error writing @@/out.cas: a Commodore tape is written as .tap, .prg or .t64.\n", unchecked,
         recorded("hello2.t64")},
        // The first 20 s are tried for a tape first: this one's leader ends
        // just after them, too little of it left to be taken alone.
        {"a tape whose leader ends just after the first stretch tried", {}, {"-i", "@@/tape.wav"}, 0,
         heard + "0:20.1 TRS-80, 500 baud: BASIC H, 37 bytes.\n", unchecked, recorded("hello.cas", after_silence(15.9))},
        {"a dropout", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 8,
         heard + basic + ", 2 bytes in doubt (at 0:04.4).\n" + in_doubt("out.cas (TRS-80 tape)"),
         unchecked, recorded("hello.cas", dropout), "", {{"out.cas", std::nullopt}}},
        {"a TRS-80 program whose sync byte is lost", {{"lost.cas", lost_cas}}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"},
         8,
         heard + "0:04.1 TRS-80, 500 baud: program, 0 bytes, lost: no sync byte after its leader.\n"
                 "0:08.9 TRS-80, 500 baud: BASIC H, 37 bytes.\n" +
             in_doubt("out.cas (TRS-80 tape)"),
         unchecked, recorded("@@/lost.cas", nullptr, {"-f", "3"}), "", {{"out.cas", hello_back}}},
        {"a TRS-80 program at 1500 baud whose sync byte is lost", {{"lost.cas", lost_fast}},
         {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 8,
         heard + "0:01.1 TRS-80, 1500 baud: program, 0 bytes, lost: no sync byte after its leader.\n"
                 "0:02.4 TRS-80, 1500 baud: BASIC H, 37 bytes.\n" +
             in_doubt("out.cas (TRS-80 tape)"),
         unchecked, recorded("@@/lost.cas", nullptr, {"-f", "3", "-b", "1500"}), "", {{"out.cas", fast}}},
        {"a Homelab block whose sync byte is lost", {{"lost.htp", lost_htp}}, {"-i", "@@/tape.wav", "-o", "@@/out.htp"}, 8,
         heard + "0:03.0 Homelab: block, 0 bytes, lost: no sync byte after its leader.\n"
                 "0:04.7 Homelab: block K, load $4016, 2 bytes, checksums hold.\n" +
             in_doubt("out.htp (Homelab tape)"),
         unchecked, recorded("@@/lost.htp", nullptr, {"-f", "1"}), "", {{"out.htp", korvax_test::with_zero_leader(kept)}}},
        // The recording stopped after a Commodore program's header, before
        // its data block, or started after it: the blocks found are whole.
        {"a header alone", {}, {"-i", "@@/tape.wav", "-o", "@@/out.prg"}, 8,
         heard + "0:00.0 Commodore: program HELLO, load $0801, 0 bytes, no data block found, checksums hold.\n" +
             in_doubt("out.prg (program HELLO)"),
         unchecked, recorded("hello.prg", stopped(15)), "", {{"out.prg", bytes{0x01, 0x08}}}},
        {"a data block alone", {}, {"-i", "@@/tape.wav", "-o", "@@/out.prg"}, 8,
         heard + "0:00.7 Commodore: program, 37 bytes, no header found, checksums hold.\n" +
             in_doubt("out.prg (program)"),
         unchecked, recorded("hello.prg", started(14)), "", {{"out.prg", std::nullopt}}},
        {"a data block cut short", {}, {"-i", "@@/tape.wav", "-o", "@@/out.prg"}, 8,
         heard + "0:00.0 Commodore: program HELLO, load $0801, 21 bytes, cut short, a checksum fails.\n" +
             in_doubt("out.prg (program HELLO)"),
         unchecked, recorded("hello.prg", stopped(17.6)), "", {{"out.prg", std::nullopt}}},
        // ... and a Level I program's or a BASIC program's, before its end.
        {"a program cut short", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 8,
         heard + "0:07.3 TRS-80, 250 baud: Level I, load $4200, 18 bytes, cut short, a checksum fails.\n" +
             in_doubt("out.cas (TRS-80 tape)"),
         unchecked, recorded("hello-level1.cas", stopped(7.7)), "", {{"out.cas", std::nullopt}}},
        {"a BASIC program cut short", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 8,
         heard + "0:04.2 TRS-80, 500 baud: BASIC H, 28 bytes, cut short, 2 bytes in doubt (at 0:04.7).\n" +
             in_doubt("out.cas (TRS-80 tape)"),
         unchecked, recorded("hello.cas", stopped(4.7)), "", {{"out.cas", std::nullopt}}},
        {"a leader alone", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 6,
         heard + "No tape signal found in @@/tape.wav: it holds the leader of a TRS-80 tape at 500 baud (at 0:00.2), "
                 "but no program after it: the recording may stop too soon.\n",
         unchecked, recorded("hello.cas", stopped(2))},
        {"a tape at another speed than -b asks", {}, {"-b", "500", "-i", "@@/tape.wav", "-o", "@@/out.cas"}, 6,
         heard + "No tape signal found in @@/tape.wav: it holds the leader of a TRS-80 tape at 250 baud (at 0:00.3), "
                 "not one at 500 baud as -b asks: read it without -b.\n",
         unchecked, recorded("hello-level1.cas")},
        // Forced to the machine, its leader is still found at any speed.
        {"forced to the machine, at another speed than -b asks", {},
         {"-f", "3", "-b", "500", "-i", "@@/tape.wav", "-o", "@@/out.cas"}, 6,
         heard + "No tape signal found in @@/tape.wav: it holds the leader of a TRS-80 tape at 250 baud (at 0:00.3), "
                 "not one at 500 baud as -b asks: read it without -b.\n",
         unchecked, recorded("hello-level1.cas")},
        {"a Colour Genie leader alone, after 45 s of silence", {}, {"-i", "@@/tape.wav"}, 6,
         heard + "No tape signal found in @@/tape.wav: it holds the leader of a Colour Genie tape (at 0:45.0), but no "
                 "program after it: the recording may stop too soon.\n",
         unchecked, recorded("hello-cgenie.cas", after_silence(45, stopped(1)))},
        {"a Homelab leader alone, forced", {}, {"-f", "1", "-i", "@@/tape.wav"}, 6,
         heard + "No tape signal found in @@/tape.wav: it holds the leader of a Homelab tape (at 0:00.0), but no block "
                 "after it: the recording may stop too soon.\n",
         unchecked, recorded("hello.htp", stopped(1))},
        {"a Homelab leader alone, in the second channel", {}, {"-i", "@@/tape.wav"}, 6,
         "Recording: 44100 Hz, 2 channels.\nNo tape signal found in @@/tape.wav: it holds the leader of a Homelab "
         "tape (at 0:00.0), but no block after it: the recording may stop too soon.\n",
         unchecked, recorded("hello.htp", second_channel(stopped(1)))},
        // Another machine's tape is named, whether the survey saw it beside
        // the one read, or a read of what the tape leaves found it.
        {"a Homelab tape, then a TRS-80 one, which reads more", {}, {"-i", "@@/tape.wav"}, 0,
         heard + "0:07.5 TRS-80, 500 baud: BASIC H, 37 bytes.\n"
                 "The recording also holds a Homelab tape, at 0:03.0: read it with -f 1.\n",
         unchecked, in_turn("hello.htp", {"hello.cas"})},
        {"a Commodore tape, then a TRS-80 one", {}, {"-i", "@@/tape.wav"}, 0,
         heard + "0:00.0 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n"
                 "The recording also holds a TRS-80 tape, at 0:22.4: read it with -f 3.\n",
         unchecked, in_turn("hello.prg", {"hello.cas"})},
        {"a Homelab tape after a Colour Genie one, past the first stretch tried", {}, {"-i", "@@/tape.wav"}, 0,
         heard + "0:01.7 Colour Genie: SYSTEM HELLO, load $4800, 30 bytes, checksums hold.\n"
                 "The recording also holds a Homelab tape, at 0:25.0: read it with -f 1.\n",
         unchecked, in_turn("hello-cgenie.cas", {"", "hello.htp"})},
        {"a Colour Genie tape after a Homelab one, past the first stretch tried", {}, {"-i", "@@/tape.wav"}, 0,
         heard + "0:03.0 Homelab: block HELLO, load $4016, 17 bytes, checksums hold.\n"
                 "The recording also holds a Colour Genie tape, at 0:25.0: read it with -f 0.\n",
         unchecked, in_turn("hello.htp", {"", "hello-cgenie.cas"})},
        {"a Colour Genie tape between two TRS-80 ones, past the first stretch tried", {}, {"-i", "@@/tape.wav"}, 0,
         heard + basic + ".\n0:31.0 TRS-80, 500 baud: BASIC H, 37 bytes.\n"
                 "The recording also holds a Colour Genie tape, at 0:26.5: read it with -f 0.\n",
         unchecked, in_turn("hello.cas", {"", "hello-cgenie.cas", "hello.cas"})},
        {"a TRS-80 tape between two Commodore programs, past the first stretch tried", {}, {"-i", "@@/tape.wav"}, 0,
         heard + "0:00.0 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n"
                 "0:43.1 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n"
                 "The recording also holds a TRS-80 tape, at 0:42.4: read it with -f 3.\n",
         unchecked, in_turn("hello.prg", {"", "hello.cas", "hello.prg"})},
        {"a Commodore tape and a TRS-80 one, side by side", {}, {"-i", "@@/tape.wav"}, 0,
         "Recording: 44100 Hz, 2 channels.\nChannel 1 of 2 reads better.\n"
         "0:00.0 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n"
         "The recording also holds a TRS-80 tape, in channel 2, at 0:04.2: read it with -c 2.\n",
         unchecked, two_tracks("hello.prg", "hello.cas")},
        {"two TRS-80 tapes side by side", {}, {"-i", "@@/tape.wav"}, 0,
         "Recording: 44100 Hz, 2 channels.\nChannel 1 of 2 reads better.\n" + basic +
             ".\nChannel 2 holds TRS-80 tape that channel 1 does not, from 0:07.3: read it with -c 2.\n",
         unchecked, two_tracks("hello.cas", "hello-level1.cas")},
        {"another loader's tape", {{"turbo.tap", turbo}}, {"-i", "@@/tape.wav", "-o", "@@/out.tap"}, 0,
         heard + "0:00.0 Commodore: tape of another loader, 6,995 pulses.\nImage written: @@/out.tap (TAP image).\n",
         unchecked, recorded("@@/turbo.tap"), "", {{"out.tap", std::nullopt}}},
        {"another loader's tape as a program", {{"turbo.tap", turbo}}, {"-i", "@@/tape.wav", "-o", "@@/out.prg"}, 5,
         heard + "0:00.0 Commodore: tape of another loader, 6,995 pulses.\nError writing @@/out.prg: the tape holds no "
                 "program the ROM wrote; write it as .tap.\n",
         unchecked, recorded("@@/turbo.tap")},
        {"another loader's blocks after a program", {{"mixed.tap", mixed}}, {"-i", "@@/tape.wav", "-o", "@@/out.prg"},
         0,
         heard + "0:00.0 Commodore: program HELLO, load $0801, 37 bytes, checksums hold.\n"
                 "0:20.3 Commodore: blocks not read as the ROM's, 11,996 pulses.\n"
                 "Image written: @@/out.prg (program HELLO).\n"
                 "Only a .tap image keeps the blocks not read as the ROM's (from 0:20.3).\n",
         unchecked, recorded("@@/mixed.tap"), "", {{"out.prg", example("hello.prg")}}},
        // A name read from tape may hold any byte: an escape code is shown, not sent.
        {"a name with an escape code", {{"esc.cas", escaped}}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 0,
         heard + "0:04.1 TRS-80, 500 baud: SYSTEM A?[2JB, load $7000, 1 byte, checksums hold.\n"
                 "Image written: @@/out.cas (TRS-80 tape).\n",
         unchecked, recorded("@@/esc.cas"), "", {{"out.cas", escaped}}},
        {"options for writing a WAV", {}, {"-n", "-s", "22050", "-i", "@@/tape.wav"}, 0,
         "Inverted output signal.\n" + heard + "Ignored in reading a recording: -s, -n (for writing a WAV).\n" + basic +
             ".\n",
         unchecked, recorded("hello.cas")},
        // A recording piped in goes to a temporary file (here in the scratch
        // folder, whose listing shows it gone after), so it may be of any
        // length, and is read as a file would be, with the machine forced
        // too.
        {"a recording over 64 MiB, piped", {}, {"-f", "3", "-i", "@@/fifo.wav", "-o", "@@/out.cas"}, 0,
         heard + "26:04.2 TRS-80, 500 baud: BASIC H, 37 bytes.\nImage written: @@/out.cas (TRS-80 tape).\n", unchecked,
         [&](const std::string& d) {
             recorded("hello.cas", after_silence(1560))(d);
             ::setenv("TMPDIR", d.c_str(), 1);
             ::mkfifo((d + "/fifo.wav").c_str(), 0600);
             if (::fork() == 0) {
                 const bytes wav = read_file(d + "/tape.wav");
                 std::ofstream((d + "/fifo.wav").c_str(), std::ios::binary)
                     .write(reinterpret_cast<const char*>(wav.data()), long(wav.size()));
                 ::_exit(0);
             }
         },
         "", {{"out.cas", hello_back}}},
        {"silence", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 6,
         heard + "No tape signal found in @@/tape.wav: it is silent.\n", unchecked, recorded("hello.cas", silence)},
        {"forced to another machine", {}, {"-f", "2", "-i", "@@/tape.wav", "-o", "@@/out.tap"}, 6,
         heard + "No tape signal found in @@/tape.wav: it holds sound (its peak 4 dB below full scale), but no "
                 "Commodore tape signal.\n",
         unchecked, recorded("hello.cas")},
        {"forced to another machine, at full scale", {}, {"-f", "2", "-i", "@@/tape.wav"}, 6,
         heard + "No tape signal found in @@/tape.wav: it holds sound (its peak at full scale), but no Commodore tape "
                 "signal.\n",
         unchecked, recorded("hello.cas", loud)},
        {"clipped", {}, {"-i", "@@/tape.wav"}, 6,
         heard + "No tape signal found in @@/tape.wav: it is clipped: 100% of its samples are at full scale; record it at "
                 "a lower level.\n",
         unchecked, recorded("hello.cas", [](bytes& wav) { std::fill(wav.begin() + 44, wav.end(), 0x00); })},
        {"no such channel", {}, {"-c", "2", "-i", "@@/tape.wav", "-o", "@@/out.cas"}, 4,
         "Error reading @@/tape.wav: it has no channel 2.\n", unchecked, recorded("hello.cas")},
        // hello.cas at 22050 Hz through LAME 3.100 at 32 kbit/s (MPEG-2): the
        // frame count its tag gives runs 504 past what it decodes to.
        {"an MP3", {{"tape.mp3", read_file(KORVAX_TEST_DATA "/hello.mp3")}}, {"-i", "@@/tape.mp3", "-o", "@@/out.cas"},
         0, "Recording: 22050 Hz, 1 channel.\n" + basic + ".\nImage written: @@/out.cas (TRS-80 tape).\n", unchecked,
         nullptr, "", {{"out.cas", hello_back}}},
        {"cut short", {}, {"-i", "@@/tape.wav", "-o", "@@/out.cas"}, 4,
         "Error reading @@/tape.wav: it ends before the end its header gives.\n", unchecked,
         recorded("hello.cas", [](bytes& wav) { wav.resize(205000); })},
        {"a WAV with no data", {{"bad.wav", text(std::string("RIFF\x10\0\0\0WAVEfmt \x10\0\0\0\x01\0\0\0", 24))}},
         {"-i", "@@/bad.wav", "-o", "@@/out.cas"}, 4,
         "Error reading @@/bad.wav: Error in WAV file. No 'data' chunk marker.\n"},
        {"too low a rate", {{"low.wav", text(std::string("RIFF\x2c\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\xa0\x0f\0\0"
                                                      "\xa0\x0f\0\0\x01\0\x08\0data\x08\0\0\0\x80\x80\x80\x80\x80\x80\x80\x80", 52))}},
         {"-i", "@@/low.wav", "-o", "@@/out.cas"}, 6,
         "Recording: 4000 Hz, 1 channel.\nNo tape signal found in @@/low.wav: a recording at 4000 Hz cannot hold one; "
         "record at 44100 Hz (8000 at the least).\n"},
        {"channel 0", {}, {"-c", "0", "-i", "@@/tape.wav"}, 2, "Illegal channel: 0.\nChannels are counted from 1.\n",
         unchecked, recorded("hello.cas")},
        // -t tells where each part of the tape starts in the WAV written.
        {"timetable", game, io("game.cas", {"-t"}), 0, game_ok, 184419, nullptr,
         "0:00.0  lead-in\n0:00.0  leader\n0:04.2  sync\n0:04.2  end\n"},
    });
}

// The TAP header report, in the order it is read.
std::string tap_report(const std::string& machine, const std::string& video, int clock, long long length,
                       const std::string& warning = "", int version = 1) {
    return "Machine type : " + machine + "\nVideo standard : " + video + "\nTape frequency : " + std::to_string(clock) +
           "\nTAP data length : " + std::to_string(length) + "\n" + warning + "TAP version : " + std::to_string(version) +
           "\n";
}

// -V reads the WAV back and keeps it either way.
TEST(command_line, read_back) {
    const std::map<std::string, bytes> tap = {{"game.tap", tap_image(1, {0x30, 0x30})}};
    const std::string report = tap_report("C64", "PAL", 985248, 2) + detected(commodore);
    check({
        {"reads back", game, io("game.cas", {"-V"}), 0,
         game_ok + "Read-back check: 257 bytes read back, as in the image.\n", 184419},
        {"too low a rate", game, io("game.cas", {"-V", "-s", "8000"}), 7,
         detected(trs80) + kbytes(33185) + "Read-back check failed at 8000 Hz: byte 256, bit 7 at sample 33021: a gap "
         "of 7 samples, where a 0 bit is 16.3 and each half of a 1 bit 8.2.\nUse 22050 Hz or more.\n", 33185},
        {"only inverted", tap, io("game.tap", {"-V"}), 7,
         report + inverted_hint + kbytes(78) + "Read-back check failed at 44100 Hz: the first pulse starts with its low half, so every pulse is "
                  "read half a pulse out of step.\nThe signal reads back only inverted: convert with -n.\n", 78},
        {"inverted", tap, io("game.tap", {"-n", "-V"}), 0,
         "Inverted output signal.\n" + report + kbytes(78) + "Read-back check: 2 pulses read back, as in the image.\n", 78},
    });
}

// The clock a TAP header's machine and video bytes choose, its length field
// wrong both ways, and the version 2 gain warning. A pause of 1,000,000
// cycles is 44,760 samples on a C64 PAL clock.
TEST(command_line, tap_headers) {
    const bytes pause = {0x00, 0x40, 0x42, 0x0F};
    const auto row = [&](const std::string& label, const bytes& image, const std::string& report, long long samples,
                         std::vector<std::string> options = {}, const std::string& warning = "") {
        const std::string hint = warning.empty() && report.find("TAP version : 2") == std::string::npos ? inverted_hint : "";
        return cli_case{label, {{"game.tap", image}}, io("game.tap", std::move(options)), 0,
                        report + detected(commodore) + warning + hint + kbytes(44 + samples), 44 + samples};
    };
    const auto mismatch = [](long long in_file, long long claimed) {
        return "    WARNING: TAP data size (" + std::to_string(in_file) + ") doesn't match header (" +
               std::to_string(claimed) + ").\n";
    };
    std::vector<cli_case> cases = {
        row("C64 NTSC", tap_image(1, pause, 0, 1), tap_report("C64", "NTSC", 1022728, 4), 43120),
        row("VIC-20 PAL", tap_image(1, pause, 1, 0), tap_report("VIC-20", "PAL", 1108408, 4), 39787),
        row("C264 PAL", tap_image(1, pause, 2, 0), tap_report("C264", "PAL", 886720, 4), 49734),
        row("C264 NTSC", tap_image(1, pause, 2, 1), tap_report("C264", "NTSC", 894880, 4), 49280),
        row("unknown bytes are a C64 on PAL", tap_image(1, pause, 3, 2),
            tap_report("unknown", "unknown", 985248, 4), 44760),
        row("header claims less: the file's length wins", tap_image(1, pause, 0, 0, 2),
            tap_report("C64", "PAL", 985248, 2, mismatch(4, 2)), 44760),
        // Only what is in the file is played, and nothing more is allocated.
        row("20 bytes claiming 4 GB", tap_image(1, {}, 0, 0, 0xF0000000),
            tap_report("C64", "PAL", 985248, 4026531840, mismatch(0, 4026531840)) +
                "WARNING! TAP data size mismatch. Read 0 bytes, header stated 4026531840 bytes.\n"
                "         Image may not be readable.\n", 0),
        row("any prefix", tap_image(1, pause, 0, 0, -1, std::string("\0\xFF\r ", 4)),
            tap_report("C64", "PAL", 985248, 4), 44760),
        row("version 2, gain 7", tap_image(2, pause), tap_report("C64", "PAL", 985248, 4, "", 2), 44760, {"-g", "7"},
            "    WARNING: at this gain, version 2 half-waves swing between levels 80 and 57; use gain 5, 6 or "
            "8 for a signal that loads.\n"),
        row("version 2, gain 8", tap_image(2, pause), tap_report("C64", "PAL", 985248, 4, "", 2), 44760, {"-g", "8"}),
        {"version 3", {{"game.tap", tap_image(3, pause)}}, io("game.tap"), 6,
         "MTAP Version not (yet) supported, sorry!\n" + unknown},
        {"line feed in the prefix", {{"game.tap", tap_image(1, pause, 0, 0, -1, "C6\n-")}}, io("game.tap"), 6, unknown},
    };
    // Cut at every length: shorter than the signature it is no TAP image;
    // after that, the lines read so far are reported, then the end.
    const bytes whole = tap_image(1, {});
    const std::string lines[] = {"Machine type : C64\n", "Video standard : PAL\n", "Tape frequency : 985248\n"};
    for (std::size_t n = 0; n < 20; ++n) {
        std::string expected = n < 12 ? unknown : "unexpected End of File!\n";
        for (std::size_t i = std::min<std::size_t>(3, n < 13 ? 0 : n - 13); i-- > 0;) expected = lines[i] + expected;
        cases.push_back({"cut at " + std::to_string(n), {{"game.tap", bytes(whole.begin(), whole.begin() + long(n))}},
                         io("game.tap"), 6, expected, absent});
    }
    check(cases);
}

// A T64 archive: its header, 32-byte directory entries (entry type, file
// type, start, stated end, offset of the bytes, name), then `data`.
bytes t64(const std::vector<std::tuple<int, int, unsigned, unsigned, unsigned, std::string>>& entries, const bytes& data) {
    const auto le16 = [](unsigned v) { return bytes{std::uint8_t(v), std::uint8_t(v >> 8)}; };
    const bytes count = le16(unsigned(entries.size()));
    bytes b = text("C64S tape image file") + bytes(14, 0) + count + count + bytes(26, ' ');
    for (const auto& [type, file_type, start, end, offset, name] : entries)
        b = b + bytes{std::uint8_t(type), std::uint8_t(file_type)} + le16(start) + le16(end) + bytes(2, 0) +
            le16(offset) + bytes(6, 0) + text(name) + bytes(16 - name.size(), ' ');
    return b + data;
}

// Program files: their names, the top of memory, and the T64 directory's
// entries of every kind, in order.
TEST(command_line, program_files) {
    const std::string prg = "Commodore program file", head = "Program file : ";
    const auto snapshot = [](int entry) {
        return "    WARNING: T64 entry " + std::to_string(entry) + " (FREEZE) is a memory snapshot, not a program: skipped.\n";
    };
    const bytes archive = t64({{1, 0x82, 0x0801, 0xFFFF, 0xE0, "GAME"},
                               {1, 0x81, 0x1000, 0x1001, 0xE3, "NOTES"},
                               {0, 0, 0, 0, 0, ""},
                               {3, 0, 0, 0, 0xE4, "FREEZE"},
                               {1, 0x82, 0xC000, 0xC001, 0x1000, "LOST"}},
                              {1, 2, 3, 4, 5});
    check({
        {"PRG named from its file", {{"caf\xC3\xA9_and_a_long_name.prg", {0x01, 0x08, 0x60}}},
         {"-i", "@@/caf\xC3\xA9_and_a_long_name.prg"}, 0,
         head + "PRG\nProgram : CAF  AND A LONG, start $0801, end $0802\n" + detected(prg) + no_output},
        {"P00 under any name", {{"game", text("C64File") + bytes{0} + text("BORDER") + bytes(12, 0) + bytes{0x00, 0xC0, 0x60}}},
         {"-i", "@@/game"}, 0, head + "P00\nProgram : BORDER, start $C000, end $C001\n" + detected(prg) + no_output},
        {"PRG up to $FFFF", {{"top.prg", {0xFE, 0xFF, 0x00}}}, {"-i", "@@/top.prg"}, 0,
         head + "PRG\nProgram : TOP, start $FFFE, end $FFFF\n" + detected(prg) + no_output},
        {"PRG past $FFFF", {{"big.prg", bytes{0x00, 0xC0} + bytes(0x4000, 0)}}, io("big.prg"), 6,
         head + "PRG\nProgram BIG does not fit in memory: 16384 bytes from $C000 would end at $10000, past $FFFF.\n",
         absent},
        {"T64 entries of every kind", {{"game.t64", archive}}, {"-i", "@@/game.t64"}, 0,
         head + "T64\nProgram : GAME, start $0801, end $0804\n    WARNING: the T64 directory states end $FFFF.\n"
                "    WARNING: T64 entry 1 (NOTES) is not a program (types $01, $81): skipped.\n" + snapshot(3) +
             "    WARNING: T64 entry 4 (LOST) has no bytes in the file: skipped.\n" + detected(prg) + no_output},
        {"T64 of a snapshot only", {{"game.t64", t64({{3, 0, 0, 0, 0x60, "FREEZE"}}, {1, 2})}}, io("game.t64"),
         6, head + "T64\n" + snapshot(0) + unknown, absent},
    });
}

// The bytes of the bundled examples, recorded once after checking the output
// by hand and kept as size and hash: a change to the rounding of a duration,
// the header or the filter shows here, whatever the compiler. The row at
// 48000 Hz pins the filter coefficient's digits: it holds samples whose
// filtered value lies so close to a whole number that 2 pi written as 6.2832
// truncates them the other way.
std::uint64_t fnv1a(const bytes& b) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (std::uint8_t x : b) h = (h ^ x) * 0x100000001b3u;
    return h;
}

TEST(examples, convert_to_their_recorded_bytes) {
    using golden = std::tuple<std::string, korvax::options, std::size_t, std::uint64_t>;
    const auto with = [](unsigned rate, int gain, bool inverted) {
        korvax::options o;
        o.sample_rate = rate;
        o.p_gain = static_cast<std::uint8_t>(gain * 15);
        o.inverted = inverted;
        return o;
    };
    for (const auto& [image, options, size, hash] : std::vector<golden>{
             {"hello.cas", {}, 213507, 0x7eb31e83f45e5700u},
             {"hello.htp", {}, 147586, 0x1297ad53c78b573du},
             {"hello.cas", with(8000, 8, true), 38225, 0xc717e35953006a9fu},
             {"hello.cas", with(96000, 5, false), 467854, 0xa30616f7340ec52fu},
             {"hello-level1.cas", {}, 351794, 0xf695f57efee13df5u},
             {"hello-fast.cas", {}, 59655, 0x96b278f85e6ca8a8u},
             {"hello.htp", with(192000, 1, false), 650885, 0x3674ce0f2d37ebe2u},
             {"hello-cgenie.cas", {}, 87328, 0xb7dd2c2ed03703d0u},
             {"hello.tap", {}, 805890, 0x98cc9e4449b747a1u},
             {"hello.tap", with(22050, 8, true), 422012, 0x1923b5a500183890u},
             {"hello-cgenie.cas", with(48000, 8, false), 97012, 0xe596d2b44a1eea9eu},
             {"hello.prg", {}, 805890, 0x7803840241c73bb6u},
             {"hello2.t64", {}, 1603540, 0x73d24b7079cb5fb0u},
         }) {
        const std::string path = std::string(KORVAX_EXAMPLES) + "/" + image;
        const in_process r = convert_in_process({path, read_file(path)}, options);
        EXPECT_TRUE(r.status == 0 && r.wav.size() == size && fnv1a(r.wav) == hash)
            << image << " at " << options.sample_rate << " Hz, gain level " << int(options.p_gain)
            << (options.inverted ? ", inverted" : "") << ": expected " << size << " bytes, hash 0x" << std::hex << hash
            << ", got " << std::dec << r.wav.size() << " bytes, hash 0x" << std::hex << fnv1a(r.wav) << std::dec
            << ", status " << r.status << "\n" << r.err;
    }
}

// Standard output and a FIFO are written in place and a FIFO cannot seek
// back, so the header carries the true sizes from the start: the same bytes
// and messages there as in a file. The image may come from standard input.
// A reader that goes away early ends the run with status 5.
TEST(command_line, streams_the_same_bytes_to_a_pipe_and_a_fifo) {
    scratch_dir dir;
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    for (const std::string image : {"hello.cas", "hello.tap"}) {
        SCOPED_TRACE(image);
        const std::string path = std::string(KORVAX_EXAMPLES) + "/" + image;
        const result file = run_korvax({"-i", path, "-o", dir.path("o.wav")});
        const bytes wav = read_file(dir.path("o.wav"));
        const result piped = run_korvax({"-i", path, "-o", "-"});
        auto reader = std::async(std::launch::async, [&] { return read_file(fifo); });
        const result fed = run_korvax({"-i", path, "-o", fifo});
        const result from_stdin = run_korvax({"-f", "3", "-i", "-", "-o", "-"}, path);
        EXPECT_TRUE(wav == text(piped.out) && wav == reader.get());
        EXPECT_TRUE(file.status == 0 && piped.status == 0 && fed.status == 0 && file.err == piped.err &&
                    file.err == fed.err)
            << piped.err;
        if (image == "hello.cas") {
            EXPECT_TRUE(from_stdin.status == 0 && text(from_stdin.out) == wav) << from_stdin.err;
        }
    }
    auto early = std::async(std::launch::async, [&] { std::ifstream(fifo).ignore(1000); });
    const result cut = run_korvax({"-i", std::string(KORVAX_EXAMPLES) + "/hello.tap", "-o", fifo});
    EXPECT_EQ(5, cut.status);
    EXPECT_TRUE(cut.err.ends_with("convert with -n.\nError writing " + fifo + ".\n")) << cut.err;
}

}  // namespace

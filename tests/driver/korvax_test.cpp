// The command line as a user meets it, and hostile input as users' files
// bring it: truncated, mislabelled and hand-edited images, odd paths, outputs
// that cannot be written, option values at and past their bounds. Every case
// runs the real binary and checks its exact standard output, standard error
// and status (so a sanitizer report, which would add to standard error, fails
// the case too), the size of the WAV it leaves, and that every file it was
// given is byte for byte as before.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

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

// In arguments and expected messages, "@@" stands for the scratch folder.
constexpr const char* here = "@@";

constexpr long long unchecked = -2;  // the output is not looked at
constexpr long long absent = -1;     // no output file may exist

struct cli_case {
    std::string label;
    std::map<std::string, bytes> files;  // scratch files, by relative name
    std::vector<std::string> args;
    int status;
    std::string err;
    long long wav_size = unchecked;  // of @@/out.wav
    std::function<void(const std::string& dir)> setup = nullptr;
    std::vector<std::string> env = {};  // the program's whole environment, when given
    bool prints_usage = false;
};

// A row of the matrix: one behaviour or defect, tried in one or more variants.
struct cli_family {
    std::string label;
    std::vector<cli_case> cases;
};

std::string replace_here(std::string s, const std::string& dir) {
    for (std::size_t at; (at = s.find(here)) != std::string::npos;) s.replace(at, 2, dir);
    return s;
}

void check(const cli_case& c) {
    SCOPED_TRACE(c.label);
    scratch_dir scratch;
    const std::string dir = scratch.path("");
    const std::string root = dir.substr(0, dir.size() - 1);  // without its last slash
    for (const auto& [name, content] : c.files) {
        std::filesystem::create_directories(std::filesystem::path(scratch.path(name)).parent_path());
        scratch.write(name, content);
    }
    if (c.setup) c.setup(root);
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(replace_here(a, root));

    const result r = c.env.empty() ? run_korvax(args) : run_korvax(args, c.env);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(replace_here(c.err, root), r.err);
    EXPECT_EQ(c.prints_usage ? usage : "", r.out);
    for (const auto& [name, content] : c.files) EXPECT_EQ(content, read_file(scratch.path(name))) << name;
    const std::string out = scratch.path("out.wav");
    if (c.wav_size == absent) {
        EXPECT_FALSE(file_exists(out));
    } else if (c.wav_size >= 0) {
        EXPECT_EQ(c.wav_size, static_cast<long long>(read_file(out).size()));
    }
}

class cli_cases : public testing::TestWithParam<cli_family> {};

TEST_P(cli_cases, end_as_documented) {
    for (const cli_case& c : GetParam().cases) check(c);
}

// ---- What the formats write, at 44100 Hz ----

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

constexpr long long header = 44;

std::string kbytes(long long file_size) {
    return std::to_string((file_size - 8 + 512) / 1024) + " kbytes written.\n";
}

// TRS-80: a lead-in of 55,300 cycles of the 1.7472 MHz clock; a 0 bit is a
// pulse (238 cycles high, 238 low) and silence to the end of its 3,566-cycle
// cell, a 1 bit two pulses in half cells. Each run is truncated on its own.
long long trs80_size(const bytes& image, long long rate = 44100) {
    const auto samples = [rate](long long cycles) { return cycles * rate / 1747200; };
    const long long zero = 2 * samples(238) + samples(3566 - 476);
    const long long one = 2 * (2 * samples(238) + samples(3566 / 2 - 476));
    long long n = header + samples(55300);
    for (std::uint8_t b : image)
        for (int bit = 0; bit < 8; ++bit) n += (b >> bit) & 1 ? one : zero;
    return n;
}

// Homelab: an 812-sample lead-in; bits 7 to 1 are 64 samples each, bit 0 is
// 65 for a 0 and 66 for a 1.
long long homelab_size(const bytes& image) {
    long long n = header + 812;
    for (std::uint8_t b : image) n += 7 * 64 + (b & 1 ? 66 : 65);
    return n;
}

// Colour Genie: two 298-sample silences around the 255-byte leader and the
// data; every bit is 36 samples.
long long cgenie_size(std::size_t data_bytes) {
    return header + 2 * 298 + static_cast<long long>(255 + data_bytes) * 8 * 36;
}

// Commodore: two pulses of 0x30 in version 1 at 44100 Hz on a C64 PAL clock
// are 34 samples.
const bytes two_pulses = {0x30, 0x30};
constexpr long long two_pulses_size = header + 34;

const std::string trs80 = "TRS-80 Model I/VideoGenie high level tape image";
const std::string homelab = "Homelab high level tape image";
const std::string cgenie = "Colour Genie high level tape image format";
const std::string commodore = "Commodore low level tape image";
const std::string unknown = "Unknown/unsupported tape image file.\n";
std::string detected(const std::string& d) { return "Supported format detected: " + d + ".\n"; }
std::string selected(const std::string& d) { return "Selected format: " + d + ".\n"; }
const std::string no_header = "CAS file without header.\n";
const std::string leader = "Writing leader (AAh) bytes.\n";

const std::string c64_pal = "Machine type : C64\nVideo standard : PAL\n";
const std::string c64_clock = "Tape frequency : 985248\n";
const std::string eof = "unexpected End of File!\n";
// The report of a header whose length field does not match the file, and the
// warning that more was claimed than read.
std::string size_mismatch(std::uint64_t in_file, std::uint64_t claimed) {
    return "    WARNING: TAP data size (" + std::to_string(in_file) + ") doesn't match header (" +
           std::to_string(claimed) + ").\n";
}
std::string short_read(std::uint64_t read, std::uint64_t claimed) {
    return "WARNING! TAP data size mismatch. Read " + std::to_string(read) + " bytes, header stated " +
           std::to_string(claimed) + " bytes.\n         Image may not be readable.";
}

const bytes zero_leader_header = with_zero_leader({});  // 256 zero bytes and 0xA5
const std::string cgenie_text = "Colour Genie - Virtual Tape File";

std::vector<std::string> io(const std::string& image, std::vector<std::string> options = {}) {
    options.insert(options.end(), {"-i", std::string(here) + "/" + image, "-o", std::string(here) + "/out.wav"});
    return options;
}

// ---- Usage, options and the run's course ----

cli_family usage_and_options() {
    const std::map<std::string, bytes> game = {{"game.cas", with_zero_leader({0xD3, 0xD3, 0xD3, 'K'})}};
    const auto usage_case = [](const std::string& label, std::vector<std::string> args, const std::string& err) {
        cli_case c{label, {}, std::move(args), 1, err};
        c.prints_usage = true;
        return c;
    };
    const std::string gains = "Gain must be between 1 and 8.\n";
    const std::string formats = "Format index must be between 0 and 3.\n";
    const std::string none = "Error creating output file or none specified.\n";
    return {"usage_and_options",
            {
                usage_case("no arguments", {}, ""),
                // Options are read before the argument count is checked.
                usage_case("lone option", {"-n"}, "Inverted output signal.\n"),
                usage_case("help", {"-h", "-i", "game.cas"}, ""),
                usage_case("question mark", {"-?", "x"}, ""),
                usage_case("lone argument", {"game.cas"}, ""),
                usage_case("unknown option", {"-x", "y"}, "korvax: invalid option -- 'x'\n"),
                usage_case("missing argument", {"-n", "-s"},
                           "Inverted output signal.\nkorvax: option requires an argument -- 's'\n"),
                {"rate not a number", {}, {"-s", "fast"}, 2, "Error parsing argument for '-s'.\n"},
                // 2^32 + 8000 must not wrap to a valid rate.
                {"rate past int", {}, {"-s", "4294975296"}, 2, "Error parsing argument for '-s'.\n"},
                {"gain past int", {}, {"-g", "99999999999"}, 2, "Error parsing argument for '-g'.\n"},
                {"output stays after a later error", {}, {"-o", "@@/out.wav", "-s", "7999"}, 3,
                 "Unsupported sample rate: 7999.\nSupported sample rates are between 8000 and 192000.\n", 0},
                {"illegal gains go on", game, {"-g", "0", "-g", "9", "-i", "@@/game.cas"}, 0,
                 "Illegal gain value: 0.\n" + gains + "Illegal gain value: 9.\n" + gains + detected(trs80) + none},
                {"format 4 detects", game, {"-f", "4", "-i", "@@/game.cas"}, 0,
                 "Illegal format index: 4.\n" + formats + detected(trs80) + none},
                {"later format wins", {{"plain.bin", {1, 2, 3}}}, {"-f", "9", "-f", "3", "-i", "@@/plain.bin"}, 0,
                 "Illegal format index: 9.\n" + formats + selected(trs80) + none},
                // -i fails before later options are read.
                {"missing input", {}, {"-i", "@@/nothing.cas", "-n"}, 4, "Error opening @@/nothing.cas.\n"},
            }};
}

cli_family run_course() {
    const std::map<std::string, bytes> plain = {{"plain.bin", {1, 2, 3}}};
    return {"run_course",
            {
                // Non-option arguments count but name nothing.
                {"no options", {}, {"game.cas", "out.wav"}, 6, unknown},
                {"output only", {}, {"-o", "@@/out.wav"}, 6, unknown, 0},
                {"unrecognised image", plain, {"-i", "@@/plain.bin", "-o", "@@/out.wav"}, 6, unknown, 0},
                // Commodore images are read while being recognised; forced, a
                // file that is no TAP image is still refused.
                {"forced commodore, no tap", plain, {"-f", "2", "-i", "@@/plain.bin", "-o", "@@/out.wav"}, 6,
                 selected(commodore) + unknown, 0},
                // Forced with no -i there is nothing to convert: refused before
                // the header is written.
                {"forced without input", {}, {"-f", "3", "-o", "@@/out.wav"}, 4,
                 selected(trs80) + "Error opening .\n", 0},
                {"read error", {}, {"-f", "3", "-i", "/proc/self/mem", "-o", "@@/out.wav"}, 4,
                 selected(trs80) + "Error reading /proc/self/mem.\n"},
            }};
}

// ---- Truncated images: every length of the header that detection reads ----

// A TRS-80 or Homelab image cut anywhere inside its leader and sync byte is
// not recognised, and forced it plays what there is.
cli_family truncated_zero_leader(const std::string& name, const std::string& ext, const std::string& force,
                                 const std::string& description, long long (*size)(const bytes&)) {
    cli_family f{"truncated_" + name, {}};
    for (std::size_t n = 0; n < zero_leader_header.size(); ++n) {
        const bytes image(zero_leader_header.begin(), zero_leader_header.begin() + static_cast<long>(n));
        const std::string file = "game." + ext;
        const std::string at = std::to_string(n);
        f.cases.push_back({name + " cut at " + at, {{file, image}}, io(file), 6, unknown, 0});
        f.cases.push_back({name + " cut at " + at + ", forced", {{file, image}}, io(file, {"-f", force}), 0,
                           selected(description) + kbytes(size(image)), size(image)});
    }
    return f;
}

// A Colour Genie image cut inside its header text has no header: it is not
// recognised (it starts with neither the text nor 0x66 / 0xAA), and forced,
// every byte of it is data.
cli_family truncated_cgenie_text() {
    cli_family f{"truncated_cgenie_header_text", {}};
    for (std::size_t n = 0; n < cgenie_text.size(); ++n) {
        const bytes image = text(cgenie_text.substr(0, n));
        const std::string at = std::to_string(n);
        f.cases.push_back({"cut at " + at, {{"game.cas", image}}, io("game.cas"), 6, unknown, 0});
        f.cases.push_back({"cut at " + at + ", forced", {{"game.cas", image}}, io("game.cas", {"-f", "0"}), 0,
                           selected(cgenie) + no_header + leader + kbytes(cgenie_size(n)), cgenie_size(n)});
    }
    return f;
}

// A TAP image cut inside its 20-byte header: shorter than the signature it is
// not recognised; past it, the fields read so far are reported and the end of
// the file is fatal. With the header whole and the data missing, the image is
// recognised and plays nothing.
cli_family truncated_tap_header() {
    const bytes whole = tap_image(1, two_pulses, 0, 0, 2);
    cli_family f{"truncated_tap_header", {}};
    for (std::size_t n = 0; n <= 20; ++n) {
        const bytes image(whole.begin(), whole.begin() + static_cast<long>(n));
        std::string report;
        int status = 6;
        long long size = 0;
        if (n < 12) report = unknown;
        else if (n < 14) report = eof;
        else if (n == 14) report = "Machine type : C64\n" + eof;
        else if (n == 15) report = c64_pal + eof;
        else if (n < 20) report = c64_pal + c64_clock + eof;
        if (n == 20) {
            report = c64_pal + c64_clock + "TAP data length : 2\n" + size_mismatch(0, 2) + "TAP version : 1\n" +
                     short_read(0, 2);
            status = 0;
            size = header;
        }
        const std::string tail = n == 20 ? kbytes(header) : "";
        const std::string at = std::to_string(n);
        f.cases.push_back({"cut at " + at, {{"game.tap", image}}, io("game.tap"), status,
                           report + (n == 20 ? detected(commodore) : "") + tail, size});
        f.cases.push_back({"cut at " + at + ", forced", {{"game.tap", image}}, io("game.tap", {"-f", "2"}), status,
                           selected(commodore) + report + tail, size});
    }
    return f;
}

// The length field of a TAP header, wrong both ways and as large as it goes:
// reported, and only the bytes in the file are played.
cli_family tap_length_fields() {
    const auto row = [](const std::string& label, std::uint32_t claimed, const std::string& warnings) {
        return cli_case{label, {{"game.tap", tap_image(1, two_pulses, 0, 0, claimed)}}, io("game.tap"), 0,
                         c64_pal + c64_clock + "TAP data length : " + std::to_string(claimed) + "\n" + warnings +
                             detected(commodore) + kbytes(two_pulses_size),
                         two_pulses_size};
    };
    const auto more = [](std::uint32_t claimed) {
        return size_mismatch(2, claimed) + "TAP version : 1\n" + short_read(2, claimed);
    };
    return {"tap_length_fields",
            {
                row("zero", 0, size_mismatch(2, 0) + "TAP version : 1\n"),
                row("top bit set", 0x80000000u, more(0x80000000u)),
                row("largest", 0xFFFFFFFFu, more(0xFFFFFFFFu)),
                // Files under /proc report a size of 0 whatever they hold. The
                // environment is laid out as a TAP header: "ABC=" is the prefix,
                // then the signature, version 1, the 0x00 that ends the entry as
                // machine type, "Z=" as video and reserved bytes, "1234" as the
                // length. Nothing may be allocated for the wrapped size 0 - 20.
                cli_case{"size reported below the header",
                          {},
                          {"-f", "2", "-i", "/proc/self/environ", "-o", "@@/out.wav"},
                          0,
                          selected(commodore) + "Machine type : C64\nVideo standard : unknown\n" + c64_clock +
                              "TAP data length : 875770417\n" + size_mismatch(0, 875770417) + "TAP version : 1\n" +
                              short_read(0, 875770417) + kbytes(header),
                          header,
                          nullptr,
                          {"ABC=TAPE-RAW\x01", "Z=1234567890"}},
            }};
}

// ---- The right signature, then garbage ----

const bytes garbage = {0xFF, 0x00, 0xA5, 0x7E, 0x81, 0x00, 0x00, 0xC3, 0x5A, 0x01};

cli_family signature_then_garbage() {
    const bytes trs = with_zero_leader(garbage);
    // With the header text and no 0x00 after it, everything is header: only
    // the silences and the leader are played.
    const bytes cg_no_end = text(cgenie_text) + bytes{0xFF, 0x66, 0x12};
    // The byte after the header's 0x00 is dropped when it is not the sync byte.
    const bytes cg_not_sync = text(cgenie_text) + bytes{0x00} + garbage;
    return {"signature_then_garbage",
            {
                {"trs80", {{"game.cas", trs}}, io("game.cas"), 0,
                 detected(trs80) + kbytes(trs80_size(trs)), trs80_size(trs)},
                {"homelab", {{"game.htp", trs}}, io("game.htp"), 0,
                 detected(homelab) + kbytes(homelab_size(trs)), homelab_size(trs)},
                {"cgenie without the header's end", {{"game.cas", cg_no_end}}, io("game.cas"), 0,
                 detected(cgenie) + leader + kbytes(cgenie_size(0)), cgenie_size(0)},
                {"cgenie without the sync byte", {{"game.cas", cg_not_sync}}, io("game.cas"), 0,
                 detected(cgenie) + leader + kbytes(cgenie_size(garbage.size() - 1)),
                 cgenie_size(garbage.size() - 1)},
                {"tap version byte", {{"game.tap", tap_image(0xC3, two_pulses, 0, 0, 2)}}, io("game.tap"), 6,
                 "MTAP Version not (yet) supported, sorry!\n" + unknown, 0},
                // Machine and video bytes out of range: named "unknown", timed as a C64 on PAL.
                {"tap machine and video bytes", {{"game.tap", tap_image(1, two_pulses, 0xEE, 0x77, 2)}},
                 io("game.tap"), 0,
                 "Machine type : unknown\nVideo standard : unknown\n" + c64_clock + "TAP data length : 2\n"
                 "TAP version : 1\n" + detected(commodore) + kbytes(two_pulses_size),
                 two_pulses_size},
                // A TRS-80 leader one byte too long is no leader at all.
                {"257 zero bytes", {{"game.cas", bytes(257, 0) + garbage}}, io("game.cas"), 6, unknown, 0},
            }};
}

// ---- Names that are not readable image files ----

// Over PATH_MAX, so no system call takes it.
const std::string too_long = std::string(here) + "/" + std::string(5000, 'x') + ".cas";

cli_family unreadable_inputs() {
    return {"unreadable_inputs",
            {
                {"empty name", {}, {"-i", "", "-o", "@@/out.wav"}, 4, "Error opening .\n", absent},
                {"folder with an image's name", {}, io("dir.cas"), 4, "Error opening @@/dir.cas.\n", absent,
                 [](const std::string& d) { ::mkdir((d + "/dir.cas").c_str(), 0755); }},
                {"path through a file", {{"game.cas", zero_leader_header}}, {"-i", "@@/game.cas/x.cas"}, 4,
                 "Error opening @@/game.cas/x.cas.\n"},
                {"missing folder", {}, io("none/game.cas"), 4, "Error opening @@/none/game.cas.\n", absent},
                {"name past PATH_MAX", {}, {"-i", too_long, "-o", "@@/out.wav"}, 4,
                 "Error opening " + too_long + ".\n", absent},
                {"component past NAME_MAX", {}, {"-i", "@@/" + std::string(300, 'y'), "-n"}, 4,
                 "Error opening @@/" + std::string(300, 'y') + ".\n"},
                // Detection would use up a pipe's bytes before the conversion reads them.
                {"pipe", {}, {"-i", "@@/fifo", "-o", "@@/out.wav"}, 4,
                 "Error opening @@/fifo.\nInput must be a file that can be read twice, not a pipe.\n", absent,
                 [](const std::string& d) {
                     ::mkfifo((d + "/fifo").c_str(), 0600);
                     // A writer that stays open, so that opening the pipe to read does not block.
                     ::open((d + "/fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
                 }},
            }};
}

// ---- Paths of 4,000 characters and more ----

// Nested folders of 200-character names, at least `length` characters in all
// below the scratch folder, ending with a slash.
std::string deep_folder(std::size_t length) {
    std::string rel;
    for (char c = 'a'; rel.size() < length; ++c) rel += std::string(200, c) + "/";
    return rel;
}

cli_family long_paths() {
    const std::string deep = deep_folder(4000);
    const bytes image = with_zero_leader({0x42});
    const std::string in = std::string(here) + "/" + deep + "game.cas";
    const std::string out = std::string(here) + "/" + deep + "out.wav";
    return {"paths_of_4000_characters",
            {
                {"input and output held whole", {{deep + "game.cas", image}}, {"-i", in, "-o", out}, 0,
                 detected(trs80) + kbytes(trs80_size(image))},
                {"output past PATH_MAX", {{"game.cas", image}}, {"-i", "@@/game.cas", "-o", too_long}, 5,
                 "Error opening " + too_long + " for writing.\n"},
                {"output on the long input", {{deep + "game.cas", image}}, {"-i", in, "-o", in}, 5,
                 "Error opening " + in + " for writing.\nOutput file is the input file.\n"},
            }};
}

// ---- Outputs that cannot be created or written ----

cli_family unwritable_outputs() {
    const bytes trs = with_zero_leader({0x42});
    const bytes cg = text(cgenie_text) + bytes{0x00, 0x66, 0x55};
    return {"unwritable_outputs",
            {
                {"homelab to a full device", {{"game.htp", trs}}, {"-i", "@@/game.htp", "-o", "/dev/full"}, 5,
                 detected(homelab) + "Error writing /dev/full.\n"},
                {"cgenie to a full device", {{"game.cas", cg}}, {"-i", "@@/game.cas", "-o", "/dev/full"}, 5,
                 detected(cgenie) + "CAS header size 33 bytes.\n" + leader + "Error writing /dev/full.\n"},
                {"commodore to a full device", {{"game.tap", tap_image(1, two_pulses, 0, 0, 2)}},
                 {"-i", "@@/game.tap", "-o", "/dev/full"}, 5,
                 c64_pal + c64_clock + "TAP data length : 2\nTAP version : 1\n" + detected(commodore) +
                     "Error writing /dev/full.\n"},
                {"under a file", {{"game.cas", trs}}, {"-i", "@@/game.cas", "-o", "@@/game.cas/out.wav"}, 5,
                 "Error opening @@/game.cas/out.wav for writing.\n"},
                {"empty name", {{"game.cas", trs}}, {"-i", "@@/game.cas", "-o", ""}, 5,
                 "Error opening  for writing.\n"},
            }};
}

// ---- The input named as the output, in other ways than the usual ----

cli_family output_is_input() {
    const bytes trs = with_zero_leader({0x42});
    const std::string refused = "Output file is the input file.\n";
    return {"output_is_the_input",
            {
                {"hard link", {{"game.cas", trs}}, {"-i", "@@/game.cas", "-o", "@@/hard.wav"}, 5,
                 "Error opening @@/hard.wav for writing.\n" + refused, unchecked,
                 [](const std::string& d) { ::link((d + "/game.cas").c_str(), (d + "/hard.wav").c_str()); }},
                {"input through a link", {{"game.cas", trs}}, {"-i", "@@/link.cas", "-o", "@@/game.cas"}, 5,
                 "Error opening @@/game.cas for writing.\n" + refused, unchecked,
                 [](const std::string& d) { ::symlink("game.cas", (d + "/link.cas").c_str()); }},
                {"link to a link", {{"game.cas", trs}}, {"-o", "@@/l2", "-i", "@@/game.cas"}, 5,
                 "Error opening @@/l2 for writing.\n" + refused, unchecked,
                 [](const std::string& d) {
                     ::symlink("game.cas", (d + "/l1").c_str());
                     ::symlink("l1", (d + "/l2").c_str());
                 }},
                // The first -i is replaced by the second, but is still an input.
                {"an earlier -i", {{"game.cas", trs}, {"other.cas", trs}},
                 {"-i", "@@/game.cas", "-i", "@@/other.cas", "-o", "@@/game.cas"}, 5,
                 "Error opening @@/game.cas for writing.\n" + refused},
                {"a second -o", {{"game.cas", trs}}, {"-o", "@@/out.wav", "-i", "@@/game.cas", "-o", "@@/game.cas"},
                 5, "Error opening @@/game.cas for writing.\n" + refused, 0},
                {"same name, input first", {{"game.cas", trs}}, {"-i", "@@/game.cas", "-o", "@@/game.cas"}, 5,
                 "Error opening @@/game.cas for writing.\n" + refused},
                {"same name, output first", {{"game.cas", trs}}, {"-o", "@@/game.cas", "-i", "@@/game.cas"}, 5,
                 "Error opening @@/game.cas for writing.\n" + refused},
                {"another spelling", {{"game.cas", trs}}, {"-i", "@@/game.cas", "-o", "@@/./x/../game.cas"}, 5,
                 "Error opening @@/./x/../game.cas for writing.\n" + refused, unchecked,
                 [](const std::string& d) { ::mkdir((d + "/x").c_str(), 0755); }},
            }};
}

// ---- Option values at and past every bound ----

cli_family option_bounds() {
    const bytes trs = with_zero_leader({});
    const std::map<std::string, bytes> files = {{"game.cas", trs}};
    const auto ok = [&](const std::string& label, std::vector<std::string> options, const std::string& warnings,
                        long long size) {
        return cli_case{label, files, io("game.cas", std::move(options)), 0,
                         warnings + detected(trs80) + kbytes(size), size};
    };
    const auto refused = [&](const std::string& label, std::vector<std::string> options, int status,
                             const std::string& err) {
        return cli_case{label, files, io("game.cas", std::move(options)), status, err, absent};
    };
    const std::string rates = "Supported sample rates are between 8000 and 192000.\n";
    const std::string formats = "Format index must be between 0 and 3.\n";
    const std::string gains = "Gain must be between 1 and 8.\n";
    const long long size = trs80_size(trs);
    const long long at_8000 = trs80_size(trs, 8000);
    const long long at_192000 = trs80_size(trs, 192000);
    return {"option_bounds",
            {
                ok("rate 8000 in octal", {"-s", "017500"}, "", at_8000),
                ok("rate 192000 in hexadecimal", {"-s", "0x2EE00"}, "", at_192000),
                refused("rate 192001 in hexadecimal", {"-s", "0x2EE01"}, 3,
                        "Unsupported sample rate: 192001.\n" + rates),
                // A leading 0 makes it octal, and 8 is no octal digit: the number is 0.
                refused("rate 08000", {"-s", "08000"}, 3, "Unsupported sample rate: 0.\n" + rates),
                refused("rate -1", {"-s", "-1"}, 3, "Unsupported sample rate: -1.\n" + rates),
                refused("largest int rate", {"-s", "2147483647"}, 3,
                        "Unsupported sample rate: 2147483647.\n" + rates),
                refused("smallest int rate", {"-s", "-2147483648"}, 3,
                        "Unsupported sample rate: -2147483648.\n" + rates),
                refused("rate past int", {"-s", "2147483648"}, 2, "Error parsing argument for '-s'.\n"),
                refused("rate below int", {"-s", "-2147483649"}, 2, "Error parsing argument for '-s'.\n"),
                ok("gain 1 and 8", {"-g", "1", "-g", "8"}, "", size),
                ok("gain -1", {"-g", "-1"}, "Illegal gain value: -1.\n" + gains, size),
                ok("largest int gain", {"-g", "2147483647"}, "Illegal gain value: 2147483647.\n" + gains, size),
                ok("smallest int gain", {"-g", "-2147483648"}, "Illegal gain value: -2147483648.\n" + gains, size),
                refused("gain past int", {"-g", "2147483648"}, 2, "Error parsing argument for '-g'.\n"),
                refused("gain with no digits", {"-g", "-"}, 2, "Error parsing argument for '-g'.\n"),
                ok("format -1", {"-f", "-1"}, "Illegal format index: -1.\n" + formats, size),
                ok("largest int format", {"-f", "2147483647"}, "Illegal format index: 2147483647.\n" + formats,
                   size),
                ok("smallest int format", {"-f", "-2147483648"}, "Illegal format index: -2147483648.\n" + formats,
                   size),
                refused("format past int", {"-f", "-2147483649"}, 2, "Error parsing argument for '-f'.\n"),
            }};
}

std::vector<cli_family> families() {
    return {
        usage_and_options(),
        run_course(),
        truncated_zero_leader("trs80", "cas", "3", trs80, [](const bytes& b) { return trs80_size(b); }),
        truncated_zero_leader("homelab", "htp", "1", homelab, homelab_size),
        truncated_cgenie_text(),
        truncated_tap_header(),
        tap_length_fields(),
        signature_then_garbage(),
        unreadable_inputs(),
        long_paths(),
        unwritable_outputs(),
        output_is_input(),
        option_bounds(),
    };
}

INSTANTIATE_TEST_SUITE_P(matrix, cli_cases, testing::ValuesIn(families()),
                         [](const testing::TestParamInfo<cli_family>& info) { return info.param.label; });

TEST(command_line, second_output_gets_the_signal_first_stays_empty) {
    scratch_dir dir;
    const std::string image = dir.write("game.cas", with_zero_leader({}));
    const result r = run_korvax({"-o", dir.path("a.wav"), "-i", image, "-o", dir.path("b.wav")});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(read_file(dir.path("a.wav")).empty());
    EXPECT_GT(read_file(dir.path("b.wav")).size(), 44u);
}


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

}  // namespace

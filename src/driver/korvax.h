// KORVAX: emulator tape images to 8-bit mono WAV audio.
//
// The driver owns the command line, the process-wide settings, the registry of
// tape formats and the run from option parsing to the patched WAV file. Formats
// plug in through a tape_format descriptor; a format's index in the registry is
// its number everywhere (-f, the usage list, the answer of analyze).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvax {

struct wav_file;

// One tape image format. Every format fills every field.
struct tape_format {
    const char* name;         // short name for the usage list
    const char* extension;    // usual file extension, without the dot
    const char* description;  // shown in the usage list and the detection message
    void (*init)();           // fills the machine timing record
    int (*open)();            // returns 0; never called
    int (*analyze)(const char* path);  // own registry index if recognised, else 4
    int (*convert)(std::FILE* in, wav_file& out);  // whole signal; returns 0
    int (*read_bit)();        // returns 0; never called
    int (*dump_bit)();        // returns 0; never called
    void (*close)();          // does nothing; never called
    // The image is read by analyze and kept for convert, so a run that forces
    // this format must still have analyze read it first.
    bool analyze_loads_image;
};

// Registry order is fixed: it is the numbering the user sees.
enum format_index : int { fmt_cgc = 0, fmt_htp = 1, fmt_mtap = 2, fmt_cas = 3, fmt_count = 4 };

extern const std::array<const tape_format*, fmt_count> tape_format_registry;

// Settings, written only while the command line is read.
struct run_settings {
    int format_detected = fmt_count;  // forced format; fmt_count asks for detection
    std::uint8_t p_gain = 75;         // signal's high level: gain 1..8 times 15
    std::uint8_t p_silence = 0;       // silence level
    std::uint8_t p_inverted = 0;      // inversion mask, 255 after -n
};
extern run_settings settings;

// Timing of the selected machine: the clock its durations are counted in and
// the length of the silence written after the WAV header.
struct machine_timing {
    int format_index = fmt_count;
    std::uint32_t clock_hz = 0;
    std::uint32_t leadin_cycles = 0;
};
extern machine_timing machine;

// Machine cycles to a number of samples at the output rate, truncated. The
// product is formed in 64 bits: the 55,300-cycle lead-in alone passes 2^32 at
// rates above 77.7 kHz.
std::uint64_t cycles_to_samples(std::uint64_t cycles);

// The next byte of the stream; the end of the file is fatal (status 6).
int freadbyte(std::FILE* stream);

// Fatal errors end the run with an exit status. They travel as an exception so
// that main can return the status and so that tests and fuzz targets can run
// many conversions in one process.
struct exit_request {
    int status;
};
[[noreturn]] void quit(int status);

// Exit statuses.
enum exit_status : int {
    exit_ok = 0,
    exit_usage = 1,
    exit_parse = 2,
    exit_rate = 3,
    exit_input = 4,
    exit_output = 5,
    exit_image = 6,
};

// The whole program: options, selection, conversion. Returns the exit status.
int run(int argc, char** argv);

}  // namespace korvax

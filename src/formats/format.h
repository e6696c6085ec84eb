// How a tape format plugs in: a descriptor of its texts and operations, and
// the helpers that several formats share. A format's number is its position
// in the registry (driver/registry.h) and nothing else.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "output/wav.h"
#include "verify/readback.h"

namespace korvax {

// The levels a signal is drawn with, and the speed asked for.
struct signal_levels {
    std::uint8_t p_gain = 75;    // high level: the gain 1..8 times 15, low 8 bits
    std::uint8_t p_silence = 0;  // rest
    int baud = 0;                // TRS-80 speed (-b): 250, 500 or 1500; 0 takes it from the image
};

struct tape_format {
    const char* name;         // short name for the usage list
    const char* extension;    // usual file extension, without the dot
    const char* description;  // shown in the usage list and the detection message
    // Whether the image at `path` is one of this format's.
    bool (*analyze)(const char* path);
    // Writes the whole signal of the image in `in`, named `path`, lead-in
    // included. It runs twice over the image, from its start each time:
    // first to count the samples, then to write them; its reports of what it
    // finds are printed only when the writer is not `quiet`, its failures
    // either way.
    void (*convert)(std::FILE* in, const char* path, wav_writer& out, const signal_levels& levels);
    // Reads the WAV back as the machine's loader would and compares it with
    // the image in `in`, converted with `levels`.
    readback (*verify)(std::FILE* in, const char* path, const wav_samples& wav, const signal_levels& levels);
    // The line that tells what kind of image the one at `path` is, when the
    // format has kinds worth telling (empty for the ordinary kind); null when
    // it has none. Reported after the detected or forced format.
    std::string (*kind_line)(const char* path);
    // The lowest sample rate at which every image reads back with margin.
    std::uint32_t recommended_rate;
    // Asked even when the format is forced: the image's header says how to
    // play it, and an image without one cannot be played.
    bool analyzed_when_forced;
};

using file_ptr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
// The image opened for reading; empty when it cannot be opened.
file_ptr open_image(const char* path);

// Ends the run with "Error reading NAME." (status 4) once the stream has met
// a read error: an unreadable image is not an unrecognised one.
void check_read(std::FILE* in, const char* path);

// The next byte of the stream; the end of the file is fatal (status 6).
int freadbyte(std::FILE* in, const char* path);

// A line of a format's report on standard error, when `report`.
[[gnu::format(printf, 2, 3)]] void say(bool report, const char* format, ...);

// Whether the path's extension, from its last "." to its end, is `extension`
// (with its dot) in any letter case.
bool has_extension(const char* path, const char* extension);

}  // namespace korvax

// One conversion run, from an image to a WAV sink: the sequence that the
// command line, the tests, the fuzz targets, the benchmark and the web page
// all go through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/recording.h"
#include "audio/recording_file.h"
#include "formats/format.h"
#include "output/messages.h"
#include "output/wav.h"
#include "tape/image.h"

namespace korvax {

struct options {
    int format = -1;                    // forced registry number; any other asks for detection
    std::uint32_t sample_rate = 44100;  // 8000 to 192000
    std::uint8_t p_gain = 75;           // the signal's high level: gain 1..8 times 15, low 8 bits
    bool inverted = false;              // -n
    bool verify = false;                // -V: read the WAV back from the sink
    int baud = 0;                       // -b: TRS-80 speed, 250, 500 or 1500; 0 takes it from the image
    int channel = -1;                   // -c: a recording's channel to read, from 0; -1 the one that reads better
    // How a recording is opened, from a file or held in memory: the command
    // line's read every kind libsndfile knows, these WAV files alone.
    recording_opener open_recording = open_wav_recording;
    held_recording_opener open_held_recording = open_wav_recording;
};

// What a run found and did, as values.
struct run_result {
    int status = exit_ok;
    std::uint32_t sample_rate = 0;        // of the WAV
    const tape_format* format = nullptr;  // the format that read the image
    report found;                         // what reading the image found
    std::uint64_t wav_size = 0;           // bytes of the WAV written
    std::optional<readback> checked;      // -V's verdict
    std::vector<std::string> advice;      // after a failed check: what to change
    std::vector<tape_mark> marks;         // where the tape's parts start in the WAV
    std::vector<tape_item> items;         // what a recording was read as, a segment or program each
    std::vector<std::string> written;     // the images a recording was written to
};

// Selects the format (detection or the forced one), writes the WAV of `im` to
// `output` and, when asked, reads it back; with no output the image is only
// identified. Messages go to `out`, what was found to `result`. Returns the
// exit status.
int convert(const options& o, const image& im, byte_sink* output, messages& out, run_result* result = nullptr);

// The same for the image named `input` ("-": standard input), read first;
// or, when it is a recording (by its content), the recording read back into
// an image on `output`.
int convert(const options& o, const std::string& input, byte_sink* output, messages& out,
            run_result* result = nullptr);

}  // namespace korvax

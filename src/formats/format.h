// How a tape format plugs in: a descriptor of its texts and of the one
// function that reads its images, and the tape that reading gives, which
// plays its signal and reads it back. A format's number is its position in
// the registry (driver/registry.h) and nothing else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audio/samples.h"
#include "output/fatal.h"
#include "output/messages.h"
#include "tape/image.h"
#include "tape/readback.h"
#include "tape/report.h"
#include "tape/timeline.h"

namespace korvax {

// The levels a signal is drawn with, and what else the user asked of it.
struct signal_levels {
    std::uint8_t p_gain = 75;    // high level: the gain 1..8 times 15, low 8 bits
    std::uint8_t p_silence = 0;  // rest
    int baud = 0;                // TRS-80 speed (-b): 250, 500 or 1500; 0 takes it from the image
    bool inverted = false;       // -n: the writer inverts every sample
};

// An image read by its format, ready to be played.
class tape {
public:
    virtual ~tape() = default;
    // What the format tells when the signal is written (not when the image
    // is only identified).
    virtual void tell(const signal_levels&, messages&) const {}
    // The whole signal, lead-in included.
    virtual void play(const signal_levels& levels, timeline& t) const = 0;
    // The signal in `wav` (of `samples` samples), written with `levels`, read
    // back as the machine's loader would and compared with the image.
    virtual readback read_back(const signal_levels& levels, sample_source& wav, std::uint64_t samples) const = 0;
};

struct tape_format {
    const char* name;         // short name for the usage list
    const char* extension;    // usual file extension, without the dot
    const char* description;  // shown in the usage list and the detection message
    // The image as this format's tape, with what reading found in `found`;
    // empty when it is none of this format's images. A format `forced` with
    // -f plays whatever it can of an image that does not look like its own,
    // where it has a way to.
    std::unique_ptr<tape> (*read)(const image& im, report& found, bool forced);
    // The lowest sample rate at which every image reads back with margin.
    std::uint32_t recommended_rate;
    // A small image of this format's own, which it recognises and every
    // other format refuses.
    image (*sample)();
};

// Whether the name's extension, from its last "." to its end, is `extension`
// (with its dot) in any letter case.
bool has_extension(const std::string& name, const char* extension);

}  // namespace korvax

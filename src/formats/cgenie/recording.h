// Colour Genie tapes read back from a recording.
//
// The signal is a square wave at 1200 baud that changes level at the start of
// every bit cell and, for a 1, in its middle too; most significant bit first.
// A tape holds a leader of 0xAA bytes, the sync byte 0x66 and the data after
// it: for a machine-code program a SYSTEM tape (0x55, a 6-character name,
// blocks of 0x3C, length (0 for 256), load address low and high, the bytes
// and a checksum of the address and the bytes, then 0x78 and the entry
// address), or anything else a program saves.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/recording.h"
#include "audio/samples.h"
#include "formats/cgenie/recording_dsp.h"

namespace korvax::cgenie {

// Every stretch of Colour Genie tape in the recording, in order: each from its
// sync byte 0x66 on, as an image holds it, to where its signal ends. Bytes
// read from an unclear signal are marked in doubt; a gap longer than 0.1 s
// ends a stretch, and the next one needs a leader of its own.
std::vector<tape_segment> read_recording(sample_source& in, leader_seen* first_leader = nullptr);

// A report item per stretch: "SYSTEM" with the name, the first block's load
// address, the bytes of all blocks and whether every block's checksum holds
// (it fails too when the blocks or the entry address are cut short); or
// "data" with the bytes after the sync byte, and no checksum.
std::vector<tape_item> describe(const std::vector<tape_segment>& segments);

// The image as the program reads it: the bytes from the sync byte on, no text
// header and no leader (the program writes its own). A second stretch follows
// a leader of 255 bytes of 0xAA, so that the image plays as the tape was.
std::vector<std::uint8_t> cas_image(const std::vector<tape_segment>& segments);

// Whether a recording holds a Colour Genie leader, for telling the machine
// from the signal: fed the samples as they come, it finds one after about 16
// bit cells of 0xAA bytes (13 ms) in either polarity at any speed within
// 20% of nominal.
class leader_probe {
public:
    explicit leader_probe(std::uint32_t rate);
    void feed(const float* samples, std::size_t n) { reader_.feed(samples, n); }
    bool found() const { return reader_.found(); }
    // Where the leader's first level change found lies in the recording.
    double seconds() const { return reader_.found_seconds(); }

private:
    dsp::cell_reader reader_;
};

}  // namespace korvax::cgenie

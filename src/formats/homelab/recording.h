// Homelab tapes read back from a recording.
//
// Every bit is a cell of 4,425 cycles of the 3 MHz clock that starts with a
// short positive pulse; a 1 has a second pulse in the middle of its cell. The
// last bit of each byte (bits go most significant first) has longer pulses
// and a cell up to 5% longer, which the reader's clock simply follows. A tape is blocks, each a leader of zero bytes, 0xA5, a
// name ending in 0x00, the load address and the length (both 16 bits, low
// byte first), the bytes, their sum modulo 256, and a flag: 0xD8 when another
// block follows, 0x00 after the last.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/recording.h"
#include "audio/samples.h"
#include "formats/cgenie/recording_dsp.h"

namespace korvax::homelab {

// Every block in the recording, in order, as a segment of its own: from its
// sync byte 0xA5 to its flag byte, as an image holds them. When the next block
// follows without a break in the signal (as the machine writes them), the
// zero bytes of its leader, as many as the tape has, end the segment, so
// that the segments together are the tape from the first sync byte on. Bytes
// read from an unclear signal are marked in doubt; a gap longer than 0.1 s
// ends a block, and the next one is found by its own leader.
std::vector<tape_segment> read_recording(sample_source& in, leader_seen* first_leader = nullptr);

// A report item per block: its name, load address, length and whether its
// checksum holds (it fails too when the block is cut short).
std::vector<tape_item> describe(const std::vector<tape_segment>& segments);

// The image as the program reads it: each block after the machine's usual
// leader, 256 zero bytes before the first and 128 before a later one whose
// own leader was not read (after a break in the signal), as the machine's
// later blocks have.
std::vector<std::uint8_t> htp_image(const std::vector<tape_segment>& segments);

// Whether a recording holds a Homelab leader, for telling the machine from
// the signal: fed the samples as they come, it finds one after 16 bit cells
// of zero bytes (24 ms) in either polarity at any speed within 20% of
// nominal.
class leader_probe {
public:
    explicit leader_probe(std::uint32_t rate);
    void feed(const float* samples, std::size_t n) { reader_.feed(samples, n); }
    bool found() const { return reader_.found(); }
    // Where the leader's first pulse found lies in the recording.
    double seconds() const { return reader_.found_seconds(); }

private:
    dsp::cell_reader reader_;
};

}  // namespace korvax::homelab

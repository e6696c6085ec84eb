// Reading a recording of a TRS-80 tape (Model I/III/4, Video Genie) back into
// the bytes it carries, at 250, 500 or 1500 baud.
//
// At 250 and 500 baud every bit cell opens with a clock pulse and a 1 bit has
// a second pulse half a cell later; at 1500 baud every bit is one whole cycle,
// short for a 1 and long for a 0, and every data byte is framed by a 0 start
// bit. The reader finds a leader (zero bytes at the low speeds, 0x55 bytes at
// 1500 baud), locks onto its clock, finds the sync byte and reads on until
// the signal ends or stops for longer than a dropout.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/recording.h"
#include "audio/samples.h"

namespace korvax::trs80 {

// Every segment found in the recording, in order. `baud` 0 finds each
// segment's speed from its leader; 250, 500 or 1500 reads only that speed.
// Each segment's bytes start with its sync byte (0xA5, or 0x7F at 1500 baud)
// and hold what follows it as an image holds it: at 1500 baud the bits after
// 0x7F as they are on tape, start bits included, 8 to a byte, the last byte
// padded with 0 bits. Two programs recorded back to back with no gap (a
// Level I image holding two copies) come back as two segments.
// `first_leader`, if given, receives where the first leader was taken (its
// clock locked onto) and its speed, whether or not a segment followed.
std::vector<tape_segment> read_recording(sample_source& in, int baud = 0, leader_seen* first_leader = nullptr);

// A report item per segment: what it holds ("SYSTEM", "BASIC", "Level I",
// or "data" when it is none of them), its name, load address, length, and
// whether its checksums hold (SYSTEM: every block; Level I: the program's).
std::vector<tape_item> describe(const std::vector<tape_segment>& segments);

// The .cas image of the segments: each with a leader, then its bytes. The
// leader is 255 zero bytes at 250 and 500 baud (as nearly every image in
// circulation has; the ROM writes 256) and 256 bytes of 0x55 at 1500 baud
// (as the Model III ROM writes), so that an image read back from its own
// WAV comes back byte for byte. Bytes of that fill that end the segment
// before count in the leader: played again, they are read as its start.
std::vector<std::uint8_t> cas_image(const std::vector<tape_segment>& segments);

// The speed of the first TRS-80 leader in the signal (250, 500 or 1500), or
// 0 when none is found, reading no further than `max_seconds` into it. Each
// leader needs about a tenth of a second of steady clock to be taken, so a
// second of signal is plenty to tell a TRS-80 tape from another machine's.
// `found_at`, if given, receives where in the signal the leader was taken.
int leader_baud(sample_source& in, double max_seconds = 30, double* found_at = nullptr);

// The data bytes of a 1500 baud segment's bytes: the 8 bits after each 0
// start bit, with the sync byte first, so that they read as a low-speed
// segment's bytes do. `from` receives, for every data byte, the index of the
// segment byte its first bit lies in.
std::vector<std::uint8_t> unframe(const std::vector<std::uint8_t>& bytes, std::vector<std::size_t>* from = nullptr);

}  // namespace korvax::trs80

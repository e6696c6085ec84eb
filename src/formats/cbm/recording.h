// Reading a recording of a Commodore tape: every pulse on it, as a TAP image
// keeps them, and every program in the blocks that the ROM of a C64, VIC-20,
// C16 or Plus/4 writes (SAVE), as their own LOAD reads them.
//
// A pulse is a square wave: the time from one edge to the next edge in the
// same direction. The machine sees one direction only, and which one a
// recording starts its pulses with depends on its polarity, which is not
// known; so the reader measures half-waves and pairs them so that each
// pulse's two halves match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/recording.h"
#include "audio/samples.h"

namespace korvax::cbm {

// A program read from a header block and the data block after it.
struct kernal_program {
    double start_seconds = 0;  // where its header's leader starts (its data's, without a header)
    std::uint8_t type = 0;     // the header's first byte: 1 a program loaded at the start of BASIC, 3 at its own address; 0 no header
    std::string name;          // the header's 16 name bytes (PETSCII), the spaces that pad it removed
    std::uint16_t start = 0;   // load address, from the header
    std::uint16_t end = 0;     // one past the last byte, as the header states it
    std::vector<std::uint8_t> bytes;  // the data block's payload
    bool has_data = false;            // a data block was found (a header may be all the recording holds)
    bool header_holds = false;  // a header was read, every byte certain and its checksum holding
    bool data_holds = false;    // a data block was read, every byte certain and its checksum holding
    // Bytes read from an unclear signal in both copies of their block: the
    // header's first (index in its 192 bytes), then the program's (index in
    // `bytes`), each with where its first copy starts in the recording.
    std::vector<doubtful_byte> doubtful;
    std::size_t header_doubtful = 0;  // how many of `doubtful` are the header's
};

// The pulses after the ROM's last block: another loader's blocks, or ROM
// blocks too damaged to read.
struct other_blocks {
    double start_seconds = 0;
    std::size_t pulses = 0;
};

struct recording_read {
    // TAP version 1 pulse data on the PAL clock of `tap_machine` (units of 8
    // cycles of 985,248 Hz for a C64, 886,720 Hz for a C16 or Plus/4), every
    // pulse from the first edge of the first stretch of signal on: a byte of
    // 1 to 255 units, or a 0x00 escape with the pulse's length in cycles (24
    // bits, little-endian) for a longer one. A silence, a dropout or a
    // stretch of noise is one long pulse. The pulses of a ROM block's bytes
    // read are as the ROM wrote them; the others are regenerated, each at the
    // length its kind has around it (two that hiss merged split again), or
    // as measured where their lengths do not gather into kinds.
    std::vector<std::uint8_t> tap_pulses;
    // The TAP header's machine, told by the tape's first leader: 0 a C64
    // (or VIC-20), 2 a C16 or Plus/4.
    std::uint8_t tap_machine = 0;
    std::vector<kernal_program> programs;  // in the order they lie on the tape
    std::optional<other_blocks> after_rom;  // on a tape with programs
    // Where each copy of a ROM block read lies, from its leader's start to
    // its end, in order.
    std::vector<std::pair<double, double>> rom_blocks;
    double seconds = 0;                    // the length of the recording read
    std::uint32_t rate = 0;                // the recording's, in Hz
    double leader_seconds = 0;             // how much of it is Commodore leader (see find_leader)
    double first_leader = -1;              // where the first leader starts; -1 none
    bool falling_first = true;             // whether pulses were taken to start with a falling edge
};

// Reads the whole recording.
recording_read read_recording(sample_source& in);

// A Commodore leader: a run of at least 256 pulses of one length, between
// 200 and 600 us (the short pulse of a C64, VIC-20 or C16, PAL or NTSC), all
// within an eighth of their mean, with their halves matching.
struct leader {
    double start_seconds;
    double seconds;
    double pulse_seconds;  // the pulses' mean length
};

// The first Commodore leader in the recording, reading no further than
// `within_seconds` into it; nothing when there is none. For telling a
// Commodore tape from another machine's: no other machine's leader or data
// is a steady square wave of that period.
std::optional<leader> find_leader(sample_source& in, double within_seconds);

// A report line per program: machine "Commodore", kind "program", its name,
// load address and length, whether both its blocks' checksums hold, and its
// bytes in doubt. A tape with a Commodore leader but no program (another
// loader's blocks alone) gets one line, kind "tape of another loader", with
// its count of pulses. On a tape with programs, the blocks after the ROM's
// last one get a line, kind "blocks not read as the ROM's", with their count
// of pulses.
std::vector<tape_item> describe(const recording_read& r);

// A whole TAP image of version 1 (PAL, the machine `tap_machine`) holding the pulses.
std::vector<std::uint8_t> tap_image(const recording_read& r);
// A PRG file: the load address (low byte first) and the bytes.
std::vector<std::uint8_t> prg_image(const kernal_program& p);
// A T64 archive with a directory entry per program, in order.
std::vector<std::uint8_t> t64_image(const std::vector<kernal_program>& programs);

}  // namespace korvax::cbm

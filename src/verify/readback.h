// The read-back check (-V): a WAV the program wrote, read again as a loader
// would, from its samples and its header alone. Each format knows what its
// image should read back as and which reader fits its signal; the readers
// here find pulses, level changes and bits, and say in words where reading
// stopped and why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvax {

using byte_vector = std::vector<std::uint8_t>;

// The samples of a WAV file and the rate its header states.
struct wav_samples {
    std::uint32_t sample_rate = 0;
    byte_vector samples;
};

// Reads the WAV at `path`: false, with the reason in `why`, when it is not a
// WAV of the kind the program writes or its sizes do not match the file.
bool read_wav(const std::string& path, wav_samples& wav, std::string& why);

// What a read-back found.
struct readback {
    std::uint64_t count = 0;     // bytes or pulses read back
    const char* unit = "bytes";  // what was counted
    std::string error;           // where and why reading stopped; empty when all was read
    std::string hint;            // the format's own advice when it fails, if any
};

// Every byte left in the stream, from where it stands.
byte_vector read_rest(std::FILE* in);

// Where a pulse begins: the signal leaves rest (byte 128, or 127 inverted) by
// more than half its peak, in either direction.
std::vector<std::size_t> pulse_starts(const byte_vector& y);

// Level changes: steps between neighbouring samples larger than half the
// largest step, and whether each rises.
struct edge {
    std::size_t at;
    bool rise;
};
std::vector<edge> edges(const byte_vector& y);

// Bits, most significant first, from events at `at` (pulse starts or level
// changes), the last one closed by `end`: a 1 is two gaps of half a cell, a 0
// one gap of a whole cell of `cell` samples. Compared with `want`.
readback read_bytes(const std::vector<std::size_t>& at, std::size_t end, double cell, const byte_vector& want);

// Bits, most significant first, as whole cycles of a square wave, each from
// a rise to the next (the first from where the signal first leaves rest): a 0
// is a cycle of `zero` samples, a 1 one of `one`. After the last bit comes a
// half cycle as long as that bit's half, whose rise closes it. Compared with
// `want`.
readback read_cycles(const byte_vector& y, double zero, double one, const byte_vector& want);

// The signal's pulses in samples, each from a level change to the one after
// the next (the first from the start), or each half-wave when `half_waves`.
std::vector<std::size_t> pulse_lengths(const byte_vector& y, bool half_waves);

// Pulse lengths in samples, from one falling level change to the one after
// the next (or every half-wave when `half_waves`), against pulses of `units`
// at `units_per_second`: each within one sample of its exact length, and the
// total exactly that of the pulses rounded to the nearest sample.
readback read_pulses(const wav_samples& wav, bool half_waves, const std::vector<std::uint64_t>& units,
                     std::uint32_t units_per_second);

// Blocks as the Commodore ROM loader reads them from `pulses` (in samples):
// short, medium or long by their length in units of 8 cycles (a unit is
// `samples_per_unit` samples), halfway between 0x30, 0x42 and 0x56, and
// longer ones pauses. A byte is a long-medium marker, eight bits least
// significant first (short-medium 0, medium-short 1) and a bit that makes the
// count of ones odd; a long-short pair ends a copy of a block. Each block
// comes twice, with a countdown before its payload (0x89 to 0x81, then 0x09
// to 0x01) and its XOR checksum after, and the payloads must be `blocks`.
readback read_kernal_blocks(const std::vector<std::size_t>& pulses, double samples_per_unit,
                            const std::vector<byte_vector>& blocks);

}  // namespace korvax

#include "formats/trs80/encoder.h"

#include "formats/trs80/protocol.h"

namespace korvax::trs80 {
namespace {

// At 250 and 500 baud each run is truncated to samples on its own, so no
// remainder carries from run to run.
void play_pulses(std::span<const std::uint8_t> bytes, std::uint32_t cell, const std::vector<tape_part>& parts,
                 std::size_t& next, const signal_levels& s, timeline& t) {
    const auto pulse = [&](std::uint32_t rest) {
        t.hold(s.p_gain, pulse_half_cycles);
        t.hold(-static_cast<int>(s.p_gain), pulse_half_cycles);
        t.hold(s.p_silence, rest);
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        mark_parts(parts, next, i, t);
        const std::uint8_t c = bytes[i];
        for (int bit = 7; bit >= 0; --bit) {
            if ((c >> bit) & 1) {
                pulse(cell / 2 - pulse_cycles);
                pulse(cell / 2 - pulse_cycles);
            } else {
                pulse(cell - pulse_cycles);
            }
        }
    }
}

// At high speed a half cycle is a few samples only, so every edge is placed
// at the sample nearest its exact time from the end of the lead-in, and no
// error builds up from cycle to cycle. The image already holds each data
// byte's start bit, so its bits are played as they are. One more half cycle
// at the gain, as long as the last bit's half, gives the last bit its
// closing edge.
void play_cycles(std::span<const std::uint8_t> bytes, const std::vector<tape_part>& parts, std::size_t& next,
                 const signal_levels& s, timeline& t) {
    t.clock(fast_clock_hz, rounding::each_edge);
    std::uint32_t last_half = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        mark_parts(parts, next, i, t);
        const std::uint8_t c = bytes[i];
        for (int bit = 7; bit >= 0; --bit) {
            last_half = ((c >> bit) & 1 ? fast_one_us : fast_zero_us) / 2;
            t.hold(s.p_gain, last_half);
            t.hold(-static_cast<int>(s.p_gain), last_half);
        }
    }
    t.hold(s.p_gain, last_half);
}

}  // namespace

void play(std::span<const std::uint8_t> bytes, int baud, const std::vector<tape_part>& parts, const signal_levels& s,
          timeline& t) {
    t.clock(clock_hz, rounding::each_run);
    std::size_t next = 0;
    t.mark(tape_mark::what::leadin);
    t.hold(s.p_silence, leadin_cycles);
    if (baud == 1500)
        play_cycles(bytes, parts, next, s, t);
    else
        play_pulses(bytes, cell_cycles(baud), parts, next, s, t);
    t.mark(tape_mark::what::end);
}

}  // namespace korvax::trs80

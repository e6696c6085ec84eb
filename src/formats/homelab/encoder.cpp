#include "formats/homelab/encoder.h"

#include "formats/homelab/protocol.h"

namespace korvax::homelab {

// Each run is truncated to samples on its own. The silence after a pulse is
// counted from the ordinary 570-cycle high even in bit 0, whose high is
// longer.
void play(std::span<const std::uint8_t> bytes, const std::vector<tape_part>& parts, const signal_levels& s,
          timeline& t) {
    t.clock(clock_hz, rounding::each_run);
    std::size_t next = 0;
    t.mark(tape_mark::what::leadin);
    t.hold(s.p_silence, leadin_cycles);
    const auto bit = [&](int one, std::uint32_t high) {
        const std::uint32_t rest = one ? bit_cell_cycles / 2 - pulse_cycles : bit_cell_cycles - pulse_cycles;
        for (int i = 0; i <= one; ++i) {
            t.hold(s.p_gain, high);
            t.hold(s.p_silence, rest);
        }
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        mark_parts(parts, next, i, t);
        const std::uint8_t c = bytes[i];
        for (int b = 7; b >= 1; --b) bit((c >> b) & 1, pulse_cycles);
        bit(c & 1, last_pulse_cycles);
    }
    t.mark(tape_mark::what::end);
}

}  // namespace korvax::homelab

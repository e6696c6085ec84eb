#include "formats/cgenie/encoder.h"

#include "formats/cgenie/protocol.h"

namespace korvax::cgenie {

// Every conversion starts at the gain level: the wave's level lives here, not
// from one conversion to the next.
void play(std::span<const std::uint8_t> data, const std::vector<tape_part>& parts, const signal_levels& s,
          timeline& t) {
    t.clock(tick_hz, rounding::each_run);
    t.mark(tape_mark::what::leadin);
    t.hold(s.p_silence, silence_ticks);
    bool low = false;
    const auto byte = [&](std::uint8_t value) {
        for (int bit = 7; bit >= 0; --bit) {
            const int one = (value >> bit) & 1;
            for (int i = 0; i <= one; ++i) {
                t.hold(low ? s.p_silence : s.p_gain, one ? one_half_wave_ticks : zero_half_wave_ticks);
                low = !low;
            }
        }
    };
    t.mark(tape_mark::what::leader);
    for (int i = 0; i < leader_bytes; ++i) byte(leader_byte);
    std::size_t next = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        mark_parts(parts, next, i, t);
        byte(data[i]);
    }
    t.hold(s.p_silence, silence_ticks);
    t.mark(tape_mark::what::end);
}

}  // namespace korvax::cgenie

#include "formats/cgenie/encoder.h"

#include "formats/cgenie/protocol.h"

namespace korvax::cgenie {

// Every conversion starts at the gain level: the wave's level lives here, not
// from one conversion to the next.
void play(std::span<const std::uint8_t> data, const signal_levels& s, timeline& t) {
    t.clock(tick_hz, rounding::each_run);
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
    for (int i = 0; i < leader_bytes; ++i) byte(leader_byte);
    for (const std::uint8_t c : data) byte(c);
    t.hold(s.p_silence, silence_ticks);
}

}  // namespace korvax::cgenie

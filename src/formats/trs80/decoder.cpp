#include "formats/trs80/decoder.h"

#include <limits>

#include "formats/trs80/protocol.h"

namespace korvax::trs80 {
namespace {

// Bits as whole cycles of a square wave, each from a rise to the next (the
// first from the first level change, which must rise): a 0 is a cycle of
// `zero` samples, a 1 one of `one`. After the last bit comes a half cycle as
// long as that bit's half, whose fall closes it at the end of the signal.
readback read_cycles(event_finder& steps, double zero, double one, byte_check& check) {
    readback r;
    signal_event e;
    if (!steps.next(e)) {
        check.finish(r);
        return r;
    }
    if (!e.up) {
        r.error = "the first cycle starts with its negative half, so every cycle is read half a cycle out of step";
        return r;
    }
    std::uint64_t from = e.at;
    double last = 0;  // the last bit's cycle
    while (steps.next(e)) {
        if (!e.up) continue;
        const std::size_t bits = check.bits();
        const double cycle = double(e.at - from);
        const bool bit = near(cycle, one, loader_tolerance);
        if (!bit && !near(cycle, zero, loader_tolerance)) {
            r.error = "byte " + std::to_string(bits / 8) + ", bit " + std::to_string(7 - bits % 8) + " at sample " +
                      std::to_string(from) + ": a cycle of " + number(cycle) + " samples, where a 0 bit is " +
                      number(zero) + " and a 1 bit " + number(one);
            break;
        }
        last = bit ? one : zero;
        check.bit(bit);
        from = e.at;
    }
    if (r.error.empty()) {
        while (steps.next(e)) {
        }
        const std::uint64_t tail = steps.samples_read() - from;
        if (check.bits() > 0 && !near(double(tail), last / 2, loader_tolerance))
            r.error = "the half cycle after the last bit is " + std::to_string(tail) + " samples, where it should be " +
                      number(last / 2);
    }
    check.finish(r);
    return r;
}

}  // namespace

readback read_back(std::span<const std::uint8_t> bytes, int baud, sample_source& wav) {
    byte_check check({}, bytes);
    if (baud == 1500) {
        const double per_us = double(wav.rate()) / fast_clock_hz;
        event_finder steps(wav, event_finder::looking_for::steps);
        return read_cycles(steps, fast_zero_us * per_us, fast_one_us * per_us, check);
    }
    const double cell = double(cell_cycles(baud)) * wav.rate() / clock_hz;
    event_finder pulses(wav, event_finder::looking_for::pulses);
    return read_cells(pulses, std::numeric_limits<double>::infinity(), 0, cell, loader_tolerance, check);
}

}  // namespace korvax::trs80

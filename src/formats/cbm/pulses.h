// Every pulse of a Commodore tape, in order, in units of 8 cycles: from a TAP
// image's data, or made from programs as the ROM's SAVE makes them. The
// encoder plays them and the read-back check expects them, so both walk the
// same sequence.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "formats/cbm/protocol.h"
#include "tape/timeline.h"

namespace korvax::cbm {

// A program as the tape carries it.
struct program {
    std::string name;  // PETSCII upper case, padded with spaces to 16
    std::uint16_t start = 0;
    std::span<const std::uint8_t> bytes;
    std::uint32_t end() const { return start + static_cast<std::uint32_t>(bytes.size()); }
};

// The header block of a program.
inline std::vector<std::uint8_t> header_block(const program& p) {
    std::vector<std::uint8_t> b(header_block_size, ' ');
    b[0] = p.start == basic_start ? relocatable_program : absolute_program;
    b[1] = static_cast<std::uint8_t>(p.start);
    b[2] = static_cast<std::uint8_t>(p.start >> 8);
    b[3] = static_cast<std::uint8_t>(p.end());
    b[4] = static_cast<std::uint8_t>(p.end() >> 8);
    std::copy(p.name.begin(), p.name.end(), b.begin() + 5);
    return b;
}

// A TAP image's pulses: a byte b != 0 is b units. A zero byte is a pause: in
// version 0 a run of z zero bytes is one pulse of z x 882 cycles; in versions
// 1 and 2 the three bytes after it are its length in cycles (and a zero byte
// among the last three bytes plays nothing).
template <typename F>
void for_each_tap_pulse(int version, std::span<const std::uint8_t> d, F pulse) {
    const std::size_t n = d.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t units = d[i];
        if (units == 0 && version == 0) {
            const std::size_t run_end = static_cast<std::size_t>(
                std::find_if(d.begin() + static_cast<std::ptrdiff_t>(i), d.end(), [](std::uint8_t b) { return b != 0; }) -
                d.begin());
            units = (run_end - i) * v0_zero_byte_cycles / cycles_per_unit;
            i = run_end - 1;
        } else if (units == 0) {
            if (i + 3 >= n) continue;
            units = (d[i + 1] | d[i + 2] << 8 | d[i + 3] << 16) / cycles_per_unit;
            i += 3;
        }
        pulse(units);
    }
}

// The pulses the ROM's SAVE writes for `programs`, one after the other, and
// `part(kind, label)` called where each part of the tape starts.
template <typename F, typename P>
void for_each_kernal_pulse(const std::vector<program>& programs, F pulse, P part) {
    const auto bit = [&](int one) {
        pulse(one ? medium_pulse : short_pulse);
        pulse(one ? short_pulse : medium_pulse);
    };
    const auto byte = [&](std::uint8_t value) {
        pulse(long_pulse);
        pulse(medium_pulse);
        int parity = 1;
        for (int i = 0; i < 8; ++i) {
            bit(value >> i & 1);
            parity ^= value >> i & 1;
        }
        bit(parity);
    };
    const auto block = [&](std::span<const std::uint8_t> payload, std::size_t pilot, bool header) {
        std::uint8_t checksum = 0;
        for (std::uint8_t b : payload) checksum ^= b;
        part(tape_mark::what::leader, "");
        for (std::size_t i = 0; i < pilot; ++i) pulse(short_pulse);
        part(header ? tape_mark::what::header : tape_mark::what::data,
             header ? "" : std::to_string(payload.size()) + " bytes");
        for (const bool first : {true, false}) {
            for (std::uint8_t n = 9; n >= 1; --n) byte(first ? 0x80 | n : n);
            for (std::uint8_t b : payload) byte(b);
            byte(checksum);
            pulse(long_pulse);
            pulse(short_pulse);
            for (std::size_t i = 0; i < (first ? first_trailer : second_trailer); ++i) pulse(short_pulse);
        }
    };
    for (const program& p : programs) {
        if (&p != &programs.front()) {
            part(tape_mark::what::pause, "");
            pulse(pause_units);
        }
        part(tape_mark::what::program, p.name.substr(0, p.name.find_last_not_of(' ') + 1));
        const std::vector<std::uint8_t> header = header_block(p);
        block(header, header_pilot, true);
        part(tape_mark::what::pause, "");
        pulse(pause_units);
        block(p.bytes, data_pilot, false);
    }
}

}  // namespace korvax::cbm

#include "tape/readback.h"

#include <cmath>
#include <cstdio>
#include <deque>
#include <optional>

namespace korvax {

bool near(double gap, double nominal, double tolerance) { return std::abs(gap - nominal) <= nominal * tolerance; }

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    std::string s = text;
    return s.ends_with(".0") ? s.substr(0, s.size() - 2) : s;
}

void byte_check::compare(std::size_t index, int got) {
    if (differs_) return;
    if (index < want_size() && want(index) == got) {
        matched_ = index + 1;
        return;
    }
    differs_ = true;
    differing_ = got;
}

void byte_check::bit(bool one) {
    byte_ = byte_ << 1 | int(one);
    if (++bits_ % 8 == 0) {
        compare(bits_ / 8 - 1, byte_);
        byte_ = 0;
    }
}

void byte_check::finish(readback& r) const {
    // A byte cut short is compared as far as it was read, its other bits 0.
    std::size_t matched = matched_;
    bool differs = differs_;
    int differing = differing_;
    if (!differs && bits_ % 8 != 0) {
        const std::size_t index = bits_ / 8;
        const int got = byte_ << (8 - bits_ % 8);
        if (index < want_size() && want(index) == got)
            matched = index + 1;
        else
            differs = true, differing = got;
    }
    r.count = matched;
    if (r.error.empty() && bits_ % 8 != 0)
        r.error = "the signal ends after " + std::to_string(bits_) + " bits, not whole bytes";
    if (!r.error.empty()) return;
    const std::size_t got_size = (bits_ + 7) / 8;
    if (differs)
        r.error = "byte " + std::to_string(matched) + " reads back as " + std::to_string(differing) + ", not " +
                  (matched < want_size() ? std::to_string(want(matched)) : "the end");
    else if (got_size != want_size())
        r.error = "the signal ends after " + std::to_string(got_size) + " of " + std::to_string(want_size()) +
                  " bytes";
}

readback read_cells(event_finder& events, double cutoff, std::uint64_t end, double cell, double tolerance,
                    byte_check& check) {
    readback r;
    // The next three events, each gap from one to the next; the last event's
    // gap runs to the end.
    std::deque<std::uint64_t> at;
    bool ended = false;
    const auto fill = [&] {
        signal_event e;
        while (at.size() < 3 && !ended) {
            if (events.next(e) && double(e.at) < cutoff)
                at.push_back(e.at);
            else
                ended = true;
        }
    };
    const auto gap = [&](std::size_t i) {
        const std::uint64_t stop = i + 1 < at.size() ? at[i + 1] : (end != 0 ? end : events.samples_read());
        return double(stop) - double(at[i]);
    };
    for (fill(); !at.empty(); fill()) {
        const std::size_t bits = check.bits();
        if (at.size() > 1 && near(gap(0), cell / 2, tolerance) && near(gap(1), cell / 2, tolerance)) {
            check.bit(true);
            at.pop_front();
            at.pop_front();
        } else if (near(gap(0), cell, tolerance)) {
            check.bit(false);
            at.pop_front();
        } else {
            r.error = "byte " + std::to_string(bits / 8) + ", bit " + std::to_string(7 - bits % 8) + " at sample " +
                      std::to_string(at[0]) + ": a gap of " + number(gap(0)) + " samples, where a 0 bit is " +
                      number(cell) + " and each half of a 1 bit " + number(cell / 2);
            break;
        }
    }
    check.finish(r);
    return r;
}

}  // namespace korvax

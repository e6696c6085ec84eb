#include "formats/cbm/regenerate.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvax::cbm {
namespace {

// The histogram is smoothed over 3 bins either side (4.5%), with weights
// 1 2 3 4 3 2 1: a kind under hiss spreads wider than that, so each is one
// rise and fall.
constexpr int smooth_reach = 3;
// A peak holds at least 8 pulses and one in 256 of the stretch within its
// 7 bins.
constexpr std::int64_t least_in_peak = 8, peak_part = 256;
// Two peaks are two kinds when the emptiest bin between them holds under
// this part of the lower one.
constexpr double valley_part = 0.35;
// Peaks under 20% apart are one kind: no loader tells lengths so close
// apart, while a recording's rate rounds some of a kind's pulses a sample
// longer than the others (a C16 turbo's 235 us pulses at 22050 Hz come
// back 227 or 272 us long, which hiss blurs into peaks some 18% apart).
// So is a peak not parted from one over four times its height: a shoulder
// of it; and one over twice its height, with the emptiest bin between
// holding three quarters of it or more: a bump on its slope (those 272 us
// pulses, some 22% from the 227 us ones on a take, and a third as many).
const int close_bins = int(std::log(1.2) / std::log(1.015));
constexpr std::int64_t shoulder = 4, bump_height = 2;
constexpr double bump_part = 0.75;
// A lone kind (a leader) spans this part of its length either side: at
// 22050 Hz the rate's rounding writes some of a C16 turbo's short pulses a
// sample longer (those 272 us ones), and hiss moves their edges a sample
// more, so that in a long leader they come back up to 30% long, and were
// kept as measured, past a loader's threshold (at 12%, one in three of the
// pulses out of tolerance in a take). No loader's next kind lies so near
// (a C64's medium pulse is 45% longer than its short one).
constexpr double lone_part = 0.3;
// Near the emptiest length, within this part of the way between two kinds'
// means, a pulse is judged with this part of how far its neighbours lie
// off their kinds added to it.
constexpr double near_part = 0.15, neighbour_part = 0.4;
// Two pulses merged are at least this many times the shortest kind; their
// whole half lies within a factor of 2 of half its kind's length, and
// their length within 12% of the two kinds'. They are split where that
// fits better than one kind does, the whole half counting a quarter as
// much as the length (a rate's rounding and hiss move a half's edges more).
// A "whole half" under half the shortest kind's halves is no half at all,
// but a blip of hiss where the two pulses meet: it tells neither kind, so
// only two pulses of one kind, which need no order, are split so.
constexpr double merged_least = 1.7, whole_half_within = 2, merged_within = 1.12, half_weight = 0.25;

// How far `x` lies from `want`, as the square of the log of their ratio.
double miss(double x, double want) { return std::log(x / want) * std::log(x / want); }

}  // namespace

double pulse_kinds::bin_start(int b) { return least * std::pow(step, b); }

int pulse_kinds::bin_of(double x) {
    static const double longest = bin_start(bins), per_bin = std::log(step);
    if (!(x < longest)) return -1;
    if (!(x > least)) return 0;
    return std::min(bins - 1, int(std::log(x / least) / per_bin));
}

void pulse_kinds::count(const measured_pulse& p, int n) {
    if (p.bin < 0) return;
    counts_[std::size_t(p.bin)] += n;
    sums_[std::size_t(p.bin)] += n * p.length;
    total_ += n;
}

void pulse_kinds::update() {
    kinds_.clear();
    std::array<std::int64_t, bins> smooth{};
    for (int b = 0; b < bins; ++b)
        for (int d = -smooth_reach; d <= smooth_reach; ++d)
            if (b + d >= 0 && b + d < bins)
                smooth[std::size_t(b)] += std::int64_t(smooth_reach + 1 - std::abs(d)) * counts_[std::size_t(b + d)];
    const auto at = [&](int b) { return smooth[std::size_t(b)]; };
    // A bin's pulses weigh 4 in the smoothed sum; spread over 7 bins, 16/7.
    const std::int64_t least_peak = std::max(least_in_peak, total_ / peak_part) * 16 / 7;
    // Peaks, gathered into groups of one kind each.
    struct group {
        int first, last, top;  // its lowest peak, its highest, and its tallest
        std::int64_t height;
    };
    std::vector<group> groups;
    for (int b = 1; b + 1 < bins; ++b)
        if (at(b) >= least_peak && at(b) >= at(b - 1) && at(b) > at(b + 1)) groups.push_back({b, b, b, at(b)});
    if (groups.empty()) return;
    // Between each two groups the emptiest bin (the middle of the emptiest
    // where several are as empty), and whether it parts them.
    std::vector<int> valley;
    std::vector<bool> parts;
    for (bool again = true; again;) {
        again = false;
        valley.assign(groups.size() - 1, 0), parts.assign(groups.size() - 1, false);
        for (std::size_t k = 0; k + 1 < groups.size(); ++k) {
            group &g = groups[k], &h = groups[k + 1];
            int v = g.last, w = g.last;
            for (int b = g.last; b <= h.first; ++b) {
                if (at(b) < at(v))
                    v = w = b;
                else if (at(b) == at(v))
                    w = b;
            }
            valley[k] = (v + w) / 2;
            const std::int64_t lower = std::min(g.height, h.height), higher = std::max(g.height, h.height);
            parts[k] = double(at(v)) < valley_part * double(lower);
            const bool bump = double(at(v)) >= bump_part * double(lower) && bump_height * lower < higher;
            if (h.top - g.top <= close_bins || (!parts[k] && (shoulder * lower < higher || bump))) {
                if (h.height > g.height) g.top = h.top, g.height = h.height;
                g.last = h.last;
                groups.erase(groups.begin() + std::ptrdiff_t(k + 1));
                again = true;
                break;
            }
        }
    }
    // Groups not parted from a neighbour are no kind; the others span the
    // bins from the valley below to the one above (the shortest and longest
    // kind as far the other way as their one valley lies, a lone one a part
    // of its length).
    const int lone = int(std::log(1 + lone_part) / std::log(step));
    for (std::size_t k = 0; k < groups.size(); ++k) {
        const bool below = k > 0, above = k + 1 < groups.size();
        if ((below && !parts[k - 1]) || (above && !parts[k])) continue;
        const group& g = groups[k];
        const int low = std::max(0, below   ? valley[k - 1] + 1
                                    : above ? g.first - (valley[k] - g.last)
                                            : g.first - lone);
        const int high = std::min(bins - 1, above   ? valley[k]
                                            : below ? g.last + (g.first - valley[k - 1]) - 1
                                                    : g.last + lone);
        std::int64_t n = 0;
        double sum = 0;
        for (int b = low; b <= high; ++b) n += counts_[std::size_t(b)], sum += sums_[std::size_t(b)];
        if (n > 0) kinds_.push_back({low, high, sum / double(n), bin_start(low), bin_start(high + 1)});
    }
}

int pulse_kinds::kind_of(int b) const {
    for (std::size_t k = 0; k < kinds_.size(); ++k)
        if (b >= kinds_[k].low && b <= kinds_[k].high) return int(k);
    return -1;
}

double pulse_kinds::off_kind(const measured_pulse* p) const {
    const int k = p ? kind_of(p->bin) : -1;
    return k < 0 ? 0 : p->length - kinds_[std::size_t(k)].mean;
}

std::size_t pulse_kinds::regenerate(const measured_pulse& p, const measured_pulse* before, const measured_pulse* after,
                                    std::array<double, 2>& out) const {
    out[0] = p.length;
    if (kinds_.empty() || p.bin < 0) return 1;
    const int k = kind_of(p.bin);
    if (p.may_be_two() && p.length > merged_least * kinds_.front().mean) {
        const double second_half = p.length - p.first_half, whole_half = std::min(p.first_half, second_half);
        const bool whole_first = p.first_half < second_half;
        const bool blip = whole_half * whole_half_within < kinds_.front().mean / 2;
        const double as_one = k < 0 ? std::numeric_limits<double>::infinity()
                                    : (blip ? 0 : half_weight * miss(whole_half, kinds_[std::size_t(k)].mean / 2)) +
                                          miss(p.length, kinds_[std::size_t(k)].mean);
        double best = as_one;
        for (const kind& whole : kinds_)
            for (const kind& rest : kinds_) {
                if (blip && &whole != &rest) continue;
                const double half = blip ? 0 : miss(whole_half, whole.mean / 2),
                             length = miss(p.length, whole.mean + rest.mean);
                if (half > miss(whole_half_within, 1) || length > miss(merged_within, 1) ||
                    half_weight * half + length >= best)
                    continue;
                best = half_weight * half + length;
                out[0] = whole_first ? whole.mean : rest.mean;
                out[1] = whole_first ? rest.mean : whole.mean;
            }
        if (best < as_one) return 2;
    }
    if (k < 0) {
        // A pulse of no kind whose neighbours are as much shorter as it is
        // longer (or the other way round) is of the kind it then lands in:
        // hiss moved the edges it shares with them.
        if (const double off = off_kind(before) + off_kind(after); off != 0)
            if (const int c = kind_of(bin_of(p.length + off)); c >= 0) out[0] = kinds_[std::size_t(c)].mean;
        return 1;
    }
    const kind& own = kinds_[std::size_t(k)];
    // Near the emptiest length on either side, the neighbours' say.
    const kind* shorter =
        k > 0 && kinds_[std::size_t(k - 1)].high + 1 == own.low ? &kinds_[std::size_t(k - 1)] : nullptr;
    const kind* longer = std::size_t(k) + 1 < kinds_.size() && kinds_[std::size_t(k + 1)].low == own.high + 1
                             ? &kinds_[std::size_t(k + 1)]
                             : nullptr;
    const bool near = (shorter && p.length - own.from < near_part * (own.mean - shorter->mean)) ||
                      (longer && own.to - p.length < near_part * (longer->mean - own.mean));
    if (near) {
        if (const int c = kind_of(bin_of(p.length + neighbour_part * (off_kind(before) + off_kind(after)))); c >= 0) {
            out[0] = kinds_[std::size_t(c)].mean;
            return 1;
        }
    }
    out[0] = own.mean;
    return 1;
}

}  // namespace korvax::cbm

#include "formats/cgenie/recording_dsp.h"

#include <algorithm>
#include <cmath>

namespace korvax::dsp {
namespace {

// Peak picking while hunting: a peak must be the highest within this much of
// a cell on either side, and at least this part of the recent highest.
// Events are half a cell apart at the closest: this keeps the next event's
// slope out (it could outgrow a lower peak) and a peak's own shoulders in.
constexpr double pick_spacing = 0.3;
constexpr double pick_floor = 0.3;
constexpr double hold_seconds = 0.03;

// A leader's events may be this far from where its spacing puts them, in
// cells.
constexpr double leader_slack = 0.15;

// Tracking. A start event is looked for within this much of a cell of where
// it is due, and read as one when it is at least `strong` of the envelope.
// The middle is looked for within `mid_slack` of where it is due.
constexpr double search = 0.3;
constexpr double strong = 0.5;
constexpr double mid_slack = 0.05;
// A start event this far from where the bit just read puts it means the
// clock or the bit is wrong.
constexpr double late = 0.25;
// The clock's phase and speed follow what they find: a second-order loop,
// near critically damped, with a bandwidth of about 2% of the bit rate,
// which follows flutter of a few percent at 8 Hz.
constexpr double alpha = 0.3, beta = 0.02;
// Only start events this high steer the clock: lower ones lie in a
// dropout's slope, where noise moves them more.
constexpr double steady = 0.7;
// After a gap (a start event missing) the clock runs on at the last speed,
// which flutter may put half a cell out within 20 ms. So it waits for the
// cells ahead to be back, finds where their events lie and how fast they
// come, and counts the cells in the gap at the mean of the speeds before and
// after it; regain() tells how. The first start event found then puts the
// clock this far back in step at once.
constexpr int regain_cells = 8;       // cells ahead whose events must be back
constexpr double regain_missing = 2;  // but for this many cells' worth (noise)
constexpr std::uint64_t short_gap = 3;  // cells: less, and the clock is still in step
constexpr double resume = 0.15;         // within this much of a cell
constexpr double regain_margin = 2;   // cells' worth of events that tell two grids apart
constexpr int regain_most = 32;       // cells ahead that may tell the two grids apart
constexpr double regain_doubt = 0.4;  // a count this far from whole is not sure
constexpr double regain_close = 0.2;  // nor this far, when it alone tells the grids apart
constexpr double recover = 0.5;
constexpr int settled_cells = 8;  // start events at full height in a row that end a gap's doubts
// A signal this many times as loud as the one followed (its envelope),
// in every cell looked at (one in four, which is cheaper, and enough) of a
// run of 24, is another: the one followed was faint (the print-through of
// the tape's next turn, an old recording not wholly erased) and the tape
// itself has begun, off the clock's grid. The stretch ends there and the
// hunt starts again. (Where the tape's own level rises, the envelope
// follows it to within this in a dozen cells.)
constexpr double overpowered = 3;
constexpr std::uint64_t overpowered_every = 4;
constexpr int overpowered_looks = 6;
// What follows the signal, per cell: the start events' envelope, the
// middles' levels and the noise. A second envelope follows the start events
// fast, and where it lies below the first, it tells: a level that swings
// several times a second (a crinkled tape, a head that loses contact) must
// not leave the start events far below the envelope where it falls, or they
// read as missing. (Where the level rises, the slow one tells, so that the
// louder signal below still stands out against it.)
constexpr double follow = 0.03, fast_follow = 0.1;
constexpr int learn_prior = 8;  // cells the first guess of the noise counts as
// A middle read as a 1 or a 0 by less than what makes the odds against the
// other bit e^14, or than this part of the way between the two, is in doubt.
constexpr double doubt_odds = 14;
constexpr double doubt_floor = 0.12;
// Edges: the middle agrees with a bit read from the start events when it
// lies no further than this towards the other bit's middle.
constexpr double agree = 0.25;

}  // namespace

cell_reader::cell_reader(std::uint32_t rate, const cell_format& format, cell_sink* sink)
    : rate_(rate), format_(format), sink_(sink), nominal_(double(rate) * format.cell_seconds),
      out_(ring_size, 0.0f) {
    const auto samples = [&](double cells) { return std::max(1, int(std::lround(cells * nominal_))); };
    if (format_.events == event_kind::edges) {
        // The mean over w samples after the edge minus the mean over w before.
        const int w = samples(format_.width);
        windows_ = {{-w, 0, -1.0f / float(w)}, {0, w, 1.0f / float(w)}};
    } else {
        // The mean over a pulse's width minus the mean of the silence on
        // either side of it, kept clear of the pulse's slopes by half its
        // width and of the next possible pulse by the rest of the half cell.
        const int p = samples(format_.width), guard = std::max(1, p / 2), flank = std::max(1, (3 * p + 1) / 2);
        const float side = -0.5f / float(flank);
        windows_ = {{0, p, 1.0f / float(p)}, {-guard - flank, -guard, side}, {p + guard, p + guard + flank, side}};
    }
    reach_ = 0;
    int back = 0;
    for (const window& w : windows_) reach_ = std::max(reach_, w.to), back = std::max(back, -w.from);
    // Silence before the recording for the detector to look back on.
    pre_ = back + reach_;
    sums_.assign(std::size_t(back + reach_) + block, 0.0);
    n_ = pre_;
    ready_ = n_ - reach_ + 1;
    pick_at_ = ready_;
    hold_decay_ = std::exp(-1.0 / (hold_seconds * rate_));
}

void cell_reader::feed(const float* samples, std::size_t n) {
    while (n > 0) {
        // No more at once than the rings hold with room for a few cells.
        const std::size_t k = std::min(n, block);
        // The running sums of the samples, after those the detector still
        // looks back on: the box sums are differences of two of them.
        const std::size_t history = sums_.size() - block;
        double* sums = sums_.data() + history;
        double sum = sum_;  // a local: the stores through `sums` cannot touch it
        for (std::size_t i = 0; i < k; ++i) {
            float v = samples[i];
            if (!(v > -8.0f && v < 8.0f)) v = 0;  // NaN or a wild value: a sample is full scale at most
            sums[i] = sum += v;
        }
        sum_ = sum;
        // The detector at positions [from, from + k): sums_[j] is the sum
        // before position n_ - history + 1 + j.
        const std::int64_t from = n_ + 1 - reach_;
        const double* at = sums_.data() + (history - std::size_t(reach_));
        for (std::size_t done = 0; done < k;) {
            const std::size_t o = std::size_t(from + std::int64_t(done)) & ring_mask;
            const std::size_t m = std::min(k - done, ring_size - o);
            detect(at + done, out_.data() + o, m);
            done += m;
        }
        std::copy(sums_.end() - std::ptrdiff_t(history + block - k), sums_.end() - std::ptrdiff_t(block - k),
                  sums_.begin());
        n_ += std::int64_t(k);
        last_ = samples[k - 1];
        ready_ = n_ - reach_ + 1;
        samples += k;
        n -= k;
        for (;;) {
            if (!locked_ && !hunt()) break;
            if (!track()) break;
        }
    }
}

// `out[i]` for the position whose running sum (of the samples before it)
// is `s[i]`: straight loops the compiler can vectorise.
void cell_reader::detect(const double* s, float* out, std::size_t m) const {
    const window& a = windows_[0];
    const window& b = windows_[1];
    if (format_.events == event_kind::edges) {
        const std::ptrdiff_t w = b.to;
        const double scale = b.weight;
        for (std::ptrdiff_t i = 0; i < std::ptrdiff_t(m); ++i)
            out[i] = float(scale * ((s[i + w] - s[i]) - (s[i] - s[i - w])));
    } else {
        const window& c = windows_[2];
        const double centre = a.weight, side = b.weight;
        for (std::ptrdiff_t i = 0; i < std::ptrdiff_t(m); ++i)
            out[i] = float(centre * (s[i + a.to] - s[i + a.from]) +
                           side * ((s[i + b.to] - s[i + b.from]) + (s[i + c.to] - s[i + c.from])));
    }
}

void cell_reader::finish() {
    // A lost signal is only told once it has been missing for the longest
    // gap; the silence after the recording makes that happen.
    const std::size_t tail = std::size_t((format_.max_gap_seconds * rate_) + 8 * nominal_) + std::size_t(reach_);
    const float v = std::isfinite(last_) ? last_ : 0.0f;
    const std::vector<float> rest(std::min<std::size_t>(tail, block), v);
    finishing_ = true;
    for (std::size_t done = 0; done < tail; done += rest.size()) feed(rest.data(), rest.size());
    if (locked_) lose(true);
}

// The highest event between `lo` and `hi`, refined between samples; its
// height is signed for edges and taken in the found polarity for pulses.
// When `alone`, the window must hold the event's peak itself.
double cell_reader::peak(double lo, double hi, float& height, bool alone) const {
    const bool edges = format_.events == event_kind::edges;
    const auto value = [&](std::int64_t i) {
        const float d = out_[std::size_t(i) & ring_mask];
        return edges ? std::fabs(d) : (sign_ ? d : -d);
    };
    const auto first = static_cast<std::int64_t>(std::ceil(lo)), last = static_cast<std::int64_t>(std::floor(hi));
    std::int64_t best = -1;
    float top = 0, before = value(first - 1), v = value(first);
    for (std::int64_t i = first; i <= last; ++i) {
        const float after = value(i + 1);
        // Alone, only a peak counts, not the slope of an event further off
        // that happens to be higher at the window's edge.
        if ((best < 0 || v > top) && (!alone || (v >= before && v >= after))) top = v, best = i;
        before = v, v = after;
    }
    if (best < 0) {
        height = 0;
        return 0.5 * (lo + hi);
    }
    const float d = out_[std::size_t(best) & ring_mask];
    height = edges ? d : top;
    return centre(best, top, value);
}

// Where the event whose highest sample is `best` lies: the centroid of its
// upper half, which noise moves much less than it moves the highest sample
// on a peak flattened by the low-pass.
template <class value_fn>
double cell_reader::centre(std::int64_t best, float top, const value_fn& value) const {
    const float floor = 0.5f * top;
    double weight = top - floor, moment = 0;
    const auto reach = static_cast<std::int64_t>(std::ceil(0.5 * nominal_ * format_.width)) + 1;
    for (int side : {-1, 1})
        for (std::int64_t k = 1; k <= reach; ++k) {
            const float v = value(best + side * k);
            if (v <= floor) break;
            weight += v - floor;
            moment += double(side * k) * (v - floor);
        }
    return double(best) + moment / weight;
}

bool cell_reader::hunt() {
    const double spacing = pick_spacing * nominal_, decay = hold_decay_;
    const bool edges = format_.events == event_kind::edges;
    // The hunt's state in locals, which the calls below cannot touch, so that
    // the loop keeps it in registers.
    std::int64_t pick = pick_at_, cand_at = cand_at_;
    double hold = hold_;
    float cand = cand_;
    const auto keep_state = [&] { pick_at_ = pick, cand_at_ = cand_at, hold_ = hold, cand_ = cand; };
    for (const std::int64_t ready = ready_; pick < ready; ++pick) {
        const float d = out_[std::size_t(pick) & ring_mask];
        const float a = std::fabs(d);
        hold = std::max(double(a), hold * decay);
        // Level changes alternate: a higher value the other way is the next
        // event's, not this one's (where a high-pass made each level droop,
        // the next event's may come within the spacing and outgrow it).
        if (cand_at >= 0 && (double(pick - cand_at) > spacing || (edges && a > std::fabs(cand) && (d > 0) != (cand > 0)))) {
            const std::int64_t at = cand_at;
            cand_at = -1;
            const auto v = [&](std::int64_t i) { return std::fabs(out_[std::size_t(i) & ring_mask]); };
            bool highest = std::fabs(cand) >= pick_floor * hold && cand != 0;
            for (auto i = at - static_cast<std::int64_t>(spacing); highest && i < at; ++i) highest = v(i) <= std::fabs(cand);
            // And the other way from the last event: a bump of the same sign
            // between two events is the droop of a high-pass.
            if (edges && !events_.empty() && (events_.back().height > 0) == (cand > 0)) highest = false;
            if (highest) {
                events_.push_back({centre(at, std::fabs(cand), v), cand});
                const std::size_t kept = format_.leader.size() * std::size_t(format_.leader_periods) + 1;
                if (events_.size() > kept) events_.erase(events_.begin(), events_.end() - std::ptrdiff_t(kept));
                if (lock_on_leader()) {
                    ++pick;
                    keep_state();
                    return true;
                }
            }
        }
        if (cand_at < 0 || a > std::fabs(cand)) cand_at = pick, cand = d;
    }
    keep_state();
    return false;
}

bool cell_reader::lock_on_leader() {
    const std::vector<double>& pattern = format_.leader;
    const std::size_t per = pattern.size(), intervals = per * std::size_t(format_.leader_periods);
    if (events_.size() < intervals + 1) return false;
    const bool edges = format_.events == event_kind::edges;

    double cycle = 0;
    for (double p : pattern) cycle += p;
    const double period = (events_.back().at - events_.front().at) / (cycle * format_.leader_periods);
    if (period < format_.shortest_cell * nominal_ || period > format_.longest_cell * nominal_) return false;

    for (std::size_t r = 0; r < per; ++r) {
        bool fits = true;
        for (std::size_t j = 0; fits && j < intervals; ++j) {
            const double want = pattern[(j + r) % per] * period;
            fits = std::fabs(events_[j + 1].at - events_[j].at - want) <= leader_slack * period;
        }
        if (!fits) continue;
        // Heights alike, and signs alternating (level changes) or all alike
        // (pulses of one polarity): asked only of events spaced as a leader,
        // which hiss seldom is, as the spacing is the cheaper question.
        std::vector<float> heights;
        for (const event& e : events_) heights.push_back(std::fabs(e.height));
        std::nth_element(heights.begin(), heights.begin() + std::ptrdiff_t(heights.size() / 2), heights.end());
        const float median = heights[heights.size() / 2];
        for (std::size_t j = 0; j < events_.size(); ++j) {
            const float h = std::fabs(events_[j].height);
            if (h < 0.5f * median || h > 2.0f * median) return false;
            if (j > 0 && ((events_[j].height > 0) != (events_[j - 1].height > 0)) != edges) return false;
        }

        // Events whose place in the pattern is a whole number of cells from
        // its start are start events; the clock starts at the last of them.
        double place = 0;
        for (std::size_t j = 0; j < r; ++j) place += pattern[j];
        std::size_t start = 0;
        for (std::size_t j = 0; j <= intervals; ++j) {
            if (std::fabs(place - std::round(place)) < 1e-6) start = j;
            if (j < intervals) place += pattern[(j + r) % per];
        }
        double spread = 0;
        for (const event& e : events_) spread += (std::fabs(e.height) - median) * (std::fabs(e.height) - median);
        phi_ = events_[start].at;
        period_ = period;
        env_ = fast_env_ = median;
        noise_ = std::max(spread / double(events_.size()), 0.0025 * double(median) * median);
        m0_ = m1_ = 0;
        n0_ = n1_ = 0;
        sign_ = events_[start].height > 0;
        strong_ = strong_before_ = true;
        index_ = 0;
        gap_ = unsettled_ = fresh_ = false;
        steady_run_ = 0;
        loud_run_ = 0;
        found_.fill({});
        queue_.clear();
        locked_ = true;
        if (first_lock_ < 0) first_lock_ = seconds(events_.front().at);
        events_.clear();
        return true;
    }
    return false;
}

void cell_reader::release(std::size_t n) {
    if (sink_ != nullptr)
        for (std::size_t i = 0; i < n; ++i) sink_->on_cell(queue_[i].c);
    queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(n));
}

void cell_reader::lose(bool ended) {
    // The cells before the gap stand, and the last one with them: clear if
    // its middle was and the signal has ended there; those in the gap go.
    std::size_t ready = 0;
    while (ready < queue_.size() && !queue_[ready].gap) ++ready;
    if (ready < queue_.size() && queue_[ready].last) queue_[ready].c.clear = ended && queue_[ready].last_clear, ++ready;
    release(ready);
    queue_.clear();
    locked_ = false;
    events_.clear();
    cand_at_ = -1;
    hold_ = env_;
    pick_at_ = std::max({pick_at_, static_cast<std::int64_t>(phi_), ready_ - std::int64_t(ring_size / 2)});
    if (sink_ != nullptr) sink_->on_lost();
}

// How far past a position the detector is read to find the event there,
// and to find the events of the cells ahead after a gap.
double cell_reader::reach() const { return 0.5 * nominal_ * format_.width + 4; }
double cell_reader::ahead(int cells) const { return (cells + 1 + late) * period_ + reach(); }

// How strongly a grid of start events, `cells` long from `at`, shows in the
// signal: a cell counts 1 for an event at full height within `slack`, less
// for a lower one.
double cell_reader::grid(double at, int cells, double period, double slack) const {
    const bool edges = format_.events == event_kind::edges;
    double score = 0;
    for (int k = 0; k < cells; ++k) {
        const double centre = at + k * period;
        float top = 0;
        for (auto i = static_cast<std::int64_t>(std::ceil(centre - slack)); i <= std::int64_t(centre + slack); ++i) {
            const float d = out_[std::size_t(i) & ring_mask];
            top = std::max(top, edges ? std::fabs(d) : (sign_ ? d : -d));
        }
        score += std::min(1.0, double(top) / env_);
    }
    return score;
}

cell_reader::regained cell_reader::regain(double due) const {
    const bool edges = format_.events == event_kind::edges;
    if (due + ahead(2 * regain_cells) >= double(ready_)) return {};  // the recording has ended first
    const double step = std::max(0.5, period_ / 32), slack = std::max(1.0, mid_slack * period_);
    double best = 0, top = -1;
    for (double shift = -0.5 * period_; shift < 0.5 * period_; shift += step)
        if (const double g = grid(due + shift, regain_cells, period_, slack);
            g > top + 1e-9 || (g > top - 1e-9 && std::fabs(shift) < std::fabs(best)))
            top = g, best = shift;
    // Not back yet (or back only in part, on a dropout's slope).
    if (top < regain_cells - regain_missing) return {};

    // The speed after the gap, from the events ahead, fitted to a line.
    double n = 0, sk = 0, sp = 0, skk = 0, skp = 0;
    for (int k = 0; k < 2 * regain_cells; ++k) {
        const double centre = due + best + k * period_;
        float h = 0;
        const double p = peak(centre - late * period_, centre + late * period_, h, true);
        if (std::fabs(h) < strong * env_ || (!edges && h < 0)) continue;
        n += 1, sk += k, sp += p, skk += double(k) * k, skp += double(k) * p;
    }
    const double det = n * skk - sk * sk;
    if (n < regain_cells - regain_missing || det <= 0) return {};
    regained r;
    r.period = std::clamp((n * skp - sk * sp) / det, format_.shortest_cell * nominal_, format_.longest_cell * nominal_);
    const double first = (sp - r.period * sk) / n;
    // Over a gap this short the speed changes about linearly: counted at the
    // mean of the speeds before and after it, the cells in it come out
    // within a tenth of one of a whole number.
    const auto cells = [&](double at) { return (at - gap_from_) / (0.5 * (gap_period_ + r.period)); };
    // Start events lie on every cell, a 1's middle events half a cell off:
    // the grid with clearly more events holds the start events. A run of 1s
    // has them on both: the 0s further on tell (the grids laid at the speed
    // just measured, with more room for what it misses); where none come,
    // the grid that makes the count clearly whole does.
    const double other = first + (best < 0 ? 0.5 : -0.5) * r.period;
    double at = first;
    bool told = false;
    const double wide = std::max(1.0, 2 * mid_slack * r.period);
    for (int cells = regain_cells; !told && cells <= regain_most && due + ahead(cells) < double(ready_); cells *= 2) {
        const double a = grid(first, cells, r.period, wide), b = grid(other, cells, r.period, wide);
        if (std::fabs(a - b) >= regain_margin) at = a > b ? first : other, told = true;
    }
    const double count = cells(at), rest = std::fabs(count - std::round(count));
    r.sure = rest <= regain_doubt;
    if (!told) {
        const double flip = std::fabs(cells(other) - std::round(cells(other)));
        if (flip < rest) at = other;
        r.sure = std::min(rest, flip) <= regain_close;
        r.by_count = true;
    }
    const double counted = double(index_ + 1 - gap_index_);
    r.phi = at + (counted - std::round(cells(at)) - 1) * r.period;
    r.found = true;
    return r;
}

bool cell_reader::track() {
    const bool edges = format_.events == event_kind::edges;
    for (;;) {
        double due = phi_ + period_;
        const double window = search * period_;
        if (gap_ && index_ + 1 - gap_index_ > short_gap) {
            // Once the cells ahead are back, put the clock on them.
            if (!finishing_ && due + ahead(regain_most) >= double(ready_)) return false;
            if (const regained r = regain(due); r.found) {
                // A count that may be a cell out would shift every bit after
                // it: the stretch ends here rather than read them wrong.
                if (!r.sure) {
                    lose(false);
                    return true;
                }
                phi_ = r.phi, period_ = r.period, gap_ = false;
                // Chosen by the count alone, the grid may be the middles' of
                // a run of 1s: the bits read the same either way, but they
                // may be a cell too many or too few. A 0, which only the
                // start events' grid can show, settles it.
                unsettled_ = r.by_count;
                continue;
            }
        }
        if (due + window + reach() >= double(ready_)) return false;

        if (index_ % overpowered_every == 0) {
            float loudest = 0;
            for (auto i = static_cast<std::int64_t>(std::ceil(phi_)); i <= static_cast<std::int64_t>(due); ++i)
                loudest = std::max(loudest, std::fabs(out_[std::size_t(i) & ring_mask]));
            loud_run_ = loudest > overpowered * env_ ? loud_run_ + 1 : 0;
            if (loud_run_ >= overpowered_looks) {
                lose(false);
                return true;
            }
        }

        float found = 0;
        const double next = peak(due - window, due + window, found, true);
        const float height = std::fabs(found);
        // The level events are weighed against: the envelope, or where the
        // level has fallen faster than it follows, the one that follows fast.
        double level = std::min(env_, fast_env_);
        // A start event far from where it is due is none, or noise has
        // smeared it: either way it counts as missing, and must not pull the
        // clock (a clock pulled about by noise can end up a cell out).
        const bool strong_next =
            height >= strong * level && (edges || found > 0) && std::fabs(next - due) <= late * period_;
        // After a short gap the clock is still in step: a start event where
        // it is due ends the gap.
        if (gap_ && strong_next && index_ + 1 - gap_index_ <= short_gap && std::fabs(next - due) < resume * period_)
            gap_ = false;

        // The middle, where a 1's second event lies between this start event
        // and the next: where the clock puts them, moved by as much of what
        // was found as the clock will follow, so that an event found in the
        // wrong place cannot drag the middle along to agree with it.
        const double one = phi_ + period_;
        const double end = strong_next ? one + alpha * (next - one) : one;
        const double mid = phi_ + 0.5 * (end - phi_);
        const double slack = std::max(1.0, mid_slack * period_);
        float middle = 0;
        peak(mid - slack, mid + slack, middle, false);
        // A 1's middle event goes against the start event's direction; with
        // no start event to go by, only its size tells.
        const double reading = !edges ? middle : !strong_ ? std::fabs(middle) : sign_ ? -middle : middle;

        // What a 0's and a 1's middle read, as parts of the start events'
        // height, so that they follow the level as it drifts. Until enough
        // 1s have been read clearly, a 1's middle reads like a start event:
        // it is the same kind of event.
        const double m0 = m0_ * level, m1 = (n1_ * m1_ + learn_prior) / (n1_ + learn_prior) * level;
        int bit;
        bool clear, disagrees = false;
        const double between = std::max(m1 - m0, 0.2 * level);
        if (edges && strong_ && strong_next) {
            // Two start events in the same direction have a level change
            // between them: a 1. Both are full steps, far above the noise;
            // the middle only has to agree.
            bit = (found > 0) == sign_ ? 1 : 0;
            disagrees = bit ? reading < m0 + agree * between : reading > m1 - agree * between;
            clear = !disagrees;
        } else {
            // The middle alone: clear when the odds that noise carried it
            // across from the other bit are below about e^-14, with the
            // noise and the two bits' middles as the tape has shown them.
            const double threshold = m0 + 0.5 * between;
            bit = reading > threshold ? 1 : 0;
            clear = std::fabs(reading - threshold) > std::max(doubt_floor * between, doubt_odds * noise_ / between);
        }
        double then = phi_ + period_;
        const double error = next - then;
        // A start event far from where the bit puts it: the bit is wrong.
        const bool misplaced = strong_next && std::fabs(error) > late * period_;
        if (unsettled_ && bit == 0 && clear && strong_ && strong_next && !gap_) unsettled_ = false;
        // Coming out of a gap, faint start events may still be noise on the
        // dropout's rising slope: a cell is clear only between two at full
        // height, until the signal has shown itself back.
        steady_run_ = strong_next && height >= steady * level ? steady_run_ + 1 : 0;
        if (steady_run_ >= settled_cells) fresh_ = false;
        clear = clear && !misplaced && strong_ && strong_before_ && !gap_ && !tainted_ && !unsettled_ &&
                (!fresh_ || steady_run_ >= 2);
        tainted_ = disagrees || misplaced;
        // With the next start event missing, the middle may lie on the slope
        // into a dropout: it counts only if the stretch ends here (a tape's
        // last bit need not end in a level change).
        const bool last = strong_ && !gap_ && !strong_next, last_clear = clear;
        if (last) clear = false;

        const cell c{index_, seconds(phi_), bit, clear};
        // A middle that disagrees with the start events throws doubt on
        // both of them, and so on the cells before and after, which share
        // them: a start event read the wrong way flips the bits on both
        // its sides.
        // And as a gap begins, a faint start event before it may be noise
        // where the signal fades into a dropout: the cell it ends is not
        // sure either.
        if ((disagrees || (faint_ && !strong_next && !gap_)) && !queue_.empty() && queue_.back().c.index + 1 == index_)
            queue_.back().c.clear = false;
        queue_.push_back({c, !strong_ || gap_ || !strong_next, last, last_clear});
        // The newest cell waits for the next; cells in a gap wait until the
        // clock is back on the signal.
        std::size_t ready = queue_.size() - 1;
        if (queue_.back().gap)
            for (std::size_t i = 0; i < ready; ++i)
                if (queue_[i].gap) ready = i;
        release(ready);

        if (gap_) {
            // Nothing found in a gap steers the clock: it may lie on a
            // dropout's slope. The clock runs on until regain() puts it back.
        } else if (strong_next) {
            env_ += follow * (height - env_);
            fast_env_ += fast_follow * (height - fast_env_);
            level = std::min(env_, fast_env_);
            if (height >= steady * level) found_[(index_ + 1) % found_.size()] = {index_ + 1, next};
            if (strong_ && strong_before_) {
                // The two middles learn only from bits read clearly, or noise
                // read as 1s in a leader of 0s would drag the 1s' middle down
                // to it; a plain mean of the first few, then a running one (a
                // Homelab leader has no 1s to learn from). The noise, which
                // does not follow the level, learns from every bit, or it
                // would miss the ones that stray most.
                double& m = bit ? m1_ : m0_;
                int& n = bit ? n1_ : n0_;
                if (clear) {
                    n = std::min(n + 1, 1000);
                    m += std::max(follow, 1.0 / n) * (reading / level - m);
                }
                const double off = reading - (bit ? m1 : m0);
                noise_ += std::max(follow, 1.0 / (n0_ + n1_ + learn_prior)) * (off * off - noise_);
            }
            if (strong_ && height >= steady * level) {
                then += alpha * error;
                period_ = std::clamp(period_ + beta * error, format_.shortest_cell * nominal_,
                                     format_.longest_cell * nominal_);
            } else if (!strong_) {
                then += recover * error;
            }
        } else {
            // A start event missing: a gap begins, counted from the last one,
            // at the speed the last start events before it show.
            gap_ = fresh_ = true;
            gap_from_ = phi_, gap_index_ = index_, gap_period_ = period_;
            double n = 0, sk = 0, sp = 0, skk = 0, skp = 0;
            for (const auto& [i, p] : found_)
                if (i + found_.size() > index_ && i <= index_) {
                    const double k = double(i) - double(index_);
                    n += 1, sk += k, sp += p, skk += k * k, skp += k * p;
                }
            if (const double det = n * skk - sk * sk; n >= regain_cells && det > 0) {
                gap_period_ = std::clamp((n * skp - sk * sp) / det, format_.shortest_cell * nominal_,
                                         format_.longest_cell * nominal_);
                gap_from_ = (sp - gap_period_ * sk) / n;
            }
        }
        if (edges) sign_ = strong_next ? found > 0 : (bit ? sign_ : !sign_);
        faint_ = height < steady * level;
        strong_before_ = strong_;
        strong_ = strong_next;
        phi_ = then;
        ++index_;
        if (gap_ && double(index_ - gap_index_) * period_ > format_.max_gap_seconds * rate_) {
            lose(true);
            return true;
        }
    }
}

double read_cells(sample_source& in, const cell_format& format, cell_sink& sink) {
    cell_reader cells(in.rate(), format, &sink);
    std::vector<float> block(8192);
    for (std::size_t n; (n = in.read(block.data(), block.size())) > 0;) cells.feed(block.data(), n);
    cells.finish();
    return cells.found() ? cells.found_seconds() : -1;
}

}  // namespace korvax::dsp

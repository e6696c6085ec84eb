// Reading TRS-80 tapes back from a recording.
//
// 250 and 500 baud: each bit cell (6,240 or 3,566 cycles of the 1.7472 MHz
// clock) opens with a clock pulse, 238 cycles one way then 238 the other;
// a 1 bit has a second pulse at the start of the second half cell. A filter
// matched to that pulse (the sum of the last 238 cycles' worth of samples
// minus the sum of the 238 before) turns each pulse into one sharp peak and
// ignores DC and hum, which are nearly constant over half a millisecond. The
// reader locks onto the clock pulses of the zero leader (their sign tells the
// polarity), then looks for each next clock pulse only where it is due, a
// cell after the last one, and for the data pulse midway. The cell length is
// tracked from clock to clock, so the speed may drift, and the data pulse is
// weighed against the clock pulses' level; where a clock pulse is missing (a
// dropout) the clock runs on by itself, so the bits the dropout hides are
// counted from the elapsed time and the bytes after it keep their places.
//
// 1500 baud: every bit is one cycle, a half one way then a half the other:
// 720 us for a 0, 340 us for a 1. The signal is high-passed by subtracting its
// mean over one 0 cycle (which removes DC and hum and leaves the cycles whole),
// smoothed over 90 us, and its zero crossings are found with a hysteresis that
// follows the level. The 0x55 leader's halves come in pairs (long, long,
// short, short...), which tells which crossing starts a cycle, whatever the
// polarity. A cycle's length, against the tracked speed, gives the bit; its
// two halves must agree. Where hiss moved a crossing and misread a bit, the
// frame still lasts as long as the bits it truly holds, which sets the bit
// right (in doubt). Every data byte is preceded by a 0 start bit: where
// a dropout hides cycles, their number cannot be told from the time alone (a
// 0 lasts twice as long as a 1), so it is taken from the time and then moved
// to the nearest count that keeps the start bits after the dropout in their
// 9-bit frames.
//
// Wherever a bit comes from an unclear signal (a pulse between "there" and
// "not there", a clock pulse missing or weak, a pulse where none belongs, a
// cycle between the classes or with unequal halves, a level far below the
// envelope) its byte is reported as in doubt; and where bytes in doubt come
// thick, so are the clear ones between them.
#include "formats/trs80/recording.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <string>

#include "formats/trs80/recording_dsp.h"

namespace korvax::trs80 {
namespace {

constexpr double clock_hz = 1'747'200;
constexpr double pulse_half_s = 238 / clock_hz;    // 136 us: each half of a clock or data pulse
constexpr double level2_cell_s = 3'566 / clock_hz;  // 2.041 ms at 500 baud
constexpr double level1_cell_s = 6'240 / clock_hz;  // 3.571 ms at 250 baud (1/280 s)
constexpr double fast_zero_us = 720, fast_one_us = 340;
constexpr double fast_boundary_us = 520;  // between the two cycle lengths, nearer the 1 (they spread in ratio)
// A cycle of a 0's length whose shorter half is less than this part of it is
// two 1s: halfway between 1:1 and 1:3 in ratio (1:sqrt 3).
constexpr double two_ones_split = 0.366;
// A cycle longer than a 0 but shorter than this is a 0 and a 1 run together:
// halfway between their length (1,060 us) and two 0s'.
constexpr double pair_limit_us = 1250;

constexpr std::uint8_t zero_sync = 0xA5, fast_fill = 0x55, fast_sync = 0x7F;
// The most bytes a BASIC line takes: its link, its number, 255 of text and
// the 0 that ends it.
constexpr std::size_t most_line_bytes = 260;

// At 250 and 500 baud a leader's cell may be this part of the nominal one:
// from a tape running 16% fast to one running 15% slow (a Homelab tape is
// the same kind of signal at 1.38 times the speed: its reader takes up to
// 15% slow, so that the two never pass for each other). The cell then
// follows the speed a little further either way.
constexpr double shortest_cell = 0.86, longest_cell = 1.18;

// A segment ends when its signal has stopped for this long: far longer than a
// dropout (tens of ms), far shorter than the gap a real deck leaves between
// two programs.
constexpr double end_gap_s = 0.15;
// A segment also ends when none of its bits has read clearly for this long,
// though the signal goes on: what follows is another kind of signal (a
// program at another speed, recorded straight after), which the reader for
// that speed then takes from its leader.
constexpr double lost_s = 0.5;
// A leader of this many bits or more (the machine writes 256 zero bytes)
// that ends in no sync byte lost its program, unless a leader goes on after
// a burst of noise or a dropout in it to a sync byte: its locks and its bits
// then fill the time since, but for this many cells or seconds (a dropout
// and the cells a lock waits for; a program lost takes longer than that).
constexpr std::uint64_t lost_leader_bits = 512;
constexpr double lost_slack_cells = 48, lost_slack_s = 0.15;
// Bits of the 0x55 leader, read within a segment, that start the next program.
constexpr std::size_t next_leader_bits = 64;
// Bits of the leader's end and the 1500 baud sync byte that may be unclear.
constexpr int max_sync_unclear = 5;
// Clock pulses in a row, evenly spaced, that make a leader.
constexpr int leader_cells = 64;
// Half cycles in a row of the 0x55 leader's pattern.
constexpr int fast_leader_halves = 32;

// Levels against the envelope of the clock pulses (the matched filter's peak).
constexpr float clock_good = 0.5f;    // a clock pulse at least this strong is there
constexpr float data_one = 0.66f;     // a data pulse at least this strong is a 1
constexpr float data_zero = 0.33f;    // and at most this weak a 0; between is in doubt
constexpr float data_split = 0.47f;   // the guess for a pulse in doubt
constexpr float stray_pulse = 0.5f;   // a pulse this strong where none belongs
constexpr float level_fallen = 0.8f;  // clock pulses on both sides of a cell this weak: the level has fallen
constexpr double data_off_middle = 0.03;  // of the cell: a data pulse further off is in doubt
constexpr double sure_spreads = 10;       // a 1 sure this many spreads of a 0's hiss above its mean

std::uint64_t floor_index(double at) { return at <= 0 ? 0 : static_cast<std::uint64_t>(at); }

std::size_t program_end(const std::vector<std::uint8_t>& b, int baud);
bool known_kind(const std::vector<std::uint8_t>& bytes, int baud);
void check_basic(const std::vector<std::uint8_t>& d, std::vector<std::uint8_t>& doubt, bool places_kept,
                 const std::vector<std::size_t>& recounted = {});

// Bytes of a segment as they are read: each with whether it is in doubt and
// where it starts.
struct segment_builder {
    tape_segment seg;
    std::vector<float> seconds;       // per byte
    std::vector<std::uint8_t> doubt;  // per byte: 1 in doubt
    // Whether the last bit of each byte is in doubt only because the clock
    // after it was missing, which at the very end of a segment is expected.
    std::vector<std::uint8_t> doubt_from_next;

    void start(double at, int baud, std::uint8_t sync) {
        seg = {};
        seg.start_seconds = at;
        seg.baud = baud;
        seg.bytes = {sync};
        seconds = {float(at)};
        doubt = {0};
        doubt_from_next = {0};
    }
    void add(std::uint8_t b, double at, bool in_doubt, bool from_next) {
        seg.bytes.push_back(b);
        seconds.push_back(float(at));
        doubt.push_back(in_doubt);
        doubt_from_next.push_back(from_next);
    }
    // The segment with its first `count` bytes, split where one program
    // ends and another's leader follows with no gap, into `out`.
    void finish(std::size_t count, std::vector<tape_segment>& out);
};

// A program whose leader ended in no sync byte: noted where the leader
// ended, and named as lost (a segment with no bytes) at the next sync byte,
// unless the leader read since fills the time, or at the end.
class lost_program {
public:
    void leader_ended(double at, int baud) {
        if (at_ < 0) at_ = std::max(0.0, at), baud_ = baud, leader_s_ = 0;
    }
    void leader_read(double seconds) {
        if (at_ >= 0) leader_s_ += seconds;
    }
    // A sync byte at `at`, after leader cells of `cell_s` seconds.
    void synced(double at, double cell_s, std::vector<tape_segment>& out) {
        if (at_ >= 0 && at - at_ > leader_s_ + std::max(lost_slack_s, lost_slack_cells * cell_s)) name(out);
        at_ = -1;
    }
    void finish(std::vector<tape_segment>& out) {
        if (at_ >= 0) name(out);
    }

private:
    void name(std::vector<tape_segment>& out) {
        out.push_back(lost_segment(at_, baud_));
        at_ = -1;
    }

    double at_ = -1;       // where the leader ended (-1: none since the last sync byte)
    double leader_s_ = 0;  // seconds of leader read since (its cells, and those each lock took)
    int baud_ = 0;
};

// ---------------------------------------------------------------------------
// 250 and 500 baud.

class pulse_reader {
public:
    pulse_reader(double fs, int baud)
        : fs_(fs),
          h_(std::max(2, int(std::lround(pulse_half_s * fs)))),
          filtered_(std::size_t(level1_cell_s * fs * 2.5) + 64),
          scale_(1.0 / (2 * h_)),
          hunt_decay_(float(std::exp(-1 / (0.04 * fs)))) {
        if (baud == 0 || baud == 500) nominal_.push_back({500, level2_cell_s * fs});
        if (baud == 0 || baud == 250) nominal_.push_back({250, level1_cell_s * fs});
    }
    std::size_t span() const { return std::size_t(2 * h_ + 2); }
    bool enabled() const { return !nominal_.empty(); }
    bool busy() const { return locked_; }
    int locked_baud() const { return locked_ ? baud_ : 0; }

    // The matched filter at samples `n` to `n + k - 1`, which `sums` holds
    // (0 before there are enough samples for it), into `m`.
    void filter(const block_sums& sums, std::uint64_t n, std::size_t k, float* m) const {
        const auto h = std::uint64_t(h_);
        std::size_t i = 0;
        for (; i < k && n + i + 1 < 2 * h; ++i) m[i] = 0;
        if (i == k) return;
        // The sums up to each sample, and a box and two boxes before it.
        const double* e = sums.at(n + i + 1);
        const double* a = sums.at(n + i + 1 - h);
        const double* b = sums.at(n + i + 1 - 2 * h);
        for (std::size_t j = 0; i < k; ++i, ++j) m[i] = float(((e[j] - a[j]) - (a[j] - b[j])) * scale_);
    }

    // Sample `n`, through the matched filter: `m`.
    void push(std::uint64_t n, float m, std::vector<tape_segment>& out) {
        filtered_.put(n, m);
        if (locked_) {
            while (locked_ && double(n) >= next_clock_ + T_ * 0.5 + 1) step_cell(out);
            return;
        }
        hunt(n, m);
    }

    void finish(std::vector<tape_segment>& out) {
        if (locked_) end_segment(out);
        lost_.finish(out);
    }

private:
    struct nominal {
        int baud;
        double cell;  // samples
    };
    struct run {
        double last = 0, mean = 0, amp = 0;
        int count = 0, sign = 0;
    };

    // Peaks of the matched filter's magnitude above a level that follows the
    // recent peaks, one per pulse; runs of them evenly spaced a cell apart.
    void hunt(std::uint64_t n, float m) {
        const float a = std::fabs(m);
        hunt_env_ = std::max(a, hunt_env_ * hunt_decay_);
        if (candidate_) {
            if (a > cand_value_) cand_value_ = a, cand_pos_ = n, cand_sign_ = m < 0 ? -1 : 1;
            if (n >= cand_end_) {
                candidate_ = false;
                dead_until_ = cand_pos_ + std::uint64_t(4 * h_);
                event(double(cand_pos_), cand_value_, cand_sign_);
            }
        } else if (a > 0.45f * hunt_env_ && a > 1e-4f && n >= dead_until_) {
            candidate_ = true;
            cand_value_ = a, cand_pos_ = n, cand_sign_ = m < 0 ? -1 : 1;
            cand_end_ = n + std::uint64_t(4 * h_);
        }
    }

    void event(double at, float value, int sign) {
        for (std::size_t i = 0; i < nominal_.size(); ++i) {
            run& r = runs_[i];
            const double cell = nominal_[i].cell;
            if (r.count > 0) {
                const double gap = at - r.last;
                const double expect = r.count >= 2 ? r.mean : cell;
                if (gap < 0.3 * expect) continue;  // a stray peak just after a pulse
                // (a pulse mid-cell is a 1 bit: not a leader, whose bits are all 0)
                const bool fits = gap > shortest_cell * cell && gap < longest_cell * cell && sign == r.sign &&
                                  (r.count < 2 || std::fabs(gap - r.mean) < 0.08 * r.mean);
                if (fits) {
                    r.mean = r.count < 2 ? gap : r.mean + (gap - r.mean) / std::min(r.count, 8);
                    r.amp += (value - r.amp) / std::min(r.count + 1, 8);
                    r.last = at;
                    if (++r.count >= leader_cells) {
                        lock(nominal_[i].baud, r, at);
                        return;
                    }
                    continue;
                }
            }
            r = {at, 0, value, 1, sign};
        }
    }

    void lock(int baud, const run& r, double at) {
        lost_.leader_read(leader_cells * r.mean / fs_);
        locked_ = true;
        baud_ = baud;
        T_ = r.mean;
        nominal_cell_ = baud == 250 ? level1_cell_s * fs_ : level2_cell_s * fs_;
        pol_ = r.sign;
        env_ = float(r.amp);
        opened_ = env_;
        clock_ = at;
        next_clock_ = at + T_;
        clock_doubt_ = false;
        synced_ = false;
        shift_ = 0, shift_doubt_ = 0, leader_bits_ = 0;
        cells_since_solid_ = 0, good_run_ = 3;
        for (auto& x : runs_) x = {};
    }

    // The strongest peak of the expected sign in [from, to] (in samples),
    // and where it is, between samples.
    std::pair<double, float> strongest(double from, double to) const {
        std::uint64_t lo = floor_index(from), hi = floor_index(to) + 1;
        std::uint64_t best = lo;
        float v = -1e30f;
        for (std::uint64_t k = lo; k <= hi; ++k) {
            const float y = float(pol_) * filtered_[k];
            if (y > v) v = y, best = k;
        }
        double at = double(best);
        if (best > lo && best < hi) {
            const float a = float(pol_) * filtered_[best - 1], c = float(pol_) * filtered_[best + 1];
            const float d = a - 2 * v + c;
            if (d < 0) at += std::clamp(0.5 * double(a - c) / double(d), -0.5, 0.5);
        }
        return {at, v};
    }
    float largest(double from, double to) const {
        float v = 0;
        for (std::uint64_t k = floor_index(from), hi = floor_index(to); k <= hi; ++k)
            v = std::max(v, std::fabs(filtered_[k]));
        return v;
    }

    // One bit cell, from the clock pulse at clock_ to the next one.
    void step_cell(std::vector<tape_segment>& out) {
        const double w = 0.22 * T_;
        const auto [at, v] = strongest(next_clock_ - w, next_clock_ + w);
        const bool good = v >= clock_good * env_;
        const double next = good ? at : clock_ + T_;
        if (good) {
            // The cell follows the speed (wow, flutter) but cannot run away.
            T_ = std::clamp(T_ + 0.15 * ((next - clock_) - T_), 0.95 * shortest_cell * nominal_cell_,
                            1.05 * longest_cell * nominal_cell_);
            env_ += 0.05f * (std::min(v, 2 * env_) - env_);
        }
        // What the data pulse is weighed against: the envelope, or where both
        // clock pulses either side of it are well below it, the stronger of
        // them, so that a level that falls within a few cells (a crinkled
        // tape, a head that loses contact) does not leave a 1 below what the
        // envelope still expects.
        const float closing = good ? v : env_, either = std::max(opened_, closing);
        const float ref = either < level_fallen * env_ ? std::max(either, clock_good * env_) : env_;
        opened_ = closing;
        const double mid = (clock_ + next) / 2, span = next - clock_;
        const auto [data_at, data] = strongest(mid - 0.12 * span, mid + 0.12 * span);
        // Stray pulses are looked for between the pulses' own peaks.
        const auto clear = [&](double part) { return std::max(part * span, double(2 * h_)); };
        const float stray =
            std::max(largest(clock_ + clear(0.2), mid - clear(0.17)), largest(mid + clear(0.17), next - clear(0.22)));
        const bool one = data >= data_split * ref;
        // A data pulse sits in the middle of the cell, as the clock pulses
        // on either side of it say; a strong one off the middle is noise as
        // likely as a pulse.
        const bool off_middle = one && std::fabs(data_at - mid) > data_off_middle * span;
        // What the middle of a 0's cell reads, with hiss: its mean and spread
        // over the last few hundred cells that read clearly as 0. Where the
        // hiss is strong, a 1 must stand well clear of it to be sure.
        const double level = double(data / ref);
        if (good && level < data_zero) {
            zero_mean_ += (level - zero_mean_) / 256;
            zero_square_ += (level * level - zero_square_) / 256;
        }
        const double spread = std::sqrt(std::max(0.0, zero_square_ - zero_mean_ * zero_mean_));
        const float sure_one = synced_ ? std::max(data_one, float(zero_mean_ + sure_spreads * spread)) : data_one;
        const bool own_doubt = clock_doubt_ || (data > data_zero * ref && data < sure_one * ref) ||
                               stray > stray_pulse * ref || off_middle;
        bit(one, own_doubt, !good, clock_, out);
        clock_doubt_ = !good;
        clock_ = next;
        next_clock_ = next + T_;
        good_run_ = good ? good_run_ + 1 : 0;
        if (good_run_ >= 3) {
            cells_since_solid_ = 0;
            solid_bits_ = bits_;
        } else if (double(++cells_since_solid_) * T_ > end_gap_s * fs_) {
            end_segment(out);
            return;
        }
        if (!synced_) return;
        if (!own_doubt && good) {
            clear_bits_ = bits_, cells_since_clear_ = 0;
        } else if (double(++cells_since_clear_) * T_ > lost_s * fs_) {
            end_segment(out, clear_bits_ + 8);
        }
    }

    double seconds_of(double pulse_peak) const { return std::max(0.0, (pulse_peak - 2 * h_ + 1) / fs_); }

    void bit(bool one, bool own_doubt, bool next_doubt, double at, std::vector<tape_segment>& out) {
        if (!synced_) {
            shift_ = shift_ << 1 | one;
            shift_doubt_ = shift_doubt_ << 1 | own_doubt | next_doubt;
            bit_seconds_[leader_bits_ % 8] = seconds_of(at);
            ++leader_bits_;
            lost_.leader_read(T_ / fs_);
            // The sync byte (at most one of its bits unclear) after at least
            // six zero bytes of leader, a few of them perhaps in a dropout: a
            // run of zero bytes and 0xA5 within a program is very unlikely.
            constexpr std::uint64_t leader_mask = 0xFFFF'FFFF'FFFFull << 8;
            if ((shift_ & (leader_mask | 0xFF)) == zero_sync && std::popcount(shift_doubt_ & 0xFF) <= 1 &&
                std::popcount(shift_doubt_ & leader_mask) <= 12) {
                synced_ = true;
                const double sync_at = bit_seconds_[(leader_bits_ - 8) % 8];
                lost_.synced(sync_at, T_ / fs_, out);
                builder_.start(sync_at, baud_, zero_sync);
                bits_ = solid_bits_ = clear_bits_ = cells_since_clear_ = 0;
                byte_ = 0, byte_doubt_ = false;
            } else if (std::popcount(shift_ & 0xFFFF) > 4) {
                // Not a leader, whose bits are all 0 but for a stray one
                // misread (the sync byte has only four): look for another.
                // After a long leader, its program may be lost.
                if (leader_bits_ >= lost_leader_bits) lost_.leader_ended(seconds_of(at) - 16 * T_ / fs_, baud_);
                locked_ = false;
            }
            return;
        }
        if (bits_ % 8 == 0) byte_seconds_ = seconds_of(at), byte_doubt_ = false;
        byte_ = std::uint8_t(byte_ << 1 | one);
        ++bits_;
        if (bits_ % 8 == 0) {
            builder_.add(byte_, byte_seconds_, byte_doubt_ || own_doubt, next_doubt);
        } else {
            byte_doubt_ = byte_doubt_ || own_doubt || next_doubt;
        }
    }

    // Ends the segment, keeping no more than `most` bits.
    void end_segment(std::vector<tape_segment>& out, std::uint64_t most = UINT64_MAX) {
        if (synced_) {
            // Only the bits up to the last steady clock and the cell it opens.
            const std::uint64_t keep = std::min({bits_, solid_bits_ + 1, most});
            builder_.finish(1 + std::size_t(keep / 8), out);
        }
        locked_ = false;
        synced_ = false;
    }

    double fs_;
    // The filter's half, in samples: at least two, for at 8000 Hz a pulse's
    // half is one sample, and a filter one sample wide peaks on the ringing
    // of the recording's own anti-alias filter, of either sign. A pulse's
    // peak then spreads over 2 * h_ samples either side.
    int h_;
    sample_ring<float> filtered_;
    double scale_;  // the matched filter's sums to a level
    std::vector<nominal> nominal_;
    std::array<run, 2> runs_{};
    float hunt_env_ = 0, hunt_decay_;
    bool candidate_ = false;
    std::uint64_t cand_pos_ = 0, cand_end_ = 0, dead_until_ = 0;
    float cand_value_ = 0;
    int cand_sign_ = 0;

    bool locked_ = false, synced_ = false, clock_doubt_ = false;
    int baud_ = 0, pol_ = 1, good_run_ = 0;
    double T_ = 0, nominal_cell_ = 0, clock_ = 0, next_clock_ = 0;
    float env_ = 0;
    float opened_ = 0;  // how strong the clock pulse that opened the cell was (the envelope where it was weak)
    double zero_mean_ = 0, zero_square_ = 0;
    std::uint64_t cells_since_solid_ = 0, bits_ = 0, solid_bits_ = 0, leader_bits_ = 0;
    std::uint64_t clear_bits_ = 0, cells_since_clear_ = 0;  // bits up to the last read clearly, and cells since
    std::uint64_t shift_ = 0, shift_doubt_ = 0;
    lost_program lost_;
    std::array<double, 8> bit_seconds_{};
    std::uint8_t byte_ = 0;
    bool byte_doubt_ = false;
    double byte_seconds_ = 0;
    segment_builder builder_;
};

// ---------------------------------------------------------------------------
// 1500 baud.

class cycle_reader {
public:
    explicit cycle_reader(double fs)
        : fs_(fs),
          long_(std::max(2, int(std::lround(fast_zero_us * 1e-6 * fs)))),
          short_(std::max(1, int(std::lround(90e-6 * fs)))),
          short_scale_(1.0 / short_),
          long_scale_(1.0 / long_),
          hunt_decay_(float(std::exp(-1 / (0.03 * fs)))) {}
    std::size_t span() const { return std::size_t(long_ + short_ + 4); }
    bool busy() const { return locked_; }

    // The band-pass at samples `n` to `n + k - 1`, which `sums` holds (0
    // before there are enough samples for it), into `z`: the mean over the
    // last 0 cycle's length, taken from a short mean at its centre, from
    // about 500 Hz to 5 kHz.
    void filter(const block_sums& sums, std::uint64_t n, std::size_t k, float* z) const {
        const auto wide = std::uint64_t(long_), narrow = std::uint64_t(short_);
        std::size_t i = 0;
        for (; i < k && n + i + 1 < wide + narrow; ++i) z[i] = 0;
        if (i == k) return;
        const std::uint64_t end = n + i + 1, from = end - wide / 2 - (narrow + 1) / 2;
        const double* e = sums.at(end);
        const double* a = sums.at(end - wide);
        const double* c = sums.at(from);
        const double* d = sums.at(from + narrow);
        for (std::size_t j = 0; i < k; ++i, ++j)
            z[i] = float((d[j] - c[j]) * short_scale_ - (e[j] - a[j]) * long_scale_);
    }

    // Sample `n`, through the band-pass: `z`.
    void push(std::uint64_t n, float z, std::vector<tape_segment>& out) {
        if (n + 1 < std::uint64_t(long_ + short_)) return;
        float hysteresis = hysteresis_;
        if (!locked_) {
            hunt_env_ = std::max(std::fabs(z), hunt_env_ * hunt_decay_);
            hysteresis = std::max(0.22f * hunt_env_, 1e-4f);
        }
        crossing_finder::crossing c;
        if (crossings_.push(n, z, hysteresis, c, !locked_)) {
            on_crossing(c, out);
            hysteresis_ = std::max(0.22f * env_, 1e-4f);
            quiet_until_ = std::uint64_t(c.at + end_gap_s * fs_) + 1;
        }
        if (locked_ && (n > quiet_until_ || (synced_ && n > lost_after_))) end_segment(out);
    }
    void finish(std::vector<tape_segment>& out) {
        if (locked_) end_segment(out);
        lost_.finish(out);
    }

private:
    double us(double samples) const { return samples / fs_ * 1e6; }

    void on_crossing(const crossing_finder::crossing& c, std::vector<tape_segment>& out) {
        const double half = c.at - last_crossing_;
        last_crossing_ = c.at;
        if (!locked_) {
            hunt(half, c);
            return;
        }
        if (c.rising != start_rising_) {
            mid_ = c.at;
            first_peak_ = c.peak;
            return;
        }
        if (cycle(c.at - cycle_start_, mid_ - cycle_start_, std::min(first_peak_, c.peak), out)) cycle_start_ = c.at;
    }

    // The leader's halves: long, long, short, short, and so on. A cycle
    // starts with the first of a pair.
    void hunt(double half, const crossing_finder::crossing& c) {
        // (Hiss makes halves of every length, and pairs of them at random,
        // so what follows is worked out without a branch until the halves
        // could be a leader.)
        const double u = us(half);
        const int kind = int((u > 110) & (u < 250)) | int((u > 270) & (u < 480)) << 1;
        // How many pairs in a row, each of two alike halves and each of the
        // other kind from the one before, end with this half: the leader
        // below only once they are enough.
        const half_info& before = hist_[(halves_ - 1) % hist_.size()];
        const half_info& pair_before = hist_[(halves_ - 2) % hist_.size()];
        const int pair = int((kind != 0) & (halves_ >= 2) & (before.kind == kind));
        const int pairs = pair * (1 + int(pair_before.kind != kind) * pair_before.pairs);
        hist_[halves_ % hist_.size()] = {kind, half, c.peak, c.rising, std::min(pairs, fast_leader_halves)};
        ++halves_;
        if (pairs < fast_leader_halves / 2 || halves_ < std::uint64_t(fast_leader_halves)) return;
        // The newest half must end a pair: it and the one before are alike,
        // and the pairs alternate.
        double longs = 0, shorts = 0;
        float peak = 0;
        for (int i = 0; i < fast_leader_halves; ++i) {
            const auto& h = hist_[(halves_ - 1 - i) % hist_.size()];
            const auto& pair = hist_[(halves_ - 1 - (i ^ 1)) % hist_.size()];
            if (h.kind == 0 || h.kind != pair.kind) return;
            if (i % 2 == 0 && i >= 2 && h.kind == hist_[(halves_ + 1 - i) % hist_.size()].kind) return;
            (h.kind == 2 ? longs : shorts) += h.length;
            peak += h.peak;
        }
        locked_ = true;
        // The pair's first half began at the crossing opposite to this one.
        start_rising_ = c.rising;
        cycle_start_ = c.at;
        constexpr int leader_cycles = fast_leader_halves / 4;  // of each kind, 0 and 1, in the halves counted
        speed_ = (us(longs) + us(shorts)) / (leader_cycles * (fast_zero_us + fast_one_us));
        env_ = env_one_ = peak / fast_leader_halves;
        synced_ = false;
        // The pair just ended is the last leader bit read.
        shift_ = hist_[(halves_ - 1) % hist_.size()].kind == 1 ? 1 : 0, shift_doubt_ = 0;
        glitch_ = false;
        leader_bits_ = 0;
        lost_.leader_read(double(fast_leader_halves) / 2 * leader_bit_s());
    }

    // The mean length of a leader bit (a 0 and a 1 in turn), in seconds.
    double leader_bit_s() const { return (fast_zero_us + fast_one_us) / 2 * 1e-6 * speed_; }

    // The leader ended, a few bits before `at`, in no sync byte: where it
    // was long, its program may be lost.
    void leader_broken(double at) {
        if (leader_bits_ >= lost_leader_bits) lost_.leader_ended(at - 12 * leader_bit_s(), 1500);
    }

    // Whether the cycle was taken (a glitch is left to merge with the next).
    bool cycle(double length, double first_half, float peak, std::vector<tape_segment>& out) {
        const double u = us(length) / speed_;
        const double at = cycle_start_ / fs_;
        if (u < 200) {
            // Too short for any bit, however weak: noise split a half. Left
            // to merge with the next cycle, which is then in doubt.
            glitch_ = true;
            return false;
        }
        // Cycles far below the envelope, or too long for a bit, are a
        // dropout's: a run of them longer than a few bits is a gap whose bits
        // are counted afterwards; a shorter one gives its bits, in doubt.
        if (!synced_ && u > 2.4 * fast_zero_us) {
            leader_broken(at);
            locked_ = false;
            return true;
        }
        const float level = u < fast_boundary_us ? env_one_ : env_;
        if (synced_ && peak >= 0.5f * level && u > 1.3 * fast_zero_us && u < pair_limit_us) {
            // A 0 and a 1 whose two crossings between them were lost: the
            // 1's, weaker, most often, so the longer half holds the 1 and
            // the 0's first half, and comes first where the 1 did.
            flush_weak();
            const bool one_first = first_half > length - first_half;
            bit(one_first, true, at, out);
            bit(!one_first, true, at + (one_first ? fast_one_us : fast_zero_us) * 1e-6 * speed_, out);
            glitch_ = false;
            return true;
        }
        if (synced_ && (peak < 0.5f * level || u > 1.3 * fast_zero_us)) {
            const int n = u > 1.3 * fast_zero_us ? int(std::lround(u / (fast_zero_us + fast_one_us) * 2)) : 1;
            weak_.push_back({at, u < fast_boundary_us, n});
            weak_us_ += us(length);
            return true;
        }
        flush_weak();
        const bool one = u < fast_boundary_us;
        const bool clear = one ? u > 235 && u < 465 : u > 575 && u < 900;
        // Each half against its class: a 0 with a short half is more likely
        // two 1s whose middle crossings were lost. Their halves then lie
        // about 1:3 (a 1's half, and the rest), a 0's 1:1.
        const double h1 = us(first_half) / speed_, h2 = us(length - first_half) / speed_;
        const double shorter = std::min(h1, h2), longer = std::max(h1, h2);
        const bool even =
            one ? shorter > 80 && longer < 300 : shorter > 260 && longer < 520 && shorter > 0.4 * (shorter + longer);
        if (!one && clear && (shorter < 230 || shorter < two_ones_split * (shorter + longer))) {
            bit(true, true, at, out);
            bit(true, true, (cycle_start_ + first_half) / fs_, out);
            return true;
        }
        // A 1's cycle comes through the tape's high-frequency loss weaker
        // than a 0's: each is judged against its own kind.
        float& own = one ? env_one_ : env_;
        const bool strong = peak > 0.45f * own;
        const bool doubt = !clear || !even || !strong || glitch_;
        glitch_ = false;
        if (!doubt) {
            speed_ += 0.05 * (us(length) / (one ? fast_one_us : fast_zero_us) - speed_);
            speed_ = std::clamp(speed_, 0.8, 1.25);
            own += 0.02f * (std::min(peak, 2 * own) - own);
        }
        bit(one, doubt, at, out);
        return true;
    }

    void flush_weak() {
        if (weak_us_ == 0) return;
        if (weak_us_ > 3 * fast_zero_us) {
            gaps_.push_back({bits_.size(), weak_us_});
        } else {
            std::vector<tape_segment> none;
            for (const auto& w : weak_)
                for (int k = 0; k < w.bits; ++k) bit(w.one && w.bits == 1, true, w.at, none);
        }
        weak_.clear();
        weak_us_ = 0;
    }

    void bit(bool one, bool doubt, double at, std::vector<tape_segment>& out) {
        if (!synced_) {
            // The leader alternates 0 and 1; 0x7F is the first run of 1s.
            const bool repeat = (shift_ & 1) == unsigned(one);
            shift_ = shift_ << 1 | one;
            shift_doubt_ = shift_doubt_ << 1 | doubt;
            ++leader_bits_;
            lost_.leader_read(leader_bit_s());
            if (repeat && !one) {
                leader_broken(at);
                locked_ = false;
                return;
            }
            // The end of the leader and the sync byte, a bit or two of it
            // perhaps unclear; then the frames after it are proven in step
            // before they are trusted. With more bits unclear it may be
            // leader whose 0s hiss split into two 1s each: it is the sync
            // byte unless the leader goes on after it.
            const int unclear = std::popcount(shift_doubt_ & 0xFFF);
            if ((shift_ & 0xFFF) == 0x57F && unclear <= max_sync_unclear) {
                synced_ = true;
                provisional_ = unclear > 2;
                start_seconds_ = at - (6 * fast_one_us + fast_zero_us) * 1e-6 * speed_ - delay_s();
                bits_.clear(), gaps_.clear(), seconds_.clear(), weak_.clear();
                weak_us_ = 0;
                good_run_ = 0, solid_ = 0, alternating_ = 0;
                lost_after_ = std::uint64_t((at + lost_s) * fs_);
                sync_doubt_ = (shift_doubt_ & 0xFFF) != 0;
                if (!provisional_) lost_.synced(at, leader_bit_s(), out);
            }
            return;
        }
        if (bits_.empty() && sync_doubt_) doubt = true;
        bits_.push_back(std::uint8_t(one | (doubt ? 2 : 0)));
        seconds_.push_back(float(at - delay_s() - start_seconds_));
        if (provisional_ && bits_.size() == 10) {
            // Frames cannot alternate for ten bits: the start bit after a
            // byte of 0xAA is a 0 again. The leader does. And where more
            // than two of them are unclear as well, it was a dropout's noise.
            provisional_ = false;
            bool leader = true;
            for (std::size_t k = 1; k < 10; ++k) leader = leader && ((bits_[k] ^ bits_[k - 1]) & 1);
            const auto unclear = std::count_if(bits_.begin() + 1, bits_.end(), [](std::uint8_t b) { return b & 2; });
            if (leader || unclear > 2) {
                synced_ = false;
                for (const std::uint8_t b : bits_)
                    shift_ = shift_ << 1 | (b & 1), shift_doubt_ = shift_doubt_ << 1 | (b >> 1 & 1);
                leader_bits_ += bits_.size();
                lost_.leader_read(double(bits_.size()) * leader_bit_s());
                bits_.clear(), seconds_.clear();
                return;
            }
            lost_.synced(start_seconds_, leader_bit_s(), out);
        }
        good_run_ = doubt ? 0 : good_run_ + 1;
        if (good_run_ >= 3) solid_ = bits_.size(), lost_after_ = std::uint64_t((at + lost_s) * fs_);
        // Every data byte starts with a 0, nine bits apart, so no run of
        // more than 17 bits read clearly can alternate: a long run is the
        // leader of a program recorded straight after this one. This one
        // ends where the run starts; the leader goes on to its sync byte.
        alternating_ =
            !doubt && bits_.size() >= 2 && (bits_[bits_.size() - 2] & 1) != unsigned(one) ? alternating_ + 1 : 0;
        if (alternating_ >= next_leader_bits) {
            // (And where a pause came just before it, where the pause starts.)
            // The leader's bytes are 0x55, so it starts with a 0: a 1 that
            // starts the run is the last bit of the frame before it.
            std::size_t from = bits_.size() - alternating_ - 1;
            if (bits_[from] & 1) ++from;
            // A frame the run starts in is whole where it holds a 1 before
            // the run (what follows the last frame of a segment is 0s): its
            // last bits alternate on into the leader, and the run took them in.
            // Where it holds only 0s before the run, it is whole where it
            // would end a multiple of 8 bits on, where an image's bytes end
            // and the next leader starts: unless a single 0 comes before the
            // run, a 0 that pads the last byte of an image (the frame would
            // be the leader's first byte, 0x55).
            const std::size_t part = from % 9;
            const bool ends_flush = gaps_.empty() && part > 1 && (from - part + 9) % 8 == 0;
            if (part != 0 && (ends_flush || std::any_of(bits_.begin() + long(from - part), bits_.begin() + long(from),
                                                        [](std::uint8_t b) { return b & 1; })))
                from += 9 - part;
            solid_ = std::min(solid_, !gaps_.empty() && gaps_.back().at + 18 >= from ? gaps_.back().at : from);
            end_segment(out);
            locked_ = true;
            shift_ = one ? 0x555 : 0xAAA, shift_doubt_ = 0;
            leader_bits_ = alternating_;
        }
    }
    double delay_s() const { return (long_ / 2.0 + 0.5) / fs_; }

    void end_segment(std::vector<tape_segment>& out);

    struct half_info {
        int kind = 0;
        double length = 0;
        float peak = 0;
        int rising = 0;
        int pairs = 0;  // pairs of the leader's in a row that end with it
    };
    struct gap {
        std::size_t at;  // bits read before it
        double us;
    };

    double fs_;
    int long_, short_;
    double short_scale_, long_scale_;
    float hunt_env_ = 0, hunt_decay_, env_ = 0, env_one_ = 0, hysteresis_ = 1e-4f;
    std::uint64_t quiet_until_ = 0;  // the segment ends if no crossing comes by then
    crossing_finder crossings_;
    double last_crossing_ = 0;
    std::array<half_info, 64> hist_{};
    std::uint64_t halves_ = 0;

    bool locked_ = false, synced_ = false, glitch_ = false, sync_doubt_ = false, provisional_ = false;
    int start_rising_ = 1;
    double cycle_start_ = 0, mid_ = 0, speed_ = 1, start_seconds_ = 0;
    float first_peak_ = 0;
    std::uint32_t shift_ = 0, shift_doubt_ = 0;
    std::vector<std::uint8_t> bits_;  // bit 0: the value, bit 1: in doubt
    std::vector<float> seconds_;      // from start_seconds_: as fine however late in a recording
    std::vector<gap> gaps_;
    struct weak_cycle {
        double at;
        bool one;
        int bits;
    };
    std::vector<weak_cycle> weak_;
    double weak_us_ = 0;
    std::size_t good_run_ = 0, solid_ = 0, alternating_ = 0;
    std::uint64_t lost_after_ = 0;  // the segment ends if no clear run of bits comes by then
    std::uint64_t leader_bits_ = 0;  // read since the lock, before a sync byte
    lost_program lost_;
};

// A bit read (bit 0 its value, bit 1 set when in doubt), and a 0 in doubt
// put in for one a dropout hid (bit 2 set).
constexpr std::uint8_t gap_bit = 2 | 4;
// How many frames on a phase is judged by.
constexpr std::size_t look_ahead = 36;
// How far before a bit in doubt a slip it mends is looked for.
constexpr std::size_t max_slip_frames = 64;
constexpr std::size_t no_bit = std::size_t(-1);
// Frames in a row, in doubt, that show a BASIC program's text a bit late.
constexpr std::size_t late_text_frames = 7;

// Frames stay in step through bits read clearly. After a bit in doubt (a
// cycle lost, one too many, or misread) they may have slipped, which shows
// only when a start bit reads 1, and with text, whose top bits are 0, that
// can take many frames. So from a bit in doubt on, the frames are pending
// until the phase is proven (its start bits are 0 and every phase near it has
// some 1s); a start bit of 1 before that is mended by moving the bits after
// the earliest bit in doubt that explains it, by the count (up to half a
// frame either way) that clearly clears the start bits from that bit on,
// through the frame at fault and past it. Where the bit in doubt is a 0 and
// one bit was lost, it was two 1s. Everything between that bit and the proof
// is in doubt; a pending stretch never proven, or a slip nothing mends, is in
// doubt to its end.
void realign(std::vector<std::uint8_t>& bits, std::vector<float>& seconds) {
    const auto start_bit = [&](std::size_t q, std::size_t p, int shift, std::size_t zero) -> int {
        // The bit at q once `shift` bits are put in (or taken out) at p,
        // and the bit at `zero` then made a 0.
        if (q == zero) return 0;
        if (q < p) return bits[q] & 1;
        if (shift > 0 && q < p + std::size_t(shift)) return 0;
        const std::size_t old = std::size_t(long(q) - shift);
        return old < bits.size() ? bits[old] & 1 : 0;
    };
    // Start bits read 1 in `frames` frames from f once the bits from p on
    // are moved by `shift`.
    const auto violations = [&](std::size_t f, std::size_t p, int shift, std::size_t frames = look_ahead,
                                std::size_t zero = no_bit) {
        int v = 0;
        for (std::size_t j = 0; j < frames; ++j) {
            const std::size_t q = f + 9 * j;
            if (q + std::size_t(std::max(0, -shift)) >= bits.size()) break;
            v += start_bit(q, p, shift, zero);
        }
        return v;
    };
    // Proof counts only start bits read clearly as 1 against a phase.
    const auto clear_violations = [&](std::size_t f, int shift, std::size_t frames = look_ahead) {
        int v = 0;
        for (std::size_t j = 0; j < frames; ++j) {
            const long q = long(f + 9 * j) - shift;
            if (q < 0 || std::size_t(q) >= bits.size()) break;
            v += bits[std::size_t(q)] == 1;
        }
        return v;
    };
    // The phase at f is proven by the frames from f on up to the next bit
    // in doubt, no further: a slip there may undo one before f, and the
    // frames after it then prove nothing of those between.
    const auto in_step = [&](std::size_t f) {
        std::size_t end = f + 9;
        while (end < bits.size() && end < f + 9 * look_ahead && !(bits[end] & 2)) ++end;
        const std::size_t frames = (end - f) / 9;
        if (violations(f, f, 0, frames) > 0) return false;
        for (int shift : {1, -1, 2, -2, 3, -3, 4, -4})
            if (clear_violations(f, shift, frames) < 2) return false;
        return true;
    };
    const auto doubt = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < std::min(to, bits.size()); ++k) bits[k] |= 2;
    };
    // Puts `shift` bits in doubt in at `at`, or takes -shift out.
    const auto move_bits = [&](std::size_t at, int shift) {
        if (shift > 0) {
            bits.insert(bits.begin() + long(at), std::size_t(shift), 2);
            seconds.insert(seconds.begin() + long(at), std::size_t(shift), seconds[std::min(at, seconds.size() - 1)]);
        } else {
            bits.erase(bits.begin() + long(at), bits.begin() + long(at) + (-shift));
            seconds.erase(seconds.begin() + long(at), seconds.begin() + long(at) + (-shift));
        }
    };
    // A slip found at bit `at` may lie further back, at a bit read clearly,
    // wherever the frames from there read in step as well with the move
    // made there (text, its top bits 0, reads so a bit off): it lies no
    // further back than the first frame whose start bit that move makes 1.
    const auto earliest_slip = [&](std::size_t at, int shift) {
        std::size_t slip = at / 9 * 9;
        while (slip >= 9 && slip + 9 * max_slip_frames > at &&
               violations(slip - 9, slip - 9, shift, (at - slip) / 9 + 2) == 0)
            slip -= 9;
        return slip;
    };
    bool pending = false;
    std::size_t pending_from = 0, last_doubt = 0, mended_at = std::size_t(-1);
    for (std::size_t f = 0; f + 9 <= bits.size();) {
        for (std::size_t k = f; k < f + 9; ++k)
            if (bits[k] & 2) {
                if (!pending) pending = true, pending_from = f;
                last_doubt = f;
            }
        if (!(bits[f] & 1)) {
            // Proven in step: no slip, or two that cancel, between the first
            // and the last bit in doubt.
            if (pending && in_step(f)) pending = false, doubt(pending_from, last_doubt + 9);
            f += 9;
            continue;
        }
        const std::size_t back = pending ? pending_from : (f >= std::size_t(9 * 12) ? f - std::size_t(9 * 12) : 0);
        std::size_t at = f;
        int best = 0, fewest = 1 << 30;
        bool best_split = false;
        if (mended_at != f) {
            // (A bit in doubt far back is not looked at: each is judged on
            // every frame from it to f.)
            const std::size_t reach = look_ahead * 4 * 9;
            for (std::size_t p = std::max(back, f > reach ? f - reach : 0); p < std::min(f + 9, bits.size()); ++p) {
                if (!(bits[p] & 2)) continue;
                // A move at p must put in step every frame from there on,
                // through the one at f and past it: text, whose top bits
                // are 0, can hide a bit lost long before.
                const std::size_t first = p / 9 * 9 + (p % 9 == 0 ? 0 : 9);
                const std::size_t frames = look_ahead + (f > first ? (f - first) / 9 : 0);
                // Two 1s in doubt in a row may be a 0 that hiss split in
                // two: taking a bit out there leaves that 0.
                const bool split = p + 1 < bits.size() && bits[p] == 3 && bits[p + 1] == 3;
                // Each shift's violations (from -4 to 4; none for 0).
                std::array<int, 9> v;
                v.fill(1 << 30);
                for (int shift : {1, -1, 2, -2, 3, -3, 4, -4})
                    if (shift > 0 || p + std::size_t(-shift) <= bits.size())
                        v[std::size_t(shift + 4)] =
                            violations(first, p, shift, frames, split && shift == -1 ? p : no_bit);
                // The right shift puts the start bits in place, and one less
                // puts each data byte's top bit there: in text, 0 as well.
                // Where those two alone do best, the larger is the move.
                const auto fewest_at = std::min_element(v.begin(), v.end());
                const int low = *fewest_at;
                int move = int(fewest_at - v.begin()) - 4, also = move;
                if (move < 4 && move != -1 && v[std::size_t(move + 5)] == low) ++move;
                // A split 0 is one bit too many, whatever other moves the
                // text allows (digits and commas clear the start bits a bit
                // or three off as well).
                const bool as_split = split && v[3] == low;
                if (as_split) move = also = -1;
                int next = 1 << 30;
                for (int shift = -4; shift <= 4; ++shift)
                    if (shift != move && shift != also) next = std::min(next, v[std::size_t(shift + 4)]);
                // Where two places mend it alike by taking a bit out, the
                // later one: a bit too many puts a frame's last bit where the
                // next start bit belongs, which shows at once, while every
                // frame from the earlier place up to f was in step. Unless
                // only the earlier is a split 0: text, whose last bits are
                // often 0 (digits, spaces, commas), hides the move there.
                const bool later = low == fewest && move < 0 && best < 0 && (as_split || !best_split);
                if ((low < fewest || later) && low <= 1 && (next >= low + 2 || as_split))
                    fewest = low, best = move, at = p, best_split = as_split;
            }
        }
        if (best != 0) {
            // A 0 in doubt where a bit was lost: two 1s whose middle
            // crossing noise hid (the two last as long as one 0).
            const bool two_ones = best == 1 && bits[at] == 2 && at % 9 != 0 && (at + 1) % 9 != 0;
            const std::size_t slip = earliest_slip(at, best);
            // (A split 0 keeps its first half's place and time, which
            // later tell how long its frame lasts.)
            move_bits(best_split ? at + 1 : at, best);
            if (two_ones) bits[at] = bits[at + 1] = 3;
            if (best_split) bits[at] = 2;
            // The frames before it back to the first bit in doubt were never
            // proven in step either: the slip may lie further back than the
            // bits looked at.
            doubt(std::min(slip, pending ? pending_from : at), f + 9);
            pending = true, pending_from = f, mended_at = f;
            continue;
        }
        doubt(back, f + 9);
        pending = true, pending_from = f + 9;
        f += 9;
        // Nothing mends it: in doubt until the phase is proven again, which
        // the frames after it are checked for as they come.
        // Any slip is within half a frame of a whole number of frames: the
        // first frame from which one phase is proven is taken, and the bits
        // moved to it there.
        std::size_t g = f;
        int move = 0;
        for (; g + 9 <= bits.size(); g += 9) {
            int found = 0;
            for (int shift : {0, 1, -1, 2, -2, 3, -3, 4, -4}) {
                if (violations(g, g, shift) > 0) continue;
                bool alone = true;
                for (int other : {0, 1, -1, 2, -2, 3, -3, 4, -4})
                    if (other != shift && clear_violations(g, other) < 2) alone = false;
                if (alone) ++found, move = shift;
            }
            if (found == 1) break;
        }
        doubt(f, g + 9);
        if (move != 0) doubt(earliest_slip(back, move), back);
        if (g + 9 <= bits.size() && move != 0) {
            // The likeliest place of the slip is a dropout's bits, whose
            // count was only estimated: where moving them puts every frame
            // from there on in step, the bits move there.
            std::size_t there = g, k = g;
            while (k > back && !(bits[k - 1] & 4)) --k;
            if (k > back) {
                const std::size_t p = move > 0 ? k : k - std::min(k, std::size_t(-move));
                const std::size_t first = (p + 8) / 9 * 9;
                const bool gap = std::all_of(bits.begin() + long(p), bits.begin() + long(k),
                                             [](std::uint8_t b) { return (b & 4) != 0; });
                if (gap && violations(first, p, move, look_ahead + (g - std::min(g, first)) / 9) == 0) there = p;
            }
            move_bits(there, move);
            doubt(std::min(there, g) / 9 * 9, g + 9);
        }
        f = g;
        pending = false;
    }
    if (pending) doubt(pending_from, bits.size());
}

// A bit misread where hiss moved a crossing (a 0 taken for a 1, or a 1 for
// a 0) leaves the frame's other crossings where they were, so the frame,
// from its start bit to the next one, lasts as long as the bits it truly
// holds: each 0 is 380 us longer than a 1. Where a frame in doubt lasts, at
// the speed of the frames around it, about that much longer or shorter
// than its bits say, its 1s whose cycles were longest become 0s (or its 0s
// whose cycles were shortest 1s) until it fits. Where hiss moved the
// crossing after its last bit instead, the frame and the next start bit
// together fit. The frame stays in doubt.
void retime_frames(std::vector<std::uint8_t>& bits, const std::vector<float>& seconds) {
    constexpr double step = fast_zero_us - fast_one_us;
    const auto nominal = [&](std::size_t f) {
        double us = 0;
        for (std::size_t k = f; k < f + 9; ++k) us += bits[k] & 1 ? fast_one_us : fast_zero_us;
        return us;
    };
    const auto lasted = [&](std::size_t from, std::size_t bits_in) {
        return (double(seconds[from + bits_in]) - double(seconds[from])) * 1e6;
    };
    // A frame whose start bit, and the next, read 0, with no dropout's bits.
    const auto framed_whole = [&](std::size_t f) {
        return !(bits[f] & 1) && !(bits[f + 9] & 1) &&
               std::none_of(bits.begin() + long(f), bits.begin() + long(f + 10), [](std::uint8_t b) { return b & 4; });
    };
    constexpr std::size_t reach = 8;  // frames either side whose speed is taken
    std::vector<double> speeds;
    for (std::size_t f = 0; f + 19 <= bits.size(); f += 9) {
        if (!framed_whole(f) ||
            std::none_of(bits.begin() + long(f), bits.begin() + long(f + 9), [](std::uint8_t b) { return b & 2; }))
            continue;
        speeds.clear();
        for (std::size_t g = f >= 9 * reach ? f - 9 * reach : 0; g <= f + 9 * reach && g + 19 <= bits.size(); g += 9)
            if (g != f && framed_whole(g)) speeds.push_back(lasted(g, 9) / nominal(g));
        if (speeds.size() < 6) continue;
        std::nth_element(speeds.begin(), speeds.begin() + long(speeds.size() / 2), speeds.end());
        const double speed = speeds[speeds.size() / 2];
        std::array<double, 9> cycle{};
        for (std::size_t k = 0; k < 9; ++k) cycle[k] = lasted(f + k, 1) / speed;
        if (std::any_of(cycle.begin(), cycle.end(), [](double us) { return us < 150 || us > 1100; })) continue;
        long n = 0;
        bool fits = false;
        for (const std::size_t span : {9, 10}) {
            const double excess = lasted(f, span) / speed - nominal(f) - (span == 10 ? fast_zero_us : 0);
            n = std::lround(excess / step);
            if ((fits = std::fabs(excess - double(n) * step) <= 120)) break;
        }
        if (!fits || n == 0 || std::labs(n) > 2) continue;
        const unsigned from = n > 0 ? 1 : 0;  // the value of the bits that change
        for (long m = 0; m < std::labs(n); ++m) {
            std::size_t pick = 0;
            for (std::size_t k = 1; k < 9; ++k)
                if ((bits[f + k] & 1u) == from &&
                    (pick == 0 || (n > 0 ? cycle[k] > cycle[pick] : cycle[k] < cycle[pick])))
                    pick = k;
            if (pick == 0) break;
            bits[f + pick] ^= 1;
        }
    }
}

// A 1500 baud segment's data bytes, each with its frame's doubt and time.
struct framed {
    std::vector<std::uint8_t> data, doubt;
    std::vector<float> when;
};

// Whether the bytes after the sync byte start as a BASIC program's do.
bool basic_header(const std::vector<std::uint8_t>& d) {
    return d.size() >= 3 && d[0] == 0xD3 && d[1] == 0xD3 && d[2] == 0xD3;
}

// How well the data from `from` on fits the program's own structure: BASIC
// lines whose link points at the start of another line (the byte before it
// a 0), or SYSTEM blocks whose headers follow each other where their lengths
// say and whose addresses run on. -1 when the data has no structure to go by.
int structure_fit(const std::vector<std::uint8_t>& d, std::size_t from) {
    const auto word = [&](std::size_t i) { return unsigned(d[i]) | unsigned(d[i + 1]) << 8; };
    if (d.size() > 8 && basic_header(d)) {
        // Where the program sits in memory, from its first line.
        std::size_t t = 8;
        while (t < d.size() && d[t] != 0) ++t;
        if (t + 2 >= d.size() || t >= from) return -1;
        const long base = long(word(4)) - long(t + 1);
        int fit = 0;
        const std::size_t lo = from > 300 ? from - 300 : 5, hi = std::min(d.size() - 2, from + 600);
        for (std::size_t j = std::max<std::size_t>(lo, 5); j < hi; ++j) {
            if (d[j - 1] != 0 || word(j) == 0) continue;
            const long k = long(word(j)) - base;
            if (k < long(j) + 5 || k > long(j) + 300 || std::size_t(k) >= d.size() || std::size_t(k) < from) continue;
            if (d[std::size_t(k) - 1] == 0) ++fit;
        }
        return fit;
    }
    if (d.size() > 8 && d[0] == 0x55) {
        int fit = 0;
        std::size_t p = 7;
        unsigned expect = 0;
        bool first = true;
        while (p + 4 <= d.size() && d[p] == 0x3C) {
            const unsigned len = d[p + 1] == 0 ? 256 : d[p + 1], addr = word(p + 2);
            if (!first && addr != expect) break;
            if (p >= from) ++fit;
            first = false;
            expect = (addr + len) & 0xFFFF;
            p += 4 + len + 1;
        }
        return fit;
    }
    return -1;
}

// A BASIC program is a chain of lines, each starting with the address of
// the next and ending with a 0. Where the chain breaks, bytes were lost,
// added or misread though each looked clear: from the break to where the
// chain holds again (three lines in a row), every byte is in doubt. Unless
// the bytes that break it are in doubt already, and the chain holds on
// from the next line: a dropout in a line read a 0 into it, or took its
// end or its link. A program whose end (a zero link) never comes was cut
// short, the recording stopped in or after its last line: that line is in
// doubt. `d` starts with the byte after the sync byte; `doubt` runs
// alongside it. `places_kept`: no byte can have been lost or added (see the
// first line, below). `recounted`: where bytes were put in or taken out at
// a dropout, so that the lines after it chain; a line that holds across such
// a place holds because of it, and proves nothing of the bytes before it in
// the line, where the bytes may have been lost or added instead.
void check_basic(const std::vector<std::uint8_t>& d, std::vector<std::uint8_t>& doubt, bool places_kept,
                 const std::vector<std::size_t>& recounted) {
    // A BASIC program starts with three 0xD3: one read, and any other
    // misread in doubt.
    if (d.size() < 5) return;
    bool seen = false;
    for (std::size_t k = 0; k < 3; ++k) {
        if (d[k] != 0xD3 && !doubt[k]) return;
        seen = seen || d[k] == 0xD3;
    }
    if (!seen) return;
    const auto word = [&](std::size_t i) { return unsigned(d[i]) | unsigned(d[i + 1]) << 8; };
    const auto line_end = [&](std::size_t i) {
        std::size_t t = i + 4;
        while (t < d.size() && d[t] != 0) ++t;
        return t;
    };
    const auto mark = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < std::min(to, doubt.size()); ++k) doubt[k] = 1;
    };
    const std::size_t first_end = line_end(4);
    if (first_end >= d.size()) return mark(4, d.size());
    // Where the program lies in memory, less where it lies in `d`: the
    // first line's link less where the line after it starts.
    long base = long(word(4)) - long(first_end + 1);
    // Whether the line at i ends where its link says the next one starts.
    // The end of the program: a zero link, a few bytes at most from the end.
    const auto at_end = [&](std::size_t i) { return i + 1 < d.size() && word(i) == 0 && i + 6 >= d.size(); };
    const auto holds = [&](std::size_t i) {
        if (i + 1 >= d.size()) return false;
        if (at_end(i)) return true;
        const long k = long(word(i)) - base;
        return k > long(i) + 4 && std::size_t(k) <= d.size() && line_end(i) + 1 == std::size_t(k);
    };
    const auto next = [&](std::size_t i) { return std::size_t(long(word(i)) - base); };
    // The first place recounted in the line at `i`, after its start (else 0).
    const auto recount_in = [&](std::size_t i) -> std::size_t {
        const auto p = std::upper_bound(recounted.begin(), recounted.end(), i);
        return p != recounted.end() && *p <= line_end(i) ? *p : 0;
    };
    // How many lines hold from `k` on (three at most), none of them across a
    // place recounted, and whether the end of the program follows them.
    const auto chain = [&](std::size_t k) {
        int run = 0;
        while (run < 3 && holds(k) && !recount_in(k) && !at_end(k)) k = next(k), ++run;
        return std::pair{run, at_end(k)};
    };
    // Whether the chain holds on from `k`: three lines, or up to the end.
    const auto chains = [&](std::size_t k) {
        const auto [run, ends] = chain(k);
        return run == 3 || ends;
    };
    // Where the line at `i` ends, when only bytes in doubt break the chain
    // there (else 0): its link, or the 0s in it and the 0 that ends it
    // where its link says. A line whose link is in doubt ends at its first
    // 0, unless a line hides in it whose link points just past that 0: then
    // the 0 that ended this one was misread as clear.
    const auto ends_in_doubt = [&](std::size_t i) -> std::size_t {
        if (doubt[i] || doubt[i + 1]) {
            const std::size_t end = line_end(i) + 1;
            for (std::size_t p = i + 5; p + 4 < end; ++p)
                if (long(word(p)) - base == long(end)) return 0;
            return chains(end) ? end : 0;
        }
        const long k = long(word(i)) - base;
        if (k <= long(i) + 4 || std::size_t(k) > d.size() || !chains(std::size_t(k))) return 0;
        for (auto t = std::size_t(i + 4); t + 1 < std::size_t(k); ++t)
            if (d[t] == 0 && !doubt[t]) return 0;
        return d[std::size_t(k) - 1] == 0 || doubt[std::size_t(k) - 1] ? std::size_t(k) : 0;
    };
    // A byte in doubt in the first line (a 0 misread into it, which ends it
    // early, or its link) hides that. Where every byte kept its place (at
    // 250 and 500 baud the clock counts the bits a dropout hides), a later
    // line tells: the first, after a 0 that can end a line, whose own link
    // leads on along the chain. (Where a byte may have been lost or added,
    // as at 1500 baud, every line after it chains as well, a byte off.)
    if (places_kept && !chains(first_end + 1) &&
        std::any_of(doubt.begin() + 4, doubt.begin() + long(first_end + 1), [](std::uint8_t x) { return x != 0; })) {
        const long first = base;
        for (std::size_t e = 8; e + 3 < d.size() && e < first_end + most_line_bytes; ++e) {
            if (d[e] != 0) continue;
            base = long(word(e + 1)) - long(line_end(e + 1) + 1);
            if (chains(e + 1)) break;
            base = first;
        }
    }
    std::size_t i = 4, line = 4;
    while (i + 1 < d.size()) {
        line = i;
        if (holds(i)) {
            if (at_end(i)) return;
            if (const std::size_t p = recount_in(i); p != 0) {
                const auto first = std::find(doubt.begin() + long(i), doubt.begin() + long(p), 1);
                std::fill(first, doubt.begin() + long(p), 1);
            }
            i = next(i);
            continue;
        }
        if (const std::size_t k = ends_in_doubt(i); k != 0) {
            i = k;
            continue;
        }
        std::size_t j = i + 1;
        for (; j + 1 < d.size(); ++j) {
            if (d[j - 1] != 0) continue;
            const auto [run, ends] = chain(j);
            if (run == 3 || (ends && run > 0)) break;
        }
        mark(i, j);
        i = j;
    }
    mark(line, d.size());
}

// A BASIC program's first line tells where the program lies (its link less
// where the next line starts), and every line after it chains from there.
// At 1500 baud a dropout in it may have hidden a frame, and then every line
// after it chains as well, a frame off. So where frames of the first line
// are in doubt, the line must last as long as its frames say, at the speed
// of the clear frames after it, within half a frame; whether it does.
bool first_line_whole(const framed& f) {
    const std::vector<std::uint8_t>& d = f.data;
    if (d.size() < 64 || !basic_header(d)) return true;
    std::size_t end = 8;
    while (end < d.size() && d[end] != 0) ++end;
    if (end + 40 >= d.size()) return true;
    if (std::none_of(f.doubt.begin() + 4, f.doubt.begin() + long(end + 1), [](std::uint8_t x) { return x != 0; }))
        return true;
    // A frame's length in us: nine bits, each 1 among them shorter than a 0.
    const auto nominal = [&](std::size_t k) {
        return 9 * fast_zero_us - std::popcount(d[k]) * (fast_zero_us - fast_one_us);
    };
    double measured = 0, expected = 0;
    for (std::size_t k = end + 1, n = 0; k + 1 < d.size() && n < 32; ++k)
        if (!f.doubt[k] && !f.doubt[k + 1]) measured += f.when[k + 1] - f.when[k], expected += nominal(k) * 1e-6, ++n;
    if (expected == 0) return false;
    const double speed = measured / expected;
    double line = 0;
    for (std::size_t k = 4; k <= end; ++k) line += nominal(k) * 1e-6;
    const double half_frame = 9 * (fast_zero_us + fast_one_us) / 4 * 1e-6;  // nine bits of the mean length, halved
    return std::fabs((f.when[end + 1] - f.when[4]) - speed * line) < half_frame * speed;
}

// A dropout at 1500 baud hides a number of frames the time can only
// estimate: the count that makes the program's structure after it fit best
// is taken, when one clearly does; else every byte after it is in doubt.
// Where the frames were moved, if they were (else 0).
std::size_t recount_gap(framed& f, float at) {
    std::size_t i = std::size_t(std::lower_bound(f.when.begin(), f.when.end(), at) - f.when.begin());
    if (i >= f.data.size()) return 0;
    // Move within the bytes in doubt around the gap.
    while (i + 1 < f.data.size() && !f.doubt[i]) ++i;
    const auto moved = [&](int shift) {
        std::vector<std::uint8_t> d = f.data;
        if (shift > 0) d.insert(d.begin() + long(i), std::size_t(shift), 0);
        if (shift < 0) d.erase(d.begin() + long(i), d.begin() + long(std::min(d.size(), i + std::size_t(-shift))));
        return d;
    };
    int best = 0, best_fit = -1, second = -1;
    for (int shift : {0, 1, -1, 2, -2, 3, -3}) {
        const int fit = structure_fit(moved(shift), i + std::size_t(std::max(shift, 0)) + 2);
        if (fit > best_fit) second = best_fit, best_fit = fit, best = shift;
        else if (fit > second) second = fit;
    }
    if (best_fit <= 0 || best_fit <= second) {
        std::fill(f.doubt.begin() + long(i > 0 ? i - 1 : 0), f.doubt.end(), 1);
        return 0;
    }
    if (best > 0) {
        f.data.insert(f.data.begin() + long(i), std::size_t(best), 0);
        f.doubt.insert(f.doubt.begin() + long(i), std::size_t(best), 1);
        f.when.insert(f.when.begin() + long(i), std::size_t(best), f.when[i]);
    } else if (best < 0) {
        const auto n = long(std::min(f.data.size() - i, std::size_t(-best)));
        f.data.erase(f.data.begin() + long(i), f.data.begin() + long(i) + n);
        f.doubt.erase(f.doubt.begin() + long(i), f.doubt.begin() + long(i) + n);
        f.when.erase(f.when.begin() + long(i), f.when.begin() + long(i) + n);
    }
    return best != 0 ? i : 0;
}

// A bit lost where the cycle read clearly (two 1s run together as a 0)
// hides in a BASIC program's text: its characters' top bits are 0, so the
// frames after it, a bit late, read 0 where each start bit should be, until
// a bit too many puts them back in step or a start bit reads 1. Each such
// frame holds its character shifted left: even, and for a letter, above
// 0x7F, where text has no character (only the keywords' tokens are there,
// seldom many in a row). A run of frames in doubt that all read so is text
// a bit late; each byte is read again a bit earlier, and stays in doubt.
void read_text_a_bit_late(framed& f) {
    const auto& d = f.data;
    if (!basic_header(d)) return;
    // Text only: not a line's link or number, the four bytes after a 0 (the
    // first line's text starts after the name and those four).
    const auto late = [&](std::size_t k) {
        return f.doubt[k] && d[k] % 2 == 0 && d[k] >= 0x40 && d[k] <= 0xFC &&
               std::find(d.begin() + long(k) - 4, d.begin() + long(k), 0) == d.begin() + long(k);
    };
    for (std::size_t i = 8; i < d.size();) {
        std::size_t j = i;
        int high = 0;
        while (j < d.size() && late(j)) high += d[j++] >= 0x80;
        if (j - i >= late_text_frames && 2 * std::size_t(high) >= j - i)
            for (std::size_t k = i; k < j; ++k) f.data[k] >>= 1;
        i = j + 1;
    }
}

// The bits read, with what each dropout hid put back: as many 0 bits in
// doubt as make the time the dropout lasted, moved to the nearest count that
// puts the start bits after it into the frames the start bits before it set.
void cycle_reader::end_segment(std::vector<tape_segment>& out) {
    locked_ = false;
    if (!synced_) return;
    synced_ = false;
    bits_.resize(solid_);
    seconds_.resize(solid_);
    std::vector<std::uint8_t> bits;
    std::vector<float> seconds, gap_seconds;
    bits.reserve(bits_.size() + 64);
    // Dropouts read as several gaps in a row are one.
    std::vector<gap> gaps;
    for (const gap& g : gaps_) {
        if (!gaps.empty() && gaps.back().at == g.at) gaps.back().us += g.us;
        else gaps.push_back(g);
    }
    std::size_t from = 0;
    const auto copy_to = [&](std::size_t to) {
        for (; from < to; ++from) bits.push_back(bits_[from]), seconds.push_back(seconds_[from]);
    };
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const gap& g = gaps[i];
        if (g.at >= bits_.size()) break;
        copy_to(g.at);
        // The mean length of a bit around the dropout, from the bits' times.
        const std::size_t lo = g.at >= 64 ? g.at - 64 : 0;
        double mean_us = 530;
        if (g.at > lo + 8) mean_us = double(seconds_[g.at - 1] - seconds_[lo]) * 1e6 / double(g.at - 1 - lo);
        const double estimate = g.us / mean_us;
        // Which of the next bits are start bits: the phase whose bits are
        // most often 0, over as many frames as a slip is judged by (up to
        // the next dropout; over a few frames, hiss and text leave several
        // alike). Text, whose top bits are 0 too, leaves a run of phases
        // side by side alike: the first of the run is the start bit. Of the
        // phases left, the one whose count of bits lies nearest the time
        // the dropout took.
        const std::size_t next = i + 1 < gaps.size() ? gaps[i + 1].at : bits_.size();
        const std::size_t hi = std::min({bits_.size(), g.at + 9 * look_ahead, next});
        std::array<int, 9> ones{};
        for (std::size_t k = g.at; k < hi; ++k) ones[(k - g.at) % 9] += bits_[k] & 1;
        const int fewest = *std::min_element(ones.begin(), ones.end());
        const auto alike = [&](int phase) { return ones[std::size_t((phase + 9) % 9)] == fewest; };
        const bool all_alike = std::count(ones.begin(), ones.end(), fewest) == 9;
        // Bits to put in: n with (bits.size() + n + phase) a frame start.
        long n = -1;
        for (int phase = 0; phase < 9; ++phase) {
            if (!alike(phase) || (alike(phase - 1) && !all_alike)) continue;
            const long here = long(bits.size()) + phase;
            long m = (9 - here % 9) % 9;
            while (double(m) + 4.5 < estimate) m += 9;
            if (n < 0 || std::fabs(double(m) - estimate) < std::fabs(double(n) - estimate)) n = m;
        }
        const float at = seconds.empty() ? 0 : seconds.back();
        for (long k = 0; k < n; ++k) bits.push_back(gap_bit), seconds.push_back(at);
        gap_seconds.push_back(at);
        // The bits at the edges of a dropout fade in and out: in doubt too.
        for (std::size_t k = bits.size() - std::size_t(n), b = 0; k > 0 && b < 9; --k, ++b) bits[k - 1] |= 2;
        for (std::size_t k = g.at; k < std::min(bits_.size(), g.at + 9); ++k) bits_[k] |= 2;
    }
    copy_to(bits_.size());
    // Where bits in doubt come thick, the signal is too poor to trust the
    // clear ones between them either.
    {
        std::vector<std::uint32_t> count(bits.size() + 1, 0);
        for (std::size_t k = 0; k < bits.size(); ++k) count[k + 1] = count[k] + ((bits[k] >> 1) & 1);
        constexpr std::size_t reach = 36, most = 7;
        for (std::size_t k = 0; k < bits.size(); ++k) {
            const std::size_t lo = k >= reach ? k - reach : 0, hi = std::min(bits.size(), k + reach);
            if (count[hi] - count[lo] > most) bits[k] |= 2;
        }
    }
    realign(bits, seconds);
    retime_frames(bits, seconds);

    // The data bytes, each with whether its frame is in doubt and its time.
    framed f;
    for (std::size_t i = 0; i + 9 <= bits.size(); i += 9) {
        std::uint8_t v = 0;
        bool doubt = bits[i] & 2;
        for (std::size_t k = i + 1; k < i + 9; ++k) v = std::uint8_t(v << 1 | (bits[k] & 1)), doubt = doubt || (bits[k] & 2);
        f.data.push_back(v), f.doubt.push_back(doubt), f.when.push_back(seconds[i]);
    }
    std::vector<std::size_t> recounted;
    for (float t : gap_seconds)
        if (const std::size_t at = recount_gap(f, t); at != 0) recounted.push_back(at);
    if (!first_line_whole(f)) std::fill(f.doubt.begin() + 4, f.doubt.end(), 1);
    read_text_a_bit_late(f);
    check_basic(f.data, f.doubt, false, recounted);
    // A few clear frames between frames in doubt may be out of step by a
    // slip and its undoing, which the start bits cannot show: in doubt too.
    constexpr std::size_t island = 24;
    for (std::size_t i = 0; i < f.doubt.size();) {
        if (f.doubt[i]) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < f.doubt.size() && !f.doubt[j]) ++j;
        if (i > 0 && j < f.doubt.size() && j - i < island) std::fill(f.doubt.begin() + long(i), f.doubt.begin() + long(j), 1);
        i = j;
    }
    // The last frame read may be noise after the end when the signal was
    // poor just before it.
    if (f.data.size() > 9 && std::count(f.doubt.end() - 9, f.doubt.end() - 1, 1) > 0) f.doubt.back() = 1;

    // Framed again, each data byte after a 0 start bit; what follows the last
    // frame is padding (or noise after the end), which packing puts back.
    segment_builder b;
    b.start(start_seconds_, 1500, fast_sync);
    const std::size_t total = f.data.size() * 9;
    for (std::size_t i = 0; i < total; i += 8) {
        std::uint8_t v = 0;
        bool doubt = false;
        for (std::size_t k = i; k < i + 8; ++k) {
            const std::size_t byte = k / 9, at = k % 9;
            const int x = k >= total || at == 0 ? 0 : (f.data[byte] >> (8 - at)) & 1;
            v = std::uint8_t(v << 1 | x);
            doubt = doubt || (k < total && f.doubt[byte]);
        }
        b.add(v, start_seconds_ + f.when[i / 9], doubt, false);
    }
    b.finish(std::size_t(-1), out);
    bits_.clear(), seconds_.clear(), gaps_.clear();
}

// ---------------------------------------------------------------------------

// Both readers on one stream of samples; while one has a segment, the other
// does not look for a leader.
class reader {
public:
    reader(double fs, int baud)
        : pulses_(fs, baud),
          cycles_(fs),
          sums_(std::max(pulses_.span(), cycles_.span()) + 8),
          fast_(baud == 0 || baud == 1500),
          fs_(fs) {}

    void push(const float* x, std::size_t count) {
        for (std::size_t done = 0; done < count;) {
            const std::size_t k = std::min(count - done, block);
            const std::uint64_t n0 = sums_.count();
            sums_.push(x + done, k);
            // Each reader's filter over the block first, then the readers
            // sample by sample.
            if (pulses_.enabled()) pulses_.filter(sums_, n0, k, m_.data());
            if (fast_) cycles_.filter(sums_, n0, k, z_.data());
            for (std::size_t i = 0; i < k; ++i) {
                const std::uint64_t n = n0 + i;
                if (pulses_.enabled() && !cycles_.busy()) pulses_.push(n, m_[i], segments);
                if (fast_ && !pulses_.busy()) cycles_.push(n, z_[i], segments);
                if (!first_.found()) {
                    if (const int b = locked_baud()) first_ = {double(n + 1) / fs_, b};
                }
            }
            done += k;
        }
    }
    void finish() {
        // Silence after the end, so that the last bit's cell is seen to close
        // before the segment ends.
        const std::vector<float> quiet(std::size_t(fs_ * (end_gap_s + 0.05)), 0.0f);
        push(quiet.data(), quiet.size());
        pulses_.finish(segments);
        cycles_.finish(segments);
    }
    int locked_baud() const { return cycles_.busy() ? 1500 : pulses_.locked_baud(); }
    double seconds() const { return double(sums_.count()) / fs_; }
    // The first leader taken, and where.
    const leader_seen& first_leader() const { return first_; }

    std::vector<tape_segment> segments;

private:
    static constexpr std::size_t block = 1024;
    pulse_reader pulses_;
    cycle_reader cycles_;
    block_sums sums_;
    std::array<float, block> m_{}, z_{};  // the block through each reader's filter
    bool fast_;
    double fs_;
    leader_seen first_;
};

// Two programs back to back with no gap (a Level I image with two copies, or
// the program's own WAV of it) read as one segment: it is split where a
// program ends and a zero leader and a sync byte follow.
std::size_t program_end(const std::vector<std::uint8_t>& b, int baud) {
    if (b.size() < 2) return 0;
    if (b[1] == 0x55 && b.size() > 8) {
        std::size_t i = 8;
        while (i < b.size() && b[i] == 0x3C) {
            if (i + 1 >= b.size()) return 0;
            const std::size_t len = b[i + 1] == 0 ? 256 : b[i + 1];
            i += 4 + len + 1;
        }
        if (i + 3 <= b.size() && b[i] == 0x78) return i + 3;
        return 0;
    }
    if (baud == 250 && b.size() >= 6) {
        const unsigned start = unsigned(b[1]) << 8 | b[2], end = unsigned(b[3]) << 8 | b[4];
        if (end >= start && start >= 0x4000) return 5 + (end - start) + 1;
    }
    return 0;
}

constexpr std::size_t thick_reach = 4;

void segment_builder::finish(std::size_t count, std::vector<tape_segment>& out) {
    count = std::min(count, seg.bytes.size());
    seg.bytes.resize(count);
    if (count < 2) return;
    // The last byte lasts as long as the one before it.
    seg.end_seconds = 2 * double(seconds[count - 1]) - double(seconds[count - 2]);
    // A byte is in doubt, or its last bit is because the clock after it was
    // missing, which at the very end of a segment is expected.
    const auto in_doubt = [&](std::size_t k) { return doubt[k] || (doubt_from_next[k] && k + 1 < count); };
    if (seg.baud != 1500) {
        std::vector<std::uint8_t> d(seg.bytes.begin() + 1, seg.bytes.end()), marks(doubt.begin() + 1, doubt.begin() + long(count));
        check_basic(d, marks, true);
        std::copy(marks.begin(), marks.end(), doubt.begin() + 1);
        // Where bytes in doubt come thick, the signal is too poor to trust
        // the clear ones between them either: a pulse that a codec all but
        // took away reads as a sure 0. A byte is in doubt where bytes in
        // doubt lie on both sides of it (the first after the sync byte: after
        // it), two or more, and 3 in 8 or more of those within 4 bytes of it.
        std::vector<std::uint8_t> thick(count, 0);
        for (std::size_t i = 1; i < count; ++i) {
            const std::size_t lo = i > thick_reach ? i - thick_reach : 1, hi = std::min(count, i + thick_reach + 1);
            std::size_t before = 0, after = 0;
            for (std::size_t k = lo; k < i; ++k) before += in_doubt(k);
            for (std::size_t k = i + 1; k < hi; ++k) after += in_doubt(k);
            const std::size_t near = before + after;
            thick[i] = (before > 0 || i == 1) && after > 0 && near >= 2 && 8 * near >= 3 * (hi - lo - 1);
        }
        for (std::size_t i = 1; i < count; ++i) doubt[i] = doubt[i] | thick[i];
        // Bytes of no kind known here (not SYSTEM, BASIC or Level I) have
        // nothing to check them by. Where a clock pulse went missing, the
        // clock ran on by itself and may have counted a cell too many or too
        // few (a level that falls deep for tens of cells, again and again),
        // which puts every byte after it out of step, each read clearly. So
        // from the first byte in doubt on, every byte is in doubt.
        if (!known_kind(seg.bytes, seg.baud)) {
            bool seen = false;
            for (std::size_t i = 1; i < count; ++i) doubt[i] = seen = seen || in_doubt(i);
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        if (in_doubt(i)) seg.doubtful.push_back({i, seconds[i]});
    // Where one program ends and zero bytes and a sync byte follow, a second
    // program starts.
    std::size_t offset = 0;
    while (seg.baud != 1500) {
        const std::size_t end = program_end(seg.bytes, seg.baud);
        if (end == 0 || end >= seg.bytes.size()) break;
        std::size_t i = end;
        while (i < seg.bytes.size() && seg.bytes[i] == 0) ++i;
        if (i - end < 8 || i >= seg.bytes.size() || seg.bytes[i] != zero_sync) break;
        tape_segment rest;
        rest.baud = seg.baud;
        rest.start_seconds = seconds[offset + i];
        rest.end_seconds = seg.end_seconds;
        rest.bytes.assign(seg.bytes.begin() + long(i), seg.bytes.end());
        std::vector<doubtful_byte> keep;
        for (const doubtful_byte& d : seg.doubtful) {
            if (d.index < end)
                keep.push_back(d);
            else if (d.index >= i)
                rest.doubtful.push_back({d.index - i, d.seconds});
        }
        seg.bytes.resize(end);
        seg.end_seconds = seconds[offset + end];
        seg.doubtful = std::move(keep);
        out.push_back(std::move(seg));
        seg = std::move(rest);
        offset += i;
    }
    out.push_back(std::move(seg));
}

// What a segment's data holds (after the sync byte).
struct contents {
    std::string kind = "data";
    std::string name;
    std::optional<unsigned> load;
    std::size_t length = 0;
    tape_item::checksum check = tape_item::checksum::none;
    bool cut_short = false;  // the bytes end before the program does (its last checksum, or BASIC's end)
};

// `doubtful` (the bytes in doubt, by their index in `d`; none given at 1500
// baud, whose segments hold frames) loses a byte that a checksum settles.
contents read_contents(const std::vector<std::uint8_t>& d, int baud, std::vector<doubtful_byte>* doubtful = nullptr) {
    contents c;
    const auto text = [&](std::size_t from, std::size_t n) {
        std::string s;
        for (std::size_t i = from; i < std::min(d.size(), from + n); ++i)
            s += d[i] >= 0x20 && d[i] < 0x7F ? char(d[i]) : '?';
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    };
    if (d.size() >= 2 && d[1] == 0x55) {
        c.kind = "SYSTEM";
        c.name = text(2, 6);
        bool ok = true;
        std::size_t i = 8;
        while (i < d.size() && d[i] == 0x3C) {
            if (i + 4 > d.size()) {
                c.cut_short = true;
                break;
            }
            const std::size_t len = d[i + 1] == 0 ? 256 : d[i + 1];
            if (!c.load) c.load = unsigned(d[i + 2]) | unsigned(d[i + 3]) << 8;
            unsigned sum = d[i + 2] + d[i + 3];
            std::size_t k = i + 4;
            for (; k < i + 4 + len && k < d.size(); ++k) sum += d[k];
            c.length += k - (i + 4);
            c.cut_short = k >= d.size();
            if (c.cut_short || (sum & 0xFF) != d[k])
                ok = false;
            else if (doubtful)
                settle_by_checksum(*doubtful, i, i + 2, k + 1);
            i = k + 1;
        }
        c.cut_short = c.cut_short || i + 3 > d.size();
        if (c.cut_short || d[i] != 0x78) ok = false;
        c.check = ok ? tape_item::checksum::holds : tape_item::checksum::fails;
    } else if (d.size() >= 4 && d[1] == 0xD3 && d[2] == 0xD3 && d[3] == 0xD3) {
        c.kind = "BASIC";
        c.name = text(4, 1);
        c.length = d.size() > 5 ? d.size() - 5 : 0;
        // Its end: a line's closing 0 and a zero link, a few bytes at most
        // from the end. (Text holds no 0, and no link's high byte is 0.)
        c.cut_short = true;
        for (std::size_t i = std::max<std::size_t>(5, d.size() < 7 ? 0 : d.size() - 7); i + 3 <= d.size(); ++i)
            c.cut_short = c.cut_short && !(d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0);
    } else if (baud == 250 && d.size() >= 5) {
        const unsigned start = unsigned(d[1]) << 8 | d[2], end = unsigned(d[3]) << 8 | d[4];
        if (end >= start) {
            c.kind = "Level I";
            c.load = start;
            c.length = end - start;
            // The checksum byte makes the data bytes sum to 0.
            unsigned sum = 0;
            std::size_t k = 5;
            for (; k < 5 + c.length && k < d.size(); ++k) sum += d[k];
            c.cut_short = k >= d.size();
            const bool ok = !c.cut_short && ((sum + d[k]) & 0xFF) == 0;
            if (ok && doubtful) settle_by_checksum(*doubtful, 0, 5, k + 1);
            c.check = ok ? tape_item::checksum::holds : tape_item::checksum::fails;
        }
    }
    if (c.kind == "data") c.length = d.size() - 1;
    return c;
}

bool known_kind(const std::vector<std::uint8_t>& bytes, int baud) { return read_contents(bytes, baud).kind != "data"; }

// Leaders cas_image writes: 255 zero bytes, as nearly every image in
// circulation has (the ROM itself writes 256), and at
// 1500 baud 256 bytes of 0x55, as the Model III ROM writes.
constexpr std::size_t cas_zero_leader = 255, cas_fast_leader = 256;

}  // namespace

std::vector<tape_segment> read_recording(sample_source& in, int baud, leader_seen* first_leader) {
    reader r(in.rate(), baud);
    std::vector<float> block(4096);
    for (std::size_t n; (n = in.read(block.data(), block.size())) > 0;) r.push(block.data(), n);
    r.finish();
    if (first_leader != nullptr) *first_leader = r.first_leader();
    if (none_read(r.segments)) return {};
    return std::move(r.segments);
}

int leader_baud(sample_source& in, double max_seconds, double* found_at) {
    reader r(in.rate(), 0);
    std::vector<float> block(1024);
    for (std::size_t n; r.seconds() < max_seconds && (n = in.read(block.data(), block.size())) > 0;) {
        r.push(block.data(), n);
        if (r.first_leader().found()) {
            if (found_at != nullptr) *found_at = r.first_leader().seconds;
            return r.first_leader().baud;
        }
    }
    return 0;
}

std::vector<std::uint8_t> unframe(const std::vector<std::uint8_t>& bytes, std::vector<std::size_t>* from) {
    std::vector<std::uint8_t> out;
    if (bytes.empty()) return out;
    out.push_back(bytes[0]);
    if (from) from->assign(1, 0);
    const std::size_t bits = (bytes.size() - 1) * 8;
    const auto bit = [&](std::size_t k) { return (bytes[1 + k / 8] >> (7 - k % 8)) & 1; };
    for (std::size_t f = 0; f + 9 <= bits; f += 9) {
        std::uint8_t v = 0;
        for (std::size_t k = f + 1; k < f + 9; ++k) v = std::uint8_t(v << 1 | bit(k));
        out.push_back(v);
        if (from) from->push_back(1 + (f + 1) / 8);
    }
    return out;
}

std::vector<tape_item> describe(const std::vector<tape_segment>& segments) {
    std::vector<tape_item> items;
    for (const tape_segment& s : segments) {
        tape_item it;
        it.start_seconds = s.start_seconds;
        it.machine = "TRS-80";
        it.baud = s.baud;
        if (s.bytes.empty()) {
            it.kind = "program";
            it.missing = lost_part;
            items.push_back(std::move(it));
            continue;
        }
        it.doubtful = s.doubtful;
        const contents c =
            s.baud == 1500 ? read_contents(unframe(s.bytes), s.baud) : read_contents(s.bytes, s.baud, &it.doubtful);
        it.kind = c.kind;
        it.name = c.name;
        it.load_address = c.load;
        it.length = c.length;
        it.check = c.check;
        if (c.cut_short) it.missing = "cut short";
        items.push_back(std::move(it));
    }
    return items;
}

std::vector<std::uint8_t> cas_image(const std::vector<tape_segment>& segments) {
    std::vector<std::uint8_t> out;
    const tape_segment* before = nullptr;
    for (const tape_segment& s : segments) {
        if (s.bytes.empty()) continue;  // a program lost
        const std::uint8_t fill = s.baud == 1500 ? fast_fill : 0;
        std::size_t leader = s.baud == 1500 ? cas_fast_leader : cas_zero_leader;
        // The bytes of that fill the segment before ends with are read back
        // as the start of this leader: they count in it (the tape plays the
        // same), so that the image reads back as itself.
        if (before != nullptr)
            for (auto b = before->bytes.rbegin(); b != before->bytes.rend() && *b == fill && leader > 0; ++b) --leader;
        out.insert(out.end(), leader, fill);
        out.insert(out.end(), s.bytes.begin(), s.bytes.end());
        before = &s;
    }
    return out;
}

}  // namespace korvax::trs80

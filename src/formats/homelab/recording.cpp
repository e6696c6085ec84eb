#include "formats/homelab/recording.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>

namespace korvax::homelab {
namespace {

constexpr double clock_hz = 3'000'000;
constexpr double cell_cycles = 4'425;
constexpr double pulse_cycles = 570;
constexpr int sync_byte = 0xA5;
constexpr std::size_t longest_name = 255;
// A sync byte counts only after this many bits of leader (8 bytes: a few
// zero bytes and 0xA5 in a block's data must not pass for one; the
// machine's leaders have 128 bytes or more), in which a noisy one may read
// as 1 only this often. A leader must start within the first bits after a
// block's flag.
constexpr int least_leader_bits = 64;
constexpr int most_stray_bits = 4;
constexpr int leader_starts_within = 16;
constexpr std::size_t first_leader = 256, later_leader = 128;
// A leader this long (the machine writes 128 zero bytes or more) that ends
// in something other than a sync byte lost its block: where clear 1s as
// many as a few bytes' follow it before any block starts, it is reported.
// (A stray 1 in a leader is one, and the leader goes on.) While a block is
// lost, only a leader as long as the machine's starts another.
constexpr long lost_leader_cells = 512, next_lost_cells = 8 * long(later_leader);
constexpr int lost_ones = 24, lost_at_end_ones = 3;

// The pulse detector is as wide as a pulse; 16 pulses a cell apart (two zero
// bytes) make a lock. A TRS-80's 500 baud tape is the same kind of signal (a
// pulse a cell, a second one mid-cell for a 1) with a cell 1.38 times as
// long: so that the two never pass for each other, a Homelab tape may run at
// most 15% slow (a cell 1.18 times the nominal one), and a TRS-80 tape at
// most 16% fast.
const dsp::cell_format format{
    .cell_seconds = cell_cycles / clock_hz,
    .events = dsp::event_kind::pulses,
    .width = pulse_cycles / cell_cycles,
    .leader = {1.0},
    .leader_periods = 16,
    .max_gap_seconds = 0.1,
    .longest_cell = 1.18,
};

// Where a block's parts end, from its sync byte: the name's 0x00, the four
// bytes of address and length, the bytes, the checksum, the flag.
struct block_layout {
    std::size_t name_end = 0;  // index of the 0x00
    unsigned address = 0, length = 0;
    std::size_t end = 0;       // after the flag
    bool complete = false;
};

std::optional<block_layout> layout(const std::vector<std::uint8_t>& b) {
    block_layout l;
    std::size_t p = 1;
    while (p < b.size() && b[p] != 0 && p <= longest_name) ++p;
    if (p >= b.size() || b[p] != 0) return std::nullopt;
    l.name_end = p;
    if (p + 5 > b.size()) return l;
    l.address = b[p + 1] | unsigned(b[p + 2]) << 8;
    l.length = b[p + 3] | unsigned(b[p + 4]) << 8;
    l.end = p + 5 + l.length + 2;
    l.complete = l.end <= b.size();
    return l;
}

// Whether a whole block's bytes add up to its checksum.
bool sum_holds(const std::vector<std::uint8_t>& b, const block_layout& l) {
    if (!l.complete) return false;
    unsigned sum = 0;
    for (std::size_t i = l.name_end + 5; i + 2 < l.end; ++i) sum += b[i];
    return (sum & 0xFF) == b[l.end - 2];
}

// The bytes after a lock: a leader's zero bits, the sync byte, the block's
// bytes, eight cells each, as far as its flag; then the next block's
// leader, or the end.
class reader final : public dsp::cell_sink {
public:
    std::vector<tape_segment> segments;

    void on_cell(const dsp::cell& c) override {
        if (state_ == state::block) {
            // With its length in doubt, a block may run on past its end: a
            // leader and a sync byte in it end it (less the leader's zero
            // bytes read into it) and start the next.
            remember(c);
            if (unsure_length_ && sync_ends(c.index, 0)) {
                // The zero bytes before the leader are leader. One in doubt
                // may be data a dropout zeroed, and is kept, except past the
                // end of a block read clearly, where every byte is in doubt.
                while (!segment_.bytes.empty() && segment_.bytes.back() == 0) {
                    const bool doubtful =
                        !segment_.doubtful.empty() && segment_.doubtful.back().index + 1 == segment_.bytes.size();
                    if (doubtful && !past_end_) break;
                    if (doubtful) segment_.doubtful.pop_back();
                    segment_.bytes.pop_back();
                }
                segments.push_back(std::move(segment_));
                begin(c);
                strict_ = false;
                return;
            }
            if (!add_bit(c)) return;
            add_byte();
            if (next_part()) {
                // After a block whose length was in doubt, what follows may
                // be its data: the next leader must be a clean one.
                strict_ = unsure_length_;
                state_ = state::between;
                since_flag_ = leader_ = 0;
                seen_ = 0;
            }
            return;
        }
        remember(c);
        const bool one = c.bit == 1 && c.clear;
        if (state_ == state::between) {
            ++since_flag_;
            if (strict_ && one && since_flag_ <= least_leader_bits + 16 && ones_near(c) >= 3 && !sums()) {
                // After a block whose length was in doubt and whose checksum
                // fails with it, before a leader and a sync byte could have
                // come, 1s as thick as a byte's: data, the length read too
                // short.
                resume(c);
                return;
            }
            // Where its length was in doubt, something that is no leader
            // over two bytes' time after the block ends it: no more of it.
            if (strict_ && since_flag_ == leader_starts_within && ones_near(c) > 0) {
                close();
                return;
            }
        }
        if (one) {
            if (leader_ >= (lost_open_ ? next_lost_cells : lost_leader_cells) && lost_at_ < 0)
                lost_at_ = c.seconds, lost_ones_ = 0;
            if (lost_at_ >= 0 && ++lost_ones_ >= lost_ones && state_ == state::leader) lose_block();
        }
        leader_ = one ? 0 : leader_ + 1;
        if (!sync_ends(c.index, strict_ ? 0 : most_stray_bits)) {
            // After a block read clearly, a clear 1 eight cells back that
            // no sync byte took is no part of a leader, nor of the sync byte
            // that ends one: the block goes on past its end (the image of a
            // block whose length was read short holds such bytes, and must
            // read back as itself), as far as the next leader and sync byte.
            // Its bytes there are in doubt: no leader and sync byte framed
            // them.
            if (state_ == state::between && !strict_ && since_flag_ > 8) {
                if (const dsp::cell& back = recent_[(c.index - 8) % recent_.size()]; back.bit == 1 && back.clear) {
                    unsure_length_ = past_end_ = true;
                    resume(c);
                }
            }
            return;
        }
        if (state_ == state::between) {
            // The next block's leader ends this block's segment: as many
            // zero bytes as it had bits before the sync byte.
            const long bits = leading_[(c.index - 7) % recent_.size()];
            segment_.bytes.insert(segment_.bytes.end(), std::size_t(std::lround(double(bits) / 8)), 0);
            segments.push_back(std::move(segment_));
        }
        begin(c);
        strict_ = false;
    }

    void on_lost() override {
        close();
        if (lost_at_ >= 0 && lost_ones_ >= lost_at_end_ones) lose_block();
        lost_at_ = -1, lost_open_ = false;
    }

private:
    enum class state { leader, block, between };
    enum class part { name, head, bytes, sum, flag, rest };

    // Keeps the cell for the sync byte's search.
    void remember(const dsp::cell& c) {
        const std::size_t slot = c.index % recent_.size();
        recent_[slot] = c;
        leading_[slot] = leader_;
        ++seen_;
    }

    // Whether the block's checksum holds with its length as read. A length
    // read as 0 proves nothing: its sum is 0, as the first data byte, taken
    // for the checksum, often is.
    bool sums() const {
        const std::optional<block_layout> l = layout(segment_.bytes);
        return l && l->length > 0 && sum_holds(segment_.bytes, *l);
    }

    // Clear 1s in the last two bytes' cells since the flag, to `c`.
    int ones_near(const dsp::cell& c) const {
        int n = 0;
        for (std::uint64_t i = c.index + 1 - std::uint64_t(std::min(since_flag_, 16L)); i <= c.index; ++i)
            n += recent_[i % recent_.size()].bit == 1 && recent_[i % recent_.size()].clear;
        return n;
    }

    // A block whose leader ended at `lost_at_` with no sync byte.
    void lose_block() {
        segments.push_back(lost_segment(lost_at_));
        lost_at_ = -1, lost_open_ = true;
    }

    // The block goes on from its flag to the next leader: the cells since
    // are its bytes. Those too long ago to be kept read 0 or an unclear 1,
    // and are in doubt.
    void resume(const dsp::cell& c) {
        lost_at_ = -1;
        state_ = state::block;
        part_ = part::rest;
        for (std::uint64_t i = c.index + 1 - std::uint64_t(since_flag_); i <= c.index; ++i) {
            dsp::cell kept = recent_[i % recent_.size()];
            if (i + recent_.size() <= c.index) {
                const dsp::cell& oldest = recent_[(c.index + 1) % recent_.size()];
                const double cell_s = (c.seconds - oldest.seconds) / double(recent_.size() - 1);
                kept = {i, oldest.seconds - double(oldest.index - i) * cell_s, 0, false};
            }
            if (add_bit(kept)) add_byte();
        }
    }

    // A block's segment from the sync byte that ends at cell `c`.
    void begin(const dsp::cell& c) {
        lost_at_ = -1, lost_open_ = false;
        const dsp::cell& first = recent_[(c.index - 7) % recent_.size()];
        segment_ = {};
        segment_.start_seconds = first.seconds;
        bool clear = true;  // and read as 0xA5 whatever its unclear bits read
        for (std::uint64_t i = c.index - 7; i <= c.index; ++i) clear = clear && recent_[i % recent_.size()].clear;
        byte_ = sync_byte, clear_ = clear, at_ = first.seconds;
        add_byte();
        state_ = state::block;
        part_ = part::name;
        bits_ = 0;
        unsure_length_ = past_end_ = false;
        seen_ = 0;
    }

    // Whether the cell at `last` ends a sync byte after a leader: eight
    // cells that read 0xA5 but for one at most that was unclear, with at
    // least two of its four 1s read clearly, after a leader of cells that
    // read 0 but for `stray_bits` that were unclear (none inside a block,
    // where noisy data with few 1s could pass for a leader). A bit of the
    // sync byte lost in noise does not lose the block; noise in a leader,
    // which reads as 1 only unclearly, makes no sync byte, nor do 0xA5's
    // last bits alone. Where no cell of the leader read 1, its sync byte
    // may have no 1 read clearly, if it reads 0xA5 whole: where the level
    // swings fast (a crinkled tape), the 1s of a sync byte in a trough read
    // unclearly though the leader's 0s read clearly, and the block after it
    // was lost without a word.
    bool sync_ends(std::uint64_t last, int stray_bits) const {
        if (seen_ < recent_.size()) return false;
        int wrong = 0, ones = 0;
        for (int k = 0; k < 8; ++k) {
            const dsp::cell& b = recent_[(last - 7 + std::uint64_t(k)) % recent_.size()];
            const int want = (sync_byte >> (7 - k)) & 1;
            if (b.bit != want && (b.clear || ++wrong > 1)) return false;
            ones += want && b.bit && b.clear;
        }
        // Right before the sync byte the leader reads 0 but for one unclear
        // bit at most: a window a few cells after the true sync byte, which
        // may match where that one read poorly, has its 1s there.
        int stray = 0, near = 0;
        for (std::uint64_t i = last - 7 - least_leader_bits; i < last - 7; ++i)
            if (const dsp::cell& b = recent_[i % recent_.size()]; b.bit == 1)
                if (b.clear || ++stray > stray_bits || (i >= last - 15 && ++near > 1)) return false;
        return ones >= 2 || (wrong == 0 && stray == 0);
    }

    // Whether the bit completes a byte.
    bool add_bit(const dsp::cell& c) {
        if (bits_ == 0) byte_ = 0, clear_ = true, at_ = c.seconds;
        byte_ = byte_ << 1 | c.bit;
        clear_ = clear_ && c.clear;
        if (++bits_ < 8) return false;
        bits_ = 0;
        return true;
    }

    void add_byte() {
        if (!clear_ || past_end_) segment_.doubtful.push_back({segment_.bytes.size(), at_});
        segment_.bytes.push_back(std::uint8_t(byte_));
        segment_.end_seconds = at_ + 8 * format.cell_seconds;
    }

    // Follows the block's parts; true after its flag. The length is sure
    // only when every byte up to it is: a name byte misread as 0x00 puts it
    // elsewhere.
    bool next_part() {
        const std::vector<std::uint8_t>& b = segment_.bytes;
        if (!clear_ && (part_ == part::name || part_ == part::head)) unsure_length_ = true;
        switch (part_) {
            case part::name:
                if (byte_ == 0) part_ = part::head, count_ = 4;
                else if (b.size() > longest_name + 1) part_ = part::rest, unsure_length_ = true;  // no end
                return false;
            case part::head:
                if (--count_ == 0) {
                    count_ = b[b.size() - 2] | unsigned(b.back()) << 8;
                    part_ = count_ == 0 ? part::sum : part::bytes;
                }
                return false;
            case part::bytes:
                if (--count_ == 0) part_ = part::sum;
                return false;
            case part::sum:
                part_ = part::flag;
                return false;
            case part::flag:
                return true;
            case part::rest:
                return false;
        }
        return false;
    }

    // The signal ends or turns into something else: the block ends with its
    // last whole byte.
    void close() {
        if (state_ != state::leader) segments.push_back(std::move(segment_));
        segment_ = {};
        state_ = state::leader;
        seen_ = 0;
        leader_ = 0;
    }

    state state_ = state::leader;
    part part_ = part::name;
    unsigned count_ = 0;
    std::array<dsp::cell, 8 + least_leader_bits> recent_{};
    std::array<long, 8 + least_leader_bits> leading_{};  // leader cells before each of them
    std::size_t seen_ = 0;  // cells in `recent_` since the last block or lock
    long since_flag_ = 0;  // cells since the last block's flag
    long leader_ = 0;      // cells since the last clear 1
    bool unsure_length_ = false;  // the block's length is not sure
    bool past_end_ = false;       // the block, read clearly, runs on past its end
    bool strict_ = false;         // and so whether what follows it is a leader
    double lost_at_ = -1;         // where a long leader ended in no sync byte (-1: none)
    int lost_ones_ = 0;           // clear 1s since
    bool lost_open_ = false;      // a block was lost, and none has started since
    tape_segment segment_;
    int bits_ = 0, byte_ = 0;
    bool clear_ = true;
    double at_ = 0;
};

std::string printable(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t to) {
    std::string s;
    for (std::size_t i = from; i < to && i < b.size(); ++i) s += b[i] >= 0x20 && b[i] < 0x7F ? char(b[i]) : '?';
    return s;
}

}  // namespace

std::vector<tape_segment> read_recording(sample_source& in, leader_seen* first_leader) {
    reader r;
    const double leader = dsp::read_cells(in, format, r);
    if (first_leader != nullptr) first_leader->seconds = leader;
    if (none_read(r.segments)) return {};
    return std::move(r.segments);
}

std::vector<tape_item> describe(const std::vector<tape_segment>& segments) {
    std::vector<tape_item> items;
    for (const tape_segment& s : segments) {
        tape_item it;
        it.start_seconds = s.start_seconds;
        it.machine = "Homelab";
        it.kind = "block";
        it.doubtful = s.doubtful;
        it.check = tape_item::checksum::fails;
        const std::vector<std::uint8_t>& b = s.bytes;
        if (b.empty()) {
            it.check = tape_item::checksum::none;
            it.missing = lost_part;
            items.push_back(std::move(it));
            continue;
        }
        const std::optional<block_layout> l = layout(b);
        if (!l) {
            it.name = printable(b, 1, b.size());
        } else {
            it.name = printable(b, 1, l->name_end);
            if (l->name_end + 5 <= b.size()) it.load_address = l->address, it.length = l->length;
            if (!l->complete) it.missing = "cut short";
            if (sum_holds(b, *l)) {
                it.check = tape_item::checksum::holds;
                settle_by_checksum(it.doubtful, 0, l->name_end + 5, l->end - 1);
            }
        }
        items.push_back(std::move(it));
    }
    return items;
}

std::vector<std::uint8_t> htp_image(const std::vector<tape_segment>& segments) {
    std::vector<std::uint8_t> image;
    bool led = false;  // the last segment ended with the next block's leader
    for (const tape_segment& s : segments) {
        if (s.bytes.empty()) continue;  // a block lost
        if (!led) image.insert(image.end(), image.empty() ? first_leader : later_leader, 0);
        image.insert(image.end(), s.bytes.begin(), s.bytes.end());
        const std::optional<block_layout> l = layout(s.bytes);
        led = l && l->complete && s.bytes.size() > l->end &&
              std::all_of(s.bytes.begin() + long(l->end), s.bytes.end(), [](std::uint8_t b) { return b == 0; });
    }
    return image;
}

leader_probe::leader_probe(std::uint32_t rate) : reader_(rate, format, nullptr) {}

}  // namespace korvax::homelab

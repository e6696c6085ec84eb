#include "formats/cgenie/recording.h"

#include <algorithm>
#include <array>

namespace korvax::cgenie {
namespace {

constexpr int leader_byte = 0xAA;
constexpr int sync_byte = 0x66;
constexpr int system_mark = 0x55;
constexpr int block_mark = 0x3C;
constexpr int entry_mark = 0x78;
constexpr std::size_t name_size = 6;
constexpr std::size_t leader_bytes = 255;  // as the program writes it

// 1200 baud. The edge detector averages over 0.35 of a cell on each side: as
// long as it can be while a 1's middle, half a cell on, stays outside it on a
// tape running 8% fast. 0xAA's bits, 1 0 1 0, put level changes half a cell,
// half a cell and a whole cell apart; 8 such periods (two leader bytes) in a
// row make a lock.
const dsp::cell_format format{
    .cell_seconds = 1.0 / 1200,
    .events = dsp::event_kind::edges,
    .width = 0.35,
    .leader = {0.5, 0.5, 1.0},
    .leader_periods = 8,
    .max_gap_seconds = 0.1,
};

// Bytes after a lock: the leader's bits until 0xAA 0x66 has gone by, then
// the stretch's bytes, eight cells each.
class reader final : public dsp::cell_sink {
public:
    std::vector<tape_segment> segments;

    void on_cell(const dsp::cell& c) override {
        if (open_) {
            if (guessed_ && cells_.size() <= most_kept_cells) cells_.push_back(c);
            take(c);
            return;
        }
        // The last 16 bits, which of them were unclear, and when and how
        // clearly the last 8 were read.
        pattern_ = (pattern_ << 1 | unsigned(c.bit)) & 0xFFFF;
        unclear_ = (unclear_ << 1 | unsigned(!c.clear)) & 0xFFFF;
        recent_[c.index % 8] = c;
        // A dropout over the end of the leader and the sync byte may leave
        // its last bits, 110, two of them alike, which the leader's never
        // are: where every bit read clearly fits, the stretch starts there,
        // but its bytes are trusted only where they prove a SYSTEM tape.
        const bool exact = pattern_ == sync_bits;
        if (!exact && (((pattern_ ^ sync_bits) & ~unclear_) != 0 || (unclear_ & 0x7) != 0)) return;
        bool clear = true;
        for (const dsp::cell& r : recent_) clear = clear && r.clear;
        open(recent_[(c.index + 1) % 8].seconds, clear, !exact);
    }

    // The signal has gone: the stretch ends with its last whole byte.
    void on_lost() override {
        if (open_ && guessed_ && !proven()) {
            // The sync byte's halves are alike, 0110: the guess may have
            // taken the first for the second. Where the sync byte is read
            // whole later on, what the guess took was leader: the stretch
            // starts there. Else every byte is in doubt.
            std::vector<dsp::cell> cells = std::move(cells_);
            if (cells.size() > most_kept_cells) cells.clear();
            const auto reframe = [&](double at, std::size_t from, bool clear) {
                open(at, clear, false);
                for (std::size_t k = from; k < cells.size(); ++k) take(cells[k]);
            };
            // The first half taken, the second half follows.
            const bool again = cells.size() > 4 && !cells[0].bit && cells[1].bit && cells[2].bit && !cells[3].bit;
            if (again) reframe(cells[0].seconds - 4 * (cells[1].seconds - cells[0].seconds), 4, false);
            if (!again || !proven()) {
                std::size_t q = 0;
                for (unsigned bits = 0; q < cells.size(); ++q)
                    if ((bits = (bits << 1 | unsigned(cells[q].bit)) & 0xFFFF) == sync_bits) break;
                if (q < cells.size()) {
                    reframe(cells[q - 7].seconds, q + 1,
                            std::all_of(cells.begin() + long(q) - 7, cells.begin() + long(q) + 1,
                                        [](const dsp::cell& r) { return r.clear; }));
                } else {
                    segment_.doubtful.clear();
                    for (std::size_t k = 0; k < times_.size(); ++k) segment_.doubtful.push_back({k, times_[k]});
                }
            }
        }
        if (open_) {
            segment_.end_seconds = times_.back() + 8 * format.cell_seconds;
            segments.push_back(std::move(segment_));
        }
        open_ = false;
        pattern_ = unclear_ = 0;
    }

private:
    static constexpr unsigned sync_bits = leader_byte << 8 | sync_byte;
    // A Colour Genie's 32 KiB are 262,144 cells: a longer stretch after a
    // guessed sync byte is no tape of one, and is not framed again.
    static constexpr std::size_t most_kept_cells = std::size_t(1) << 18;

    // A stretch from its sync byte, which starts at `at`.
    void open(double at, bool clear, bool guessed) {
        open_ = true;
        guessed_ = guessed;
        segment_ = {};
        times_.clear(), cells_.clear();
        segment_.start_seconds = at;
        add(sync_byte, clear, at);
        bits_ = 0;
    }

    // Whether the stretch is a SYSTEM tape whose every checksum holds.
    bool proven() const {
        const tape_item it = describe({segment_})[0];
        return it.kind == "SYSTEM" && it.check == tape_item::checksum::holds;
    }

    void take(const dsp::cell& c) {
        if (bits_ == 0) byte_ = 0, clear_ = true, at_ = c.seconds;
        byte_ = byte_ << 1 | c.bit;
        clear_ = clear_ && c.clear;
        if (++bits_ == 8) {
            add(byte_, clear_, at_);
            bits_ = 0;
        }
    }

    void add(int byte, bool clear, double at) {
        if (!clear) segment_.doubtful.push_back({segment_.bytes.size(), at});
        segment_.bytes.push_back(std::uint8_t(byte));
        times_.push_back(at);
    }

    bool open_ = false, guessed_ = false;  // the stretch's sync byte guessed where bits were unclear
    unsigned pattern_ = 0, unclear_ = 0;
    std::vector<double> times_;     // each byte's
    std::vector<dsp::cell> cells_;  // after a guessed sync byte
    std::array<dsp::cell, 8> recent_{};
    tape_segment segment_;
    int bits_ = 0, byte_ = 0;
    bool clear_ = true;
    double at_ = 0;
};

std::string printable(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t size) {
    std::string s;
    for (std::size_t i = from; i < from + size && i < b.size(); ++i) s += b[i] >= 0x20 && b[i] < 0x7F ? char(b[i]) : '?';
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

std::vector<tape_segment> read_recording(sample_source& in, leader_seen* first_leader) {
    reader r;
    const double leader = dsp::read_cells(in, format, r);
    if (first_leader != nullptr) first_leader->seconds = leader;
    return std::move(r.segments);
}

std::vector<tape_item> describe(const std::vector<tape_segment>& segments) {
    std::vector<tape_item> items;
    for (const tape_segment& s : segments) {
        tape_item it;
        it.start_seconds = s.start_seconds;
        it.machine = "Colour Genie";
        it.doubtful = s.doubtful;
        const std::vector<std::uint8_t>& b = s.bytes;
        std::size_t p = 0;
        while (p < b.size() && b[p] == sync_byte) ++p;
        if (p + 1 + name_size <= b.size() && b[p] == system_mark) {
            it.kind = "SYSTEM";
            it.name = printable(b, p + 1, name_size);
            p += 1 + name_size;
            bool holds = true;
            for (; p < b.size() && b[p] == block_mark;) {
                if (p + 4 > b.size()) {
                    holds = false;
                    break;
                }
                const std::size_t size = b[p + 1] == 0 ? 256 : b[p + 1];
                const unsigned address = b[p + 2] | unsigned(b[p + 3]) << 8;
                if (!it.load_address) it.load_address = address;
                it.length += size;
                if (p + 5 + size > b.size()) {
                    holds = false;
                    p = b.size();
                    break;
                }
                unsigned sum = b[p + 2] + b[p + 3];
                for (std::size_t i = 0; i < size; ++i) sum += b[p + 4 + i];
                const bool block_holds = (sum & 0xFF) == b[p + 4 + size];
                if (block_holds) settle_by_checksum(it.doubtful, p, p + 2, p + 5 + size);
                holds = holds && block_holds;
                p += 5 + size;
            }
            // The entry address closes the tape; bytes that end before it
            // are a tape cut short.
            if (p + 3 > b.size()) it.missing = "cut short";
            holds = holds && p + 3 <= b.size() && b[p] == entry_mark;
            it.check = holds ? tape_item::checksum::holds : tape_item::checksum::fails;
        } else {
            it.kind = "data";
            it.length = b.size() - p;
        }
        items.push_back(std::move(it));
    }
    return items;
}

std::vector<std::uint8_t> cas_image(const std::vector<tape_segment>& segments) {
    std::vector<std::uint8_t> image;
    for (const tape_segment& s : segments) {
        if (!image.empty()) image.insert(image.end(), leader_bytes, std::uint8_t(leader_byte));
        image.insert(image.end(), s.bytes.begin(), s.bytes.end());
    }
    return image;
}

leader_probe::leader_probe(std::uint32_t rate) : reader_(rate, format, nullptr) {}

}  // namespace korvax::cgenie

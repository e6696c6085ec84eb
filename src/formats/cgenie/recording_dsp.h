// Reading a cell-clocked tape signal from a recording, for the machines whose
// bits all look alike: every bit cell starts with an event, and a 1 bit has a
// second event in the middle of its cell. On the Colour Genie an event is a
// level change of a square wave; on the Homelab it is a short positive pulse.
//
// The samples pass a detector built from box sums: for level changes the mean
// after a point minus the mean before it, for pulses the mean over a pulse's
// width minus the mean of the silence on either side. Both ignore DC, hum and
// the droop of AC coupling, average the noise over as long a stretch as the
// signal allows, and peak where an event lies, at the event's height.
//
// Until it has a lock, the reader picks the detector's peaks and waits for a
// stretch of them spaced as the machine's leader spaces them. Then a clock
// follows the cells: it looks for each cell's start event near where the
// tape's speed puts it, reads the middle of the cell, and corrects its phase
// and speed from what it found. The envelope of the start events sets what
// counts as an event at all; where they are missing (a dropout), the clock
// runs on, and once the signal is back it counts the cells in the gap from
// the tape's speed on either side, so the bits after it stay in place (or,
// when the count is not sure, ends the stretch there). A cell is clear only
// when its start events on both sides were found where the speed put them
// and it reads as one bit by a margin the signal's noise cannot bridge.
//
// Samples go through in blocks and nothing is kept but a few cells' worth of
// them, so a recording of any length takes the same memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/samples.h"

namespace korvax::dsp {

enum class event_kind {
    edges,   // level changes, alternating in direction, either polarity
    pulses,  // pulses of one polarity, found from the leader
};

struct cell_format {
    double cell_seconds;          // a 0 bit's cell, start event to start event
    event_kind events;
    double width;                 // pulses: a pulse's width; edges: the window on each side; in cells
    std::vector<double> leader;   // the leader's event spacing, one period, in cells
    int leader_periods;           // periods in a row that make a lock
    double max_gap_seconds;       // a signal missing this long is the end of a stretch
    // The cell a tape may run at, as parts of `cell_seconds`: from a tape
    // running a quarter fast to one running a fifth slow.
    double shortest_cell = 0.8, longest_cell = 1.25;
};

struct cell {
    std::uint64_t index;  // counted from the lock
    double seconds;       // where the cell starts in the recording
    int bit;
    bool clear;           // read from a clear signal
};

// What a machine's reader does with the cells: sees them in order, and hears
// when the signal is lost (the cells of the gap before it are dropped).
class cell_sink {
public:
    virtual ~cell_sink() = default;
    virtual void on_cell(const cell& c) = 0;
    virtual void on_lost() = 0;
};

class cell_reader;

// The whole of `in`, read into `sink` cell by cell. Returns where in it the
// first leader's events began, or -1 when none was found.
double read_cells(sample_source& in, const cell_format& format, cell_sink& sink);

class cell_reader {
public:
    // `sink` may be null: the reader then only looks for a lock.
    cell_reader(std::uint32_t rate, const cell_format& format, cell_sink* sink);

    void feed(const float* samples, std::size_t n);
    // The recording has ended: what is left is read as if silence followed.
    void finish();

    // Whether the reader has locked onto a leader at least once, and where
    // in the recording that leader's events began.
    bool found() const { return first_lock_ >= 0; }
    double found_seconds() const { return first_lock_; }

private:
    struct window {
        int from, to;  // sample offsets from the event's position, `to` not included
        float weight;  // per sample
    };
    struct event {
        double at;
        float height;
    };

    void detect(const double* sums, float* out, std::size_t n) const;
    bool hunt();           // picks peaks up to what the detector holds; true on a lock
    bool track();          // reads cells; true when the signal is lost
    struct regained {
        bool found = false;  // the cells ahead are back
        bool sure = false;   // and the cells in the gap are counted surely
        bool by_count = false;  // the start events' grid was told by the count alone
        double phi = 0, period = 0;
    };
    regained regain(double due) const;
    double grid(double at, int cells, double period, double slack) const;
    double reach() const;
    double ahead(int cells) const;
    bool lock_on_leader(); // whether the last events are a leader; sets the clock
    void lose(bool ended);  // `ended`: the signal has gone, not only the count
    void release(std::size_t n);
    double seconds(double at) const { return (at - double(pre_)) / rate_; }
    double peak(double lo, double hi, float& height, bool alone) const;
    template <class value_fn>
    double centre(std::int64_t best, float top, const value_fn& value) const;

    double rate_;
    cell_format format_;
    cell_sink* sink_;
    double nominal_;  // samples in a cell
    std::vector<window> windows_;
    int reach_;       // how far ahead of an event's position the detector looks
    std::int64_t pre_;  // silent samples taken before the recording, for the detector's lookback

    // The samples as running sums, a block and what the detector looks
    // back on before it; the detector's output in a ring.
    static constexpr std::size_t block = 4096;
    static constexpr std::size_t ring_size = 1 << 15;
    static constexpr std::size_t ring_mask = ring_size - 1;
    std::vector<double> sums_;
    std::vector<float> out_;
    std::int64_t n_ = 0;      // samples taken, with the silence before
    std::int64_t ready_ = 0;  // detector values computed: positions below this
    double sum_ = 0;
    float last_ = 0;
    bool finishing_ = false;  // the recording has ended: no more look-ahead to wait for

    // Hunting: peak picking and the last events picked.
    bool locked_ = false;
    std::int64_t pick_at_ = 0;
    double hold_ = 0;  // a peak hold of the detector, decaying
    double hold_decay_;
    std::int64_t cand_at_ = -1;
    float cand_ = 0;
    std::vector<event> events_;
    double first_lock_ = -1;

    // Tracking.
    double phi_ = 0;    // where the current cell's start event lies
    double period_ = 0;
    double env_ = 0;    // height of the start events
    double fast_env_ = 0;     // the same, followed fast: where the level falls, the lower tells
    double m0_ = 0, m1_ = 0;  // what a 0's and a 1's middle read, in envelopes
    int n0_ = 0, n1_ = 0;     // and how many of each that is from
    double noise_ = 0;        // variance of the middles about those
    bool sign_ = true;  // edges: the current start event rises; pulses: polarity is positive
    bool strong_ = false, strong_before_ = false;
    bool tainted_ = false;  // the last cell's end is in doubt, and so this one's start
    bool faint_ = false;    // the current cell's start event was found, but faint
    bool fresh_ = false;    // a gap has ended, and the signal has not shown itself back
    int steady_run_ = 0;    // start events at full height in a row
    int loud_run_ = 0;      // cells looked at in a row holding a signal far louder than the one followed
    std::uint64_t index_ = 0;
    bool gap_ = false;                      // start events are missing, and the clock runs on
    double gap_from_ = 0, gap_period_ = 0;  // the last start event before the gap, and the speed then
    std::uint64_t gap_index_ = 0;
    std::array<std::pair<std::uint64_t, double>, 16> found_{};  // the last start events found: cell, where
    bool unsettled_ = false;  // since a gap, the bits may be a cell out until a 0 is read
    struct pending {
        cell c;
        bool gap;         // a start event of its own is missing
        bool last;        // only the one after it: kept if the stretch ends there
        bool last_clear;  // and then clear or not
    };
    std::vector<pending> queue_;  // cells not yet seen by the sink
};

}  // namespace korvax::dsp

#include "driver/read_tape.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <future>
#include <limits>
#include <memory>
#include <system_error>
#include <tuple>
#include <utility>

#include "audio/shared_stretch.h"
#include "driver/registry.h"
#include "driver/results.h"
#include "formats/cbm/recording.h"
#include "formats/cgenie/recording.h"
#include "formats/homelab/recording.h"
#include "formats/trs80/recording.h"
#include "output/output_file.h"

namespace korvax {
namespace {

// How far into a recording the machines are tried first, to find out whose
// tape it is; when none reads anything there, they are tried on the next
// stretch, and so on to the end. Where a reader took a leader in a stretch
// and read nothing after it, the next stretch starts a little before the
// last one ended, so that a tape starting near its end is seen from its
// start; otherwise where it ended (a leader cut there is still long enough
// to be taken). A survey that starts further in starts with a whole stretch.
constexpr double survey_first_seconds = 20, survey_seconds = 40, survey_overlap_seconds = 10;
// How many of an item's doubtful bytes the report times.
constexpr std::size_t doubts_shown = 5;

// How loud a channel is: its peak, and how many of its samples there are and
// how many lie at full scale, from its start up to sample `end`.
struct level {
    double peak = 0;
    std::uint64_t samples = 0, clipped = 0, end = 0;
    void add(const float* x, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const double a = std::fabs(x[i]);
            peak = std::max(peak, a);
            clipped += a >= 0.999;
        }
        samples += n;
        end += n;
    }
};

// The samples of another source, which is at sample `in_at`, from sample
// `from` on and no further than sample `to`; those past `tally`'s end go to
// it, if given.
class limited_source final : public sample_source {
public:
    limited_source(sample_source& in, std::uint64_t in_at, std::uint64_t from, std::uint64_t to, level* tally = nullptr)
        : in_(in), skip_(from - in_at), at_(from), left_(to - from), tally_(tally) {}
    std::uint32_t rate() const override { return in_.rate(); }
    std::size_t read(float* out, std::size_t n) override {
        if (skip_ > 0 && in_.skip(std::exchange(skip_, 0)) == 0) return 0;
        const std::size_t got = in_.read(out, static_cast<std::size_t>(std::min<std::uint64_t>(n, left_)));
        if (tally_ != nullptr && tally_->end >= at_ && tally_->end < at_ + got)
            tally_->add(out + (tally_->end - at_), std::size_t(at_ + got - tally_->end));
        at_ += got;
        left_ -= got;
        return got;
    }
    bool reached_limit() const { return left_ == 0; }
    std::uint64_t at() const { return at_; }

private:
    sample_source& in_;
    std::uint64_t skip_, at_, left_;
    level* tally_;
};

// An image for the output, with what goes after the output's stem when it is
// a further file (a further program of a .prg: "-2", "-3"), and what it holds.
struct image_file {
    std::string suffix;
    byte_vector bytes;
    std::string holds;
};

// What one machine's reader found in a channel.
struct reading {
    const struct machine_reader* machine = nullptr;
    std::vector<tape_item> items;
    std::size_t bytes = 0;     // read in all
    std::size_t pulses = 0;    // of a tape read only as pulses (at least 1 for a Commodore leader)
    std::size_t doubtful = 0;  // of them in doubt
    std::size_t failing = 0;   // items whose checksum fails, or with a part not found
    std::vector<tape_segment> segments;
    std::shared_ptr<cbm::recording_read> commodore;
    leader_seen leader;  // the first leader taken, though nothing followed it

    // More read, then fewer in doubt, then fewer failing checksums.
    auto merit() const {
        return std::make_tuple(bytes - doubtful, -static_cast<long long>(doubtful), -static_cast<long long>(failing));
    }
};

struct machine_reader {
    const char* machine;        // as the report names it
    const tape_format* format;  // the images it writes are read by this format
    std::vector<std::string> kinds;  // the image kinds it writes; the first when the name asks for none
    reading (*read)(sample_source&, const options&);
    std::vector<image_file> (*images)(const reading&, const std::string& kind);
};

void tally(reading& r) {
    for (const tape_item& i : r.items) {
        r.bytes += i.length;
        r.pulses += i.pulses;
        r.doubtful += i.doubtful.size();
        r.failing += i.check == tape_item::checksum::fails || !i.missing.empty();
    }
}

reading segments_read(std::vector<tape_segment> s, std::vector<tape_item> items, leader_seen leader) {
    reading r;
    r.segments = std::move(s);
    r.items = std::move(items);
    r.leader = leader;
    tally(r);
    return r;
}

// A .tap holds every pulse, for any loader; a .prg the first program, and the
// others go to further files, so that nothing found is dropped; a .t64 every
// program. Without a program there is no .prg or .t64 (none).
std::vector<image_file> commodore_images(const reading& r, const std::string& kind) {
    const cbm::recording_read& c = *r.commodore;
    if (kind != ".tap" && c.programs.empty()) return {};
    if (kind == ".t64") return {{"", cbm::t64_image(c.programs), "T64 archive"}};
    if (kind == ".prg") {
        std::vector<image_file> files;
        for (std::size_t i = 0; i < c.programs.size(); ++i) {
            std::string suffix;
            if (i > 0) suffix.append("-").append(std::to_string(i + 1));
            std::string holds = "program";
            if (!c.programs[i].name.empty()) holds += " " + c.programs[i].name;
            files.push_back({suffix, cbm::prg_image(c.programs[i]), holds});
        }
        return files;
    }
    return {{"", cbm::tap_image(c), "TAP image"}};
}

const machine_reader machines[] = {
    {"TRS-80", &cas_trs80_format, {".cas"},
     [](sample_source& in, const options& o) {
         leader_seen leader;
         std::vector<tape_segment> s = trs80::read_recording(in, o.baud, &leader);
         std::vector<tape_item> items = trs80::describe(s);
         return segments_read(std::move(s), std::move(items), leader);
     },
     [](const reading& r, const std::string&) {
         return std::vector<image_file>{{"", trs80::cas_image(r.segments), "TRS-80 tape"}};
     }},
    {"Commodore", &cbm_prg_format, {".tap", ".prg", ".t64"},
     [](sample_source& in, const options&) {
         reading r;
         r.commodore = std::make_shared<cbm::recording_read>(cbm::read_recording(in));
         r.items = cbm::describe(*r.commodore);
         tally(r);
         // A tape with a Commodore leader is one, though it hold no byte: a
         // header whose data block the recording cut off.
         if (r.commodore->first_leader >= 0) r.pulses = std::max<std::size_t>(r.pulses, 1);
         return r;
     },
     commodore_images},
    {"Colour Genie", &cgc_format, {".cas"},
     [](sample_source& in, const options&) {
         leader_seen leader;
         std::vector<tape_segment> s = cgenie::read_recording(in, &leader);
         std::vector<tape_item> items = cgenie::describe(s);
         return segments_read(std::move(s), std::move(items), leader);
     },
     [](const reading& r, const std::string&) {
         return std::vector<image_file>{{"", cgenie::cas_image(r.segments), "Colour Genie tape"}};
     }},
    {"Homelab", &htp_format, {".htp"},
     [](sample_source& in, const options&) {
         leader_seen leader;
         std::vector<tape_segment> s = homelab::read_recording(in, &leader);
         std::vector<tape_item> items = homelab::describe(s);
         return segments_read(std::move(s), std::move(items), leader);
     },
     [](const reading& r, const std::string&) {
         return std::vector<image_file>{{"", homelab::htp_image(r.segments), "Homelab tape"}};
     }},
};

// The first leader each machine's reader took in a channel, in the order of
// `machines`, from the channel's start.
using leaders_taken = std::array<leader_seen, std::size(machines)>;

// What a channel holds besides a tape.
struct heard {
    leaders_taken leaders{};
    level sound;
    bool read_straight = false;  // one read went from its first sample to its last, seeking past none
};

// Another machine's tape than the one read into the image: where the first
// of its parts that holds bytes starts in the recording.
struct other_tape {
    const machine_reader* machine;
    double seconds;
};

// Where the first part of `r` that holds a byte not in doubt starts, `offset`
// seconds on (a reader finds none in another machine's tape), if any.
std::optional<double> first_held(const reading& r, double offset) {
    for (const tape_item& i : r.items)
        if (i.length > i.doubtful.size()) return offset + i.start_seconds;
    return std::nullopt;
}

// The first of `items` read whole and sure (no byte in doubt, no checksum
// failing, no part missing) that is none of `kept`: what a channel holds
// beyond the channel read (another tape of the same machine on a two-track
// tape, or a part the other channel lost). The same tape's parts read alike
// in both.
const tape_item* not_among(const std::vector<tape_item>& items, const std::vector<tape_item>& kept) {
    const auto same = [](const tape_item& a, const tape_item& b) {
        return a.baud == b.baud && a.kind == b.kind && a.name == b.name && a.load_address == b.load_address &&
               a.length == b.length;
    };
    for (const tape_item& i : items)
        if (i.doubtful.empty() && i.check != tape_item::checksum::fails && i.missing.empty() && i.length > 0 &&
            std::none_of(kept.begin(), kept.end(), [&](const tape_item& k) { return same(i, k); }))
            return &i;
    return nullptr;
}

// Notes another machine's tape at `seconds`: once a machine, at its earliest.
void note_other(std::vector<other_tape>& others, const machine_reader& m, double seconds) {
    for (other_tape& t : others)
        if (t.machine == &m) {
            t.seconds = std::min(t.seconds, seconds);
            return;
        }
    others.push_back({&m, seconds});
}

// The forced format's machine (-f): TAP images and program files are both
// Commodore tapes.
const machine_reader* forced_machine(const options& o) {
    if (o.format < 0 || o.format >= format_count) return nullptr;
    const tape_format* f = tape_format_registry[static_cast<std::size_t>(o.format)];
    if (f == &tap_format) f = &cbm_prg_format;
    for (const machine_reader& m : machines)
        if (m.format == f) return &m;
    return nullptr;
}

// Calls f(0, together) to f(n - 1, together) side by side where the platform
// has threads (the page's WebAssembly has none), f(0, ...) on this one; none
// may touch what another does. Once the others are started, and before any
// of them calls f, `ready(all)` is called on this thread, `all` telling
// whether every call has a thread of its own; what it returns is `together`
// (so true only where all of them run at once). An exception from any call
// reaches the caller once all are done.
template <class F, class R>
void side_by_side(std::size_t n, const F& f, const R& ready) {
    std::promise<bool> gate;
    const std::shared_future<bool> together = gate.get_future().share();
    const auto call = [&](std::size_t k) { f(k, together.get()); };
    std::vector<std::future<void>> others;
    bool all = true;
    for (std::size_t k = 1; k < n; ++k) {
#ifndef __EMSCRIPTEN__
        try {
            others.push_back(std::async(std::launch::async, call, k));
            continue;
        } catch (const std::system_error&) {
            // No thread to be had: it runs on this one, when waited for.
        }
#endif
        all = false;
        others.push_back(std::async(std::launch::deferred, call, k));
    }
    std::exception_ptr failed;
    bool shared = false;
    try {
        shared = ready(all);
    } catch (...) {
        failed = std::current_exception();
    }
    gate.set_value(shared && !failed);
    try {
        if (!failed) call(0);
    } catch (...) {
        failed = std::current_exception();
    }
    for (std::future<void>& o : others) {
        try {
            o.get();
        } catch (...) {
            if (!failed) failed = std::current_exception();
        }
    }
    if (failed) std::rethrow_exception(failed);
}
template <class F>
void side_by_side(std::size_t n, const F& f) {
    side_by_side(n, [&](std::size_t k, bool) { f(k); }, [](bool) { return false; });
}

// Reads a channel with each machine's reader, a stretch at a time from
// sample `from` on; in the first stretch where any reads anything, the one
// that reads the most there is the tape's machine, and `from` is set to
// where that stretch starts. Where each reader first took a leader, and how
// loud the channel is from its start, go to `h`; the tapes the other readers
// read in that stretch, to `others`.
const machine_reader* survey(recording_file& rec, unsigned channel, const options& o, std::uint64_t& from, heard& h,
                             std::vector<other_tape>& others) {
    const auto at = [&](double seconds) { return static_cast<std::uint64_t>(seconds * rec.rate()); };
    bool led = false;
    // One source of the channel reads on from where it stopped when the
    // next stretch starts there: where the stretches follow each other from
    // the first sample to the last, it has read the channel straight
    // through, and so told whether the channels are alike. It is opened, and
    // each stretch's first block read from it, on this thread, so that the
    // buffers it keeps from stretch to stretch lie in this thread's heap (in
    // another's, they would keep that heap from giving back what the readers
    // freed: 38 MiB at the peak rather than 22). The first machine's reader
    // tallies the level.
    const std::size_t tallies = 0;
    std::unique_ptr<sample_source> straight;
    std::uint64_t straight_at = 0;
    bool sought = from > 0;
    for (std::uint64_t start = from, to = from + at(from == 0 ? survey_first_seconds : survey_seconds);;
         start = led ? to - at(survey_overlap_seconds) : to, to = start + at(survey_seconds)) {
        // Each reader on the stretch, all at once: where each runs on a
        // thread of its own, on one copy decoded once; otherwise each on a
        // copy of its own.
        if (!straight || straight_at != start) {
            straight = rec.channel(channel);
            straight_at = 0;
            sought = sought || start > 0;
        }
        if (!straight) return nullptr;
        std::array<std::optional<reading>, std::size(machines)> read;
        std::array<bool, std::size(machines)> limited{};
        std::optional<shared_stretch> shared;
        side_by_side(
            std::size(machines),
            [&](std::size_t k, bool together) {
                // The shared stretch; or a source of its own from the
                // first sample; or, for the reader that tallies, `straight`.
                std::unique_ptr<sample_source> own;
                std::uint64_t own_at = 0;
                if (together)
                    own = shared->reader(k), own_at = start;
                else if (k != tallies && !(own = rec.channel(channel)))
                    return;
                limited_source part(own ? *own : *straight, own ? own_at : straight_at, start, to,
                                    k == tallies ? &h.sound : nullptr);
                read[k] = machines[k].read(part, o);
                limited[k] = part.reached_limit();
                if (!own) straight_at = part.at();
            },
            [&](bool all) {
                if (!all) return false;
                shared.emplace(*straight, straight_at, start, to, std::size(machines));
                shared->prime();
                return true;
            });
        if (shared) straight_at = shared->at();
        const machine_reader* best = nullptr;
        bool whole = true;
        led = false;
        for (const machine_reader& m : machines) {
            const std::size_t k = std::size_t(&m - machines);
            if (!read[k]) return nullptr;
            const reading& r = *read[k];
            whole = whole && !limited[k];
            led = led || r.leader.found();
            leader_seen& first = h.leaders[k];
            if (r.leader.found() && !first.found())
                first = {double(start) / rec.rate() + r.leader.seconds, r.leader.baud};
            if ((r.bytes > 0 || r.pulses > 0) &&
                (best == nullptr || r.merit() > read[std::size_t(best - machines)]->merit()))
                best = &m;
        }
        if (best != nullptr) {
            from = start;
            for (std::size_t k = 0; k < std::size(machines); ++k)
                if (const auto at = first_held(*read[k], double(start) / rec.rate()); at && &machines[k] != best)
                    note_other(others, machines[k], *at);
        }
        h.read_straight = best == nullptr && whole && !sought;
        if (best != nullptr || whole) return best;
    }
}

// A stretch of a channel, in seconds.
struct stretch {
    double from, to;
};

// Where a tape leaves room for another machine's: between two of its
// segments (a Commodore tape's ROM blocks) that lie this far apart or more
// (no tape is shorter), and after its last. A Commodore reader keeps every
// pulse after the ROM's last block (another loader's blocks), so there that
// block's end is the last.
constexpr double least_room_seconds = 2;

std::vector<stretch> room_left(const reading& r) {
    std::vector<stretch> room, spans;
    if (r.commodore)
        for (const auto& [from, to] : r.commodore->rom_blocks) spans.push_back({from, std::max(from, to)});
    else
        for (const tape_segment& t : r.segments)
            spans.push_back({t.start_seconds, std::max(t.start_seconds, t.end_seconds)});
    std::sort(spans.begin(), spans.end(), [](const stretch& a, const stretch& b) { return a.from < b.from; });
    double end = 0;
    for (const stretch& t : spans) {
        if (end > 0 && t.from - end >= least_room_seconds) room.push_back({end, t.from});
        end = std::max(end, t.to);
    }
    if (r.commodore && r.commodore->rom_blocks.empty() && !r.items.empty())
        end = r.items.front().start_seconds;  // another loader's blocks alone
    room.push_back({std::max(end, 0.0), std::numeric_limits<double>::infinity()});
    return room;
}

// The tapes of machines other than `m` in channel `channel` that lie in
// `room` (in order), to `others`: the readers through it side by side, each
// stretch of room decoded once where each reader has a thread of its own and
// the stretches follow each other (so that each reader starts each one at
// its start); otherwise each reader through it on its own copy.
void others_in(recording_file& rec, unsigned channel, const options& o, const machine_reader& m,
               const std::vector<stretch>& room, std::vector<other_tape>& others) {
    std::array<std::optional<double>, std::size(machines)> found;
    const auto sample = [&](double seconds) {
        return std::isinf(seconds) ? std::numeric_limits<std::uint64_t>::max()
                                   : static_cast<std::uint64_t>(seconds * rec.rate());
    };
    const auto note = [&](std::size_t k, const reading& r, std::uint64_t from) {
        if (const std::optional<double> held = first_held(r, double(from) / rec.rate()); held && !found[k])
            found[k] = held;
    };
    bool apart = true;
    for (std::size_t i = 1; i < room.size(); ++i) apart = apart && room[i].from >= room[i - 1].to;
    const std::unique_ptr<sample_source> straight = apart ? rec.channel(channel) : nullptr;
    std::uint64_t straight_at = 0;
    bool shared_all = straight != nullptr;
    for (std::size_t i = 0; shared_all && i < room.size(); ++i) {
        const std::uint64_t from = sample(room[i].from), to = sample(room[i].to);
        if (to <= from) continue;
        std::optional<shared_stretch> shared;
        side_by_side(
            std::size(machines),
            [&](std::size_t k, bool together) {
                if (!together) return;
                const std::unique_ptr<sample_source> view = shared->reader(k);
                if (&machines[k] == &m) return;
                limited_source part(*view, from, from, to);
                note(k, machines[k].read(part, o), from);
            },
            [&](bool all) {
                if (!all) return false;
                shared.emplace(*straight, straight_at, from, to, std::size(machines));
                shared->prime();
                return true;
            });
        shared_all = shared.has_value();
        if (shared_all) straight_at = shared->at();
    }
    if (!shared_all) {
        found.fill(std::nullopt);
        side_by_side(std::size(machines), [&](std::size_t k) {
            if (&machines[k] == &m) return;
            const std::unique_ptr<sample_source> own = rec.channel(channel);
            if (!own) return;
            std::uint64_t at = 0;
            for (const stretch& s : room) {
                const std::uint64_t from = std::max(at, sample(s.from)), to = sample(s.to);
                if (to <= from) continue;
                limited_source part(*own, at, from, to);
                note(k, machines[k].read(part, o), from);
                at = part.at();
            }
        });
    }
    for (std::size_t k = 0; k < std::size(machines); ++k)
        if (found[k]) note_other(others, machines[k], *found[k]);
}

// The -f number that forces machine `m`'s reader (a Commodore tape's: a TAP's).
int forcing(const machine_reader& m) {
    return format_number(m.format == &cbm_prg_format ? tap_format.name : m.format->name);
}

// Reads channel `c` from its first sample to its last, for what the reading
// tells of the recording (whether its channels are alike).
void read_whole(recording_file& rec, unsigned c) {
    const std::unique_ptr<sample_source> in = rec.channel(c);
    std::vector<float> block(65536);
    while (in && in->read(block.data(), block.size()) > 0) {
    }
}

// What channel `channel` holds besides a tape, found out by reading it. With
// a machine forced, only that machine's leader is looked for, at any speed
// (-b may have asked for another), unless its reader's own, `taken`, is
// known.
heard hear(recording_file& rec, unsigned channel, const machine_reader* forced,
           const std::optional<leader_seen>& taken) {
    heard h;
    const std::unique_ptr<sample_source> in = rec.channel(channel);
    std::vector<float> block(65536);
    const auto sought = [&](const tape_format& f) { return forced == nullptr || (forced->format == &f && !taken); };
    cgenie::leader_probe cgenie_leader(rec.rate());
    homelab::leader_probe homelab_leader(rec.rate());
    for (std::size_t n; in && (n = in->read(block.data(), block.size())) > 0;) {
        h.sound.add(block.data(), n);
        if (sought(cgc_format)) cgenie_leader.feed(block.data(), n);
        if (sought(htp_format)) homelab_leader.feed(block.data(), n);
    }
    const std::unique_ptr<sample_source> again = sought(cas_trs80_format) ? rec.channel(channel) : nullptr;
    for (std::size_t k = 0; k < std::size(machines); ++k) {
        leader_seen& l = h.leaders[k];
        const tape_format* f = machines[k].format;
        if (taken && forced == &machines[k]) l = *taken;
        if (!sought(*f)) continue;
        if (f == &cas_trs80_format && again) l.baud = trs80::leader_baud(*again, 1e9, &l.seconds);
        if (f == &cgc_format && cgenie_leader.found()) l.seconds = cgenie_leader.seconds();
        if (f == &htp_format && homelab_leader.found()) l.seconds = homelab_leader.seconds();
    }
    return h;
}

// What a recording in which no tape was found holds: silence, clipping, a
// level too low, a leader with nothing after it (the recording stopped too
// soon, or -b asked for another speed), or a sound of some other kind.
std::string what_was_heard(const heard& h, const machine_reader* forced, int baud) {
    const leaders_taken& leaders = h.leaders;
    const double peak = h.sound.peak;
    const std::uint64_t samples = h.sound.samples, clipped = h.sound.clipped;
    // A leader alone: where it starts, and what would follow it.
    std::string leader;
    for (std::size_t k = 0; k < std::size(machines) && leader.empty(); ++k) {
        if (!leaders[k].found()) continue;
        std::string tape = std::string(machines[k].machine) + " tape";
        if (leaders[k].baud != 0) tape += " at " + std::to_string(leaders[k].baud) + " baud";
        leader = "it holds the leader of a " + tape + " (at " + clock_time(leaders[k].seconds) + "), ";
        // What follows a leader: a Homelab tape's blocks each have their own.
        const char* part = machines[k].format == &htp_format ? "block" : "program";
        if (baud != 0 && leaders[k].baud != 0 && leaders[k].baud != baud)
            leader += "not one at " + std::to_string(baud) + " baud as -b asks: read it without -b";
        else
            leader += std::string("but no ") + part + " after it: the recording may stop too soon";
    }
    const double db = peak > 0 ? 20 * std::log10(peak) : -200;
    // Where the peak lies against full scale, as a whole number of dB (a
    // float recording may go past it).
    char level[48];
    if (db <= -0.5)
        std::snprintf(level, sizeof level, "%.0f dB below full scale", -db);
    else if (db >= 0.5)
        std::snprintf(level, sizeof level, "%.0f dB above full scale", db);
    else
        std::snprintf(level, sizeof level, "at full scale");
    char text[160];
    if (samples == 0 || db < -80)
        return "it is silent";
    if (clipped * 20 > samples)
        std::snprintf(text, sizeof text, "it is clipped: %.0f%% of its samples are at full scale; record it at a lower level",
                      100.0 * double(clipped) / double(samples));
    else if (db < -40)
        std::snprintf(text, sizeof text, "its level is too low (its peak is %.0f dB below full scale); record it louder",
                      -db);
    else if (!leader.empty())
        return leader;
    else if (forced != nullptr)
        std::snprintf(text, sizeof text, "it holds sound (its peak %s), but no %s tape signal", level, forced->machine);
    else
        std::snprintf(text, sizeof text,
                      "it holds sound (its peak %s), but no tape signal of a machine this program knows", level);
    return text;
}

// "0:01.2 TRS-80, 500 baud: SYSTEM SPONU2, load $4F00, 12,544 bytes,
// checksums hold, 2 bytes in doubt (at 0:05.1, 0:05.2)."
std::string item_line(const tape_item& i) {
    std::string line = clock_time(i.start_seconds) + " " + i.machine;
    if (i.baud != 0) line += ", " + std::to_string(i.baud) + " baud";
    line += ": " + i.kind;
    if (!i.name.empty()) {
        // A name read from tape may hold any byte; control codes must not
        // reach the terminal.
        std::string name = i.name;
        for (char& c : name) c = c >= 0x20 && c < 0x7F ? c : '?';
        line += " " + name;
    }
    if (i.load_address) {
        char a[16];
        std::snprintf(a, sizeof a, "$%04X", *i.load_address & 0xFFFF);
        line += std::string(", load ") + a;
    }
    if (i.length == 0 && i.pulses > 0) line += ", " + with_commas(i.pulses) + (i.pulses == 1 ? " pulse" : " pulses");
    else line += ", " + with_commas(i.length) + (i.length == 1 ? " byte" : " bytes");
    if (!i.missing.empty()) line += ", " + i.missing;
    if (i.check == tape_item::checksum::holds) line += ", checksums hold";
    if (i.check == tape_item::checksum::fails) line += ", a checksum fails";
    if (!i.doubtful.empty()) {
        line += ", " + with_commas(i.doubtful.size()) + (i.doubtful.size() == 1 ? " byte" : " bytes") + " in doubt (at ";
        // The stretches to re-record: each tenth of a second once.
        std::vector<std::string> times;
        bool more = false;
        for (const doubtful_byte& d : i.doubtful) {
            const std::string t = clock_time(d.seconds);
            if (!times.empty() && times.back() == t) continue;
            if (times.size() == doubts_shown) {
                more = true;
                break;
            }
            times.push_back(t);
        }
        for (std::size_t k = 0; k < times.size(); ++k) line += (k > 0 ? ", " : "") + times[k];
        line += more ? ", ...)" : ")";
    }
    return line + ".";
}

// The kind of image the output's name asks for, among the machine's: its
// extension if it is one of them; the machine's first when the name has none,
// or one that is no tape image's; none when it names another machine's kind.
std::optional<std::string> kind_for(const std::string& name, const machine_reader& m) {
    const std::size_t dot = name.rfind('.'), slash = name.rfind('/');
    std::string ext = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? name.substr(dot) : "";
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (std::find(m.kinds.begin(), m.kinds.end(), ext) != m.kinds.end()) return ext;
    for (const char* image : {".cas", ".htp", ".tap", ".prg", ".t64", ".p00"})
        if (ext == image) return std::nullopt;
    return m.kinds.front();
}

// The output's name with `suffix` before its extension: side-a.prg, side-a-2.prg.
std::string further_name(const std::string& name, const std::string& suffix) {
    const std::size_t dot = name.rfind('.'), slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

bool written(byte_sink& sink, const byte_vector& bytes, messages& out) {
    if (sink.write(bytes.data(), bytes.size())) return true;
    out.say("Error writing %s.", sink.name().c_str());
    return false;
}

bool closed(byte_sink& sink, messages& out) {
    if (sink.close()) return true;
    out.say("Error writing %s.", sink.name().c_str());
    return false;
}

// The images written, played as the program plays them and read back by the
// same reader: a check that what was written holds what was read. A TAP
// image holds pulses as they were measured, so it is read back for its
// programs and its count of pulses.
int self_check(const machine_reader& m, const std::string& kind, const std::vector<image_file>& images,
               const reading& first, const options& o, messages& out) {
    options play;
    play.sample_rate = 44100;
    // A TRS-80 image holds no speed: played as its bytes suggest, a tape
    // read with -b at another would not be read back at all.
    play.baud = o.baud;
    play.format = -1;
    for (int f = 0; f < format_count; ++f)
        if (tape_format_registry[static_cast<std::size_t>(f)] == (kind == ".tap" ? &tap_format : m.format)) play.format = f;
    std::string failed;
    for (const image_file& written : images) {
        const image im{"image" + kind, written.bytes};
        memory_sink wav("check.wav");
        kept_messages dropped;
        const int status = convert(play, im, &wav, dropped);
        std::string why;
        const std::unique_ptr<recording_file> rec = status == exit_ok ? open_wav_recording(wav.bytes, why) : nullptr;
        const std::unique_ptr<sample_source> in = rec ? rec->channel(0) : nullptr;
        if (!in) {
            failed = "the image " + written.holds + " cannot be played (status " + std::to_string(status) + ")";
            break;
        }
        reading again = m.read(*in, o);
        again.machine = &m;
        if (kind == ".tap") {
            // Its pulses, played and measured again, carry the same programs.
            if (cbm::t64_image(again.commodore->programs) != cbm::t64_image(first.commodore->programs))
                failed = "the programs of the TAP image read back otherwise";
            continue;
        }
        const std::vector<image_file> back = m.images(again, kind);
        const auto same = std::find_if(back.begin(), back.end(), [&](const image_file& f) { return f.bytes == written.bytes; });
        if (same == back.end()) {
            failed = "the " + written.holds + " reads back otherwise";
            break;
        }
    }
    if (!failed.empty()) {
        out.say("Read-back check failed: %s.", failed.c_str());
        return exit_readback;
    }
    out.line("Read-back check: the image's own signal reads back as the image.");
    return exit_ok;
}

}  // namespace

int read_tape(const options& o, const std::string& name, recording_file& rec, int channel, byte_sink* output,
              messages& out, run_result* result) {
    run_result local;
    run_result& res = result != nullptr ? *result : local;
    if (channel >= 0 && static_cast<unsigned>(channel) >= rec.channels()) {
        out.say("Error reading %s: it has no channel %d.", shown_name(name).c_str(), channel + 1);
        return res.status = exit_input;
    }
    out.say("Recording: %u Hz, %u channel%s.", rec.rate(), rec.channels(), rec.channels() == 1 ? "" : "s");
    // The options that shape a WAV written say nothing about a recording read.
    const options plain;
    std::string unused;
    for (const auto& [given, option] : {std::pair{o.sample_rate != plain.sample_rate, "-s"},
                                        std::pair{o.p_gain != plain.p_gain, "-g"}, std::pair{o.inverted, "-n"}})
        if (given) unused += (unused.empty() ? "" : ", ") + std::string(option);
    if (!unused.empty()) out.say("Ignored in reading a recording: %s (for writing a WAV).", unused.c_str());
    if (rec.rate() < 8000) {
        out.say("No tape signal found in %s: a recording at %u Hz cannot hold one; record at 44100 Hz (8000 at the least).",
                shown_name(name).c_str(), rec.rate());
        return res.status = exit_image;
    }

    // Each channel asked for, by its machine's reader; the one that reads
    // better is kept. The channels of a recording hold one tape, so a
    // channel's survey starts where an earlier channel's found it (and from
    // the start when it finds nothing from there on).
    std::optional<reading> best;
    unsigned best_channel = 0;
    std::uint64_t found_at = 0;
    // What each channel's survey heard besides a tape, when it went through
    // the whole channel (and read every speed) and found none.
    std::vector<std::optional<heard>> surveyed(rec.channels());
    // The leader a forced machine's reader took in each channel, where it
    // read every speed.
    std::vector<std::optional<leader_seen>> forced_leader(rec.channels());
    const unsigned first = channel >= 0 ? unsigned(channel) : 0;
    unsigned end = channel >= 0 ? first + 1 : rec.channels();
    // The other machines' tapes each channel's survey found beside its own.
    std::vector<std::vector<other_tape>> others(rec.channels());
    // Each channel's own tape, where it holds bytes, and what it holds.
    std::vector<std::optional<other_tape>> tape_in(rec.channels());
    std::vector<std::vector<tape_item>> items_in(rec.channels());
    const machine_reader* const forced = forced_machine(o);
    for (unsigned c = first; c < end; ++c) {
        const machine_reader* m = forced;
        heard h;
        if (m == nullptr) {
            std::uint64_t from = found_at;
            m = survey(rec, c, o, from, h, others[c]);
            if (m == nullptr && found_at > 0) m = survey(rec, c, o, from = 0, h = {}, others[c]);
            if (m != nullptr) found_at = from;
            if (m == nullptr && o.baud == 0) surveyed[c] = h;
        }
        if (m == nullptr) {
            // No tape in this channel. Where the survey sought past some of
            // it, only a plain read tells whether the others hold its samples.
            if (c + 1 < end && !h.read_straight) read_whole(rec, c);
        } else if (const std::unique_ptr<sample_source> in = rec.channel(c)) {
            reading r = m->read(*in, o);
            r.machine = m;
            if (m == forced && (o.baud == 0 || m->format != &cas_trs80_format)) forced_leader[c] = r.leader;
            if (const std::optional<double> at = first_held(r, 0)) tape_in[c] = other_tape{m, *at}, items_in[c] = r.items;
            if (!best || r.merit() > best->merit()) best = std::move(r), best_channel = c;
        }
        // A mono recording stored as stereo: the other channels read alike.
        if (rec.channels_alike()) end = c + 1;
    }
    if (rec.cut_short()) {
        out.say("Error reading %s: it ends before the end its header gives, or cannot be read.", shown_name(name).c_str());
        return res.status = exit_input;
    }
    if (!best || (best->items.empty() && best->bytes == 0)) {
        // Of the channels read, the loudest that holds a leader tells; else
        // the loudest (a deck may feed one channel of a stereo input alone).
        const auto any_leader = [](const heard& h) {
            return std::any_of(h.leaders.begin(), h.leaders.end(), [](const leader_seen& l) { return l.found(); });
        };
        std::optional<heard> told;
        for (unsigned c = first; c < end; ++c) {
            heard h = surveyed[c] ? *surveyed[c] : hear(rec, c, forced, forced_leader[c]);
            const bool leader = any_leader(h), told_leader = told && any_leader(*told);
            if (!told || (leader && !told_leader) || (leader == told_leader && h.sound.peak > told->sound.peak))
                told = h;
        }
        out.say("No tape signal found in %s: %s.", shown_name(name).c_str(),
                what_was_heard(*told, forced, o.baud).c_str());
        return res.status = exit_image;
    }
    const machine_reader& m = *best->machine;
    if (channel < 0 && rec.channels() > 1) out.say("Channel %u of %u reads better.", best_channel + 1, rec.channels());
    if (o.baud != 0 && m.format != &cas_trs80_format)
        out.line("Option -b ignored: only TRS-80 tapes have a choice of speed.");
    for (const tape_item& i : best->items) out.line(item_line(i));
    // A tape of another machine, beside the one read, between its parts or
    // after it, is no part of this one's image: it is named, so that nothing
    // found goes unsaid. (Only where this tape leaves room: the other readers
    // through the whole recording would triple the time a read takes.)
    if (forced == nullptr) {
        std::vector<other_tape>& also = others[best_channel];
        others_in(rec, best_channel, o, m, room_left(*best), also);
        std::sort(also.begin(), also.end(),
                  [](const other_tape& a, const other_tape& b) { return a.seconds < b.seconds; });
        for (const other_tape& t : also)
            out.say("The recording also holds a %s tape, at %s: read it with -f %d.", t.machine->machine,
                    clock_time(t.seconds).c_str(), forcing(*t.machine));
    }
    // Channels that hold one tape read alike; one that holds another
    // machine's tape (a two-track tape) is named too.
    for (unsigned c = first; c < end; ++c)
        if (tape_in[c] && tape_in[c]->machine != &m)
            out.say("The recording also holds a %s tape, in channel %u, at %s: read it with -c %u.",
                    tape_in[c]->machine->machine, c + 1, clock_time(tape_in[c]->seconds).c_str(), c + 1);
        else if (const tape_item* i = c != best_channel && tape_in[c] ? not_among(items_in[c], best->items) : nullptr)
            out.say("Channel %u holds %s tape that channel %u does not, from %s: read it with -c %u.", c + 1,
                    m.machine, best_channel + 1, clock_time(i->start_seconds).c_str(), c + 1);
    res.format = m.format;
    res.items = best->items;

    const bool doubtful = best->doubtful > 0 || best->failing > 0;
    if (output == nullptr) return res.status = doubtful ? exit_doubtful : exit_ok;
    const std::optional<std::string> kind = kind_for(output->name(), m);
    if (!kind) {
        std::string kinds;
        for (std::size_t k = 0; k < m.kinds.size(); ++k)
            kinds += (k == 0 ? "" : k + 1 == m.kinds.size() ? " or " : ", ") + m.kinds[k];
        out.say("Error writing %s: a %s tape is written as %s.", output->name().c_str(),
                m.machine, kinds.c_str());
        return res.status = exit_output;
    }
    const std::vector<image_file> images = m.images(*best, *kind);
    if (images.empty()) {
        out.say("Error writing %s: the tape holds no program the ROM wrote; write it as .tap.", output->name().c_str());
        return res.status = exit_output;
    }
    // Every further file is made before any is put in place, so that a
    // failure leaves none of them.
    std::vector<std::unique_ptr<output_file>> further;
    for (std::size_t k = 1; k < images.size(); ++k) {
        const std::string n = further_name(output->name(), images[k].suffix);
        // A recording named as a further program would be (side-a-2.prg) is
        // kept, as an -o naming it is.
        if (name != "-" && same_file(n, name)) {
            out.say("Error opening %s for writing.", n.c_str());
            out.line("Output file is the input file.");
            return res.status = exit_output;
        }
        further.push_back(output_file::open(n));
        if (!further.back()) {
            out.say("Error opening %s for writing.", n.c_str());
            return res.status = exit_output;
        }
    }
    // All are written before any is closed (put in place).
    for (std::size_t k = 1; k < images.size(); ++k)
        if (!written(*further[k - 1], images[k].bytes, out)) return res.status = exit_output;
    if (!written(*output, images.front().bytes, out)) return res.status = exit_output;
    for (std::size_t k = 1; k < images.size(); ++k)
        if (!closed(*further[k - 1], out)) return res.status = exit_output;
    if (!closed(*output, out)) return res.status = exit_output;
    out.say("Image written: %s (%s).", output->name() == "-" ? "standard output" : output->name().c_str(),
            images.front().holds.c_str());
    res.written.push_back(output->name());
    for (std::size_t k = 1; k < images.size(); ++k) {
        out.say("Image written: %s (%s).", further[k - 1]->name().c_str(), images[k].holds.c_str());
        res.written.push_back(further[k - 1]->name());
    }
    if (kind != ".tap" && best->commodore && best->commodore->after_rom)
        out.say("Only a .tap image keeps the blocks not read as the ROM's (from %s).",
                clock_time(best->commodore->after_rom->start_seconds).c_str());
    if (doubtful) out.line("Some bytes are in doubt: re-record the stretches named above, or keep the image as it is.");
    if (o.verify) {
        const int checked = self_check(m, *kind, images, *best, o, out);
        if (checked != exit_ok) return res.status = checked;
    }
    return res.status = doubtful ? exit_doubtful : exit_ok;
}

}  // namespace korvax

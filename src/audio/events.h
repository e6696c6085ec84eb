// What a reader of the program's own signal looks for, found as the samples
// stream past: level changes of a square wave, and the starts of pulses that
// leave a resting level. Each level follows the signal (a step or a peak is
// compared with the largest of the last tens of milliseconds, not of the whole
// file), and anything below a floor is never an event, so the filter's slow
// droop and a step too small for any loader to see are passed over.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/samples.h"

namespace korvax {

struct signal_event {
    std::uint64_t at;  // the first sample after the step, or the pulse's first sample
    bool up;           // a rising step, or a pulse above rest
};

// The smallest step or pulse height that counts, in full scale: 6 steps of an
// 8-bit sample, well under the weakest signal the program writes (gain 1).
inline constexpr float event_floor = 6.0f / 128;

class event_finder {
public:
    enum class looking_for { steps, pulses };
    event_finder(sample_source& in, looking_for what);
    // The next event; false once the samples have ended.
    bool next(signal_event& e) {
        while (served_ == found_.size()) {
            if (ended_) return false;
            read_block();
        }
        e = found_[served_++];
        return true;
    }
    // Samples read so far: all of them once next() has said false.
    std::uint64_t samples_read() const { return base_; }

private:
    static constexpr std::size_t decay_table = 1024;
    void read_block();
    float fade(std::uint64_t gap) const;
    sample_source& in_;
    looking_for what_;
    std::vector<float> block_;
    std::vector<std::uint8_t> marks_;         // whether each sample of the block is past the floor
    std::vector<std::uint32_t> candidates_;  // the samples that are
    std::vector<signal_event> found_;
    std::size_t served_ = 0;
    std::uint64_t base_ = 0;        // index of the next block's first sample
    float last_ = 0;                // the previous block's last sample
    bool above_ = false;            // the last sample weighed was past half the peak
    float largest_ = 0;             // the largest recent step or peak
    std::uint64_t largest_at_ = 0;  // where it was last weighed
    float decay_power_[decay_table];  // how it fades over so many samples
    double log_decay_ = 0;
    bool ended_ = false;
};

}  // namespace korvax

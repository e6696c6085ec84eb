// A developer's tool: a recording made some other way (through sox, a real
// deck, a codec) read by one machine's reader and scored against the image
// it was made from, as the results table scores the ladder's.
//
//   score_recording trs80|cbm|cgenie|homelab IMAGE RECORDING.wav
//
// The recording must keep the image's speed. Prints one line: whether it is
// exact, bytes wrong, wrong bytes not reported, bytes in doubt, TAP pulses
// out of tolerance, and the first thing that was not exact.
#include <cstdio>
#include <cstring>
#include <string>

#include "audio/wav_file.h"
#include "support/reading.h"

using namespace korvax_test;

int main(int argc, char** argv) {
    static constexpr const char* keys[] = {"trs80", "cbm", "cgenie", "homelab"};
    if (argc != 4) {
        std::fputs("usage: score_recording trs80|cbm|cgenie|homelab IMAGE RECORDING.wav\n", stderr);
        return 1;
    }
    int m = -1;
    for (int k = 0; k < 4; ++k)
        if (std::strcmp(argv[1], keys[k]) == 0) m = k;
    std::string why;
    const auto in = korvax::wav_file::open(argv[3], why);
    if (m < 0 || !in) {
        std::fprintf(stderr, "score_recording: %s\n", m < 0 ? "no such machine" : why.c_str());
        return 1;
    }
    std::vector<float> x(static_cast<std::size_t>(in->frames()));
    x.resize(in->read(x.data(), x.size()));
    korvax::memory_source source(x, in->rate());
    const score s = read_signal(machines[m], argv[2], source, condition{in->rate(), -1});
    std::printf("%s wrong %zu unreported %zu in-doubt %zu pulses-off %zu%s%s\n", s.exact ? "exact" : "NOT", s.wrong,
                s.unreported, s.doubtful, s.pulses_off, s.why.empty() ? "" : ": ", s.why.c_str());
    return s.unreported ? 2 : 0;
}

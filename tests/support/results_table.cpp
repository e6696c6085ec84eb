// A developer's tool: the table of results on the cassette ladder, for
// doc/READING.md. Every example and corpus image of each machine is played
// at both rates, in both polarities, through every rung with and without its
// dropouts, read back and scored. Minutes of work: built, not run by CTest.
//
//   results_table [-s SEED] [-n NAME] [-r] [MACHINE...] [RUNGS]
//
// MACHINE is trs80, cbm, cgenie or homelab (default: all); RUNGS a string of
// digits, e.g. 4567 (default: 01234567). The channel's noise, wow and
// dropouts for the images in turn come from seeds SEED, SEED + 1 and so on
// (default 1, the table in the docs); another SEED tries other tapes. With
// -n, only the images whose file names hold NAME. With -r, the 22050 Hz rows
// are played and sent through the channel at 44100 Hz, then recorded at
// 22050 Hz as a sound card records a tape (the channel's hiss, white up to
// the rate's Nyquist frequency, otherwise lies twice as dense in the
// signal's band at 22050 Hz, and the program's own WAV holds each half-wave
// rounded to whole samples of 22050 Hz).
//
// A row per machine, rung, rate, polarity and dropouts: images read back
// exactly, bytes wrong, wrong bytes not reported (neither in doubt nor in a
// block whose failing checksum is reported), bytes in doubt, wrong bytes
// away from the dropouts, and Commodore TAP pulses out of tolerance. Below a
// row, each image not read exactly, and why.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/reading.h"

using namespace korvax_test;

int main(int argc, char** argv) {
    static constexpr const char* keys[] = {"trs80", "cbm", "cgenie", "homelab"};
    std::string rungs = "01234567";
    std::uint64_t seed = 1;
    std::string only;
    bool any = false, halved = false;
    for (int a = 1; a < argc; ++a)
        if (std::strcmp(argv[a], "-s") == 0 && a + 1 < argc)
            seed = std::strtoull(argv[++a], nullptr, 10);
        else if (std::strcmp(argv[a], "-n") == 0 && a + 1 < argc)
            only = argv[++a];
        else if (std::strcmp(argv[a], "-r") == 0)
            halved = true;
        else if (argv[a][0] >= '0' && argv[a][0] <= '7')
            rungs = argv[a];
        else any = true;
    std::printf("machine       rung  rate pol drop | exact  wrong unreported in-doubt outside pulses-off\n");
    for (machine m : machines) {
        bool wanted = !any;
        for (int a = 1; a < argc; ++a) wanted = wanted || std::strcmp(argv[a], keys[int(m)]) == 0;
        if (!wanted) continue;
        std::vector<std::string> all = images(m);
        std::erase_if(all,
                      [&](const std::string& i) { return i.substr(i.rfind('/') + 1).find(only) == std::string::npos; });
        for (const char digit : rungs)
            for (bool dropouts : {false, true}) {
                const int rung = digit - '0';
                if (dropouts && ladder[rung].dropouts_per_min == 0) continue;
                for (unsigned rate : {22050u, 44100u})
                    for (bool invert : {false, true}) {
                        score total;
                        std::size_t exact = 0;
                        std::string notes;
                        for (std::size_t i = 0; i < all.size(); ++i) {
                            // The speed error's sign alternates from image to image.
                            const condition c{
                                rate, rung, invert, i % 2 == 1, dropouts, seed + i, halved && rate == 22050};
                            const score s = read_back(m, all[i], c);
                            exact += s.exact;
                            total += s;
                            if (!s.exact)
                                notes += "    " + describe(all[i], c) + ": " + s.why +
                                         (s.unreported ? ", " + std::to_string(s.unreported) + " unreported" : "") + "\n";
                        }
                        std::printf("%-13s %4d %5u %3s %4s | %2zu/%-2zu %6zu %10zu %8zu %7zu %10zu\n%s", name_of(m), rung,
                                    rate, invert ? "-" : "+", dropouts ? "yes" : "no", exact, all.size(), total.wrong,
                                    total.unreported, total.doubtful, total.outside, total.pulses_off, notes.c_str());
                        std::fflush(stdout);
                    }
            }
    }
}

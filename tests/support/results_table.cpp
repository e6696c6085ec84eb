// A developer's tool: the table of results on the cassette ladder, for
// doc/READING.md. Every example and corpus image of each machine is played
// at both rates, in both polarities, through every rung with and without its
// dropouts, read back and scored. Minutes of work: built, not run by CTest.
//
//   results_table [MACHINE...]     (trs80 cbm cgenie homelab; default all)
//
// A row per machine, rung, rate, polarity and dropouts: images read back
// exactly, bytes wrong, wrong bytes not reported (neither in doubt nor in a
// block whose failing checksum is reported), bytes in doubt, wrong bytes
// away from the dropouts, and Commodore TAP pulses out of tolerance. Below a
// row, each image not read exactly, and why.
#include <cstdio>
#include <cstring>

#include "support/reading.h"

using namespace korvax_test;

int main(int argc, char** argv) {
    static constexpr const char* keys[] = {"trs80", "cbm", "cgenie", "homelab"};
    std::printf("machine       rung  rate pol drop | exact  wrong unreported in-doubt outside pulses-off\n");
    for (machine m : machines) {
        bool wanted = argc == 1;
        for (int a = 1; a < argc; ++a) wanted = wanted || std::strcmp(argv[a], keys[int(m)]) == 0;
        if (!wanted) continue;
        const std::vector<std::string> all = images(m);
        for (int rung = 0; rung <= 7; ++rung)
            for (bool dropouts : {false, true}) {
                if (dropouts && ladder[rung].dropouts_per_min == 0) continue;
                for (unsigned rate : {22050u, 44100u})
                    for (bool invert : {false, true}) {
                        score total;
                        std::size_t exact = 0;
                        std::string notes;
                        for (std::size_t i = 0; i < all.size(); ++i) {
                            // The speed error's sign alternates from image to image.
                            const condition c{rate, rung, invert, i % 2 == 1, dropouts, i + 1};
                            const score s = read_back(m, all[i], c);
                            exact += s.exact;
                            total += s;
                            if (!s.exact) notes += "    " + describe(all[i], c) + ": " + s.why + "\n";
                        }
                        std::printf("%-13s %4d %5u %3s %4s | %2zu/%-2zu %6zu %10zu %8zu %7zu %10zu\n%s", name_of(m), rung,
                                    rate, invert ? "-" : "+", dropouts ? "yes" : "no", exact, all.size(), total.wrong,
                                    total.unreported, total.doubtful, total.outside, total.pulses_off, notes.c_str());
                        std::fflush(stdout);
                    }
            }
    }
}

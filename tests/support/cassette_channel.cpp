// A developer's tool: a WAV through the cassette channel of one rung, written
// as a 16-bit mono WAV, to listen to or to feed a decoder by hand.
//
//   cassette_channel IN.wav OUT.wav RUNG [-d] [-n] [-l] [-s SEED]
//     -d  without the dropouts   -n  inverted   -l  slower, not faster
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/wav_file.h"
#include "support/cassette.h"

namespace {

void put(std::FILE* f, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) std::fputc(int(v >> (8 * i)) & 0xFF, f);
}

}  // namespace

int main(int argc, char** argv) {
    korvax_test::channel_options o;
    for (int c; (c = ::getopt(argc, argv, "dnls:")) != -1;) {
        if (c == 'd') o.dropouts = false;
        else if (c == 'n') o.invert = true;
        else if (c == 'l') o.slow = true;
        else if (c == 's') o.seed = std::strtoull(optarg, nullptr, 0);
        else return 1;
    }
    if (argc - optind != 3) {
        std::fputs("usage: cassette_channel IN.wav OUT.wav RUNG [-d] [-n] [-l] [-s SEED]\n", stderr);
        return 1;
    }
    std::string why;
    const auto in = korvax::wav_file::open(argv[optind], why);
    if (!in) {
        std::fprintf(stderr, "%s: %s\n", argv[optind], why.c_str());
        return 1;
    }
    std::vector<float> x(static_cast<std::size_t>(in->frames()));
    x.resize(in->read(x.data(), x.size()));
    const int rung = std::atoi(argv[optind + 2]);
    if (rung < 0 || rung > 7) return 1;
    const auto r = korvax_test::cassette(x, in->rate(), korvax_test::ladder[rung], o);
    std::FILE* f = std::fopen(argv[optind + 1], "wb");
    if (f == nullptr) return 1;
    const auto data = std::uint32_t(r.samples.size() * 2);
    std::fputs("RIFF", f), put(f, 36 + data, 4), std::fputs("WAVEfmt ", f), put(f, 16, 4), put(f, 1, 2), put(f, 1, 2);
    put(f, in->rate(), 4), put(f, in->rate() * 2, 4), put(f, 2, 2), put(f, 16, 2), std::fputs("data", f), put(f, data, 4);
    for (float v : r.samples) put(f, std::uint32_t(std::int32_t(v * 32768)), 2);
    std::fclose(f);
    for (const auto& d : r.dropouts) std::fprintf(stderr, "dropout %.3f to %.3f s\n", d.from, d.to);
    return 0;
}

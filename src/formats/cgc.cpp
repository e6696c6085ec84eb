// Colour Genie CAS images. Conversion is not written yet: the entry is in the
// registry so that the numbering holds, recognises nothing, and a forced run
// writes only the WAV header.
#include "formats/cgc.h"

#include "output/wav.h"

namespace korvax {
namespace {

constexpr std::uint32_t cgenie_clock_hz = 2'216'750;

void cgc_init() { machine.clock_hz = cgenie_clock_hz; }
int cgc_open() { return 0; }
int cgc_analyze(const char*) { return fmt_count; }
int cgc_convert(std::FILE*, wav_file&) { return 0; }
int cgc_read_bit() { return 0; }
int cgc_dump_bit() { return 0; }
void cgc_close() {}

}  // namespace

const tape_format cgc_format = {
    .name = "CGC",
    .extension = "cas",
    .description = "Colour Genie high level tape image format",
    .init = cgc_init,
    .open = cgc_open,
    .analyze = cgc_analyze,
    .convert = cgc_convert,
    .read_bit = cgc_read_bit,
    .dump_bit = cgc_dump_bit,
    .close = cgc_close,
    .analyze_loads_image = false,
};

}  // namespace korvax

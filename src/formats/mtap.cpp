// Commodore TAP images. The reader is not written yet: the entry is in the
// registry so that the numbering holds and recognises nothing, so a forced run
// ends as an unknown image.
#include "formats/mtap.h"

#include "output/wav.h"

namespace korvax {
namespace {

void mtap_init() {}
int mtap_open() { return 0; }
int mtap_analyze(const char*) { return fmt_count; }
int mtap_convert(std::FILE*, wav_file&) { return 0; }
int mtap_read_bit() { return 0; }
int mtap_dump_bit() { return 0; }
void mtap_close() {}

}  // namespace

const tape_format mtap_format = {
    .name = "MTAP",
    .extension = "tap",
    .description = "Commodore low level tape image",
    .init = mtap_init,
    .open = mtap_open,
    .analyze = mtap_analyze,
    .convert = mtap_convert,
    .read_bit = mtap_read_bit,
    .dump_bit = mtap_dump_bit,
    .close = mtap_close,
    .analyze_loads_image = true,
};

}  // namespace korvax

#include "driver/korvax.h"

#ifdef KORVAX_SNDFILE
#include "audio/sndfile_recording.h"
#endif

int main(int argc, char** argv) {
#ifdef KORVAX_SNDFILE
    return korvax::run(argc, argv, korvax::open_sndfile_recording, korvax::open_sndfile_recording);
#else
    return korvax::run(argc, argv);
#endif
}

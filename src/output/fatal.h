// How a run ends early. Fatal errors travel as an exception carrying the exit
// status, so that the command line can return it and so that tests, fuzz
// targets and the web page can run many conversions in one process.
#pragma once

namespace korvax {

enum exit_status : int {
    exit_ok = 0,
    exit_usage = 1,
    exit_parse = 2,
    exit_rate = 3,
    exit_input = 4,
    exit_output = 5,
    exit_image = 6,
    exit_readback = 7,  // the WAV was written but does not read back as the image
};

struct exit_request {
    int status;
};

[[noreturn]] inline void quit(int status) { throw exit_request{status}; }

}  // namespace korvax

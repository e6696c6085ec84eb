// The page's way into the program: one call runs it as `korvax ARGS` would,
// and answers with what it found as values (JSON), its messages included, so
// the page reads no text back.
#include <sstream>
#include <string>
#include <vector>

#ifdef __EMSCRIPTEN__
#include <emscripten.h>
#endif

#include "driver/korvax.h"
#include "driver/results.h"
#include "output/wav.h"

namespace {

// The page runs the program in a worker; as the WAV goes out, the worker is
// told how far it has got (Module.onWavProgress, when the worker set one), so
// a long conversion shows its progress while the page stays free.
void tell_progress(std::uint64_t handed, std::uint64_t total) {
#ifdef __EMSCRIPTEN__
    EM_ASM({ if (Module.onWavProgress) Module.onWavProgress($0, $1); }, static_cast<double>(handed),
           static_cast<double>(total));
#else
    (void)handed;
    (void)total;
#endif
}

}  // namespace

// ARGS a line each; the answer lives until the next call.
extern "C" const char* korvax_page_run(const char* args) {
    static std::string answer;
    korvax::wav_progress = tell_progress;
    std::vector<std::string> words = {"korvax"};
    std::istringstream lines(args);
    for (std::string line; std::getline(lines, line);) words.push_back(line);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    korvax::kept_messages out;
    korvax::run_result result;
    result.status = korvax::run(static_cast<int>(words.size()), argv.data(), out, &result);
    answer = korvax::result_json(result, out.lines);
    return answer.c_str();
}

// The page's way into the program: one call runs it as `korvax ARGS` would,
// and answers with what it found as values (JSON), its messages included, so
// the page reads no text back.
#include <sstream>
#include <string>
#include <vector>

#include "driver/korvax.h"
#include "driver/results.h"

// ARGS a line each; the answer lives until the next call.
extern "C" const char* korvax_page_run(const char* args) {
    static std::string answer;
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

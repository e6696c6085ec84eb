// Where a run's messages go: standard error for the command line, a list of
// lines for the tests and the page. Every message is one whole line.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace korvax {

class messages {
public:
    virtual ~messages() = default;
    // One line, without its line break.
    virtual void line(std::string_view text) = 0;

    [[gnu::format(printf, 2, 3)]] void say(const char* format, ...) {
        char small[256];
        std::va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(small, sizeof small, format, args);
        va_end(args);
        if (n < 0) return;
        if (static_cast<std::size_t>(n) < sizeof small) {
            line(std::string_view(small, static_cast<std::size_t>(n)));
            return;
        }
        std::string big(static_cast<std::size_t>(n) + 1, '\0');
        va_start(args, format);
        std::vsnprintf(big.data(), big.size(), format, args);
        va_end(args);
        big.pop_back();
        line(big);
    }
};

class stderr_messages final : public messages {
public:
    void line(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fputc('\n', stderr);
    }
};

class kept_messages final : public messages {
public:
    void line(std::string_view text) override { lines.emplace_back(text); }
    std::string text() const {
        std::string s;
        for (const std::string& l : lines) s += l + "\n";
        return s;
    }
    std::vector<std::string> lines;
};

}  // namespace korvax

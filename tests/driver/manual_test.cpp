// The manual page against the program: it must document the options and the
// formats that the real binary's usage text lists, so the two cannot drift.
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "support/run.h"

using namespace korvax_test;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A roff line as a reader sees it: the request name dropped, escapes and
// argument quotes resolved. Only what the page uses is handled.
std::string plain(std::string line) {
    if (!line.empty() && line[0] == '.') {
        const std::size_t space = line.find(' ');
        line = space == std::string::npos ? "" : line.substr(space + 1);
    }
    static const std::vector<std::pair<std::regex, std::string>> escapes = {
        {std::regex(R"(\\f[BIRP])"), ""}, {std::regex(R"(\\-)"), "-"},
        {std::regex(R"(\\~)"), " "},      {std::regex(R"(\\&)"), ""},
        {std::regex(R"(\\\((lq|rq))"), "\""}, {std::regex(R"(\\\(..)"), " "},
        {std::regex("\""), ""},
    };
    for (const auto& [pattern, replacement] : escapes) line = std::regex_replace(line, pattern, replacement);
    return line;
}

// The page's source split at its .SH headings.
struct manual_page {
    std::map<std::string, std::vector<std::string>> sections;

    manual_page() {
        std::ifstream in(KORVAX_MANUAL);
        EXPECT_TRUE(in) << "cannot read " << KORVAX_MANUAL;
        std::string current;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(".SH ", 0) == 0)
                current = plain(line);
            else if (!current.empty())
                sections[current].push_back(line);
        }
    }

    // Plain text of a section, one element per line.
    std::vector<std::string> text(const std::string& name) const {
        std::vector<std::string> r;
        if (auto it = sections.find(name); it != sections.end())
            for (const std::string& line : it->second) r.push_back(plain(line));
        return r;
    }

    // Each .TP entry of OPTIONS: its tag and the text under it.
    std::vector<std::pair<std::string, std::string>> option_entries() const {
        std::vector<std::pair<std::string, std::string>> entries;
        const std::vector<std::string>& src = sections.at("OPTIONS");
        for (std::size_t i = 0; i < src.size(); ++i) {
            if (src[i] == ".TP" && i + 1 < src.size()) {
                entries.push_back({plain(src[++i]), ""});
            } else if (src[i] == ".PP") {
                break;  // the text after the list is not an entry's
            } else if (!entries.empty()) {
                entries.back().second += plain(src[i]) + "\n";
            }
        }
        return entries;
    }
};

// The options named in some text, each with whether it takes an argument: an
// option followed by a <placeholder> or a word does.
using option_set = std::map<char, bool>;
option_set options_in(const std::vector<std::string>& lines) {
    static const std::regex option(R"((^|[\s\[|,])-([A-Za-z?])(?=$|[\s\]|,])(\s+[<a-z])?)");
    option_set found;
    for (const std::string& line : lines)
        for (std::sregex_iterator m(line.begin(), line.end(), option), end; m != end; ++m)
            found[(*m)[2].str()[0]] = (*m)[3].matched;
    return found;
}

std::vector<std::string> usage_lines() {
    const result r = run_korvax({"-h"});
    EXPECT_EQ(1, r.status);
    return lines_of(r.out);
}

// Lines as one, so that an option and its argument meet across a break.
std::string joined(const std::vector<std::string>& lines) {
    std::string r;
    for (const std::string& line : lines) r += line + " ";
    return r;
}

// The usage text does not list -?, the other spelling of -h; the page does.
option_set documented(option_set usage) {
    usage['?'] = false;
    return usage;
}

TEST(manual_page, names_every_option_of_the_usage_text_and_no_other) {
    const option_set usage = options_in(usage_lines());
    ASSERT_TRUE(usage.count('h') && usage.count('i')) << "usage text not understood";
    const manual_page page;
    std::vector<std::string> tags;
    for (const auto& entry : page.option_entries()) tags.push_back(entry.first);
    const std::pair<const char*, std::vector<std::string>> places[] = {
        {"SYNOPSIS", {joined(page.text("SYNOPSIS"))}},
        {"OPTIONS entries", tags},
    };
    for (const auto& [where, text] : places) {
        SCOPED_TRACE(where);
        EXPECT_EQ(documented(usage), options_in(text));
    }
}

// Ranges and defaults: every number on an option's usage line appears in the
// page's entry for that option.
TEST(manual_page, gives_each_option_the_numbers_of_its_usage_line) {
    std::map<char, std::string> entry_of;
    for (const auto& [tag, text] : manual_page().option_entries()) entry_of[tag[1]] = tag + "\n" + text;
    const std::regex usage_line(R"(^-([A-Za-z]) [^:]*: (.*)$)");
    const std::regex number(R"(\d+)");
    int checked = 0;
    for (const std::string& line : usage_lines()) {
        std::smatch m;
        if (!std::regex_match(line, m, usage_line)) continue;
        const std::string help = m[2];
        const std::string& entry = entry_of[m[1].str()[0]];
        for (std::sregex_iterator n(help.begin(), help.end(), number), end; n != end; ++n) {
            ++checked;
            EXPECT_TRUE(std::regex_search(entry, std::regex("(^|\\D)" + n->str() + "(\\D|$)")))
                << "-" << m[1] << ": " << n->str() << " is missing from\n" << entry;
        }
    }
    EXPECT_GT(checked, 0) << "usage text not understood";
}

// The numbered formats: the page's ".SS NUMBER NAME" headings, each followed
// by the description the program prints, against the usage list.
TEST(manual_page, lists_the_formats_of_the_usage_text_in_order) {
    using format = std::tuple<int, std::string, std::string>;
    std::vector<format> usage;
    const std::regex usage_entry(R"(^(\d+) - \t(\S+) - \t(.*)\.$)");
    for (const std::string& line : usage_lines()) {
        std::smatch m;
        if (std::regex_match(line, m, usage_entry)) usage.emplace_back(std::stoi(m[1]), m[2], m[3]);
    }
    ASSERT_FALSE(usage.empty()) << "usage text not understood";

    std::vector<format> page;
    const std::regex heading(R"(^\.SS (\d+) (\S+)$)");
    const manual_page manual;
    const std::vector<std::string>& src = manual.sections.at("FORMATS");
    for (std::size_t i = 0; i < src.size(); ++i) {
        std::smatch m;
        if (std::regex_match(src[i], m, heading))
            page.emplace_back(std::stoi(m[1]), m[2], i + 1 < src.size() ? plain(src[i + 1]) : "");
    }
    EXPECT_EQ(usage, page);
}

// A malformed page shows up as groff warnings; man(1) renders it with groff.
TEST(manual_page, formats_without_warnings) {
    if (std::system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "groff is not installed";
    const std::string command = std::string("groff -man -ww -z '") + KORVAX_MANUAL + "' 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string warnings;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) warnings.append(buf, n);
    EXPECT_EQ(0, ::pclose(pipe));
    EXPECT_EQ("", warnings);
}

}  // namespace

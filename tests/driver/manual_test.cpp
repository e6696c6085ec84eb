// The manual page against the program: it must document the options and the
// formats that the real binary's usage text lists, so the two cannot drift.
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support/run.h"

using namespace korvax_test;

namespace {

// Every match of `pattern` in `text`, its capture groups joined by spaces.
std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
    std::set<std::string> found;
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) {
        std::string s = (*m)[1];
        for (std::size_t g = 2; g < m->size(); ++g) s.append(1, ' ').append((*m)[g].str());
        found.insert(s);
    }
    return found;
}

// The page's source from the heading `from` up to the next `.SH`.
std::string section(const std::string& from) {
    std::stringstream page;
    page << std::ifstream(KORVAX_MANUAL).rdbuf();
    const std::string s = page.str();
    const std::size_t at = s.find(".SH " + from + "\n");
    return at == std::string::npos ? "" : s.substr(at, s.find("\n.SH ", at + 1) - at);
}

// The usage text names each option as "-x", in its option list or in the
// command line; the page as "\-x" in its synopsis and in each option entry's
// tag, and -? besides, the other spelling of -h.
TEST(manual_page, documents_the_options_and_formats_of_the_usage_text) {
    const result usage = run_korvax({"-h"});
    ASSERT_EQ(1, usage.status);
    std::set<std::string> options = matches(usage.out, std::regex(R"((?:^|\s|\[)-([A-Za-z])\b)"));
    ASSERT_TRUE(options.count("h") && options.count("i") && options.count("o")) << "usage text not understood";
    options.insert("?");
    EXPECT_EQ(options, matches(section("SYNOPSIS"), std::regex(R"(\\-([A-Za-z?]))")));
    std::string tags;
    for (const std::string& tag : matches(section("OPTIONS"), std::regex(R"(\n\.TP\n(.*))"))) tags += tag + "\n";
    EXPECT_EQ(options, matches(tags, std::regex(R"(\\-([A-Za-z?]))")));
    // Formats: "NN - \tNAME - \tdescription." against ".SS N NAME" and the
    // description on the line after.
    const std::set<std::string> formats = matches(usage.out, std::regex(R"(0*(\d+) - \t(\S+) - \t(.*)\.(?=\n))"));
    EXPECT_EQ(5u, formats.size());
    EXPECT_EQ(formats, matches(section("FORMATS"), std::regex(R"(\.SS (\d+) (\S+)\n(.*))")));
}

// A malformed page shows up as groff warnings; man(1) renders it with groff.
TEST(manual_page, formats_without_warnings) {
    if (std::system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "groff is not installed";
    std::FILE* pipe = ::popen((std::string("groff -man -ww -z '") + KORVAX_MANUAL + "' 2>&1").c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string warnings;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) warnings.append(buf, n);
    EXPECT_EQ(0, ::pclose(pipe));
    EXPECT_EQ("", warnings);
}

}  // namespace

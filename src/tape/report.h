// What reading an image found, as values. The command line prints each entry
// as the line it has always printed; the page and the tests read the values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "output/messages.h"

namespace korvax {

// A program an image holds: its name on tape and the addresses it loads to
// (the end one past its last byte).
struct program_entry {
    std::string name;
    unsigned start = 0, end = 0;
};

struct report {
    struct entry {
        enum class type { field, program, warning, text } what;
        std::string label;  // a field's name
        std::string value;  // a field's value
        std::optional<program_entry> program;
        std::string line;   // as printed
    };

    // The image's kind, for the settings that suit it: "trs80-500",
    // "trs80-250", "trs80-1500", "homelab", "cgenie", "tap01", "tap2",
    // "program".
    std::string family;
    // Printed as the image is read, before the detection line.
    std::vector<entry> entries;
    // The kind of image the plain rule does not cover, after the detection
    // line ("TRS-80 Level I tape (250 baud)."); empty for none.
    std::string kind;
    // Warnings about that kind, after it.
    std::vector<std::string> kind_warnings;
    // When reading ended the run: its status, after the entries and the message.
    int fatal = 0;
    std::string fatal_message;

    void field(std::string label, std::string value) {
        std::string line = label + " : " + value;
        entries.push_back({entry::type::field, std::move(label), std::move(value), std::nullopt, std::move(line)});
    }
    void program(program_entry p, std::string line) {
        entries.push_back({entry::type::program, "", "", std::move(p), std::move(line)});
    }
    void warning(std::string line) { entries.push_back({entry::type::warning, "", "", std::nullopt, std::move(line)}); }
    void text(std::string line) { entries.push_back({entry::type::text, "", "", std::nullopt, std::move(line)}); }
    // The field's value, if the report has it.
    std::optional<std::string> value_of(const std::string& label) const {
        for (const entry& e : entries)
            if (e.what == entry::type::field && e.label == label) return e.value;
        return std::nullopt;
    }
    std::vector<program_entry> programs() const {
        std::vector<program_entry> p;
        for (const entry& e : entries)
            if (e.program) p.push_back(*e.program);
        return p;
    }
    void print_entries(messages& out) const {
        for (const entry& e : entries) out.line(e.line);
    }
};

}  // namespace korvax

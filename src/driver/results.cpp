#include "driver/results.h"

#include <cmath>
#include <cstdio>

namespace korvax {
namespace {

const char* mark_name(tape_mark::what kind) {
    switch (kind) {
        case tape_mark::what::leadin: return "lead-in";
        case tape_mark::what::leader: return "leader";
        case tape_mark::what::sync: return "sync";
        case tape_mark::what::header: return "header";
        case tape_mark::what::data: return "data";
        case tape_mark::what::pause: return "pause";
        case tape_mark::what::program: return "program";
        case tape_mark::what::end: return "end";
    }
    return "";
}

// A JSON string, with what JSON cannot hold as it is escaped.
std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", c);
            q += e;
        } else {
            q += c;
        }
    }
    return q + "\"";
}

std::string list(const std::vector<std::string>& items) {
    std::string s = "[";
    for (const std::string& i : items) s += (s.size() > 1 ? "," : "") + i;
    return s + "]";
}

}  // namespace

std::string with_commas(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string s;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
        s += digits[i];
    }
    return s;
}

std::string clock_time(double seconds) {
    const long tenths = std::lround(seconds * 10);
    char s[32];
    std::snprintf(s, sizeof s, "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
    return s;
}

std::vector<std::string> timetable(const std::vector<tape_mark>& marks, std::uint32_t sample_rate) {
    std::vector<std::string> lines;
    for (const tape_mark& m : marks) {
        std::string line = clock_time(double(m.sample) / sample_rate) + "  " + mark_name(m.kind);
        if (!m.label.empty()) line += "  " + m.label;
        lines.push_back(line);
    }
    return lines;
}

std::string result_json(const run_result& r, const std::vector<std::string>& messages) {
    const double rate = r.sample_rate != 0 ? r.sample_rate : 1;
    std::vector<std::string> said, fields, programs, warnings, marks, advice;
    for (const std::string& m : messages) said.push_back(quoted(m));
    for (const report::entry& e : r.found.entries) {
        if (e.what == report::entry::type::field)
            fields.push_back("{\"label\":" + quoted(e.label) + ",\"value\":" + quoted(e.value) + "}");
        else if (e.program)
            programs.push_back("{\"name\":" + quoted(e.program->name) + ",\"start\":" + std::to_string(e.program->start) +
                               ",\"end\":" + std::to_string(e.program->end) + "}");
        else if (e.what == report::entry::type::warning)
            warnings.push_back(quoted(e.line));
    }
    for (const std::string& w : r.found.kind_warnings) warnings.push_back(quoted(w));
    for (const tape_mark& m : r.marks)
        marks.push_back("{\"kind\":" + quoted(mark_name(m.kind)) + ",\"label\":" + quoted(m.label) +
                        ",\"seconds\":" + std::to_string(double(m.sample) / rate) + "}");
    for (const std::string& a : r.advice) advice.push_back(quoted(a));
    std::string j = "{\"status\":" + std::to_string(r.status);
    j += ",\"messages\":" + list(said);
    j += ",\"format\":" + (r.format != nullptr ? quoted(r.format->name) : "null");
    j += ",\"description\":" + (r.format != nullptr ? quoted(r.format->description) : "null");
    j += ",\"recommended_rate\":" + (r.format != nullptr ? std::to_string(r.format->recommended_rate) : "null");
    j += ",\"family\":" + quoted(r.found.family);
    j += ",\"kind\":" + quoted(r.found.kind);
    j += ",\"fields\":" + list(fields) + ",\"programs\":" + list(programs) + ",\"warnings\":" + list(warnings);
    j += ",\"wav_size\":" + std::to_string(r.wav_size) + ",\"sample_rate\":" + std::to_string(r.sample_rate);
    if (r.checked)
        j += ",\"checked\":{\"count\":" + std::to_string(r.checked->count) + ",\"unit\":" + quoted(r.checked->unit) +
             ",\"error\":" + quoted(r.checked->error) + "}";
    else
        j += ",\"checked\":null";
    j += ",\"advice\":" + list(advice) + ",\"marks\":" + list(marks);
    // What a recording was read as: a segment or program each, and the
    // images written.
    std::vector<std::string> items, written;
    for (const tape_item& i : r.items) {
        std::vector<std::string> doubts;
        for (const doubtful_byte& d : i.doubtful) doubts.push_back(std::to_string(d.seconds));
        items.push_back("{\"seconds\":" + std::to_string(i.start_seconds) + ",\"machine\":" + quoted(i.machine) +
                        ",\"baud\":" + std::to_string(i.baud) + ",\"kind\":" + quoted(i.kind) + ",\"name\":" +
                        quoted(i.name) + ",\"load\":" + (i.load_address ? std::to_string(*i.load_address) : "null") +
                        ",\"length\":" + std::to_string(i.length) +
                        ",\"pulses\":" + std::to_string(i.pulses) + ",\"checksum\":" +
                        quoted(i.check == tape_item::checksum::holds   ? "holds"
                               : i.check == tape_item::checksum::fails ? "fails"
                                                                       : "none") +
                        ",\"missing\":" + quoted(i.missing) + ",\"doubtful\":" + list(doubts) + "}");
    }
    for (const std::string& w : r.written) written.push_back(quoted(w));
    j += ",\"items\":" + list(items) + ",\"written\":" + list(written) + "}";
    return j;
}

}  // namespace korvax

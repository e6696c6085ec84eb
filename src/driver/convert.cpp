#include "driver/convert.h"

#include <cstdio>

#include "driver/registry.h"
#include "output/fatal.h"

namespace korvax {
namespace {

// The format's line about the image's kind, if it has one to tell.
void report_kind(const tape_format& format, const char* path) {
    const std::string line = format.kind_line != nullptr ? format.kind_line(path) : "";
    if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
}

const tape_format* select_format(const options& o, const char* path) {
    if (o.format < 0 || o.format >= format_count) {
        for (const tape_format* format : tape_format_registry) {
            if (format->analyze(path)) {
                std::fprintf(stderr, "Supported format detected: %s.\n", format->description);
                report_kind(*format, path);
                return format;
            }
        }
        return nullptr;
    }
    const tape_format* forced = tape_format_registry[static_cast<std::size_t>(o.format)];
    std::fprintf(stderr, "Selected format: %s.\n", forced->description);
    if (forced->analyzed_when_forced && !forced->analyze(path)) return nullptr;
    report_kind(*forced, path);
    return forced;
}

file_ptr open_input(const char* path) {
    file_ptr in = open_image(path);
    if (!in) {
        std::fprintf(stderr, "Error opening %s.\n", path);
        quit(exit_input);
    }
    return in;
}

signal_levels levels(const options& o) { return {o.p_gain, 0, o.baud}; }

// 13055 as "13,055".
std::string with_commas(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string s;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
        s += digits[i];
    }
    return s;
}

// Reads the WAV back from its file (what went to a pipe or a device is gone,
// and is not read back). When it fails, the advice that fits:
// the polarity when the signal reads back inverted, else the rate when it is
// below the format's recommended one, else the format's own.
int check_readback(const tape_format& format, const options& o, const char* input, const byte_sink& output) {
    const std::string& wav_path = output.name();
    wav_samples wav;
    std::string why;
    if (!output.is_file()) {
        std::fprintf(stderr, "Read-back check: %s cannot be read back: it is not a file.\n", wav_path.c_str());
        return exit_readback;
    }
    if (!read_wav(wav_path, wav, why)) {
        std::fprintf(stderr, "Read-back check: %s cannot be read back: %s.\n", wav_path.c_str(), why.c_str());
        return exit_readback;
    }
    const auto read_back = [&] {
        const file_ptr in = open_input(input);
        readback r = format.verify(in.get(), input, wav, levels(o));
        check_read(in.get(), input);
        return r;
    };
    const readback r = read_back();
    if (r.error.empty()) {
        std::fprintf(stderr, "Read-back check: %s %s read back, as in the image.\n", with_commas(r.count).c_str(),
                     r.unit);
        return exit_ok;
    }
    std::fprintf(stderr, "Read-back check failed at %u Hz: %s.\n", wav.sample_rate, r.error.c_str());
    for (std::uint8_t& sample : wav.samples) sample ^= 255;
    if (read_back().error.empty())
        std::fputs(o.inverted ? "The signal reads back only without -n: convert without it.\n"
                              : "The signal reads back only inverted: convert with -n.\n",
                   stderr);
    else if (wav.sample_rate < format.recommended_rate)
        std::fprintf(stderr, "Use %u Hz or more.\n", format.recommended_rate);
    else if (!r.hint.empty())
        std::fprintf(stderr, "%s\n", r.hint.c_str());
    return exit_readback;
}

// The WAV of the image on the sink, in two passes over the image: the first
// counts the samples, quietly, so that the header carries the true sizes from
// its first byte (a pipe cannot seek back); the second writes them, and the
// format reports what it finds. When the count meets a read error or passes
// the sink's limit, a count that reports and keeps to the limit runs again:
// it stops where the writing would have, after the same messages, with
// nothing written.
void write_wav(const tape_format& format, const options& o, const char* path, byte_sink& sink) {
    const file_ptr in = open_input(path);
    const auto pass = [&](wav_writer& out) {
        std::rewind(in.get());
        format.convert(in.get(), path, out, levels(o));
        return out.file_size;
    };
    wav_writer quiet_count(sink, o.sample_rate, wav_writer::count_only{.quiet = true});
    std::uint64_t size = pass(quiet_count);
    bool reported = false;
    if (std::ferror(in.get()) || size > wav_limit(sink)) {
        wav_writer count(sink, o.sample_rate, wav_writer::count_only{.quiet = false});
        size = pass(count);
        check_read(in.get(), path);
        reported = true;
    }
    wav_writer out(sink, o.sample_rate, o.inverted, size, reported);
    pass(out);
    check_read(in.get(), path);
    if (out.file_size != size) {
        std::fprintf(stderr, "Error reading %s.\n", path);
        std::fputs("The image changed while it was converted.\n", stderr);
        quit(exit_input);
    }
    out.finish();
}

}  // namespace

int convert(const options& o, const std::string& input, byte_sink* output) {
    try {
        const char* path = input.c_str();
        const tape_format* format = select_format(o, path);
        if (format == nullptr) {
            std::fputs("Unknown/unsupported tape image file.\n", stderr);
            return exit_image;
        }
        if (o.baud != 0 && format != &cas_trs80_format)
            std::fputs("Option -b ignored: only TRS-80 images have a choice of speed.\n", stderr);
        if (output == nullptr) {
            std::fputs("Error creating output file or none specified.\n", stderr);
            return exit_ok;
        }
        write_wav(*format, o, path, *output);
        return o.verify ? check_readback(*format, o, path, *output) : exit_ok;
    } catch (const exit_request& e) {
        return e.status;
    }
}

}  // namespace korvax

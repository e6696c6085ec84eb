#include "driver/convert.h"

#include <sys/stat.h>

#include <memory>
#include <new>

#include "audio/wav_file.h"
#include "driver/read_tape.h"
#include "driver/registry.h"
#include "driver/results.h"
#include "output/fatal.h"
#include "output/output_file.h"

namespace korvax {
namespace {

signal_levels levels(const options& o) { return {o.p_gain, 0, o.baud, o.inverted}; }

// Reading the image, as each format is asked or the forced one is: what it
// found is told as it is read, and a reading that ends the run ends it here.
std::unique_ptr<tape> ask(const tape_format& format, const image& im, bool forced, messages& out, report& found) {
    found = {};
    std::unique_ptr<tape> t = format.read(im, found, forced);
    found.print_entries(out);
    if (found.fatal != 0) {
        out.line(found.fatal_message);
        quit(found.fatal);
    }
    return t;
}

void tell_kind(const report& found, messages& out) {
    if (!found.kind.empty()) out.line(found.kind);
    for (const std::string& w : found.kind_warnings) out.line(w);
}

bool forced(const options& o) { return o.format >= 0 && o.format < format_count; }

// The format of the image: the forced one (announced already when
// `announced`), or the first that recognises it.
std::unique_ptr<tape> select_format(const options& o, const image& im, bool announced, messages& out,
                                    run_result& result) {
    if (!forced(o)) {
        for (const tape_format* format : tape_format_registry) {
            if (std::unique_ptr<tape> t = ask(*format, im, false, out, result.found)) {
                out.say("Supported format detected: %s.", format->description);
                tell_kind(result.found, out);
                result.format = format;
                return t;
            }
        }
        result.found = {};
        return nullptr;
    }
    const tape_format* format = tape_format_registry[static_cast<std::size_t>(o.format)];
    if (!announced) out.say("Selected format: %s.", format->description);
    std::unique_ptr<tape> t = ask(*format, im, true, out, result.found);
    if (t) {
        tell_kind(result.found, out);
        result.format = format;
    }
    return t;
}

// The WAV's samples as the program wrote them, inverted: every 8-bit sample
// XOR 255, which is its negative less one step.
class inverted_source final : public sample_source {
public:
    explicit inverted_source(sample_source& in) : in_(in) {}
    std::uint32_t rate() const override { return in_.rate(); }
    std::size_t read(float* out, std::size_t n) override {
        const std::size_t got = in_.read(out, n);
        for (std::size_t i = 0; i < got; ++i) out[i] = -out[i] - 1.0f / 128;
        return got;
    }

private:
    sample_source& in_;
};

// Reads the WAV back from its file (what went to a pipe or a device is gone,
// and is not read back), block by block. When it fails, the advice that
// fits: the polarity when the signal reads back inverted, else the rate when
// it is below the format's recommended one, else the format's own.
int check_readback(const tape& t, const tape_format& format, const options& o, const byte_sink& output,
                   messages& out, run_result& result) {
    const std::string& name = output.name();
    if (!output.is_file() && output.kept() == nullptr) {
        out.say("Read-back check: %s cannot be read back: it is not a file.", name.c_str());
        return exit_readback;
    }
    const auto open = [&](std::string& why) {
        return output.kept() != nullptr ? wav_file::open(*output.kept(), why) : wav_file::open(name, why);
    };
    std::string why;
    const std::unique_ptr<wav_file> wav = open(why);
    if (!wav) {
        out.say("Read-back check: %s cannot be read back: %s.", name.c_str(), why.c_str());
        return exit_readback;
    }
    const signal_levels lv = levels(o);
    const readback r = t.read_back(lv, *wav, wav->frames());
    result.checked = r;
    if (wav->failed()) {
        out.say("Read-back check: %s cannot be read back: it cannot be read.", name.c_str());
        return exit_readback;
    }
    if (r.error.empty()) {
        out.say("Read-back check: %s %s read back, as in the image.", with_commas(r.count).c_str(), r.unit);
        return exit_ok;
    }
    out.say("Read-back check failed at %u Hz: %s.", wav->rate(), r.error.c_str());
    const std::unique_ptr<wav_file> again = open(why);
    bool reads_inverted = false;
    if (again) {
        inverted_source flipped(*again);
        reads_inverted = t.read_back(lv, flipped, again->frames()).error.empty();
    }
    if (reads_inverted)
        result.advice.push_back(o.inverted ? "The signal reads back only without -n: convert without it."
                                           : "The signal reads back only inverted: convert with -n.");
    else if (wav->rate() < format.recommended_rate)
        result.advice.push_back("Use " + std::to_string(format.recommended_rate) + " Hz or more.");
    else if (!r.hint.empty())
        result.advice.push_back(r.hint);
    for (const std::string& a : result.advice) out.line(a);
    return exit_readback;
}

// The WAV of the tape on the sink. The timeline is walked twice: first to
// count the samples, so that the header carries the true sizes from its first
// byte (a pipe cannot seek back), then to write them.
void write_wav(const tape& t, const options& o, byte_sink& sink, messages& out, run_result& result) {
    const signal_levels lv = levels(o);
    wav_writer counter(sink, out, o.sample_rate, wav_writer::count_only{});
    timeline counting(counter, &result.marks);
    t.play(lv, counting);
    const std::uint64_t size = counter.file_size;
    t.tell(lv, out);
    if (size > wav_limit(sink)) {
        out.say("Error writing %s.", sink.name().c_str());
        out.line("Output exceeds the 4 GiB size limit of WAV files.");
        quit(exit_output);
    }
    wav_writer writer(sink, out, o.sample_rate, o.inverted, size);
    timeline writing(writer);
    t.play(lv, writing);
    writer.finish();
    result.wav_size = size;
}

int run(const options& o, const image& im, bool announced, byte_sink* output, messages& out, run_result* result) {
    run_result local;
    run_result& res = result != nullptr ? *result : local;
    res = {};
    res.sample_rate = o.sample_rate;
    // What ran out of memory or failed without a word is told, with the
    // status of the step it stopped: reading (4), writing (5) or the check (7).
    int step = exit_input;
    const auto ended = [&](int status) { return res.status = status; };
    try {
        const std::unique_ptr<tape> t = select_format(o, im, announced, out, res);
        if (!t) {
            out.line("Unknown/unsupported tape image file.");
            return ended(exit_image);
        }
        if (o.baud != 0 && res.format != &cas_trs80_format)
            out.line("Option -b ignored: only TRS-80 images have a choice of speed.");
        if (output == nullptr) {
            out.line("Error creating output file or none specified.");
            return ended(exit_ok);
        }
        step = exit_output;
        write_wav(*t, o, *output, out, res);
        step = exit_readback;
        return ended(o.verify ? check_readback(*t, *res.format, o, *output, out, res) : exit_ok);
    } catch (const exit_request& e) {
        return ended(e.status);
    } catch (const std::bad_alloc&) {
        out.say("Not enough memory to %s %s.", step == exit_readback ? "read back the WAV of" : "convert",
                shown_name(im.name).c_str());
        return ended(step);
    } catch (const std::exception& e) {
        out.say("Error converting %s: %s.", shown_name(im.name).c_str(), e.what());
        return ended(step);
    }
}

}  // namespace

int convert(const options& o, const image& im, byte_sink* output, messages& out, run_result* result) {
    return run(o, im, false, output, out, result);
}

bool is_regular(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the file `name` starts as a recording does. Only a regular file is
// looked into: the bytes of a pipe are gone once read, so a pipe is read
// whole and its bytes looked at.
bool is_recording(const std::string& name) {
    if (!is_regular(name)) return false;
    std::uint8_t start[40] = {};  // as far as a Wave64 header's second GUID
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return false;
    const std::size_t n = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    return looks_like_recording(start, n);
}

int read_recording(const options& o, const std::string& name, const image* held, byte_sink* output, messages& out,
                   run_result* result) {
    std::string why;
    std::unique_ptr<recording_file> rec;
    if (held == nullptr)
        rec = o.open_recording(name, why);
    else if (held->spool)
        rec = o.open_recording(held->spool->path(), why);
    else
        rec = o.open_held_recording(held->bytes, why);
    if (!rec) {
        out.say("Error reading %s: %s.", shown_name(name).c_str(), why.c_str());
        const held_recording_opener wav_only = open_wav_recording;
        if (held != nullptr && o.open_held_recording == wav_only)
            out.line("A recording that is not a file must be a WAV file.");
        if (result != nullptr) result->status = exit_input;
        return exit_input;
    }
    return read_tape(o, name, *rec, o.channel, output, out, result);
}

int convert(const options& o, const std::string& input, byte_sink* output, messages& out, run_result* result) {
    try {
        if (input != "-" && !input.empty() && is_recording(input)) return read_recording(o, input, nullptr, output, out, result);
        // A forced format is named before a file is read, so that a read
        // error follows its line; what a pipe holds is known only once it is
        // read: a recording (read with the machine forced), or an image.
        // Without a name there is no image to read: nothing is recognised in
        // it.
        const bool piped = input == "-" || (!input.empty() && !is_regular(input));
        const auto selected = [&] {
            if (forced(o))
                out.say("Selected format: %s.", tape_format_registry[static_cast<std::size_t>(o.format)]->description);
        };
        if (!piped) selected();
        const image im = input.empty() && !forced(o) ? image{} : read_image(input, out);
        // A recording from standard input or a pipe: in a temporary file,
        // or held in memory as an image would be.
        if (piped && (im.spool || looks_like_recording(im.bytes.data(), im.bytes.size())))
            return read_recording(o, input, &im, output, out, result);
        if (piped) selected();
        return run(o, im, forced(o), output, out, result);
    } catch (const exit_request& e) {
        if (result != nullptr) result->status = e.status;
        return e.status;
    } catch (const std::bad_alloc&) {
        out.say("Not enough memory to read %s.", shown_name(input).c_str());
        if (result != nullptr) result->status = exit_input;
        return exit_input;
    }
}

}  // namespace korvax

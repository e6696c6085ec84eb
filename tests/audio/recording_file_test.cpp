// Recordings as users bring them: every container and kind of sample
// libsndfile writes, read by the real binary into the image, from a file or
// piped in; and each container whose header tells its length, cut short,
// refused.
#include <sndfile.h>

#include <gtest/gtest.h>

#include <map>

#include "audio/recording_file.h"
#include "audio/sndfile_recording.h"
#include "support/run.h"

using namespace korvax_test;

namespace {

// The program's own signal of examples/hello.cas at `rate`, as floats, after
// `blank` seconds of a blank tape's hiss, and the line that reading it back
// reports.
struct own_signal {
    std::vector<float> x;
    std::string line;
};
own_signal hello_signal(unsigned rate, int blank_seconds) {
    const scratch_dir dir;
    const std::string wav = dir.path("t.wav");
    EXPECT_EQ(0, run_korvax({"-s", std::to_string(rate), std::string(KORVAX_EXAMPLES) + "/hello.cas", wav}).status);
    own_signal s;
    const std::string err = run_korvax({"-i", wav}).err;
    const std::size_t from = err.find('\n') + 1;
    s.line = err.substr(from, err.find('\n', from) + 1 - from);
    EXPECT_NE(std::string::npos, s.line.find(" TRS-80, 500 baud: BASIC H, 37 bytes.\n")) << err;
    // "0:04.2 TRS-80..." as "0:29.2 TRS-80...".
    const std::size_t colon = s.line.find(':'), space = s.line.find(' ');
    const double at = std::stod(s.line.substr(0, colon)) * 60 + std::stod(s.line.substr(colon + 1)) + blank_seconds;
    char time[16];
    std::snprintf(time, sizeof time, "%d:%04.1f", int(at / 60), at - 60 * int(at / 60));
    s.line = time + s.line.substr(space);
    SF_INFO info{};
    SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
    if (f != nullptr) {
        const std::size_t blank = std::size_t(blank_seconds) * rate;
        s.x.resize(blank + std::size_t(info.frames));
        s.x.resize(blank + std::size_t(sf_readf_float(f, s.x.data() + blank, info.frames)));
        sf_close(f);
        std::uint32_t h = 7;
        for (std::size_t i = 0; i < blank; ++i)
            h = h * 1103515245 + 12345, s.x[i] = float(int(h >> 16) % 21 - 10) / 4000;
    }
    return s;
}

// `x` written as `format` to `path`, on the last of `channels` channels; the
// others carry hiss.
bool write_recording(const std::string& path, int format, unsigned rate, int channels, const std::vector<float>& x) {
    SF_INFO info{};
    info.samplerate = int(rate), info.channels = channels, info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) return false;
    std::vector<float> frames(x.size() * std::size_t(channels));
    std::uint32_t h = 1;
    for (std::size_t i = 0; i < x.size(); ++i)
        for (int c = 0; c < channels; ++c) {
            h ^= h << 13, h ^= h >> 17, h ^= h << 5;
            frames[i * std::size_t(channels) + std::size_t(c)] =
                c + 1 == channels ? x[i] : float(int(h % 2001) - 1000) / 4000;
        }
    const bool ok = sf_writef_float(f, frames.data(), sf_count_t(x.size())) == sf_count_t(x.size());
    return sf_close(f) == 0 && ok;
}

struct container {
    const char* label;
    const char* name;
    int format;
    unsigned rate = 44100;
    int channels = 1;
    bool tells_its_length = false;  // a header a file cut short contradicts
    // A blank stretch before the tape, past the first stretch the machines
    // are looked for in: the reader passes over the samples before the next.
    bool blank_first = false;
};

TEST(recordings, every_container_and_sample_kind) {
    const container cases[] = {
        {"8-bit WAV at 22050 Hz", "t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 22050, 1, true, true},
        {"16-bit WAV", "t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, true},
        {"24-bit WAV", "t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 1, true},
        {"32-bit WAV at 96000 Hz", "t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 96000, 1, true},
        {"float WAV", "t.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, true},
        {"u-law WAV", "t.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 44100, 1, true},
        {"IMA ADPCM WAV at 22050 Hz", "t.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 22050, 1, true},
        {"extensible WAV, stereo", "t.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 44100, 2, true, true},
        {"RF64", "t.wav", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 44100, 1, true},
        {"Wave64", "t.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 44100, 1, true},
        {"AIFF, stereo", "t.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2, true},
        {"AIFC float", "t.aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 44100, 1, true},
        {"CAF", "t.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_24},
        {"FLAC", "t.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 1, false, true},
        {"Ogg Vorbis", "t.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1, false, true},
        {"Ogg Opus", "t.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000},
        {"MP3", "t.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
    };
    const bytes hello = read_file(std::string(KORVAX_EXAMPLES) + "/hello.cas");
    const bytes hello_back(hello.begin() + 1, hello.end());  // written with a leader of 255 zeros
    std::map<std::pair<unsigned, int>, own_signal> signals;
    for (const container& c : cases) {
        SCOPED_TRACE(c.label);
        const std::pair key{c.rate, c.blank_first ? 25 : 0};
        if (!signals.contains(key)) signals[key] = hello_signal(c.rate, key.second);
        const scratch_dir dir;
        const std::string in = dir.path(c.name), out = dir.path("out.cas");
        ASSERT_TRUE(write_recording(in, c.format, c.rate, c.channels, signals[key].x)) << sf_strerror(nullptr);
        for (bool piped : {false, true}) {
            std::filesystem::remove(out);
            const result r = piped ? run_korvax({"-i", "-", "-o", out}, in) : run_korvax({"-i", in, "-o", out});
            EXPECT_EQ(0, r.status) << (piped ? "piped" : "a file");
            EXPECT_EQ("Recording: " + std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) +
                          (c.channels == 1 ? " channel.\n" : " channels.\nChannel 2 of 2 reads better.\n") +
                          signals[key].line + "Image written: " + out + " (TRS-80 tape).\n",
                      r.err);
            EXPECT_EQ(hello_back, read_file(out)) << (piped ? "piped" : "a file");
        }
        if (!c.tells_its_length) continue;
        // Four bytes short (more than a pad byte): all the tape is there,
        // but the header says more.
        bytes cut = read_file(in);
        ASSERT_GT(cut.size(), 4u);
        cut.erase(cut.end() - 4, cut.end());
        std::filesystem::remove(out);
        dir.write(c.name, cut);
        const result s = run_korvax({"-i", in, "-o", out});
        EXPECT_EQ(4, s.status);
        EXPECT_EQ("Error reading " + in + ": it ends before the end its header gives.\n", s.err);
        EXPECT_EQ(4, run_korvax({"-i", "-", "-o", out}, in).status) << "piped";
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

// Passing over samples lands where reading them would, and at the end stops
// there: in each reader, where it seeks and where it reads through.
TEST(recordings, skipping_lands_where_reading_would) {
    std::vector<float> x(5000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = float(int(i * 7919 % 255) - 127) / 128;
    const struct {
        const char* label;
        const char* name;
        int format;
        int channels;
        korvax::recording_opener open;
    } cases[] = {
        {"8-bit WAV, own reader", "t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, korvax::open_wav_recording},
        {"24-bit stereo WAV, own reader", "t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, korvax::open_wav_recording},
        {"8-bit WAV", "t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, korvax::open_sndfile_recording},
        {"24-bit stereo WAV", "t.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 2, korvax::open_sndfile_recording},
        {"FLAC", "t.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, korvax::open_sndfile_recording},
        {"Ogg Vorbis", "t.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 1, korvax::open_sndfile_recording},
    };
    const auto rest = [](korvax::sample_source& in) {
        std::vector<float> got(6000);
        got.resize(in.read(got.data(), got.size()));
        return got;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const scratch_dir dir;
        const std::string path = dir.path(c.name);
        ASSERT_TRUE(write_recording(path, c.format, 44100, c.channels, x));
        std::string why;
        const auto rec = c.open(path, why);
        ASSERT_TRUE(rec) << why;
        const auto channel = unsigned(c.channels - 1);
        const std::vector<float> all = rest(*rec->channel(channel));
        const auto in = rec->channel(channel);
        EXPECT_EQ(1234u, in->skip(1234));
        EXPECT_EQ(std::vector<float>(all.begin() + 1234, all.end()), rest(*in));
        const auto past = rec->channel(channel);
        EXPECT_EQ(all.size(), past->skip(all.size() + 100));
        EXPECT_TRUE(rest(*past).empty());
        EXPECT_FALSE(rec->cut_short());
    }
}

// A WAV whose writer could not go back to fill in its sizes (a pipe, or a
// recorder stopped short) leaves them 0 or all ones, or, from SoX or
// arecord, a length not known yet: its samples run to its end, whether it
// comes as a file or on standard input.
TEST(recordings, sizes_never_filled_in) {
    const scratch_dir dir;
    const std::string wav = dir.path("own.wav"), out = dir.path("out.cas");
    ASSERT_EQ(0, run_korvax({std::string(KORVAX_EXAMPLES) + "/hello.cas", wav}).status);
    const bytes own = read_file(wav);
    const std::string line = run_korvax({"-i", wav}).err;
    const bytes hello = read_file(std::string(KORVAX_EXAMPLES) + "/hello.cas");
    const bytes hello_back(hello.begin() + 1, hello.end());
    const auto put = [](bytes& b, std::size_t at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) b[at + std::size_t(k)] = std::uint8_t(v >> (8 * k));
    };
    const struct {
        const char* label;
        std::uint32_t riff, data;
        bool piped;
        int status;
        std::string err;
    } cases[] = {
        {"all ones, a file", 0xFFFFFFFF, 0xFFFFFFFF, false, 0, line + "Image written: @@ (TRS-80 tape).\n"},
        {"all ones, piped", 0xFFFFFFFF, 0xFFFFFFFF, true, 0, line + "Image written: @@ (TRS-80 tape).\n"},
        {"0, a file", 0, 0, false, 0, line + "Image written: @@ (TRS-80 tape).\n"},
        {"0, piped", 0, 0, true, 0, line + "Image written: @@ (TRS-80 tape).\n"},
        {"SoX's, piped", 0x7FFFF024, 0x7FFFF000, true, 0, line + "Image written: @@ (TRS-80 tape).\n"},
        {"arecord's, a file", 0x80000024, 0x80000000, false, 0, line + "Image written: @@ (TRS-80 tape).\n"},
        {"past the end, piped", std::uint32_t(own.size() - 8), std::uint32_t(own.size()), true, 4,
         "Error reading standard input: it ends before the end its header gives.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        bytes b = own;
        put(b, 4, c.riff), put(b, 40, c.data);
        const std::string in = dir.write("t.wav", b);
        std::filesystem::remove(out);
        const result r = c.piped ? run_korvax({"-i", "-", "-o", out}, in) : run_korvax({"-i", in, "-o", out});
        EXPECT_EQ(c.status, r.status);
        std::string err = c.err;
        if (const std::size_t at = err.find("@@"); at != std::string::npos) err.replace(at, 2, out);
        EXPECT_EQ(err, r.err);
        EXPECT_EQ(c.status == 0, std::filesystem::exists(out) && hello_back == read_file(out));
    }
}

}  // namespace

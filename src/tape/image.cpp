#include "tape/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "audio/recording_file.h"
#include "output/fatal.h"
#include "output/output_file.h"

namespace korvax {
namespace {

// The rest of a recording piped in, after the bytes read so far, into the
// image's temporary file; false, after its message, when it cannot be.
bool spool(int fd, const std::string& name, image& im, messages& out) {
    const auto failed = [&] {
        out.say("Error reading %s: the temporary file that holds it could not be written.", shown_name(name).c_str());
        if (errno != 0) out.line(std::strerror(errno));
        return false;
    };
    errno = 0;
    if (!im.spool->write(im.bytes.data(), im.bytes.size())) return failed();
    std::vector<std::uint8_t> block(65536);
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.say("Error reading %s.", shown_name(name).c_str());
            return false;
        }
        if (n == 0) break;
        errno = 0;
        if (!im.spool->write(block.data(), std::size_t(n))) return failed();
    }
    errno = 0;
    return im.spool->close() || failed();
}

}  // namespace

image read_image(const std::string& name, messages& out) {
    image im{name, {}};
    const bool standard_input = name == "-";
    const int fd = standard_input ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    const auto fail = [&](int status) {
        if (fd >= 0 && !standard_input) ::close(fd);
        quit(status);
    };
    if (fd < 0) {
        out.say("Error reading %s.", shown_name(name).c_str());
        fail(exit_input);
    }
    // A named regular file says its size: refused before a byte is read when
    // it is too large, and read in one go otherwise (a recording in one was
    // read as a recording, not here). Standard input or a pipe is read until
    // it ends, and spooled once its start shows a recording.
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !standard_input;
    if (regular && static_cast<std::uint64_t>(st.st_size) > image_cap) {
        out.say("%s is larger than 64 MiB, more than any tape image.", shown_name(name).c_str());
        out.line("Unknown/unsupported tape image file.");
        fail(exit_image);
    }
    std::size_t chunk = regular && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 65536;
    // Enough of a pipe's start to tell a recording by.
    constexpr std::size_t recording_head = 40;
    bool told = regular;
    for (;;) {
        if (!told && im.bytes.size() >= recording_head) {
            told = true;
            if (looks_like_recording(im.bytes.data(), im.bytes.size())) im.spool = spool_file::create();
            if (im.spool) {
                if (!spool(fd, name, im, out)) fail(exit_input);
                break;
            }
        }
        if (im.bytes.size() > image_cap) {
            // A recording is read again for each machine and channel tried,
            // so from a pipe it is held whole where it could not be spooled:
            // a longer one must be a file.
            if (looks_like_recording(im.bytes.data(), im.bytes.size())) {
                out.say("%s holds a recording larger than 64 MiB: save it to a file and name that with -i.",
                        shown_name(name).c_str());
                fail(exit_input);
            }
            out.say("%s is larger than 64 MiB, more than any tape image.", shown_name(name).c_str());
            out.line("Unknown/unsupported tape image file.");
            fail(exit_image);
        }
        const std::size_t have = im.bytes.size();
        im.bytes.resize(have + chunk);
        const ssize_t n = ::read(fd, im.bytes.data() + have, chunk);
        if (n < 0 && errno == EINTR) {
            im.bytes.resize(have);
            continue;
        }
        if (n < 0) {
            out.say("Error reading %s.", shown_name(name).c_str());
            fail(exit_input);
        }
        im.bytes.resize(have + static_cast<std::size_t>(n));
        if (n == 0) break;
        chunk = 65536;
    }
    if (!standard_input) ::close(fd);
    if (standard_input && im.bytes.empty()) {
        out.line("No image on standard input.");
        quit(exit_image);
    }
    im.bytes.shrink_to_fit();
    return im;
}

}  // namespace korvax

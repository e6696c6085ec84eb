#include "tape/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "audio/recording_file.h"
#include "output/fatal.h"

namespace korvax {

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
    // A regular file says its size: refused before a byte is read when it is
    // too large, and read in one go otherwise. A pipe is read until it ends.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > image_cap) {
        out.say("%s is larger than 64 MiB, more than any tape image.", shown_name(name).c_str());
        out.line("Unknown/unsupported tape image file.");
        fail(exit_image);
    }
    std::size_t chunk = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 65536;
    for (;;) {
        if (im.bytes.size() > image_cap) {
            // A recording is read again for each machine and channel tried,
            // so from a pipe it is held whole: a longer one must be a file.
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

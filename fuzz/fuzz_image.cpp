#include "fuzz_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace korvax_fuzz {
namespace {

// One scratch folder per process; tmpfs when there is one, as every input
// goes through it.
struct scratch_folder {
    std::filesystem::path dir;
    scratch_folder() {
        std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string name = base + "/korvax-fuzz-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr) fail("cannot make a scratch folder");
        dir = name;
    }
    ~scratch_folder() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

}  // namespace

std::string write_image(const std::uint8_t* data, std::size_t size, const std::string& suffix) {
    static scratch_folder folder;
    const std::string path = (folder.dir / ("image" + suffix)).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot write the image");
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) fail("cannot write the image");
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

}  // namespace korvax_fuzz

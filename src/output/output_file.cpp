#include "output/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace korvax {
namespace {

constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary files of the run, for the signal handler: the output's, one
// at a time, as a later -o replaces an earlier one; and the input's, spooled
// from a pipe.
std::atomic<const char*> pending_temp{nullptr}, pending_spool{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "read in a signal handler");

extern "C" void remove_temp_and_die(int sig) {
    if (const char* temp = pending_temp.load()) ::unlink(temp);
    if (const char* spool = pending_spool.load()) ::unlink(spool);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Signals that the program was started to ignore stay ignored.
void catch_interruptions() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    struct sigaction sa {};
    sa.sa_handler = remove_temp_and_die;
    sigemptyset(&sa.sa_mask);
    for (int sig : interruptions) sigaddset(&sa.sa_mask, sig);
    for (int sig : interruptions) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) ::sigaction(sig, &sa, nullptr);
    }
}

// The interruptions held back while a temporary file is made and not yet
// known to the handler.
struct held_interruptions {
    sigset_t old;
    held_interruptions() {
        sigset_t hold;
        sigemptyset(&hold);
        for (int sig : interruptions) sigaddset(&hold, sig);
        ::sigprocmask(SIG_BLOCK, &hold, &old);
    }
    ~held_interruptions() { ::sigprocmask(SIG_SETMASK, &old, nullptr); }
};

// What a file created with mode 0666 gets; mkstemp's 0600 in the page's file
// system, which has one user and whose umask is a stub that reports 0777.
mode_t new_file_mode() {
#ifdef __EMSCRIPTEN__
    return 0600;
#else
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
#endif
}

}  // namespace

std::unique_ptr<output_file> output_file::open(const std::string& name) {
    // A file-size limit makes the write fail, rather than end the program
    // with the temporary file left behind.
    ::signal(SIGXFSZ, SIG_IGN);
    const auto in_place = [&](int fd) -> std::unique_ptr<output_file> {
        if (fd < 0) return nullptr;
        ::signal(SIGPIPE, SIG_IGN);
        return std::unique_ptr<output_file>(new output_file(fd, name, "", ""));
    };
    if (name == "-") return in_place(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    struct stat st {};
    const bool exists = ::stat(name.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return nullptr;
    if (exists && !S_ISREG(st.st_mode)) return in_place(::open(name.c_str(), O_WRONLY | O_CLOEXEC));

    // A file that may not be written is not replaced either; through links,
    // the file they lead to is.
    std::filesystem::path target = name;
    struct stat link {};
    if (exists && ::access(name.c_str(), W_OK) != 0) return nullptr;
    if (exists && ::lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* real = ::realpath(name.c_str(), nullptr);
        if (real == nullptr) return nullptr;
        target = real;
        std::free(real);
    }
    if (!target.has_filename()) return nullptr;
    std::filesystem::path temp_name = ".";
    temp_name += target.filename();
    temp_name += ".XXXXXX";
    std::string temp = (target.parent_path() / temp_name).string();
    const held_interruptions held;
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return nullptr;
    if (::fchmod(fd, new_file_mode()) != 0) {
        ::unlink(temp.c_str());
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<output_file> out(new output_file(fd, name, std::move(temp), target.string()));
    pending_temp = out->temp_.c_str();
    catch_interruptions();
    return out;
}

output_file::~output_file() {
    if (temp_.empty()) return;
    ::unlink(temp_.c_str());
    const char* own = temp_.c_str();
    pending_temp.compare_exchange_strong(own, nullptr);
}

std::unique_ptr<spool_file> spool_file::create() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/korvax-XXXXXX";
    const held_interruptions held;
    const int fd = ::mkstemp(path.data());
    if (fd < 0) return nullptr;
    std::unique_ptr<spool_file> spool(new spool_file(fd, std::move(path)));
    pending_spool = spool->path_.c_str();
    catch_interruptions();
    return spool;
}

spool_file::~spool_file() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
    const char* own = path_.c_str();
    pending_spool.compare_exchange_strong(own, nullptr);
}

bool spool_file::write(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const char*>(bytes);
    while (n > 0) {
        const ssize_t k = ::write(fd_, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k, n -= std::size_t(k);
    }
    return true;
}

bool spool_file::close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

bool output_file::close() {
    if (!fd_sink::close()) return false;
    if (temp_.empty()) return true;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    pending_temp = nullptr;
    temp_.clear();
    return true;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    const bool ea = ::stat(a.c_str(), &sa) == 0;
    const bool eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (ea != eb) return false;
    std::error_code ec;
    const auto ca = std::filesystem::weakly_canonical(a, ec);
    if (ec) return false;
    const auto cb = std::filesystem::weakly_canonical(b, ec);
    return !ec && ca == cb;
}

}  // namespace korvax

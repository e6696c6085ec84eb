// The WAV's destination as the command line names it (-o).
//
// A regular file, or a name that does not exist yet, is written under a
// temporary name in the same folder and renamed over the name only once the
// WAV is complete and closed: a run that fails (a full disk, a file-size
// limit) or is interrupted by SIGINT, SIGTERM or SIGHUP leaves the name as it
// was and no temporary file behind.
// The temporary file is created exclusively under an unpredictable name, so
// that a link planted in a shared folder cannot redirect the write, and gets
// the permissions a newly created file gets under the umask. A name that
// leads to a file through links replaces that file; the links stay.
//
// Anything else that can be written is written in place, never renamed over:
// "-" (standard output), a pipe, a terminal, /dev/null. A reader that goes
// away makes the write fail (SIGPIPE is ignored) rather than end the program.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "output/wav.h"

namespace korvax {

class output_file final : public fd_sink {
public:
    // The output `name` names, ready to take the WAV; empty when it cannot be
    // written (its folder missing or not writable, a folder, a file that may
    // not be written).
    static std::unique_ptr<output_file> open(const std::string& name);
    // Removes the temporary file of a run that did not finish.
    ~output_file() override;
    // Closes the file and renames it into place.
    bool close() override;
    bool is_file() const override { return !target_.empty(); }

private:
    output_file(int fd, std::string name, std::string temp, std::string target)
        : fd_sink(fd, std::move(name)), temp_(std::move(temp)), target_(std::move(target)) {}
    std::string temp_;    // the temporary file, until it is renamed
    std::string target_;  // the file it replaces; empty when written in place
};

// A temporary file that holds the input while the run reads it: a recording
// piped in, which is read more than once and may be too long to hold in
// memory. Created exclusively under an unpredictable name in $TMPDIR (else
// /tmp), readable by its owner alone; removed when the object goes, or when
// SIGINT, SIGTERM or SIGHUP ends the program.
class spool_file {
public:
    // Empty when no such file can be made.
    static std::unique_ptr<spool_file> create();
    ~spool_file();
    spool_file(const spool_file&) = delete;
    spool_file& operator=(const spool_file&) = delete;
    const std::string& path() const { return path_; }
    // Appends `n` bytes; false when they could not all be written.
    bool write(const void* bytes, std::size_t n);
    // Ends the writing; false when the bytes may not all be there.
    bool close();

private:
    spool_file(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

// Whether two names reach the same file: the same inode when both exist
// (links, other spellings), else the same normalised path.
bool same_file(const std::string& a, const std::string& b);

}  // namespace korvax

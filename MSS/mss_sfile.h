// The script file: created anew, written through a buffer, and either completed or removed.
#pragma once
#include <string>
#include <sys/types.h>

// A script file that never writes through a link or into a file that was already there: it
// is created exclusively (an entry found at the path is removed first, unless it is not a
// plain file or link). Every failure is a level-1 tk_exception naming the file; after a
// failed write every later write fails too. A file not completed when the object goes is
// removed, so that a script cut short never looks whole.
class mss_script_file {
public:
    explicit mss_script_file(const std::string& path);
    ~mss_script_file();
    mss_script_file(const mss_script_file&) = delete;
    mss_script_file& operator=(const mss_script_file&) = delete;

    void write(const char* bytes, std::size_t length);
    // Hands the buffered bytes to the system.
    void flush();
    // Flushes, syncs and closes the file: from then on it is kept.
    void complete();

private:
    [[noreturn]] void fail(int error);
    void remove_unfinished();

    std::string path_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::string buffer_;
    int error_ = 0; // errno of the first failure
};

// The script file: created anew, written through a buffer, and either completed or removed.
#pragma once
#include <functional>
#include <string>
#include <sys/types.h>

#include "TK/tk_excep.h"

// What became of a script file when its object went.
enum class mss_script_end {
    none,       // not created, or still open
    completed,  // whole
    removed,    // incomplete: removed
    left,       // incomplete, and it could not be removed
    emptied,    // incomplete, through a link to a file: that file holds only the note
    marked,     // incomplete, into a pipe or device: the note follows what was sent
    unmarked,   // incomplete, through a link, a pipe or a device: the note could not be written
};

// A write into the script failed: the file takes nothing more, so the run that writes it is over.
class mss_write_exception : public tk_exception {
public:
    using tk_exception::tk_exception;
};

// Whether the path names a link, a pipe or a device: one the user names on purpose is written
// through as it is found (mss_script_file's through_link), never replaced by a file.
bool mss_written_through(const std::string& path);

// One sentence for the user on what became of the script at path; empty for none and completed.
std::string mss_script_end_text(mss_script_end end, const std::string& path);

// A script file that never writes through a link planted at its path or into a file that was
// already there: it is created exclusively (a plain file or link found at the path is removed
// first; anything else is refused). Only when the user named a link, a pipe or a device on
// purpose is the script written through it (to a file, /dev/stdout, a named pipe, /dev/null...);
// a named pipe is opened once it has a reader. Every failure is a level-1 tk_exception naming
// the file, a failed write an mss_write_exception; after it every later write fails too. A
// script not completed when the object goes never looks whole: a file of our own is removed;
// written through a link, a file is emptied, and a pipe or a device gets a closing comment,
// which says that the script is incomplete. A file-size limit (EFBIG) is reported as the full disk it is to the user.
class mss_script_file {
public:
    // through_link: the user named what is at the path (a link, a pipe, a device) on purpose.
    // end, when given, learns what became of the file. on_wait, when given, is called once when
    // a named pipe has no reader yet and the opening waits for one.
    explicit mss_script_file(const std::string& path, bool through_link = false, mss_script_end* end = nullptr,
                             const std::function<void()>& on_wait = {});
    ~mss_script_file();
    mss_script_file(const mss_script_file&) = delete;
    mss_script_file& operator=(const mss_script_file&) = delete;

    void write(const char* bytes, std::size_t length);
    // Hands the buffered bytes to the system.
    void flush();
    // Flushes, syncs and closes the file: from then on it is kept.
    void complete();
    // Whether a write has failed (and was reported): every later one fails the same way.
    bool failed() const { return error_ != 0; }

private:
    [[noreturn]] void fail(int error);
    // The file of a run that did not complete: removed, or marked through the link.
    void discard();
    void remove_unfinished();
    void set_end(mss_script_end end);

    std::string path_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool linked_ = false; // written through the link, pipe or device the user named
    std::string buffer_;
    int error_ = 0; // errno of the first failure
    mss_script_end* end_ = nullptr;
};

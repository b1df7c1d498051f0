// The script file: created anew, written through a buffer, and either completed or removed.
#include "MSS/mss_sfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TK/tk_excep.h"
#include "TK/tk_file.h"
#include "TK/tk_log.h"
#include "TK/tk_threa.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

int create_exclusive(const std::string& path)
{
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    // Something is at the path: a plain file or a link is removed (the link itself, never
    // what it points to) and the creation tried once more; anything else is kept.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
        errno = EEXIST;
        return -1;
    }
    if (::unlink(path.c_str()) != 0)
        return -1;
    return ::open(path.c_str(), flags, 0666);
}

// Whether the user's destination is written into as it is found rather than replaced by a file
// of our own: a link, a pipe or a device.
bool written_as_found(const struct stat& st)
{
    return S_ISLNK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
}

// Opens a pipe for writing once it has a reader, as a shell's redirection waits for one; a stop
// asked for meanwhile ends the wait (EINTR). follow: the path is the user's link to the pipe.
int open_pipe(const std::string& path, bool follow, const std::function<void()>& on_wait)
{
    const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW);
    bool told = false;
    for (;;) {
        const int fd = ::open(path.c_str(), flags);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        if (errno != ENXIO)
            return -1;
        if (!told) {
            tk_log_write(3, "Waiting for a reader of the pipe '%s'", path.c_str());
            if (on_wait)
                on_wait();
        }
        told = true;
        if (tk_stop_requested_here()) {
            errno = EINTR;
            return -1;
        }
        ::usleep(50 * 1000);
    }
}

// Opens the user's link, pipe or device. A link is followed (a file it names is emptied, one
// missing is created); a pipe or a device is opened itself, and only while it still is one.
int open_as_found(const std::string& path, const struct stat& st, const std::function<void()>& on_wait)
{
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        if (::stat(path.c_str(), &target) == 0 && S_ISFIFO(target.st_mode))
            return open_pipe(path, true, on_wait);
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    const int fd = S_ISFIFO(st.st_mode) ? open_pipe(path, false, on_wait) : ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat now;
    if (fd >= 0 && (::fstat(fd, &now) != 0 || S_ISREG(now.st_mode) || S_ISDIR(now.st_mode))) {
        ::close(fd);
        errno = EEXIST;   // replaced by a file meanwhile: never written into
        return -1;
    }
    return fd;
}

} // namespace

bool mss_written_through(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && written_as_found(st);
}

std::string mss_script_end_text(mss_script_end end, const std::string& path)
{
    const std::string quoted = "'" + path + "'";
    switch (end) {
    case mss_script_end::removed:
        return "The incomplete script " + quoted + " was removed.";
    case mss_script_end::left:
        return "The incomplete script " + quoted + " could not be removed: it holds only part of the database.";
    case mss_script_end::emptied:
        return "The file that " + quoted + " links to holds only a comment saying that the script is incomplete.";
    case mss_script_end::marked:
        return "The script written through " + quoted + " is incomplete and ends with a comment saying so.";
    case mss_script_end::unmarked:
        return "The script written through " + quoted + " is incomplete; the comment saying so could not be written.";
    default:
        return std::string();
    }
}

mss_script_file::mss_script_file(const std::string& path, bool through_link, mss_script_end* end,
                                 const std::function<void()>& on_wait)
    : path_(path), end_(end)
{
    set_end(mss_script_end::none);
    struct stat st;
    linked_ = through_link && ::lstat(path_.c_str(), &st) == 0 && written_as_found(st);
    fd_ = linked_ ? open_as_found(path_, st, on_wait) : create_exclusive(path_);
    if (fd_ < 0) {
        const int error = errno;
        tk_log_write(2, "Failed to open file");
        throw tk_exception("Cannot create file '" + path_ + "': " + std::strerror(error), 1);
    }
    if (::fstat(fd_, &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
    buffer_.reserve(kBufferSize);
}

mss_script_file::~mss_script_file()
{
    if (fd_ >= 0)
        discard();
}

void mss_script_file::set_end(mss_script_end end)
{
    if (end_)
        *end_ = end;
}

void mss_script_file::discard()
{
    if (!linked_) {
        ::close(fd_);
        fd_ = -1;
        remove_unfinished();
        return;
    }
    // Through the user's link: a file keeps only the note, a pipe gets it after what it has.
    static const char note[] = "\r\n/* This script is incomplete: the conversion stopped before its end. */\r\n";
    struct stat st;
    const bool emptied = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd_, 0) == 0;
    if (emptied)
        ::lseek(fd_, 0, SEEK_SET);
    else if (!error_)
        tk_write_all(fd_, buffer_.data(), buffer_.size());
    const bool marked = tk_write_all(fd_, note, sizeof note - 1);
    ::close(fd_);
    fd_ = -1;
    set_end(!marked ? mss_script_end::unmarked : emptied ? mss_script_end::emptied : mss_script_end::marked);
    tk_log_write(3, marked ? "The script '%s' is incomplete: marked so" : "The script '%s' is incomplete",
                 path_.c_str());
}

void mss_script_file::remove_unfinished()
{
    // Only the file this object created is removed.
    struct stat st;
    const bool removed =
        ::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_ && ::unlink(path_.c_str()) == 0;
    if (removed)
        tk_log_write(3, "The script '%s' is incomplete: removed", path_.c_str());
    else
        tk_log_write(3, "The script '%s' is incomplete and could not be removed", path_.c_str());
    set_end(removed ? mss_script_end::removed : mss_script_end::left);
}

void mss_script_file::fail(int error)
{
    if (!error_)
        error_ = error ? error : EIO;
    // Beyond the file-size limit there is no room for the script: for the user, a full disk.
    if (error_ == EFBIG)
        error_ = ENOSPC;
    throw mss_write_exception("Cannot write to file '" + path_ + "': " + std::strerror(error_), 1);
}

void mss_script_file::write(const char* bytes, std::size_t length)
{
    if (error_ || fd_ < 0)
        fail(error_ ? error_ : EBADF);
    if (buffer_.size() + length > kBufferSize) {
        flush();
        if (length > kBufferSize) {
            if (!tk_write_all(fd_, bytes, length))
                fail(errno);
            return;
        }
    }
    buffer_.append(bytes, length);
}

void mss_script_file::flush()
{
    if (error_ || fd_ < 0)
        fail(error_ ? error_ : EBADF);
    if (buffer_.empty())
        return;
    const bool ok = tk_write_all(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    if (!ok)
        fail(errno);
}

void mss_script_file::complete()
{
    flush();
    // Space the system only promised fails here, not after the run reported success.
    if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
        const int error = errno;
        discard();
        fail(error);
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        if (!linked_)
            remove_unfinished();
        else
            set_end(mss_script_end::unmarked);
        fail(error);
    }
    set_end(mss_script_end::completed);
}

#include "TK/tk_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"

namespace {

[[noreturn]] void fail(int row)
{
    throw tk_exception(tk_message(row), 1);
}

constexpr std::uint64_t max_offset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

} // namespace

// ---------------------------------------------------------------------------
// tk_file

tk_file::tk_file(const std::string& name, int flags) : m_flags(flags)
{
    tk_log_write(2, "tk_file::tk_file(%s)", name.c_str());
    if (name.empty())
        TK_MAIL_ASSERT();
    m_name = tk_file_name(name).path();
    tk_log_write(2, "Canonized file name: %s", m_name.c_str());
    if (!(flags & tk_file_update) && !tk_is_file_exist1(m_name, tk_exist_file))
        fail(tk_msg_file_bad_path);
}

tk_file::~tk_file()
{
    tk_log_write(2, "tk_file::~tk_file");
    if (m_stream != nullptr)
        std::fclose(m_stream);
}

std::uint8_t tk_file::get_byte_at(std::uint64_t offset)
{
    std::uint8_t b = 0;
    get_at(offset, 1, &b);
    return b;
}

std::uint16_t tk_file::get_word_at(std::uint64_t offset)
{
    std::uint8_t b[2];
    get_at(offset, 2, b);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t tk_file::get_dword_at(std::uint64_t offset)
{
    std::uint8_t b[4];
    get_at(offset, 4, b);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

bool tk_file::is_eof()
{
    return m_stream != nullptr && std::feof(m_stream) != 0;
}

// ---------------------------------------------------------------------------
// tk_stdio_file

tk_stdio_file::tk_stdio_file(const std::string& name, int flags) : tk_file(name, flags)
{
    tk_log_write(2, "tk_stdio_file::ctor(%s)", name.c_str());
    if ((flags & tk_file_create) == tk_file_create) {
        m_stream = std::fopen(m_name.c_str(), "w+b");
    } else if (flags & tk_file_update) {
        // Update mode keeps an existing file's content but may also start a new one.
        const int fd = ::open(m_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_stream = ::fdopen(fd, "r+b");
            if (m_stream == nullptr)
                ::close(fd);
        }
    } else {
        m_stream = std::fopen(m_name.c_str(), "rb");
    }
    if (m_stream == nullptr) {
        tk_log_write(2, "Error: %s (%s)", std::strerror(errno), m_name.c_str());
        fail(tk_msg_file_open);
    }
}

void tk_stdio_file::seek(std::uint64_t offset, int whence, int failure_row)
{
    if (offset > max_offset || ::fseeko(m_stream, static_cast<off_t>(offset), whence) != 0)
        fail(failure_row);
}

void* tk_stdio_file::get_at(std::uint64_t offset, std::size_t length, void* buffer)
{
    tk_log_write(2, "tk_stdio_file::get_at(%llu,%llu)", static_cast<unsigned long long>(offset),
                 static_cast<unsigned long long>(length));
    const std::uint64_t size = get_length();
    // Compared without forming offset + length, which could wrap.
    if (offset > size || length > size - offset) {
        tk_log_write(2, "Reading out of range: offset=%llu, length=%llu, file size=%llu",
                     static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length),
                     static_cast<unsigned long long>(size));
        fail(tk_msg_file_read);
    }
    if (length == 0)
        return buffer;
    if (buffer == nullptr)
        TK_MAIL_ASSERT();
    seek(offset, SEEK_SET, tk_msg_file_read);
    if (std::fread(buffer, 1, length, m_stream) != length)
        fail(tk_msg_file_read);
    return buffer;
}

std::uint64_t tk_stdio_file::get_length()
{
    tk_log_write(2, "tk_stdio_file::get_length");
    const off_t here = ::ftello(m_stream);
    if (here < 0 || ::fseeko(m_stream, 0, SEEK_END) != 0)
        fail(tk_msg_file_read);
    const off_t end = ::ftello(m_stream);
    if (end < 0 || ::fseeko(m_stream, here, SEEK_SET) != 0)
        fail(tk_msg_file_read);
    tk_log_write(2, "Got file size: %lld", static_cast<long long>(end));
    return static_cast<std::uint64_t>(end);
}

void tk_stdio_file::write_block(const void* bytes, std::size_t length)
{
    if (length > 0 && std::fwrite(bytes, 1, length, m_stream) != length)
        fail(tk_msg_file_write);
}

void tk_stdio_file::put_at(std::uint64_t offset, const void* bytes, std::size_t length)
{
    tk_log_write(2, "tk_stdio_file::put_at(%llu,%llu)", static_cast<unsigned long long>(offset),
                 static_cast<unsigned long long>(length));
    if (bytes == nullptr && length > 0)
        TK_MAIL_ASSERT();
    if (offset > max_offset || length > max_offset - offset)
        fail(tk_msg_file_write);
    const std::uint64_t size = get_length();
    if (offset > size) {
        tk_log_write(2, "offset > file_size, padding with nulls");
        // Extending the file reads back as NUL bytes (and costs no disk for large gaps).
        seek(0, SEEK_END, tk_msg_file_read);
        if (std::fflush(m_stream) != 0 || ::ftruncate(::fileno(m_stream), static_cast<off_t>(offset)) != 0)
            fail(tk_msg_file_write);
    }
    seek(offset, SEEK_SET, tk_msg_file_read);
    write_block(bytes, length);
    // On disk before the next reader (another stream or process) looks.
    if (std::fflush(m_stream) != 0)
        fail(tk_msg_file_write);
}

bool tk_write_all(int fd, const void* bytes, std::size_t length)
{
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

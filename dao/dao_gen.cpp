#include "dao/dao_gen.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "platform/dao/daoapi.h"
#include "platform/win/winbase.h"
#include "platform/win/winerror.h"

const std::vector<std::uint8_t>& blank_system_db::jet3()
{
    static const std::vector<std::uint8_t> image = dao_blank_workgroup_image(true);
    return image;
}

const std::vector<std::uint8_t>& blank_system_db::jet4()
{
    static const std::vector<std::uint8_t> image = dao_blank_workgroup_image(false);
    return image;
}

namespace {

constexpr int name_count = 65536;

// The run's temporary files go to the temporary folder, never into the working directory.
std::string series_name(const std::string& folder, int i)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "~tmp%04d", i);
    return folder + "/" + buf;
}

// Any directory entry (file, directory, link, even a dangling one) takes a name.
bool name_taken(const std::string& name)
{
    struct stat st;
    return ::lstat(name.c_str(), &st) == 0 || errno != ENOENT;
}

} // namespace

dao_generator::~dao_generator()
{
    tk_log_write(2, "dao_generator::dtor");
    if (m_generated) {
        ::unlink((m_name + ".ldb").c_str());
        ::unlink(m_name.c_str());
        m_generated = false;
    }
    m_name.clear();
}

std::string dao_generator::gen_name() const
{
    tk_log_write(1, "dao_generator::gen_name");
    const std::string folder = win_temp_folder();
    for (int i = 0; i < name_count; ++i) {
        std::string name = series_name(folder, i);
        if (!name_taken(name))
            return name;
    }
    throw tk_mail_assertion("dao_gen", 50);
}

void dao_generator::do_generate(std::size_t size, const void* data)
{
    tk_log_write(2, "dao_generator::do_generate");
    if (!data)
        throw tk_mail_assertion("dao_gen", 57);

    // A name found free may be taken before the file is made: the exclusive creation then
    // fails and the next free name is tried.
    int fd = -1;
    for (int attempt = 0; attempt < name_count && fd < 0; ++attempt) {
        std::string name = gen_name();
        tk_log_write(2, "GOT GENERATED NAME: %s", name.c_str());
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            m_name = name;
            m_generated = true;
        } else if (errno != EEXIST) {
            SetLastErrorFromErrno();
            throw tk_exception_ex("Cannot create file '" + name + "': ", 1);
        }
    }
    if (fd < 0)
        throw tk_mail_assertion("dao_gen", 50);

    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::size_t left = size;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            SetLastErrorFromErrno();
            ::close(fd);
            throw tk_exception_ex("Cannot write file '" + m_name + "': ", 1);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        SetLastErrorFromErrno();
        throw tk_exception_ex("Cannot write file '" + m_name + "': ", 1);
    }
}

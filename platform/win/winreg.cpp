#include "platform/win/winreg.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/win/win_utf.h"

// An open key: the canonical path below the root and the rights it was opened with.
struct win_reg_key {
    std::string path; // components joined by '\', as first created
    REGSAM access = 0;
};

namespace {

constexpr const char* file_header = "drav registry 1";
constexpr const char* root_name = "HKEY_CURRENT_USER";

// ---------------------------------------------------------------------------
// Names

std::string fold(const std::string& s)
{
    std::string r = s;
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

// ---------------------------------------------------------------------------
// Text encodings: UTF-8 inside, the locale's encoding for the A calls, wchar_t for the W calls.

// The C locale passes bytes through unchanged rather than refusing every non-ASCII text.
bool locale_is_utf8_or_plain()
{
    const char* cs = nl_langinfo(CODESET);
    return cs == nullptr || std::strcmp(cs, "UTF-8") == 0 || std::strcmp(cs, "ANSI_X3.4-1968") == 0;
}

bool iconv_convert(const char* to, const char* from, const std::string& in, std::string& out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out.clear();
    std::vector<char> buf(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    bool ok = true;
    while (src_left > 0) {
        char* dst = buf.data();
        std::size_t dst_left = buf.size();
        const std::size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
        out.append(buf.data(), buf.size() - dst_left);
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    return ok;
}

bool ansi_to_utf8(const std::string& in, std::string& out)
{
    if (locale_is_utf8_or_plain()) {
        out = in;
        return true;
    }
    return iconv_convert("UTF-8", nl_langinfo(CODESET), in, out);
}

bool utf8_to_ansi(const std::string& in, std::string& out)
{
    if (locale_is_utf8_or_plain()) {
        out = in;
        return true;
    }
    return iconv_convert(nl_langinfo(CODESET), "UTF-8", in, out);
}

bool is_text_type(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---------------------------------------------------------------------------
// The store in memory

struct value_entry {
    std::string name; // as first written
    DWORD type = REG_NONE;
    std::string data; // texts as UTF-8 (with the NULs the writer gave), others raw
};

struct key_entry {
    std::string path;                           // as first created
    std::map<std::string, value_entry> values;  // by folded name
};

using store = std::map<std::string, key_entry>; // by folded path

// ---------------------------------------------------------------------------
// The file

std::string config_home()
{
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && x[0] == '/')
        return x;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else {
        struct passwd pw;
        struct passwd* found = nullptr;
        std::vector<char> buf(16384);
        if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty())
        home = ".";
    return home + "/.config";
}

void escape_into(std::string& out, const std::string& s)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case 0: out += "\\0"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted, escaped text starting at pos; pos ends after the closing quote.
bool unescape_at(const std::string& line, std::size_t& pos, std::string& out)
{
    out.clear();
    if (pos >= line.size() || line[pos] != '"')
        return false;
    ++pos;
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size())
            return false;
        c = line[pos++];
        switch (c) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case 'x': {
            if (pos + 2 > line.size())
                return false;
            const int h = hex_digit(line[pos]), l = hex_digit(line[pos + 1]);
            if (h < 0 || l < 0)
                return false;
            out += static_cast<char>(h * 16 + l);
            pos += 2;
            break;
        }
        default: return false;
        }
    }
    return false;
}

std::string serialize(const store& st)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = file_header;
    out += '\n';
    for (const auto& [folded, key] : st) {
        out += '\n';
        out += '[';
        out += key.path.empty() ? std::string(root_name) : std::string(root_name) + "\\" + key.path;
        out += "]\n";
        for (const auto& [vfold, v] : key.values) {
            escape_into(out, v.name);
            out += '=';
            if (v.type == REG_DWORD && v.data.size() == 4) {
                std::uint32_t d = 0;
                std::memcpy(&d, v.data.data(), 4);
                char buf[16];
                std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(d));
                out += "dword:";
                out += buf;
            } else if (v.type == REG_SZ) {
                out += "sz:";
                escape_into(out, v.data);
            } else if (v.type == REG_EXPAND_SZ) {
                out += "expand_sz:";
                escape_into(out, v.data);
            } else if (v.type == REG_MULTI_SZ) {
                out += "multi_sz:";
                escape_into(out, v.data);
            } else {
                out += "hex(" + std::to_string(v.type) + "):";
                for (std::size_t i = 0; i < v.data.size(); ++i) {
                    const auto c = static_cast<unsigned char>(v.data[i]);
                    if (i)
                        out += ',';
                    out += hex[c >> 4];
                    out += hex[c & 15];
                }
            }
            out += '\n';
        }
    }
    return out;
}

bool parse_value_line(const std::string& line, value_entry& v)
{
    std::size_t pos = 0;
    if (!unescape_at(line, pos, v.name) || pos >= line.size() || line[pos] != '=')
        return false;
    const std::string rest = line.substr(pos + 1);
    auto text_of = [&](const char* prefix, DWORD type) {
        const std::size_t n = std::strlen(prefix);
        if (rest.compare(0, n, prefix) != 0)
            return false;
        std::size_t p = n;
        if (!unescape_at(rest, p, v.data) || p != rest.size())
            return false;
        v.type = type;
        return true;
    };
    if (rest.rfind("dword:", 0) == 0) {
        if (rest.size() != 14)
            return false;
        std::uint32_t d = 0;
        for (std::size_t i = 6; i < 14; ++i) {
            const int h = hex_digit(rest[i]);
            if (h < 0)
                return false;
            d = d * 16 + static_cast<std::uint32_t>(h);
        }
        v.type = REG_DWORD;
        v.data.assign(reinterpret_cast<const char*>(&d), 4);
        return true;
    }
    if (rest.rfind("sz:", 0) == 0)
        return text_of("sz:", REG_SZ);
    if (rest.rfind("expand_sz:", 0) == 0)
        return text_of("expand_sz:", REG_EXPAND_SZ);
    if (rest.rfind("multi_sz:", 0) == 0)
        return text_of("multi_sz:", REG_MULTI_SZ);
    if (rest.rfind("hex(", 0) == 0) {
        const std::size_t close = rest.find("):");
        if (close == std::string::npos || close == 4)
            return false;
        unsigned long type = 0;
        for (std::size_t i = 4; i < close; ++i) {
            if (rest[i] < '0' || rest[i] > '9' || type > 0xFFFFFFFFul / 10)
                return false;
            type = type * 10 + static_cast<unsigned long>(rest[i] - '0');
        }
        if (type > 0xFFFFFFFFul)
            return false;
        v.type = static_cast<DWORD>(type);
        v.data.clear();
        std::size_t p = close + 2;
        while (p < rest.size()) {
            if (p + 2 > rest.size())
                return false;
            const int h = hex_digit(rest[p]), l = hex_digit(rest[p + 1]);
            if (h < 0 || l < 0)
                return false;
            v.data += static_cast<char>(h * 16 + l);
            p += 2;
            if (p < rest.size()) {
                if (rest[p] != ',' || p + 1 == rest.size())
                    return false;
                ++p;
            }
        }
        return true;
    }
    return false;
}

bool parse(const std::string& text, store& st)
{
    st.clear();
    std::size_t pos = 0;
    bool first = true;
    key_entry* current = nullptr;
    const std::string root_prefix = std::string(root_name) + "\\";
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            return false; // every line of a whole file ends with a line break
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (first) {
            if (line != file_header)
                return false;
            first = false;
            continue;
        }
        if (line.empty())
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return false;
            const std::string full = line.substr(1, line.size() - 2);
            std::string path;
            if (full == root_name)
                path.clear();
            else if (full.compare(0, root_prefix.size(), root_prefix) == 0)
                path = full.substr(root_prefix.size());
            else
                return false;
            key_entry& k = st[fold(path)];
            k.path = path;
            current = &k;
            continue;
        }
        value_entry v;
        if (current == nullptr || !parse_value_line(line, v))
            return false;
        current->values[fold(v.name)] = std::move(v);
    }
    return !first;
}

bool write_all(int fd, const char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

#ifdef DRAV_REGISTRY_FAULTS
// Crash points of the crash-safety tests, built into their test program only.
std::atomic<int> g_crash_point{0};
std::atomic<int> g_crash_code{0};

// Ends the process when the chosen point is reached; during the write, half the text is written first.
void crash_point(win_registry_crash point, int fd, const std::string& text)
{
    if (g_crash_point.load() != static_cast<int>(point))
        return;
    if (point == win_registry_crash::during_write)
        write_all(fd, text.data(), text.size() / 2);
    ::_exit(g_crash_code.load());
}
#else
void crash_point(win_registry_crash, int, const std::string&) {}
#endif

std::string parent_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// mkdir -p with private folders; existing folders are left as they are.
bool make_dirs(const std::string& dir)
{
    if (dir.empty() || dir == "/" || dir == ".")
        return true;
    struct stat sb;
    if (::stat(dir.c_str(), &sb) == 0)
        return S_ISDIR(sb.st_mode);
    if (!make_dirs(parent_of(dir)))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Reads the whole file; a missing file is an empty store.
LONG load(const std::string& file, store& st)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            st.clear();
            return ERROR_SUCCESS;
        }
        return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return ERROR_REGISTRY_IO_FAILED;
        }
        if (r == 0)
            break;
        text.append(buf, static_cast<std::size_t>(r));
    }
    ::close(fd);
    if (text.empty()) {
        st.clear();
        return ERROR_SUCCESS;
    }
    return parse(text, st) ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
}

// Replaces the file by a complete new one: a reader sees the old or the new content, never a mix.
LONG save(const std::string& file, const store& st)
{
    const std::string text = serialize(st);
    const std::string tmp = file + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
    bool ok = ::fchmod(fd, 0600) == 0;
    crash_point(win_registry_crash::during_write, fd, text);
    ok = ok && write_all(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(tmp.c_str());
        return ERROR_REGISTRY_IO_FAILED;
    }
    crash_point(win_registry_crash::before_rename, fd, text);
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return ERROR_REGISTRY_IO_FAILED;
    }
    const int dfd = ::open(parent_of(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return ERROR_SUCCESS;
}

// Holds the lock file exclusively: one writer at a time, across threads and processes.
class write_lock {
public:
    explicit write_lock(const std::string& file)
    {
        if (!make_dirs(parent_of(file)))
            return;
        fd_ = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            return;
        int r;
        do
            r = ::flock(fd_, LOCK_EX);
        while (r != 0 && errno == EINTR);
        if (r != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~write_lock()
    {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    write_lock(const write_lock&) = delete;
    write_lock& operator=(const write_lock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Reads under no lock (the file is only ever replaced whole), then runs f on the store.
template <class F>
LONG inspect(F&& f)
{
    store st;
    const LONG r = load(win_registry_file(), st);
    if (r != ERROR_SUCCESS)
        return r;
    return f(static_cast<const store&>(st));
}

// Read-modify-write under the lock; f returns its result and sets changed when the file must be
// rewritten.
template <class F>
LONG modify(F&& f)
{
    const std::string file = win_registry_file();
    write_lock lock(file);
    if (!lock.held())
        return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
    store st;
    LONG r = load(file, st);
    if (r != ERROR_SUCCESS)
        return r;
    bool changed = false;
    r = f(st, changed);
    if (r == ERROR_SUCCESS && changed)
        r = save(file, st);
    return r;
}

// ---------------------------------------------------------------------------
// Handles

std::mutex g_handles_mutex;
std::set<const win_reg_key*> g_handles;

bool is_root(HKEY k)
{
    const auto v = reinterpret_cast<std::uintptr_t>(k);
    return v >= 0x80000000u && v <= 0x80000006u;
}

// The key path an open handle or a root stands for; false for an unknown handle.
LONG path_of(HKEY k, std::string& path, REGSAM& access)
{
    if (k == HKEY_CURRENT_USER) {
        path.clear();
        access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (is_root(k))
        return ERROR_FILE_NOT_FOUND; // only the current user's keys are kept
    std::lock_guard<std::mutex> g(g_handles_mutex);
    if (k == nullptr || g_handles.count(k) == 0)
        return ERROR_INVALID_HANDLE;
    path = k->path;
    access = k->access;
    return ERROR_SUCCESS;
}

// Appends a relative sub key to a path; empty components are skipped.
LONG join(const std::string& base, const std::string& sub, std::string& out)
{
    out = base;
    std::size_t pos = 0;
    while (pos <= sub.size()) {
        std::size_t end = sub.find('\\', pos);
        if (end == std::string::npos)
            end = sub.size();
        const std::string part = sub.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty())
            continue;
        for (char c : part)
            if (c == '\n' || c == '\r' || c == '\0')
                return ERROR_BADKEY;
        if (part.size() > 255)
            return ERROR_BADKEY;
        if (!out.empty())
            out += '\\';
        out += part;
    }
    return ERROR_SUCCESS;
}

HKEY new_handle(const std::string& path, REGSAM access)
{
    auto* h = new win_reg_key{path, access};
    std::lock_guard<std::mutex> g(g_handles_mutex);
    g_handles.insert(h);
    return h;
}

bool key_exists(const store& st, const std::string& path)
{
    return path.empty() || st.count(fold(path)) != 0;
}

// Existing spelling of a key path (the first creator's case wins).
std::string stored_path(const store& st, const std::string& path)
{
    const auto it = st.find(fold(path));
    return it == st.end() ? path : it->second.path;
}

// Adds the key and any missing parent, each parent in the spelling it already has; true when the
// key itself was missing.
bool ensure_key(store& st, const std::string& path)
{
    if (path.empty())
        return false;
    bool created = false;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string::npos)
            end = path.size();
        const std::string partial = path.substr(0, end);
        pos = end + 1;
        const std::string f = fold(partial);
        if (st.count(f) != 0)
            continue;
        const std::size_t slash = partial.rfind('\\');
        st[f].path = slash == std::string::npos ? partial
                                                : stored_path(st, partial.substr(0, slash)) + partial.substr(slash);
        created = end == path.size();
    }
    return created;
}

LONG open_key(HKEY root, const std::string* sub, REGSAM access, PHKEY result)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base, path;
    REGSAM base_access = 0;
    LONG r = path_of(root, base, base_access);
    if (r != ERROR_SUCCESS)
        return r;
    r = join(base, sub ? *sub : std::string(), path);
    if (r != ERROR_SUCCESS)
        return r;
    std::string spelled;
    r = inspect([&](const store& st) -> LONG {
        if (!key_exists(st, path))
            return ERROR_FILE_NOT_FOUND;
        spelled = stored_path(st, path);
        return ERROR_SUCCESS;
    });
    if (r != ERROR_SUCCESS)
        return r;
    *result = new_handle(spelled, access);
    return ERROR_SUCCESS;
}

LONG create_key(HKEY root, const std::string* sub, REGSAM access, PHKEY result, DWORD* disposition)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base, path;
    REGSAM base_access = 0;
    LONG r = path_of(root, base, base_access);
    if (r == ERROR_FILE_NOT_FOUND && is_root(root))
        return ERROR_ACCESS_DENIED;
    if (r != ERROR_SUCCESS)
        return r;
    r = join(base, sub ? *sub : std::string(), path);
    if (r != ERROR_SUCCESS)
        return r;
    std::string spelled;
    DWORD disp = REG_OPENED_EXISTING_KEY;
    // Opening an existing key needs no rewrite (and no lock).
    r = inspect([&](const store& st) -> LONG {
        if (!key_exists(st, path))
            return ERROR_FILE_NOT_FOUND;
        spelled = stored_path(st, path);
        return ERROR_SUCCESS;
    });
    if (r == ERROR_FILE_NOT_FOUND) {
        r = modify([&](store& st, bool& changed) -> LONG {
            if (ensure_key(st, path))
                disp = REG_CREATED_NEW_KEY;
            changed = disp == REG_CREATED_NEW_KEY;
            spelled = stored_path(st, path);
            return ERROR_SUCCESS;
        });
    }
    if (r != ERROR_SUCCESS)
        return r;
    *result = new_handle(spelled, access);
    if (disposition)
        *disposition = disp;
    return ERROR_SUCCESS;
}

// Stored bytes as the caller receives them: texts in the caller's encoding, others raw.
LONG external_form(const value_entry& v, bool wide, std::string& out)
{
    if (!is_text_type(v.type)) {
        out = v.data;
        return ERROR_SUCCESS;
    }
    if (wide) {
        // Malformed bytes (only a hand-edited file has them) become U+FFFD.
        const std::wstring w = win_wide_from_utf8(v.data);
        out.assign(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(wchar_t));
        return ERROR_SUCCESS;
    }
    return utf8_to_ansi(v.data, out) ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION;
}

LONG find_value(const store& st, const std::string& path, const std::string& name, const value_entry*& v)
{
    const auto k = st.find(fold(path));
    if (k == st.end())
        return ERROR_FILE_NOT_FOUND;
    const auto it = k->second.values.find(fold(name));
    if (it == k->second.values.end())
        return ERROR_FILE_NOT_FOUND;
    v = &it->second;
    return ERROR_SUCCESS;
}

// Hands a value's bytes to the caller: the size alone, or the bytes when the buffer holds them.
LONG copy_out(const std::string& bytes, void* data, DWORD* size)
{
    if (size == nullptr)
        return ERROR_SUCCESS;
    if (bytes.size() > 0xFFFFFFFFu)
        return ERROR_REGISTRY_IO_FAILED;
    const auto needed = static_cast<DWORD>(bytes.size());
    if (data != nullptr && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && needed > 0)
        std::memcpy(data, bytes.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LONG query_value(HKEY key, const std::string& name, bool wide, DWORD* type, BYTE* data, DWORD* size)
{
    std::string path;
    REGSAM access = 0;
    LONG r = path_of(key, path, access);
    if (r != ERROR_SUCCESS)
        return r;
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!(access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    std::string bytes;
    DWORD vtype = REG_NONE;
    r = inspect([&](const store& st) -> LONG {
        const value_entry* v = nullptr;
        LONG rr = find_value(st, path, name, v);
        if (rr != ERROR_SUCCESS)
            return rr;
        vtype = v->type;
        return external_form(*v, wide, bytes);
    });
    if (r != ERROR_SUCCESS)
        return r;
    if (type)
        *type = vtype;
    return copy_out(bytes, data, size);
}

DWORD type_filter(DWORD type)
{
    switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
    }
}

LONG get_value(HKEY key, const std::string* sub, const std::string& name, bool wide, DWORD flags, DWORD* type,
               void* data, DWORD* size)
{
    if ((flags & RRF_RT_ANY) == 0 || (data != nullptr && size == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::string base, path;
    REGSAM access = 0;
    LONG r = path_of(key, base, access);
    if (r != ERROR_SUCCESS)
        return r;
    if (sub == nullptr && !(access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    r = join(base, sub ? *sub : std::string(), path);
    if (r != ERROR_SUCCESS)
        return r;
    std::string bytes;
    DWORD vtype = REG_NONE;
    r = inspect([&](const store& st) -> LONG {
        if (!key_exists(st, path))
            return ERROR_FILE_NOT_FOUND;
        const value_entry* v = nullptr;
        LONG rr = find_value(st, path, name, v);
        if (rr != ERROR_SUCCESS)
            return rr;
        vtype = v->type;
        if ((type_filter(v->type) & flags) == 0)
            return ERROR_UNSUPPORTED_TYPE;
        if (v->type == REG_DWORD && v->data.size() != 4)
            return ERROR_DATATYPE_MISMATCH;
        if (v->type == REG_QWORD && v->data.size() != 8)
            return ERROR_DATATYPE_MISMATCH;
        rr = external_form(*v, wide, bytes);
        if (rr != ERROR_SUCCESS)
            return rr;
        if (v->type == REG_SZ || v->type == REG_EXPAND_SZ) {
            // Cut at the first NUL, then end with exactly one.
            if (wide) {
                std::size_t n = bytes.size() / sizeof(wchar_t);
                const auto* w = reinterpret_cast<const wchar_t*>(bytes.data());
                std::wstring text(w, n);
                const std::size_t nul = text.find(L'\0');
                if (nul != std::wstring::npos)
                    text.resize(nul);
                text.push_back(L'\0');
                bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
            } else {
                const std::size_t nul = bytes.find('\0');
                if (nul != std::string::npos)
                    bytes.resize(nul);
                bytes.push_back('\0');
            }
        }
        return ERROR_SUCCESS;
    });
    if (r != ERROR_SUCCESS) {
        if (r == ERROR_UNSUPPORTED_TYPE && type)
            *type = vtype;
        return r;
    }
    if (type)
        *type = vtype;
    return copy_out(bytes, data, size);
}

LONG set_value(HKEY key, const std::string& name, DWORD type, const BYTE* data, DWORD size, bool wide)
{
    std::string path;
    REGSAM access = 0;
    LONG r = path_of(key, path, access);
    if (r == ERROR_FILE_NOT_FOUND && is_root(key))
        return ERROR_ACCESS_DENIED;
    if (r != ERROR_SUCCESS)
        return r;
    if (!(access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (data == nullptr && size > 0)
        return ERROR_INVALID_PARAMETER;
    std::string stored;
    if (size > 0)
        stored.assign(reinterpret_cast<const char*>(data), size);
    if (is_text_type(type)) {
        std::string utf8;
        if (wide) {
            const std::size_t n = stored.size() / sizeof(wchar_t);
            std::wstring w(n, L'\0');
            if (n)
                std::memcpy(w.data(), stored.data(), n * sizeof(wchar_t));
            if (!win_utf8_from_wide_strict(w, utf8))
                return ERROR_NO_UNICODE_TRANSLATION;
        } else if (!ansi_to_utf8(stored, utf8)) {
            return ERROR_NO_UNICODE_TRANSLATION;
        }
        stored = std::move(utf8);
    }
    return modify([&](store& st, bool& changed) -> LONG {
        // A key removed behind our back (file deleted) comes back with the value.
        changed = ensure_key(st, path);
        key_entry& ke = st[fold(path)];
        const std::string vf = fold(name);
        const auto it = ke.values.find(vf);
        if (it != ke.values.end() && it->second.type == type && it->second.data == stored)
            return ERROR_SUCCESS; // unchanged: no rewrite needed
        value_entry& v = ke.values[vf];
        if (it == ke.values.end())
            v.name = name;
        v.type = type;
        v.data = std::move(stored);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG delete_value(HKEY key, const std::string& name)
{
    std::string path;
    REGSAM access = 0;
    LONG r = path_of(key, path, access);
    if (r != ERROR_SUCCESS)
        return r;
    if (!(access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    return modify([&](store& st, bool& changed) -> LONG {
        auto k = st.find(fold(path));
        if (k == st.end())
            return ERROR_FILE_NOT_FOUND;
        if (k->second.values.erase(fold(name)) == 0)
            return ERROR_FILE_NOT_FOUND;
        changed = true;
        return ERROR_SUCCESS;
    });
}

// Names from the W calls; false when a name is not valid Unicode.
bool name_from_wide(const wchar_t* s, std::string& out)
{
    if (s == nullptr) {
        out.clear();
        return true;
    }
    return win_utf8_from_wide_strict(s, out);
}

bool name_from_ansi(const char* s, std::string& out)
{
    if (s == nullptr) {
        out.clear();
        return true;
    }
    return ansi_to_utf8(s, out);
}

} // namespace

std::string win_registry_file()
{
    if (const char* f = std::getenv("DRAV_REGISTRY_FILE"); f && *f)
        return f;
    return config_home() + "/drav/registry";
}

#ifdef DRAV_REGISTRY_FAULTS
void win_registry_crash_at(win_registry_crash point, int exit_code)
{
    g_crash_code.store(exit_code);
    g_crash_point.store(static_cast<int>(point));
}
#endif

LONG RegOpenKeyExA(HKEY root, const char* sub_key, DWORD, REGSAM access, PHKEY result)
{
    std::string sub;
    if (!name_from_ansi(sub_key, sub))
        return ERROR_NO_UNICODE_TRANSLATION;
    return open_key(root, &sub, access, result);
}

LONG RegOpenKeyExW(HKEY root, const wchar_t* sub_key, DWORD, REGSAM access, PHKEY result)
{
    std::string sub;
    if (!name_from_wide(sub_key, sub))
        return ERROR_NO_UNICODE_TRANSLATION;
    return open_key(root, &sub, access, result);
}

LONG RegCreateKeyExA(HKEY root, const char* sub_key, DWORD, char*, DWORD, REGSAM access, const void*, PHKEY result,
                     DWORD* disposition)
{
    std::string sub;
    if (!name_from_ansi(sub_key, sub))
        return ERROR_NO_UNICODE_TRANSLATION;
    return create_key(root, &sub, access, result, disposition);
}

LONG RegCreateKeyExW(HKEY root, const wchar_t* sub_key, DWORD, wchar_t*, DWORD, REGSAM access, const void*,
                     PHKEY result, DWORD* disposition)
{
    std::string sub;
    if (!name_from_wide(sub_key, sub))
        return ERROR_NO_UNICODE_TRANSLATION;
    return create_key(root, &sub, access, result, disposition);
}

LONG RegCloseKey(HKEY key)
{
    if (is_root(key))
        return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> g(g_handles_mutex);
        if (key == nullptr || g_handles.erase(key) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size)
{
    std::string n;
    if (!name_from_ansi(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return query_value(key, n, false, type, data, size);
}

LONG RegQueryValueExW(HKEY key, const wchar_t* name, DWORD*, DWORD* type, BYTE* data, DWORD* size)
{
    std::string n;
    if (!name_from_wide(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return query_value(key, n, true, type, data, size);
}

LONG RegGetValueA(HKEY key, const char* sub_key, const char* name, DWORD flags, DWORD* type, void* data,
                  DWORD* size)
{
    std::string sub, n;
    if (!name_from_ansi(sub_key, sub) || !name_from_ansi(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return get_value(key, sub_key ? &sub : nullptr, n, false, flags, type, data, size);
}

LONG RegGetValueW(HKEY key, const wchar_t* sub_key, const wchar_t* name, DWORD flags, DWORD* type, void* data,
                  DWORD* size)
{
    std::string sub, n;
    if (!name_from_wide(sub_key, sub) || !name_from_wide(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return get_value(key, sub_key ? &sub : nullptr, n, true, flags, type, data, size);
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data, DWORD size)
{
    std::string n;
    if (!name_from_ansi(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return set_value(key, n, type, data, size, false);
}

LONG RegSetValueExW(HKEY key, const wchar_t* name, DWORD, DWORD type, const BYTE* data, DWORD size)
{
    std::string n;
    if (!name_from_wide(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return set_value(key, n, type, data, size, true);
}

LONG RegDeleteValueA(HKEY key, const char* name)
{
    std::string n;
    if (!name_from_ansi(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return delete_value(key, n);
}

LONG RegDeleteValueW(HKEY key, const wchar_t* name)
{
    std::string n;
    if (!name_from_wide(name, n))
        return ERROR_NO_UNICODE_TRANSLATION;
    return delete_value(key, n);
}

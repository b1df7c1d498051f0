#include "UDB/udb_prof.h"

#include <filesystem>
#include <fstream>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "TK/tk_excep.h"
#include "TK/tk_file.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

// Most entries are stored as a plain line "key=value" (or, in the list of
// selected tables, the bare key when the value is empty). An entry that a
// plain line cannot carry unchanged (line breaks, "=" in the key, blanks
// the reader would trim, a line that would read as a section header) is
// written as an escaped line: a backslash, then the key and value with
// "\\", "\r", "\n", "\=" and "\s" (a blank) standing for those characters.

namespace {

const std::wstring k_selected_tables = udb_profile::selected_tables;

std::wstring trim_blanks(const std::wstring& s)
{
    const std::size_t b = s.find_first_not_of(L' ');
    if (b == std::wstring::npos)
        return std::wstring();
    const std::size_t e = s.find_last_not_of(L' ');
    return s.substr(b, e - b + 1);
}

bool is_header(const std::wstring& line)
{
    return line.size() >= 2 && line.front() == L'[' && line.back() == L']';
}

// A header of one of the sections every stored profile has (any letter case).
bool is_profile_header(const std::wstring& line)
{
    const std::wstring name = line.substr(1, line.size() - 2);
    for (const wchar_t* known : {udb_profile::generic_settings, udb_profile::selected_tables,
                                 udb_profile::available_queries, udb_profile::selected_views})
        if (tk_iequal(name, known))
            return true;
    return false;
}

using entry = std::pair<std::wstring, std::wstring>;

entry parse_plain(const std::wstring& line)
{
    const std::size_t eq = line.find(L'=');
    if (eq == std::wstring::npos)
        return {line, std::wstring()};
    return {line.substr(0, eq), line.substr(eq + 1)};
}

entry parse_escaped(const std::wstring& line)
{
    entry e;
    std::wstring* out = &e.first;
    for (std::size_t i = 1; i < line.size(); ++i) {
        const wchar_t c = line[i];
        if (c == L'\\' && i + 1 < line.size()) {
            const wchar_t n = line[++i];
            switch (n) {
            case L'r': *out += L'\r'; break;
            case L'n': *out += L'\n'; break;
            case L's': *out += L' '; break;
            case L'\\': *out += L'\\'; break;
            case L'=': *out += L'='; break;
            default: *out += L'\\'; *out += n; break;
            }
        } else if (c == L'=' && out == &e.first) {
            out = &e.second;
        } else {
            *out += c;
        }
    }
    return e;
}

std::wstring escape(const std::wstring& s, bool is_key, bool last)
{
    std::size_t keep_end = s.size();
    if (last)
        while (keep_end > 0 && s[keep_end - 1] == L' ')
            --keep_end;
    std::wstring r;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const wchar_t c = s[i];
        if (i >= keep_end) {
            r += L"\\s";
            continue;
        }
        switch (c) {
        case L'\\': r += L"\\\\"; break;
        case L'\r': r += L"\\r"; break;
        case L'\n': r += L"\\n"; break;
        case L'=':
            r += is_key ? L"\\=" : L"=";
            break;
        default: r += c;
        }
    }
    return r;
}

// The line that stores one entry.
std::wstring entry_line(const std::wstring& section_name, const std::wstring& key,
                        const std::wstring& value)
{
    const bool bare = value.empty() && section_name == k_selected_tables;
    const std::wstring plain = bare ? key : key + L"=" + value;
    const bool safe = plain.find_first_of(L"\r\n") == std::wstring::npos &&
                      !plain.empty() && plain.front() != L'\\' && trim_blanks(plain) == plain &&
                      !is_header(plain) && parse_plain(plain) == entry(key, value);
    if (safe)
        return plain;
    if (bare)
        return L"\\" + escape(key, true, true);
    return L"\\" + escape(key, true, false) + L"=" + escape(value, false, true);
}

} // namespace

udb_profile::udb_profile()
{
    add_section(available_queries);
    add_section(selected_tables);
    add_section(selected_views);
    add_section(generic_settings);
}

void udb_profile::add_section(const std::wstring& name)
{
    sections.try_emplace(name);
}

void udb_profile::add_value(const std::wstring& section_name, const std::wstring& key,
                            const std::wstring& value)
{
    sections[section_name].emplace_back(key, value);
}

const udb_profile::section* udb_profile::find_section(const std::wstring& name) const
{
    const auto it = sections.find(name);
    return it == sections.end() ? nullptr : &it->second;
}

std::wstring udb_profile::get_value(const std::wstring& section_name, const std::wstring& key) const
{
    if (const section* s = find_section(section_name))
        for (const auto& [k, v] : *s)
            if (k == key)
                return v;
    return std::wstring();
}

bool udb_profile::has_value(const std::wstring& section_name, const std::wstring& key) const
{
    if (const section* s = find_section(section_name))
        for (const auto& kv : *s)
            if (kv.first == key)
                return true;
    return false;
}

void udb_profile::load(const std::wstring& path)
{
    static const char* const not_profile = "The file '%s' is not a settings profile.";
    tk_log_write_w(2, L"udb_profile::load(%ls)", path.c_str());
    const std::string narrow = tk_to_string(path, -1);
    std::error_code ec;
    const std::filesystem::path p(narrow);
    if (!std::filesystem::exists(p, ec) || std::filesystem::is_directory(p, ec))
        throw tk_exception("Profile does not exist. Please verify the correct path/name was given.", 1);
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw tk_exception("Cannot open the profile file '%s'.", narrow.c_str(), 1);

    section* current = nullptr;
    std::string raw;
    bool first = true;
    bool known = false;
    while (std::getline(in, raw)) {
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        if (first && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
            raw.erase(0, 3);
        first = false;
        std::wstring text;
        try {
            text = tk_utf8_to_wstring(raw);
        } catch (const std::exception&) {
            // Bytes that are no text before any profile section: some other kind of file.
            if (!known)
                throw tk_exception(not_profile, narrow.c_str(), 1);
            throw;
        }
        const std::wstring line = trim_blanks(text);
        if (line.empty())
            continue;
        if (is_header(line)) {
            known = known || is_profile_header(line);
            current = &sections[line.substr(1, line.size() - 2)];
            continue;
        }
        if (!current)
            continue;
        current->push_back(line.front() == L'\\' ? parse_escaped(line) : parse_plain(line));
    }
    if (in.bad())
        throw tk_exception("Cannot read the profile file '%s'.", narrow.c_str(), 1);
    // Any other file (a database given by mistake, say) would run on the settings held before.
    if (!known)
        throw tk_exception(not_profile, narrow.c_str(), 1);
}

void udb_profile::store(const std::wstring& path) const
{
    tk_log_write(2, "udb_profile::store)");
    std::string text;
    for (const auto& [name, pairs] : sections) {
        text += tk_to_utf8(L"[" + name + L"]");
        text += "\r\n";
        for (const auto& [key, value] : pairs) {
            text += tk_to_utf8(entry_line(name, key, value));
            text += "\r\n";
        }
        text += "\r\n";
    }
    const std::string narrow = tk_to_string(path, -1);
    // The profile holds the server password: only its owner may read it, also when an
    // older file of wider rights is overwritten.
    const int fd = ::open(narrow.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0 && tk_write_all(fd, text.data(), text.size());
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    if (!ok) {
        tk_log_write(3, "Cannot store the profile to '%s'", narrow.c_str());
        throw tk_exception("Cannot store the profile file '%s'.", narrow.c_str(), 1);
    }
}

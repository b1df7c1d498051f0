#include "common/acc_paths.h"

#include <sys/stat.h>

#include <filesystem>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

namespace {

namespace fs = std::filesystem;

// How far a chain of links is followed, as the system itself follows one.
constexpr int max_link_hops = 40;

// A file as the system knows it: one that is there by device and inode, one not there yet by
// the absolute name it would be made at.
struct file_key {
    bool found = false;
    bool keeps_nothing = false;   // a character device
    dev_t dev = 0;
    ino_t ino = 0;
    std::string where;
};

bool is_written(path_role role)
{
    return role == path_role::script || role == path_role::log;
}

const wchar_t* role_name(path_role role)
{
    switch (role) {
    case path_role::source: return L"MS Access database";
    case path_role::workgroup: return L"workgroup information file";
    case path_role::profile: return L"profile";
    case path_role::table_list: return L"table names file";
    case path_role::script: return L"T-SQL script file";
    case path_role::log: return L"log file";
    }
    return L"file";
}

// The name a chain of links ends at (a link that names nothing yet makes the file there).
fs::path end_of_links(fs::path p)
{
    std::error_code ec;
    for (int hops = 0; hops < max_link_hops && fs::is_symlink(p, ec); ++hops) {
        const fs::path target = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return p;
}

file_key key_of(const role_path& file)
{
    file_key key;
    // Paths go to the file system as UTF-8, whatever the locale, unless the file says otherwise.
    const std::string name = file.opened_as.empty() ? tk_to_utf8(file.path) : file.opened_as;
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0) {
        key.found = true;
        key.keeps_nothing = S_ISCHR(st.st_mode);
        key.dev = st.st_dev;
        key.ino = st.st_ino;
        return key;
    }
    std::error_code ec;
    const fs::path at = end_of_links(fs::absolute(fs::path(name), ec));
    const fs::path resolved = fs::weakly_canonical(at, ec);
    key.where = (ec ? at.lexically_normal() : resolved).string();
    return key;
}

bool same_file(const file_key& a, const file_key& b)
{
    if (a.found != b.found)
        return false;
    if (a.found)
        return !a.keeps_nothing && a.dev == b.dev && a.ino == b.ino;
    return a.where == b.where;
}

} // namespace

std::optional<path_clash> find_path_clash(const std::vector<role_path>& paths)
{
    std::vector<file_key> keys;
    keys.reserve(paths.size());
    for (const role_path& p : paths)
        keys.push_back(key_of(p));
    for (std::size_t j = 0; j < paths.size(); ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            if (paths[i].path.empty() || paths[j].path.empty())
                continue;
            if (!is_written(paths[i].role) && !is_written(paths[j].role))
                continue;   // two readers of one file harm nothing
            if (!same_file(keys[i], keys[j]))
                continue;
            // The written one second: it is the one to rename.
            if (is_written(paths[j].role))
                return path_clash{paths[i], paths[j]};
            return path_clash{paths[j], paths[i]};
        }
    }
    return std::nullopt;
}

std::wstring path_clash_text(const path_clash& clash)
{
    const std::wstring written = role_name(clash.second.role), other = role_name(clash.first.role);
    std::wstring text = L"The " + written;
    if (clash.first.path == clash.second.path)
        text += L" and the " + other + L" are one file: '" + clash.second.path + L"'.";
    else
        text += L" '" + clash.second.path + L"' and the " + other + L" '" + clash.first.path + L"' are one file.";
    return text + L"\nGive the " + written + L" another name: writing it would destroy the " + other + L".";
}

void check_path_roles(const std::vector<role_path>& paths)
{
    const std::optional<path_clash> clash = find_path_clash(paths);
    if (!clash)
        return;
    const std::wstring text = path_clash_text(*clash);
    tk_log_write_w(2, L"Refused: %ls", text.c_str());
    throw tk_exception(text, 1);
}

// The files one run reads and writes, and the rule that no file is two of them where one writes.
#pragma once
#include <optional>
#include <string>
#include <vector>

// What a file is to a run: the first four are read, the last two written.
enum class path_role { source, workgroup, profile, table_list, script, log };

// A file of the run under the name the user gave it. Most files are opened at the UTF-8 of that
// name; one kept in the locale's encoding (the log, a profile, a table names file) carries the bytes
// it is opened at, so that it is compared as the file it really is.
struct role_path {
    path_role role;
    std::wstring path;
    std::string opened_as = {};
};

// Two roles that name one file, at least one of them a file the run writes (the second).
struct path_clash {
    role_path first;
    role_path second;
};

// The first two entries that name one file where at least one of them is written. Files are
// compared as the system knows them (device and inode, links followed), so every spelling of
// a file is that file: relative or absolute, "./" or "..", a symbolic or a hard link. A name
// that nothing is at yet is compared by the folder it would be made in (links followed) and
// its own name. A character device (/dev/null, a terminal) keeps nothing: it may take any
// number of roles.
std::optional<path_clash> find_path_clash(const std::vector<role_path>& paths);

// The user's words for a clash: both roles and the file.
std::wstring path_clash_text(const path_clash& clash);

// Raises a level-1 tk_exception with that text when the list holds a clash.
void check_path_roles(const std::vector<role_path>& paths);

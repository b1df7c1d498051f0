// The shell's file dialogs and the file-name helpers of the file selection page.
#pragma once
#include <string>

#include "TK/tk_fname.h"

class ui_window;

// Common part of the open and save dialogs: owner, filter, title and the initial path split
// into the proposed name and the initial folder (without a folder: the last one used).
class file_dialog {
public:
    // filter: pairs of description and pattern, each ending in a zero character.
    file_dialog(ui_window* owner, const std::wstring& filter, const std::wstring& title,
                const std::wstring& initial_path);
    virtual ~file_dialog() = default;

    // True when the user chose a file.
    virtual bool run() = 0;
    // The chosen path.
    const std::wstring& file_name() const { return m_file; }

    static constexpr std::size_t max_path = 260;

protected:
    bool show(bool save);

    ui_window* m_owner;
    std::wstring m_filter;
    std::wstring m_title;
    std::wstring m_file;
    std::wstring m_initial_dir;
};

// Chooses an existing file.
class open_file_dialog : public file_dialog {
public:
    using file_dialog::file_dialog;
    bool run() override;
};

// Chooses a file to write; the default extension is appended when the chosen name lacks it.
class save_file_dialog : public file_dialog {
public:
    // An empty extension is an internal error.
    save_file_dialog(ui_window* owner, const std::wstring& filter, const std::wstring& title,
                     const std::wstring& initial_path, const std::wstring& default_ext);
    bool run() override;
    const std::wstring& default_ext() const { return m_ext; }

private:
    std::wstring m_ext;   // always with its leading "."
};

// A path split into its parts, with the helpers the file selection page uses.
class gui_file_name : public tk_file_wname {
public:
    // An empty path stands for the program's own path.
    explicit gui_file_name(const std::wstring& path);
    // "" clears the extension; a missing leading "." is added.
    void set_extension(const std::wstring& extension);
    // Drive, directory, name and extension joined (at most 260 characters).
    std::wstring make_path() const;
};

// keep: the name as it is; otherwise the name with the extension in the folder of the base
// path, or in the user's home folder when the base has no folder (the program's own folder
// is no place to write into).
std::wstring gui_default_path(bool keep, const std::wstring& name, const std::wstring& base,
                              const std::wstring& extension);

// True when the path names its folder (a bare name lies in no folder the user chose).
bool gui_has_folder(const std::wstring& path);
// The user's home folder, with a trailing "/".
std::wstring gui_home_folder();
// The folder of the file chosen last in a file dialog of this process, else the home folder.
std::wstring gui_last_folder();

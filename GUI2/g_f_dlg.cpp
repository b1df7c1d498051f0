#include "GUI2/g_f_dlg.h"

#include <QDir>
#include <mutex>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/ui/ui_misc.h"

namespace {

std::mutex& last_folder_lock()
{
    static std::mutex m;
    return m;
}

std::wstring& last_folder_value()
{
    static std::wstring folder;
    return folder;
}

} // namespace

std::wstring gui_home_folder()
{
    std::wstring home = QDir::homePath().toStdWString();
    if (home.empty() || home.back() != L'/')
        home += L'/';
    return home;
}

bool gui_has_folder(const std::wstring& path)
{
    return path.find(L'/') != std::wstring::npos;
}

std::wstring gui_last_folder()
{
    std::lock_guard<std::mutex> g(last_folder_lock());
    return last_folder_value().empty() ? gui_home_folder() : last_folder_value();
}

file_dialog::file_dialog(ui_window* owner, const std::wstring& filter, const std::wstring& title,
                         const std::wstring& initial_path)
    : m_owner(owner), m_filter(filter), m_title(title)
{
    if (!initial_path.empty()) {
        tk_file_wname parts(initial_path);
        m_file = parts.name;
        if (gui_has_folder(initial_path))
            m_initial_dir = parts.drive + parts.dir;
    }
    // A name without a folder, or none: where the user chose a file last, else the home folder.
    if (m_initial_dir.empty())
        m_initial_dir = gui_last_folder();
    if (m_file.size() >= max_path)
        m_file.resize(max_path - 1);
}

bool file_dialog::show(bool save)
{
    std::string narrow_dir;
    if (!tk_unicode_to_ansi3(m_initial_dir.c_str(), narrow_dir))
        return false;
    tk_temp_chdir cd(narrow_dir);
    ui_file_request request;
    request.save = save;
    request.filter = m_filter;
    request.title = m_title;
    request.initial_dir = m_initial_dir;
    request.file = m_file;
    request.must_exist = !save;
    if (!ui_get_file_name(request))
        return false;
    m_file = request.file;
    const std::wstring folder = tk_file_wname(m_file).folder();
    if (!folder.empty()) {
        std::lock_guard<std::mutex> g(last_folder_lock());
        last_folder_value() = folder;
    }
    return true;
}

bool open_file_dialog::run()
{
    return show(false);
}

save_file_dialog::save_file_dialog(ui_window* owner, const std::wstring& filter, const std::wstring& title,
                                   const std::wstring& initial_path, const std::wstring& default_ext)
    : file_dialog(owner, filter, title, initial_path)
{
    if (default_ext.empty())
        throw tk_mail_assertion("g_f_dlg", 111);
    m_ext = default_ext[0] == L'.' ? default_ext : L"." + default_ext;
}

bool save_file_dialog::run()
{
    if (!show(true))
        return false;
    if (m_file.find(m_ext) == std::wstring::npos)
        m_file += m_ext;
    return true;
}

gui_file_name::gui_file_name(const std::wstring& path)
    : tk_file_wname(path.empty() ? tk_get_module_path_w() : path)
{
}

void gui_file_name::set_extension(const std::wstring& extension)
{
    if (extension.empty())
        ext.clear();
    else if (extension[0] != L'.')
        ext = L"." + extension;
    else
        ext = extension;
}

std::wstring gui_file_name::make_path() const
{
    std::wstring p = drive + dir + name + ext;
    if (p.size() > file_dialog::max_path)
        throw tk_exception("The path is too long.", 1);
    return p;
}

std::wstring gui_default_path(bool keep, const std::wstring& name, const std::wstring& base,
                              const std::wstring& extension)
{
    if (keep)
        return name;
    gui_file_name result(base);
    if (!gui_has_folder(base)) {
        result.drive.clear();
        result.dir = gui_home_folder();
    }
    result.name = name;
    result.set_extension(extension);
    return result.make_path();
}

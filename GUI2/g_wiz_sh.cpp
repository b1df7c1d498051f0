#include "GUI2/g_wiz_sh.h"

#include <QApplication>
#include <QStyle>
#include <QWidget>
#include <QtGlobal>
#include <cstdlib>

#include "GUI2/g_res.h"
#include "GUI2/g_sys.h"
#include "TK/tk_errh.h"
#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_signal.h"
#include "TK/tk_utils.h"
#include "platform/ui/ui_misc.h"
#include "platform/ui/ui_window.h"

wizard_shell::wizard_shell(const std::wstring& title, int icon_id, int watermark_id, int header_id)
    : ui_property_sheet(title), m_title(title), m_icon_id(icon_id), m_watermark_id(watermark_id),
      m_header_id(header_id)
{
    gui_load_resources();
    tk_log_write_w(1, L"wizard_shell::ctor(%ls)", title.c_str());
}

wizard_shell::~wizard_shell()
{
    tk_log_write(1, "wizard_shell::dtor");
    kill_timer();
    destroy();
    clear_errors();
}

void wizard_shell::initialize_if()
{
    tk_log_write(1, "wizard_shell::initialize_if");
    if (m_initialized.load())
        return;
    set_title(m_title);
    if (QWidget* w = window())
        w->setWindowIcon(w->style()->standardIcon(QStyle::SP_DriveHDIcon));
    center();
    ui_property_sheet::start_timer(wizard_signal_timer_id, 200);
    m_initialized.store(true);
}

bool wizard_shell::is_initialized()
{
    wizard_shell* s = get();
    return s && s->m_initialized.load();
}

std::wstring wizard_shell::caption(const wchar_t* kind) const
{
    if (m_initialized.load())
        return m_title + L" " + kind;
    return kind;
}

void wizard_shell::error(const std::wstring& text)
{
    error_box(text);
    tk_log_write_w(3, L"%ls", text.c_str());
}

void wizard_shell::error_box(const std::wstring& text)
{
    ui_message_box(text, caption(L"Error"), MB_OK | MB_ICONERROR);
}

void wizard_shell::error_narrow(const std::string& text)
{
    error(tk_ansi_text_to_wstring(text));
}

void wizard_shell::message(const std::wstring& text)
{
    ui_message_box(text, caption(L"Message"), MB_OK | MB_ICONINFORMATION);
    tk_log_write_w(3, L"%ls", text.c_str());
}

bool wizard_shell::question(const std::wstring& text, unsigned extra_flags)
{
    return ui_message_box(text, caption(L"Question"), MB_YESNO | MB_ICONQUESTION | extra_flags) == IDYES;
}

void wizard_shell::start_timer(int milliseconds)
{
    if (m_timer_running.load())
        throw tk_mail_assertion("g_wiz_sh", 281);
    if (!ui_property_sheet::start_timer(wizard_timer_id, milliseconds))
        throw tk_mail_assertion("g_wiz_sh", 289);
    m_timer_running.store(true);
}

void wizard_shell::kill_timer()
{
    if (m_timer_running.exchange(false))
        ui_property_sheet::kill_timer(wizard_timer_id);
}

void wizard_shell::on_timer(int timer_id)
{
    if (timer_id == wizard_signal_timer_id) {
        // A stop signal closes the wizard once no conversion runs (a running one stops first).
        if (const int signal = tk_stop_signal(); signal && !is_timer_running()) {
            tk_log_write(3, "Stopped by signal %d", signal);
            end(128 + signal);
        }
        return;
    }
    // The conversion timer goes to the page that is showing.
    if (timer_id == wizard_timer_id && m_current)
        m_current->on_timer(timer_id);
    else if (timer_id != wizard_timer_id)
        ui_property_sheet::on_timer(timer_id);
}

void wizard_shell::remove_page(ui_page* page)
{
    if (m_current == page)
        m_current = nullptr;
    ui_property_sheet::remove_page(page);
}

std::wstring wizard_shell::help_file()
{
    tk_file_wname name(tk_get_module_path_w());
    return name.folder() + name.name + L".chm";
}

bool wizard_shell::open_help(int context_id)
{
    const std::wstring file = help_file();
    if (!tk_is_file_exist2(file, tk_exist_file)) {
        tk_log_write_w(1, L"No help file '%ls'", file.c_str());
        return false;
    }
    if (!ui_open_help(file, context_id))
        tk_log_write_w(3, L"No viewer opened the help file '%ls'", file.c_str());
    return true;
}

void wizard_shell::help(int context_id)
{
    // The program is installed without a help file: say that once per request, plainly.
    if (!open_help(context_id))
        message(L"Help file does not exist.");
}

void wizard_shell::display_help(int context_id)
{
    tk_log_write(1, "wizard_shell::display_help(%d)", context_id);
    help(context_id);
}

void wizard_shell::display_help()
{
    tk_log_write(1, "wizard_shell::display_help()");
    help(0);
}

void wizard_shell::offer_help(int context_id)
{
    tk_log_write(1, "wizard_shell::offer_help(%d)", context_id);
    open_help(context_id);
}

bool wizard_shell::add_error(const std::string& message)
{
    std::lock_guard<std::mutex> g(m_errors_lock);
    if (m_errors.size() >= max_errors)
        return false;
    m_errors.push_back(message);
    return true;
}

std::vector<std::string> wizard_shell::errors() const
{
    std::lock_guard<std::mutex> g(m_errors_lock);
    return m_errors;
}

void wizard_shell::clear_errors()
{
    std::lock_guard<std::mutex> g(m_errors_lock);
    m_errors.clear();
}

void gui_initialize()
{
    gui_connect_window_log();
    tk_log_write(1, "gui_initialize");
    // The widget library takes the place of the common controls: its run-time version decides.
    unsigned major = 0, minor = 0;
    {
        const QString v = QString::fromLatin1(qVersion());
        const QStringList parts = v.split(QLatin1Char('.'));
        major = parts.size() > 0 ? parts[0].toUInt() : 0;
        minor = parts.size() > 1 ? parts[1].toUInt() : 0;
    }
    const unsigned version = (major << 16) | minor;
    tk_log_write(1, "Qt widgets version=%X", version);
    if (version < 0x60000) {
        ui_message_box(L"Incorrect version of the Qt widget library. Qt 6\nor later is required to proceed "
                       L"with the application.",
                       L"Error", MB_OK | MB_ICONERROR);
        std::exit(-1);
    }
    tk_log_write(1, "gui_initialize - Step #1");
    if (!QCoreApplication::instance() || !qobject_cast<QApplication*>(QCoreApplication::instance())) {
        tk_log_write(3, "Failed to initialize GUI library");
        std::exit(-1);
    }
    tk_log_write(1, "gui_initialize - Step #2");
    tk_log_write(1, "gui_initialize - end");
}

void wizard_shell::on_error(const std::exception& e)
{
    gui_report_escaped(e);
}

void gui_report_escaped(const std::exception& e)
{
    if (dynamic_cast<const tk_final_exception*>(&e))
        return;
    if (const auto* te = dynamic_cast<const tk_exception*>(&e)) {
        if (error_handler* h = error_handler::get()) {
            try {
                h->handle(*te, true);
            } catch (const std::exception&) {
                // handle() as final raises nothing; nothing may leave a window handler.
            }
            return;
        }
    }
    tk_log_write(3, "ERROR:\n%s", e.what());
    if (wizard_shell* s = wizard_shell::get())
        s->error_narrow(e.what());
}

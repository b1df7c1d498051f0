#include "wizard/qel_shel.h"

#include <QApplication>
#include <QLabel>
#include <QStyle>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "GUI2/g_err.h"
#include "GUI2/g_f_dlg.h"
#include "GUI2/g_res.h"
#include "GUI2/g_url.h"
#include "MSS/odb_exce.h"
#include "TK/tk_errco.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "dao/dao_engi.h"
#include "platform/com/combase.h"
#include "platform/win/winbase.h"

const wchar_t* const qel_success_text =
    L"Wizard has migrated your MS Access database to\nMS SQL server successfully.\n\nClick 'Finish' to exit the "
    L"wizard.";
const wchar_t* const qel_error_text =
    L"There were some errors while converting the database.\nClick 'Finish' to exit the wizard.";
const wchar_t* const qel_cancel_text =
    L"The conversion was cancelled before it was complete: the destination\nholds only part of the database.\n\n"
    L"Click 'Finish' to exit the wizard.";
const wchar_t* const qel_script_success_text =
    L"Wizard has written your MS Access database into\na T-SQL script successfully.\n\nClick 'Finish' to exit "
    L"the wizard.";
const wchar_t* const qel_script_cancel_text =
    L"The conversion was cancelled before it was complete.\n\nClick 'Finish' to exit the wizard.";
const wchar_t* const qel_no_tables_question = L"There are no tables selected. Continue anyway?";

namespace {

dravlen_convertor& conv(const char* file, int line)
{
    if (dravlen_convertor* c = dravlen_convertor::get())
        return *c;
    throw tk_mail_assertion(file, line);
}

// The SQL Server error texts shown in place of the provider's own.
std::string sql_error_text(const tk_exception& e)
{
    static const tk_error_converter texts(tk_sql_error_count, tk_sql_error_table);
    std::string text = texts.convert(e.code());
    return text.empty() ? std::string(e.what()) : text;
}

// What a failed Windows authentication needs on this system.
const char* const kerberos_hint =
    "\n\nWindows authentication on Linux needs a Kerberos ticket for the server (see kinit),\n"
    "or choose SQL Server authentication.";

// The Access engine's "Not a valid password." (3031) as the file selection page sees it.
constexpr std::int32_t bad_password = 0x10000 | 3031;
// The provider's refused login ("Invalid user name or password.").
constexpr std::int32_t login_refused = 0x80E4D;

// The header of a step counted on the road the converter takes: the server road has no
// Access security page (step 2 of the script road), so it has four steps.
std::wstring step_title(int script_step)
{
    const bool direct = dravlen_convertor::ref().direct;
    const int step = direct && script_step > 2 ? script_step - 1 : script_step;
    return L"Step " + std::to_wstring(step) + (direct ? L" of 4" : L" of 5");
}

std::string narrow(const std::wstring& text)
{
    std::string out;
    if (!tk_unicode_to_ansi3(text.c_str(), out))
        out.clear();
    return out;
}

// The refusal of a log name that the locale's encoding cannot write (the log is opened at its
// name in that encoding); empty when it can.
std::wstring unwritable_log_text(const std::wstring& log)
{
    std::string bytes;
    if (log.empty() || tk_unicode_to_ansi3(log.c_str(), bytes))
        return std::wstring();
    return L"The log file name '" + log + L"' cannot be written in this system's encoding.\nGive the log file "
           L"another name.";
}

// A file-dialog filter list written as one literal: its characters up to the literal's end,
// the zero characters between the parts included.
template <std::size_t N>
std::wstring zero_list(const wchar_t (&text)[N])
{
    return std::wstring(text, N - 1);
}

std::wstring file_part(const std::wstring& path)
{
    return tk_file_wname(path).name;
}

// The script for a name: its own folder and name with ".sql"; a name without a folder goes
// beside the source, or into the home folder when the source has none either.
std::wstring script_path(const std::wstring& name, const std::wstring& source)
{
    return gui_default_path(false, file_part(name), gui_has_folder(name) ? name : source, L"sql");
}

// The file a script at the path would overwrite, as the question names it: the path, and for a
// link the file it names. Empty when there is none: nothing there, a link that names nothing yet
// (the script is made through it), a pipe or a device (written into, nothing overwritten).
std::wstring file_overwritten(const std::wstring& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path p(tk_to_utf8(path));
    if (!fs::is_regular_file(p, ec))
        return std::wstring();
    if (!fs::is_symlink(p, ec))
        return path;
    const fs::path target = fs::canonical(p, ec);
    return path + L"\n(a link to " + (ec ? std::wstring(L"a file") : tk_utf8_to_wstring(target.string())) + L")";
}

const tk_error_entry dao_texts[] = {
    {68585, "Cannot recognize MS Access database format. See 'Troubleshooting'\narticle of the product "
            "documentation for solution."},
    {68879, "Cannot recognize MS Access database format. See 'Troubleshooting'\narticle of the product "
            "documentation for solution."},
    {68591, "Not a valid MS Access database name. Use the following characters\nto compose new database name: "
            "alphanumerics (A-Z, a-z, 0-9),\nunderscore characters (_) and spaces."},
    {68558, "Duplicate field values being used for an unique index were found.\nSee 'Troubleshooting' article "
            "of the product documentation\nfor solution."},
    {68565, "Not a valid account name or password has been specified\nin MS Access user-level security settings"},
    {68648, "Cannot extract relationships information. See 'Troubleshooting'\narticle of the product "
            "documentation for solution."},
    {68709, "Invalid workgroup information file. Return to the previous\nwizard page and verify the correct path "
            "was given."},
    {68894, "Invalid workgroup information file. Return to the previous\nwizard page and verify the correct path "
            "was given."},
    {68957, "Data type conversion error.\nSee the 'Support' page of the product documentation for help."},
};

// Connects with the named database. One that the server does not have yet is made by the run:
// then the login alone is checked, and only a database that is there yet refused stops the user.
void connect_to_database(dravlen_convertor& c, const std::wstring& db)
{
    try {
        c.engine.connect(c.host, c.login, c.password, db, false);
    } catch (const odb_exception& e) {
        if (e.code() == login_refused)
            throw;   // the login alone would be refused again
        c.engine.connect(c.host, c.login, c.password, false);
        if (c.engine.is_db_exist(db))
            throw;
        tk_log_write_w(1, L"Database '%ls' does not exist yet: the run creates it", db.c_str());
    }
}

} // namespace

std::string qel_dao_error_text(std::int32_t code)
{
    static const tk_error_converter texts(static_cast<int>(std::size(dao_texts)), dao_texts);
    return texts.convert(code);
}

// ---------------------------------------------------------------------------------------------
// gui_frontend

void gui_frontend::start_timer()
{
    // The progress page starts the timer itself when it can; the run only makes sure it runs.
    wizard_shell& shell = wizard_shell::ref();
    if (!shell.is_timer_running())
        shell.start_timer(200);
}

void gui_frontend::engine_required()
{
    gui_show_dao_required();
    wizard_shell::ref().add_error("Failed to load Data Access Objects (DAO) support library.");
}

void gui_frontend::unexpected(const std::exception& e)
{
    wizard_shell::ref().error_narrow(e.what());
    // The finish page lists it with the run's other errors.
    wizard_shell::ref().add_error(e.what());
}

void gui_frontend::warning(const std::wstring& text)
{
    // A profile given on the command line is read before the wizard's window exists.
    const std::wstring caption = wizard_shell::exists() ? wizard_shell::ref().caption(L"Warning") : L"Warning";
    ui_message_box(text, caption, MB_OK | MB_ICONEXCLAMATION);
}

// ---------------------------------------------------------------------------------------------
// welcome_page

bool welcome_page::page_init()
{
    tk_log_write(1, "welcome_page::page_init");
    gui_set_heading_font(*this, 1337);
    const bool direct = conv("qel_shel", 62).direct;
    check(1329, direct);
    check(1330, !direct);
    if (!m_footer) {
        set_text(1320, tk_to_wstring(dravlen_convertor::get_title()));
        m_footer = true;
    }
    return true;
}

int welcome_page::on_next()
{
    dravlen_convertor& c = conv("qel_shel", 62);
    c.take_road(is_checked(1329));
    tk_log_write(1, "settind direct_mode to %d", c.direct ? 1 : 0);
    return c.direct ? 118 : 109;
}

void welcome_page::help()
{
    shell().display_help(1021);
}

// The road chosen so far holds unless the profile names its own; the buttons then show it.
void welcome_page::on_load()
{
    dravlen_convertor& c = conv("qel_shel", 62);
    c.take_road(is_checked(1329));
    gui_load_profile<dravlen_convertor>(this, m_ext);
    check(1329, c.direct);
    check(1330, !c.direct);
}

void welcome_page::on_command(int id, int code)
{
    if (id == 1115 && code == ui_clicked)
        on_load();
}

// ---------------------------------------------------------------------------------------------
// connect_animation

connect_animation::connect_animation() : ui_dialog(101) {}

void connect_animation::on_init()
{
    m_frame = 0;
    if (auto* l = qobject_cast<QLabel*>(item(1301)))
        l->setPixmap(l->style()->standardIcon(QStyle::SP_BrowserReload).pixmap(32, 32));
    start_timer(0x30000, interval);
    center();
}

void connect_animation::on_timer(int /*timer_id*/)
{
    m_frame = (m_frame + 1) % 8;
    if (auto* l = qobject_cast<QLabel*>(item(1301))) {
        // Eight frames: the icon turned by 45 degrees each tick.
        QPixmap p = l->style()->standardIcon(QStyle::SP_BrowserReload).pixmap(32, 32);
        l->setPixmap(p.transformed(QTransform().rotate(45.0 * m_frame)));
    }
}

void connect_animation::operator()()
{
    tk_log_write(1, "mssql_settings_page::animation::operator()");
    CoInitialize(nullptr);
    connected = false;
    error_text.clear();
    error_code = 0;
    try {
        dravlen_convertor& c = dravlen_convertor::ref();
        const std::wstring& db = c.destination;
        if (!db.empty()) {
            tk_log_write_w(1, L"Connecting to non-default DB '%ls'", db.c_str());
            tk_log_write_w(1, L"mssql_converter_impl::connect_mssql_server(%ls)", db.c_str());
        } else {
            tk_log_write(1, "mssql_converter_impl::connect_mssql_server");
        }
        tk_log_write(1, "secure_login=%d", c.secure_login ? 1 : 0);
        if (c.secure_login) {
            tk_log_write_w(1, L"mssql_host=%ls", c.host.c_str());
            c.engine.connect(c.host, false);
        } else {
            tk_log_write_w(1, L"mssql_host=%ls, mssql_user=%ls, mssql_pass=%ls\n", c.host.c_str(), c.login.c_str(),
                           std::wstring(c.password.size(), L'*').c_str());
            if (db.empty())
                c.engine.connect(c.host, c.login, c.password, false);
            else
                connect_to_database(c, db);
        }
        connected = true;
    } catch (const tk_exception& e) {
        if (e.level() == 2) {
            dlg_error_ex dlg(tk_ansi_text_to_wstring(e.what()));
            dlg.do_modal();
            std::_Exit(-1);
        }
        // Provider errors and the engine's own refusals leave the user on the page; the box
        // comes once the waiting dialog has gone.
        error_text = sql_error_text(e);
        error_code = e.code();
        if (dravlen_convertor::ref().secure_login)
            error_text += kerberos_hint;
    } catch (const std::exception& e) {
        wizard_shell::ref().error_narrow(e.what());
        std::_Exit(-1);
    }
    end_dialog(IDOK);
    kill_timer(0x30000);
    CoUninitialize();
}

// ---------------------------------------------------------------------------------------------
// mssql_settings_page

mssql_settings_page::mssql_settings_page()
    : wizard_page(L"Step 1 of 5", L"Connect to MS SQL server")
{
}

mssql_settings_page::~mssql_settings_page()
{
    ui_wait_while([this]() { return is_running(); });
    join();
}

bool mssql_settings_page::page_init()
{
    tk_log_write(1, "mssql_settings_page::page_init");
    dravlen_convertor& c = conv("mss_set", 57);
    set_header_title(step_title(1));
    // A database named after the source follows the source it has now.
    db_name = c.destination_follows && !c.source.empty() ? file_part(c.source) : c.destination;
    tk_log_write_w(1, L"mss_db=%ls", db_name.c_str());
    tk_log_write(1, "mssql_settings_page<t_converter>::page_init");
    set_text(1002, db_name);
    set_text(1014, c.host);
    set_text(1012, c.login);
    set_text(1013, c.password);
    check(1329, c.secure_login);
    check(1330, !c.secure_login);
    enable(1012, !c.secure_login);
    enable(1013, !c.secure_login);
    return true;
}

void mssql_settings_page::store()
{
    dravlen_convertor& c = conv("mss_set", 132);
    c.secure_login = is_checked(1329);
    c.host = get_text(1014);
    c.login = get_text(1012);
    c.password = get_text(1013);
    db_name = get_text(1002);
    tk_log_write(1, "mss_engine::set_as_dbo(%d)", 0);
    c.engine.set_as_dbo(false);
}

bool mssql_settings_page::check_connection()
{
    animation.connected = false;
    animation.reset_end();
    start();
    animation.do_modal();
    // The dialog may close before the check ends (or without it, when a test answers it).
    ui_wait_while([this]() { return is_running(); });
    join();
    close();
    if (!animation.connected && !animation.error_text.empty())
        wizard_shell::ref().error_narrow(animation.error_text);
    return animation.connected;
}

int mssql_settings_page::field_at_fault() const
{
    if (animation.error_code == login_refused)
        return is_checked(1329) ? 1014 : 1012;
    // The server names the database it cannot open in quotes (double or single, as servers differ).
    const std::string db = narrow(db_name);
    const std::string& why = animation.error_text;
    if (!db.empty() && (why.find('"' + db + '"') != std::string::npos || why.find('\'' + db + '\'') != std::string::npos))
        return 1002;
    return 1014;
}

int mssql_settings_page::on_next()
{
    store();
    dravlen_convertor& c = conv("mss_set", 132);
    c.destination = db_name;
    c.destination_follows = !c.source.empty() && db_name == file_part(c.source);
    if (check_connection())
        return 106;
    focus(field_at_fault());
    return -1;
}

int mssql_settings_page::on_back()
{
    store();
    return 0;
}

void mssql_settings_page::help()
{
    shell().display_help(1010);
}

void mssql_settings_page::on_command(int id, int code)
{
    if (code != ui_clicked)
        return;
    if (id == 1329) {
        enable(1012, false);
        enable(1013, false);
    } else if (id == 1330) {
        enable(1013, true);
        enable(1012, true);
        focus(1012);   // the login comes first
    }
}

// ---------------------------------------------------------------------------------------------
// dump_settings_page

dump_settings_page::dump_settings_page() : wizard_page(L"Step 1 of 5", L"MS SQL script file settings") {}

bool dump_settings_page::page_init()
{
    tk_log_write(1, "dump_settings_page::page_init");
    const mss_dump_options& o = conv("qel_shel", 62).dump_options;
    check(1203, o.create_database);
    check(1204, o.create_table);
    check(1205, o.comments);
    enable_ctrl(1203, o.create_table);
    return true;
}

void dump_settings_page::store()
{
    mss_dump_options& o = conv("qel_shel", 62).dump_options;
    o.create_database = is_checked(1203);
    o.create_table = is_checked(1204);
    o.comments = is_checked(1205);
    o.unicode = false;
}

int dump_settings_page::on_next()
{
    store();
    return 0;
}

int dump_settings_page::on_back()
{
    store();
    return 103;
}

void dump_settings_page::help()
{
    shell().display_help(1020);
}

void dump_settings_page::on_command(int id, int code)
{
    if (code != ui_clicked)
        return;
    if (id == 1203 || id == 1204 || id == 1205)
        invert_chbox(id);
}

// ---------------------------------------------------------------------------------------------
// ugl_page

ugl_page::ugl_page() : wizard_page(L"Step 2 of 5", L"MS Access user-level security settings") {}

void ugl_page::enable_fields(bool on)
{
    enable(1003, on);
    enable(1004, on);
    enable(1005, on);
    enable(1107, on);
}

bool ugl_page::page_init()
{
    tk_log_write(1, "ugl_page::page_init");
    dravlen_convertor& c = conv("qel_shel", 62);
    set_text(1003, c.ugl_file);
    set_text(1004, c.ugl_user);
    set_text(1005, c.ugl_password);
    check(1202, c.use_workgroup);
    enable_fields(c.use_workgroup);
    return true;
}

void ugl_page::on_use_ugl()
{
    tk_log_write(1, "ugl_page::on_use_ugl");
    const bool on = invert_chbox(1202);
    enable_fields(on);
    if (on)
        focus(1003);
}

void ugl_page::store()
{
    dravlen_convertor& c = conv("qel_shel", 62);
    const std::wstring path = get_text(1003), user = get_text(1004), password = get_text(1005);
    tk_log_write_w(2, L"acc_converter_impl::store_ugl_settings(%ls,%ls,%ls)", path.c_str(), user.c_str(),
                   std::wstring(password.size(), L'*').c_str());
    c.ugl_file = tk_trim(path);
    c.ugl_user = tk_trim(user);
    c.ugl_password = tk_trim(password);
    // The box decides, as the console's options do, whether the source is opened under them.
    c.use_workgroup = is_checked(1202);
}

int ugl_page::on_next()
{
    store();
    dravlen_convertor& c = conv("qel_shel", 62);
    // Switched off, the fields are greyed and not used: nothing to check.
    if (!c.use_workgroup)
        return 0;
    if (!c.ugl_file.empty()) {
        if (!tk_is_file_exist2(c.ugl_file, tk_exist_file)) {
            shell().error(L"Workgroup information file does not exist.\r\nPlease verify the correct path was given.");
            focus(1003);
            return -1;
        }
        if (!dao_check_sysdb(c.ugl_file)) {
            shell().error(L"The file does not comply with MS Access workgroup information\r\nfile format. Leave all "
                          L"the fields empty on this wizard page if your\r\ndatabase is not protected with MS "
                          L"Access user-level security.");
            focus(1003);
            return -1;
        }
        if (c.ugl_user.empty()) {
            shell().message(L"You should enter user name");
            focus(1004);
            return -1;
        }
    } else if (!c.ugl_user.empty()) {
        shell().message(L"You should enter path to MS Access workgroup information file");
        focus(1003);
        return -1;
    }
    return 0;
}

int ugl_page::on_back()
{
    store();
    return 0;
}

void ugl_page::help()
{
    shell().display_help(1004);
}

void ugl_page::on_command(int id, int code)
{
    if (code != ui_clicked)
        return;
    if (id == 1202) {
        on_use_ugl();
    } else if (id == 1107) {
        open_file_dialog dlg(this, zero_list(L"Workgroup Information Files (*.mdw)\0*.mdw\0All Files (*.*)\0*.*\0"),
                             L"Select Workgroup Information File", get_text(1003));
        if (dlg.run())
            set_text(1003, dlg.file_name());
    }
}

// ---------------------------------------------------------------------------------------------
// overwrite_dlg2

template <int ID>
overwrite_dlg2<ID>::overwrite_dlg2(const std::wstring& text, int help_id) : ui_dialog(ID), m_text(text), m_help_id(help_id)
{
    gui_load_resources();
    tk_log_write(1, "overwrite_dlg2::ctor");
}

template <int ID>
void overwrite_dlg2<ID>::on_init()
{
    tk_log_write(1, "overwrite_dlg2::on_init");
    set_caption((wizard_shell::exists() ? wizard_shell::ref().title() : std::wstring()) + L" Warning");
    set_text(1320, m_text);
    check(1329, true);
    guard_enter();
    center();
    ui_beep();
}

template <int ID>
void overwrite_dlg2<ID>::guard_enter()
{
    // Overwriting the database or its tables destroys data: that takes a press of OK itself.
    set_default_button(is_checked(1329) || is_checked(1330) ? IDCANCEL : IDOK);
}

template <int ID>
void overwrite_dlg2<ID>::on_command(int id, int code)
{
    if (code != ui_clicked)
        return;
    if (id >= 1329 && id <= 1332)
        guard_enter();
    if (id == IDOK) {
        const int ids[] = {1329, 1330, 1331, 1332};
        for (int m = 0; m < 4; ++m) {
            if (is_checked(ids[m])) {
                mode = m;
                end_dialog(1);
                return;
            }
        }
        throw tk_mail_assertion("over_dlg", 156);
    }
    if (id == IDCANCEL)
        end_dialog(2);
    else if (id == IDHELP && wizard_shell::exists())
        wizard_shell::ref().display_help(m_help_id);
}

template class overwrite_dlg2<121>;

// ---------------------------------------------------------------------------------------------
// sel_file_page

sel_file_page::sel_file_page() : wizard_page(L"Step 3 of 5", L"Select databases") {}

bool sel_file_page::page_init()
{
    dravlen_convertor& c = conv("qel_shel", 583);
    set_header_title(step_title(3));
    check(1228, c.only_definitions);
    check(1226, c.skip_indexes);
    set_text(1311, c.direct ? L"MS &SQL database name:" : L"&Destination T-SQL script path:");
    show_ctrl(1104, !c.direct);
    if (!c.logfile.empty())
        set_text(1006, tk_to_wstring(c.logfile));
    // The database password lives only as long as the program: no registry, no profile.
    set_text(1007, c.db_password);
    if (!c.source.empty() || !c.destination.empty()) {
        if (!c.source.empty())
            set_text(1003, tk_file_wname(c.source).path());
        // A destination made from a source follows the source it has now.
        const bool follows = c.destination.empty() || (c.destination_follows && !c.source.empty());
        const std::wstring& from = follows ? c.source : c.destination;
        if (!from.empty())
            set_text(1004, c.direct ? file_part(from) : script_path(from, c.source));
    }
    m_source = get_text(1003);
    conv("qel_shel", 603);
    return true;
}

void sel_file_page::store()
{
    dravlen_convertor& c = conv("qel_shel", 631);
    c.only_definitions = is_checked(1228);
    c.skip_indexes = is_checked(1226);
    c.source = get_text(1003);
    c.db_password = get_text(1007);
    c.destination = get_text(1004);
    c.destination_follows = !c.source.empty() && c.destination == default_destination(c.source);
    // Only checked here: the log is opened when the run starts, so the last run's stays whole.
    c.choose_logfile(narrow(get_text(1006)));
}

void sel_file_page::report(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const dao_required_exception&) {
        gui_show_dao_required();
    } catch (const dao_exception& e) {
        const std::string text = qel_dao_error_text(e.code());
        tk_log_write(1, "err_msg=%s", text.c_str());
        shell().error_narrow(text.empty() ? std::string(e.what()) : text);
        if (e.code() == 68585 || e.code() == 68879) {
            tk_log_write(1, "Unrecognized format error");
            shell().offer_help(1022);
        }
    } catch (const tk_exception& e) {
        shell().error_narrow(sql_error_text(e));
    }
}

int sel_file_page::on_next()
{
    dravlen_convertor& c = conv("qel_shel", 437);
    // A log the run could not open under the name typed is no log left out in silence.
    if (const std::wstring refusal = unwritable_log_text(get_text(1006)); !refusal.empty()) {
        shell().error(refusal);
        focus(1006);
        return -1;
    }
    try {
        store();
    } catch (const tk_exception&) {
        report(std::current_exception());
        return -1;
    }
    // Each refusal leaves the keyboard in the field to mend, its text selected.
    if (c.source.empty()) {
        shell().message(L"You should enter MS Access database name");
        focus(1003);
        return -1;
    }
    if (c.destination.empty()) {
        shell().message(c.direct ? L"You should enter MS SQL database name" : L"You should enter T-SQL script file name");
        focus(1004);
        return -1;
    }
    if (!tk_is_file_exist2(c.source, tk_exist_file)) {
        shell().error(L"Source file does not exist.\r\nPlease verify the correct path was given.");
        focus(1003);
        return -1;
    }
    // A script or a log over a file the run reads (or over each other) is refused before any
    // question about overwriting: the user is never asked to overwrite the source.
    if (const std::optional<path_clash> clash = find_path_clash(c.run_paths())) {
        shell().error(path_clash_text(*clash));
        const bool log = clash->first.role == path_role::log || clash->second.role == path_role::log;
        focus(log ? 1006 : 1004);
        return -1;
    }
    // Only the answers are taken here: an existing script is replaced and a database dropped
    // (mode 0) by the run, once it has opened the source, never on this page.
    try {
        c.check_acc_base(c.source, c.db_password);
    } catch (const dao_exception& e) {
        return refuse(std::current_exception(), e.code() == bad_password ? 1007 : 1003);
    } catch (const dao_required_exception&) {
        return refuse(std::current_exception(), 1003);
    } catch (const tk_exception&) {
        return refuse(std::current_exception(), 1003);
    }
    try {
        if (!c.direct) {
            common_check_dest(c.destination);
            const std::wstring overwritten = file_overwritten(c.destination);
            if (!overwritten.empty() &&
                !shell().question(L"Destination file already exists. Overwrite?\n\n" + overwritten, MB_DEFBUTTON2)) {
                focus(1004);
                return -1;
            }
            c.note_script_target();
        } else if (c.engine.is_db_exist(c.destination)) {
            tk_log_write(1, "MS SQL DB exists...");
            overwrite_dlg2<121> dlg(L"The destination database already exists. Select one of the\noptions below. "
                                    L"Click 'Help' button for more information.",
                                    1012);
            if (dlg.do_modal() != 1) {
                focus(1004);
                return -1;
            }
            tk_log_write(1, "udb_converter::set_mode(%d)", dlg.mode);
            c.mode = dlg.mode;
        } else {
            tk_log_write(1, "Creating new MS SQL DB...");
        }
    } catch (const tk_exception&) {
        return refuse(std::current_exception(), 1004);
    }
    return 127;
}

int sel_file_page::refuse(const std::exception_ptr& error, int field)
{
    report(error);
    focus(field);
    return -1;
}

int sel_file_page::on_back()
{
    try {
        store();
    } catch (const tk_exception&) {
        report(std::current_exception());
        return -1;
    }
    return conv("qel_shel", 437).direct ? 118 : 0;
}

void sel_file_page::help()
{
    shell().display_help(1014);
}

std::wstring sel_file_page::default_destination(const std::wstring& source) const
{
    if (source.empty())
        return std::wstring();
    return conv("qel_shel", 555).direct ? file_part(source) : script_path(source, source);
}

void sel_file_page::on_source_changed()
{
    const std::wstring source = get_text(1003);
    const std::wstring destination = get_text(1004);
    // A destination the user named stays; one that came from the old source follows the new.
    if (destination.empty() || destination == default_destination(m_source))
        set_text(1004, default_destination(source));
    m_source = source;
}

void sel_file_page::on_command(int id, int code)
{
    if (id == 1004 && code == ui_setfocus) {
        const std::wstring source = get_text(1003);
        if (!source.empty() && get_text(1004).empty()) {
            set_text(1004, default_destination(source));
            m_source = source;
        }
        return;
    }
    if (id == 1003 && code == ui_changed) {
        on_source_changed();
        return;
    }
    if (code != ui_clicked)
        return;
    switch (id) {
    case 1107: {
        open_file_dialog dlg(this,
                             zero_list(L"MS Access Databases (.mdb;*.accdb)\0*.mdb;*.accdb\0All Files (*.*)\0*.*\0"),
                             L"Select MS Access database to convert", get_text(1003));
        if (dlg.run()) {
            set_text(1003, dlg.file_name());
            set_text(1004, default_destination(dlg.file_name()));
            m_source = dlg.file_name();
        }
        break;
    }
    case 1104: {
        save_file_dialog dlg(this, zero_list(L"T-SQL Script Files (.sql)\0*.sql\0All Files (*.*)\0*.*\0"),
                             L"Select File", get_text(1004), L"sql");
        if (dlg.run())
            set_text(1004, dlg.file_name());
        break;
    }
    case 1105: {
        save_file_dialog dlg(this, zero_list(L"Log Files (*.log)\0*.log\0All Files (*.*)\0*.*\0"),
                             L"Select Log File", get_text(1006), L"log");
        if (dlg.run())
            set_text(1006, dlg.file_name());
        break;
    }
    case 1228:
    case 1226:
        invert_chbox(id);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// set_query_dlg

set_query_dlg::set_query_dlg(const std::wstring& name_, const std::wstring& sql_)
    : ui_dialog(128), name(name_), sql(sql_)
{
    gui_load_resources();
    tk_log_write(1, "set_query_dlg::set_query_dlg");
}

void set_query_dlg::on_init()
{
    tk_log_write(1, "set_query_dlg::on_init");
    set_text(1019, name);
    set_text(1020, sql);
    center();
}

bool set_query_dlg::check_query()
{
    std::wstring text = get_text(1020, 10000);
    if (text.empty()) {
        sql.clear();
        return true;
    }
    const std::size_t start = text.find_first_not_of(L"\t\n\r ");
    text = start == std::wstring::npos ? std::wstring() : text.substr(start);
    sql = text;
    if (text.size() < 6)
        return false;
    return tk_iequal(text.substr(0, 6), L"SELECT");
}

void set_query_dlg::on_command(int id, int code)
{
    if (code != ui_clicked)
        return;
    wizard_shell* shell = wizard_shell::get();
    auto error = [&](const wchar_t* text) {
        if (shell)
            shell->error(text);
        else
            ui_message_box(text, L"Error", MB_OK | MB_ICONERROR);
    };
    auto message = [&](const wchar_t* text) {
        if (shell)
            shell->message(text);
        else
            ui_message_box(text, L"Message", MB_OK | MB_ICONINFORMATION);
    };
    switch (id) {
    case IDOK:
        tk_log_write(1, "set_query_dlg::on_ok");
        // A refusal puts the focus back on the field to mend, so typing goes on there.
        name = get_text(1019, 2048);
        if (name.empty()) {
            message(L"Table name is empty!");
            focus(1019);
            return;
        }
        if (!check_query()) {
            error(L"The query must start with SELECT.");
            focus(1020);
            return;
        }
        if (sql.empty()) {
            error(L"Query is empty!");
            focus(1020);
            return;
        }
        end_dialog(IDOK);
        break;
    case IDCANCEL:
        tk_log_write(1, "set_query_dlg::on_cancel");
        end_dialog(IDCANCEL);
        break;
    case 129:
        if (!check_query()) {
            error(L"The query must start with SELECT.");
            return;
        }
        try {
            dravlen_convertor::ref().test_query(sql);
        } catch (const tk_exception& e) {
            // The engine's own words on what is wrong with the text.
            error(tk_ansi_text_to_wstring(e.what()).c_str());
            return;
        }
        message(L"The query is correct.");
        break;
    case IDHELP:
        if (shell)
            shell->display_help(1019);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// qel_sel_tables_page

namespace {
bool has_name(const udb_converter::name_text_list& list, const std::wstring& name)
{
    for (const auto& p : list)
        if (p.first == name)
            return true;
    return false;
}
} // namespace

qel_sel_tables_page::qel_sel_tables_page(const std::wstring& question_text)
    : sel_tables_page(127, L"Step 4 of 5", L"Select tables to convert", question_text, false)
{
}

bool qel_sel_tables_page::page_init()
{
    dravlen_convertor& c = conv("tk_singl", 64);
    set_header_title(step_title(4));
    set_text(1337, L"Select MS Access tables to convert into MS SQL format.");
    set_text(1334, L"&Available tables:");
    set_text(1312, L"&Selected tables:");
    try {
        c.get_all_tables(items);
    } catch (const dao_required_exception&) {
        gui_show_dao_required();
        items.clear();
    } catch (const tk_exception& e) {
        // The page shows what it has; the user may go back and fix the source.
        shell().error_narrow(e.what());
        items.clear();
    }
    do_page_init();
    show(1114, true);
    chosen_queries.clear();
    preselect_pairs(c.selected_queries);
    available_queries = c.available_queries;
    for (const auto& q : available_queries) {
        if (q.second.empty())
            continue;
        bool present = false;
        for (int i = 0; i < lb_count(id_available) && !present; ++i)
            present = tk_iequal(lb_text(id_available, i), q.first);
        if (!present)
            lb_add(id_available, q.first);
    }
    return true;
}

void qel_sel_tables_page::preselect_pairs(const pair_list& pairs)
{
    for (const auto& p : pairs) {
        bool in_lists = false;
        for (int list : {id_available, id_chosen})
            for (int i = 0; i < lb_count(list) && !in_lists; ++i)
                in_lists = tk_iequal(lb_text(list, i), p.first);
        if (!p.second.empty() && !in_lists) {
            lb_add(id_chosen, p.first);
            chosen_queries.push_back(p);
        } else {
            tk_log_write_w(1, L"Processing '%ls'", p.first.c_str());
            const int index = lb_find_exact(id_available, p.first);
            if (index >= 0)
                move_item(id_available, index);
        }
    }
}

bool qel_sel_tables_page::is_query(const std::wstring& name) const
{
    return has_name(chosen_queries, name) || has_name(available_queries, name);
}

void qel_sel_tables_page::on_query_chosen(const std::wstring& name)
{
    tk_log_write_w(1, L"sel_tables_page_ex::do_add_query(%ls)", name.c_str());
    if (has_name(chosen_queries, name))
        return;
    for (auto it = available_queries.begin(); it != available_queries.end(); ++it) {
        if (it->first == name) {
            tk_log_write_w(1, L"Adding pair: '%ls','%ls'", it->first.c_str(), it->second.c_str());
            chosen_queries.push_back(*it);
            available_queries.erase(it);
            return;
        }
    }
}

void qel_sel_tables_page::on_query_removed(const std::wstring& name)
{
    for (auto it = chosen_queries.begin(); it != chosen_queries.end(); ++it) {
        if (it->first == name) {
            available_queries.push_back(*it);
            chosen_queries.erase(it);
            return;
        }
    }
}

void qel_sel_tables_page::on_add_query()
{
    tk_log_write(1, "sel_tables_page::on_add_query");
    std::wstring name, sql;
    for (;;) {
        set_query_dlg dlg(name, sql);
        if (dlg.do_modal() != IDOK)
            return;
        name = dlg.name;
        sql = dlg.sql;
        bool duplicate = false;
        for (int i = 0; i < lb_count(id_chosen) && !duplicate; ++i)
            duplicate = tk_iequal(lb_text(id_chosen, i), name);
        if (!duplicate) {
            lb_add(id_chosen, name);
            chosen_queries.emplace_back(name, sql);
            return;
        }
        shell().message(L"Duplicate table name. Try again.");
    }
}

void qel_sel_tables_page::on_edit_query()
{
    tk_log_write(1, "sel_tables_page_ex::on_edit_query");
    const std::vector<int> sel = lb_selection(id_chosen);
    if (sel.empty()) {
        tk_log_write(1, "Nothing is selected!");
        return;
    }
    const std::wstring old_name = lb_text(id_chosen, sel.front());
    auto it = chosen_queries.begin();
    while (it != chosen_queries.end() && it->first != old_name)
        ++it;
    if (it == chosen_queries.end()) {
        tk_log_write(1, "It's not a query, show type mapping");
        return;
    }
    set_query_dlg dlg(it->first, it->second);
    if (dlg.do_modal() != IDOK)
        return;
    it->first = dlg.name;
    it->second = dlg.sql;
    const int index = lb_find_exact(id_chosen, old_name);
    if (index >= 0)
        lb_delete(id_chosen, index);
    lb_add(id_chosen, dlg.name);
}

int qel_sel_tables_page::on_next()
{
    if (!collect())
        return -1;
    dravlen_convertor& c = conv("tk_singl", 64);
    c.selected_tables = items;
    c.selected_queries = chosen_queries;
    c.available_queries = available_queries;
    return 0;
}

void qel_sel_tables_page::help()
{
    shell().display_help(1015);
}

void qel_sel_tables_page::on_command(int id, int code)
{
    if (id == 1114 && code == ui_clicked)
        on_add_query();
    else if (id == id_chosen && code == ui_dblclk)
        on_edit_query();
    else
        sel_tables_page::on_command(id, code);
}

// ---------------------------------------------------------------------------------------------
// qel_finish_page

qel_finish_page::qel_finish_page(const std::wstring& success, const std::wstring& error, const std::wstring& cancel,
                                 const std::wstring& extension)
    : gui_finish_page_t(success, error, cancel, extension)
{
    set_script_texts(qel_script_success_text, qel_script_cancel_text);
}

// ---------------------------------------------------------------------------------------------
// progress_page

progress_page::progress_page() : wizard_page(L"Step 5 of 5", L"Database conversion is in progress") {}

progress_page::~progress_page()
{
    // The run uses the shell and the pages' converter: it must end before they go.
    request_stop();
    ui_wait_while([this]() { return is_running(); });
    join();
}

tk_thread_functor* progress_page::get_functor()
{
    return &dravlen_convertor::ref();
}

bool progress_page::page_init()
{
    tk_log_write(1, "progress_page::page_init");
    set_header_title(step_title(5));
    if (ui_property_sheet* s = sheet())
        s->set_wizard_buttons(0);
    set_progress(1321, 0);
    set_text(1323, std::wstring());
    timer_seen = false;
    if (is_started())
        return true;   // the run has been started already
    dravlen_convertor::ref().finished = false;
    // The finish page lists this run's errors, not those of the pages before it.
    shell().clear_errors();
    // The timer runs from here, so the page also sees a run that ends before it begins its work.
    if (!shell().is_timer_running())
        shell().start_timer(200);
    start();
    return true;
}

unsigned progress_page::percentage(std::uint32_t total, std::uint32_t done, std::uint64_t records,
                                   std::uint64_t current)
{
    if (total == 0)
        return 0;
    std::uint64_t p = static_cast<std::uint64_t>(done) * 100 / total;
    if (records != 0)
        p += (current * 100 / records) / total;
    return static_cast<unsigned>(p > 100 ? 100 : p);
}

void progress_page::on_timer(int /*timer_id*/)
{
    dravlen_convertor& c = conv("qel_shel", 711);
    timer_seen = true;
    set_progress(1321, static_cast<int>(percentage(c.total_tables.load(), c.tables_done.load(),
                                                   c.records_in_table.load(), c.current_record.load())));
    const bool done = !is_running() && is_started();
    const std::wstring table = c.get_current_table();
    if (c.waits_for_reader.load())
        set_text(1323, pipe_wait_text(c.destination));
    else
        set_text(1323, table.empty() ? std::wstring() : L"Processing table '" + table.substr(0, 230) + L"'");
    if (done || c.finished.load()) {
        shell().kill_timer();
        ui_wait_while([this]() { return is_running(); });
        join();
        if (ui_property_sheet* s = sheet())
            s->set_cur_sel_by_id(116);
    }
}

void progress_page::help()
{
    shell().display_help();
}

bool progress_page::on_cancel()
{
    if (!is_running())
        return wizard_page_base::on_cancel();
    // Closing now would pull the shell from under the run: ask it to stop, the finish page follows.
    if (wizard_page_base::on_cancel())
        request_stop();
    return false;
}

// The wizard's pages and dialogs over the converter, and the run's wizard front end.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "GUI2/g_finish.h"
#include "GUI2/g_wiz_pg.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_threa.h"
#include "common/acc_conv.h"
#include "platform/ui/ui_window.h"

// What the run shows in the wizard: the progress timer and the missing-engine box.
class gui_frontend : public run_frontend {
public:
    void start_timer() override;
    void database_started(const std::wstring&, std::uint32_t) override {}
    void table_missing(const std::wstring&) override {}
    void table_started(const std::wstring&, std::uint64_t) override {}
    void engine_required() override;
    void unexpected(const std::exception& e) override;
    void warning(const std::wstring& text) override;
};

// Step 0: the scenario (server or script) and "Load Settings...".
class welcome_page : public wizard_page<103, PSWIZB_NEXT, PSP_HIDEHEADER | PSP_HASHELP> {
public:
    explicit welcome_page(const std::wstring& extension) : m_ext(extension) {}
    bool page_init() override;
    int on_next() override;
    void help() override;
    void on_command(int id, int code) override;
    void on_load();

private:
    std::wstring m_ext;
    bool m_footer = false;
};

// The "Connecting to MS SQL server. Please wait..." dialog and the connection check it waits for.
class connect_animation : public ui_dialog, public tk_thread_functor {
public:
    connect_animation();
    void on_init() override;
    void on_timer(int timer_id) override;
    void on_close() override {}
    // The check (worker thread).
    void operator()() override;

    int frame() const { return m_frame; }
    int interval = 500;
    bool connected = false;
    // Why the check failed, shown once the dialog has gone: the text and the error's code.
    std::string error_text;
    std::int32_t error_code = 0;

private:
    int m_frame = 0;
};

// Step 1 (server): server, authentication, login and database, checked by connecting.
class mssql_settings_page : public wizard_page<118, PSWIZB_BACK | PSWIZB_NEXT, PSP_HASHELP>, public tk_thread {
public:
    mssql_settings_page();
    ~mssql_settings_page() override;
    bool page_init() override;
    int on_next() override;
    int on_back() override;
    void help() override;
    void on_command(int id, int code) override;

    // Connects with the converter's settings behind the waiting dialog; true when connected.
    bool check_connection();

    std::wstring db_name;
    connect_animation animation;

protected:
    tk_thread_functor* get_functor() override { return &animation; }

private:
    void store();
    // The field that a failed check points at.
    int field_at_fault() const;
};

// Step 1 (script): the script options.
class dump_settings_page : public wizard_page<109, PSWIZB_BACK | PSWIZB_NEXT, PSP_HASHELP> {
public:
    dump_settings_page();
    bool page_init() override;
    int on_next() override;
    int on_back() override;
    void help() override;
    void on_command(int id, int code) override;

private:
    void store();
};

// Step 2 (script): Access user-level security.
class ugl_page : public wizard_page<105, PSWIZB_BACK | PSWIZB_NEXT, PSP_HASHELP> {
public:
    ugl_page();
    bool page_init() override;
    int on_next() override;
    int on_back() override;
    void help() override;
    void on_command(int id, int code) override;
    void on_use_ugl();

private:
    void store();
    void enable_fields(bool on);
};

// Step 3: source, destination, log file and the two options, checked before going on.
class sel_file_page : public wizard_page<106, PSWIZB_BACK | PSWIZB_NEXT, PSP_HASHELP> {
public:
    sel_file_page();
    bool page_init() override;
    int on_next() override;
    int on_back() override;
    void help() override;
    void on_command(int id, int code) override;

private:
    void store();
    void report(const std::exception_ptr& error);
    // Reports the error, gives the field at fault the focus and keeps the page (-1).
    int refuse(const std::exception_ptr& error, int field);
    // The destination that a source gives when the user has not named one of their own.
    std::wstring default_destination(const std::wstring& source) const;
    // Typing a new source takes along a destination that came from the old one.
    void on_source_changed();

    std::wstring m_source;   // the source the destination field was last filled from
};

// The choice for an existing server database: overwrite it, overwrite tables, skip or merge.
template <int ID>
class overwrite_dlg2 : public ui_dialog {
public:
    overwrite_dlg2(const std::wstring& text, int help_id);
    void on_init() override;
    void on_command(int id, int code) override;
    int mode = 0;

private:
    // Enter presses OK only for a choice that keeps what the database holds.
    void guard_enter();

    std::wstring m_text;
    int m_help_id;
};

// "Add Query": a table name and a SELECT text.
class set_query_dlg : public ui_dialog {
public:
    set_query_dlg(const std::wstring& name, const std::wstring& sql);
    void on_init() override;
    void on_command(int id, int code) override;

    // Reads 1020 and drops its leading blanks; true when it is empty or starts with SELECT.
    bool check_query();

    std::wstring name;
    std::wstring sql;
};

// Step 4: the tables and the user's queries.
class qel_sel_tables_page : public sel_tables_page {
public:
    using pair_list = udb_converter::name_text_list;

    explicit qel_sel_tables_page(const std::wstring& question);
    bool page_init() override;
    int on_next() override;
    int on_back() override { return 0; }
    void help() override;
    void on_command(int id, int code) override;

    void preselect_pairs(const pair_list& pairs);
    bool is_query(const std::wstring& name) const override;
    void on_query_chosen(const std::wstring& name) override;
    void on_query_removed(const std::wstring& name) override;
    void on_add_query();
    void on_edit_query();

    pair_list chosen_queries;
    pair_list available_queries;
};

// Step 5: runs the conversion and shows its progress.
class progress_page : public wizard_page<107, PSWIZB_BACK | PSWIZB_NEXT, PSP_HASHELP>, public tk_thread {
public:
    progress_page();
    ~progress_page() override;
    bool page_init() override;
    void on_timer(int timer_id) override;
    void help() override;
    bool on_cancel() override;

    // The bar's value for the progress fields.
    static unsigned percentage(std::uint32_t total, std::uint32_t done, std::uint64_t records,
                               std::uint64_t current);

    bool timer_seen = false;

protected:
    tk_thread_functor* get_functor() override;
};

// The last page, with the script road's own texts.
class qel_finish_page : public gui_finish_page_t<dravlen_convertor, 116> {
public:
    qel_finish_page(const std::wstring& success, const std::wstring& error, const std::wstring& cancel,
                    const std::wstring& extension);
};

// The wizard's texts.
extern const wchar_t* const qel_success_text;
extern const wchar_t* const qel_error_text;
extern const wchar_t* const qel_cancel_text;
extern const wchar_t* const qel_script_success_text;
extern const wchar_t* const qel_script_cancel_text;
extern const wchar_t* const qel_no_tables_question;

// The DAO error texts of the file selection page ("" when the code has none).
std::string qel_dao_error_text(std::int32_t code);

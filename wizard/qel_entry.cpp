#include "wizard/qel_entry.h"

#include "GUI2/g_err.h"
#include "GUI2/g_sys.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_errco.h"
#include "TK/tk_log.h"
#include "TK/tk_signal.h"
#include "TK/tk_utils.h"
#include "platform/ui/ui_misc.h"
#include "wizard/qel_shel.h"

namespace {

int run_wizard(const std::string& tail, const std::function<int(wizard_shell&)>& run_sheet, int& result)
{
    dravlen_convertor converter(false);
    gui_frontend frontend;
    converter.set_frontend(&frontend);

    std::wstring profile;
    const bool quick = !tail.empty() && [&]() {
        wchar_t* wide = nullptr;
        if (!tk_ansi_to_unicode(tail.c_str(), &wide) || !wide)
            return false;
        profile = wide;
        delete[] wide;
        return true;
    }();
    if (quick) {
        tk_log_write(2, "QUICK LAUNCH: profile=%s", tail.c_str());
        converter.load_profile_file(profile);
    }

    const std::wstring title = tk_to_wstring(dravlen_convertor::get_title());
    wizard_shell shell(title, 501, 311, 312);

    welcome_page welcome(L"qel");
    mssql_settings_page mssql;
    mssql.animation.interval = 500;
    dump_settings_page dump;
    ugl_page ugl;
    sel_file_page files;
    qel_sel_tables_page tables(qel_no_tables_question);
    progress_page progress;
    qel_finish_page finish(qel_success_text, qel_error_text, qel_cancel_text, L"qel");

    if (!quick) {
        shell.add_page(&welcome);
        shell.add_page(&mssql);
        shell.add_page(&dump);
        shell.add_page(&ugl);
        shell.add_page(&files);
        shell.add_page(&tables);
    } else {
        if (converter.direct && !mssql.check_connection())
            return -1;
        converter.check_dest();
    }
    shell.add_page(&progress);
    shell.add_page(&finish);

    result = run_sheet ? run_sheet(shell) : shell.do_modal();
    // A run that did not convert everything, or was cancelled, ends the program in failure.
    const run_outcome outcome = converter.outcome();
    if (outcome == run_outcome::failed || outcome == run_outcome::cancelled)
        result = -1;
    return result;
}

} // namespace

int dravlen_main(const std::string& tail, const std::function<int(wizard_shell&)>& run_sheet)
{
    // A script or log written into a pipe whose reader has gone (EPIPE) or beyond the file-size
    // limit (EFBIG) fails as a write and is reported, instead of ending the program without a word.
    tk_ignore_write_signals();
    ui_module module;
    tk_logger logger(nullptr, false, 3, false);
    gui_error_handler handler(tk_sql_error_count, tk_sql_error_table);
    gui_clipboard clipboard;
    gui_initialize();

    // An error that ends the program before the sheet returned is no success.
    int result = -1;
    try {
        return run_wizard(tail, run_sheet, result);
    } catch (const tk_exception& e) {
        handler.handle(e, true);
    } catch (const tk_final_exception&) {
        // The user's Abort of an error outside a run: nothing more to say.
    } catch (const std::exception& e) {
        if (wizard_shell::exists())
            wizard_shell::ref().error_narrow(e.what());
        else
            ui_message_box(tk_ansi_text_to_wstring(e.what()), L"Error", MB_OK | MB_ICONERROR);
    }
    return result;
}

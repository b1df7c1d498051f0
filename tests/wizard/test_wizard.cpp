// The wizard's pages over the real converter and Access reader, on real widgets (offscreen) with a
// hooked user: page order, the pages' checks and messages, queries, progress, finish and profiles,
// and a quick launch that converts a corpus file into a script.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "GUI2/g_err.h"
#include "GUI2/g_url.h"
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/ui/ui_misc.h"
#include "tests/support/keyboard.h"
#include "tests/support/live_reader.h"
#include "tests/support/live_server.h"
#include "tests/support/protected.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"
#include "tests/support/world_names.h"
#include "tests/support/writer_tables.h"
#include "wizard/qel_entry.h"
#include "wizard/qel_shel.h"

namespace fs = std::filesystem;

namespace {

const char* const corpus_mdb = "jackcess/V2003/testV2003.mdb";

struct seen_box {
    int id;
    std::wstring caption;
    std::wstring text;
};

class WizardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ui_ensure_application(); }

    void SetUp() override
    {
        // A fresh folder per test, holding the settings file too; removed afterwards.
        scratch.emplace("drav_wiz");
        tmp = scratch->path();
        ui_set_modal_hook([this](ui_dialog& d) {
            seen_box b{d.template_id(), d.caption(), d.get_text(1320, 0)};
            if (auto* m = dynamic_cast<ui_message_dialog*>(&d))
                b.text = m->text();
            boxes.push_back(b);
            if (d.template_id() == 101)
                return;   // the connection dialog closes by itself
            if (answer)
                answer(d);
            else if (auto* m = dynamic_cast<ui_message_dialog*>(&d))
                m->press((m->flags() & 0xF) == MB_YESNO ? IDYES : IDOK);
        });
    }

    void TearDown() override
    {
        ui_set_modal_hook(nullptr);
        ui_set_file_hook(nullptr);
        ui_set_help_hook(nullptr);
        scratch.reset();
    }

    std::wstring last_text() const { return boxes.empty() ? std::wstring() : boxes.back().text; }

    // What a run of a saved profile showed: its result, the error dialogs it raised (each answered
    // with Continue), and the finish page's heading and list of errors.
    struct profile_run {
        int rc = 0;
        std::vector<std::wstring> dialogs;
        std::wstring heading, lines;
    };

    // Saves a profile of the script road for one table of `mdb` (logging into `log`, when one is
    // given) and runs it as `dravlen profile` does.
    profile_run run_script_profile(const fs::path& mdb, const std::wstring& table, const fs::path& script,
                                   const fs::path& log = {})
    {
        const fs::path profile = fs::path(script).replace_extension(".qel");
        {
            gui_error_handler handler(tk_sql_error_count, tk_sql_error_table);
            dravlen_convertor c(false);
            c.direct = false;
            c.source = win_wide_from_utf8(mdb.string());
            c.destination = win_wide_from_utf8(script.string());
            c.selected_queries = {{table, L""}};
            if (!log.empty())
                c.logfile = log.string();
            EXPECT_TRUE(c.store_profile_file(win_wide_from_utf8(profile.string())));
        }
        profile_run run;
        answer = [&run](ui_dialog& d) {
            if (d.template_id() == 115) {
                run.dialogs.push_back(static_cast<dlg_error_continue&>(d).message());
                d.press(2);   // Continue
            } else if (auto* m = dynamic_cast<ui_message_dialog*>(&d)) {
                m->press(IDOK);
            }
        };
        run.rc = dravlen_main(profile.string(), [&run](wizard_shell& shell) {
            shell.create();
            ui_wait_while([&]() { return shell.active_page() && shell.active_page()->template_id() != 116; });
            run.heading = shell.active_page()->get_text(1313, 0);
            run.lines = shell.active_page()->get_text(1016, 0);
            shell.press_finish();
            return shell.result();
        });
        answer = nullptr;
        return run;
    }

    std::optional<drav_test::scratch_dir> scratch;
    fs::path tmp;
    std::vector<seen_box> boxes;
    std::function<void(ui_dialog&)> answer;
};

// The process-wide objects and pages as the entry builds them, for a normal start.
struct wizard_set {
    wizard_set()
        : handler(tk_sql_error_count, tk_sql_error_table), converter(false),
          shell(L"Veltrane 6.3", 501, 311, 312), welcome(L"qel"), tables(qel_no_tables_question),
          finish(qel_success_text, qel_error_text, qel_cancel_text, L"qel")
    {
        converter.set_frontend(&frontend);
        for (ui_page* p : std::initializer_list<ui_page*>{&welcome, &mssql, &dump, &ugl, &files, &tables,
                                                         &progress, &finish})
            shell.add_page(p);
    }
    int active_id() const { return shell.active_page() ? shell.active_page()->template_id() : 0; }

    gui_error_handler handler;
    dravlen_convertor converter;
    gui_frontend frontend;
    wizard_shell shell;
    welcome_page welcome;
    mssql_settings_page mssql;
    dump_settings_page dump;
    ugl_page ugl;
    sel_file_page files;
    qel_sel_tables_page tables;
    progress_page progress;
    qel_finish_page finish;
};

TEST_F(WizardTest, NormalStartHasEightPagesInOrderAndCancelEndsIt)
{
    std::vector<int> ids;
    const int rc = dravlen_main("", [&](wizard_shell& shell) {
        for (ui_page* p : shell.pages())
            ids.push_back(p->template_id());
        shell.create();
        EXPECT_EQ(shell.active_page()->template_id(), 103);
        EXPECT_TRUE(wizard_shell::is_initialized());
        EXPECT_EQ(shell.title_text(), L"Veltrane 6.3");
        shell.press_cancel();   // the hooked user answers Yes
        return shell.result();
    });
    EXPECT_EQ(ids, (std::vector<int>{103, 118, 109, 105, 106, 127, 107, 116}));
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(last_text(), L"Are you sure you want to exit the wizard?");
}

TEST_F(WizardTest, ScriptRoadSkipsTheServerPageAndBackFromScriptSettingsReturnsToWelcome)
{
    wizard_set w;
    w.shell.create();
    EXPECT_EQ(w.active_id(), 103);
    EXPECT_TRUE(w.welcome.is_checked(1329));   // direct by default
    w.welcome.press(1330);
    w.shell.press_next();
    EXPECT_FALSE(w.converter.direct);
    EXPECT_EQ(w.active_id(), 109);
    EXPECT_EQ(w.shell.active_page()->header_title(), L"Step 1 of 5");

    // create table off: the create-database box is disabled; the options go back to the converter.
    w.dump.press(1204);
    EXPECT_FALSE(w.dump.is_checked(1204));
    EXPECT_TRUE(w.dump.is_enabled(1203));   // the box follows on the next entry
    w.shell.press_back();
    EXPECT_EQ(w.active_id(), 103);
    EXPECT_FALSE(w.converter.dump_options.create_table);
    EXPECT_FALSE(w.converter.dump_options.unicode);
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 109);
    EXPECT_FALSE(w.dump.is_enabled(1203));
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 105);
}

TEST_F(WizardTest, WorkgroupPageChecksItsFieldsBeforeGoingOn)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(105));
    EXPECT_FALSE(w.ugl.is_enabled(1003));
    w.ugl.press(1202);
    EXPECT_TRUE(w.ugl.is_checked(1202));
    EXPECT_TRUE(w.ugl.is_enabled(1003));

    w.ugl.set_text(1003, (tmp / "missing.mdw").wstring());
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 105);
    EXPECT_EQ(last_text(), L"Workgroup information file does not exist.\r\nPlease verify the correct path was given.");

    w.ugl.set_text(1003, tk_to_wstring(mdb));   // an ordinary database, not a workgroup file
    w.ugl.set_text(1004, L"admin");
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 105);
    EXPECT_EQ(last_text().substr(0, 40), L"The file does not comply with MS Access ");

    w.ugl.set_text(1003, L"");
    w.ugl.set_text(1004, L"  admin ");
    w.shell.press_next();
    EXPECT_EQ(last_text(), L"You should enter path to MS Access workgroup information file");
    EXPECT_EQ(w.converter.ugl_user, L"admin");   // stored trimmed

    w.ugl.set_text(1004, L"");
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 106);
    EXPECT_TRUE(w.converter.use_workgroup);   // the box is what the run consults

    // Switched off, the greyed fields are neither checked nor used.
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(105));
    EXPECT_TRUE(w.ugl.is_checked(1202));
    w.ugl.set_text(1003, (tmp / "missing.mdw").wstring());
    w.ugl.set_text(1004, L"admin");
    w.ugl.press(1202);
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 106);
    EXPECT_FALSE(w.converter.use_workgroup);
    EXPECT_FALSE(w.converter.applies_workgroup());
}

TEST_F(WizardTest, FileSelectionPageChecksSourceAndDestinationAndOpensTheSource)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    EXPECT_EQ(w.files.get_text(1311), L"&Destination T-SQL script path:");
    EXPECT_TRUE(w.files.is_visible(1104));

    w.shell.press_next();
    EXPECT_EQ(last_text(), L"You should enter MS Access database name");
    w.files.set_text(1003, (tmp / "none.mdb").wstring());
    w.shell.press_next();
    EXPECT_EQ(last_text(), L"You should enter T-SQL script file name");
    const fs::path script = tmp / "out.sql";
    w.files.set_text(1004, script.wstring());
    w.shell.press_next();
    EXPECT_EQ(last_text(), L"Source file does not exist.\r\nPlease verify the correct path was given.");
    EXPECT_EQ(w.active_id(), 106);

    w.files.set_text(1003, tk_to_wstring(mdb));
    w.files.set_text(1004, tmp.wstring());
    w.shell.press_next();
    EXPECT_EQ(last_text(), L"Destination name should specify a file, not folder.");

    std::ofstream(script) << "old";
    w.files.set_text(1004, script.wstring());
    answer = [](ui_dialog& d) { d.press(IDNO); };
    w.shell.press_next();
    EXPECT_EQ(last_text(), L"Destination file already exists. Overwrite?\n\n" + script.wstring());
    EXPECT_EQ(w.active_id(), 106);
    EXPECT_TRUE(fs::exists(script));

    answer = nullptr;
    w.files.press(1228);
    w.shell.press_next();
    // The user agreed, but the old script stays until the run has opened the source.
    EXPECT_EQ(drav_test::read_file(script), "old");
    EXPECT_TRUE(w.converter.only_definitions);
    EXPECT_EQ(w.active_id(), 127);
    EXPECT_GT(w.tables.lb_count(1317), 0);

    w.shell.press_back();
    EXPECT_EQ(w.active_id(), 106);
    w.shell.press_back();
    EXPECT_EQ(w.active_id(), 105);   // script road: the security page
}

TEST_F(WizardTest, FileSelectionPageFillsTheDestinationFromTheSource)
{
    wizard_set w;
    w.converter.direct = true;
    w.converter.source = (tmp / "shop.mdb").wstring();
    w.converter.destination = L"my.db";
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    EXPECT_EQ(w.files.get_text(1004), L"my");   // split like a file name
    EXPECT_FALSE(w.files.is_visible(1104));

    ui_set_file_hook([&](ui_file_request& r) {
        EXPECT_EQ(r.title, L"Select MS Access database to convert");
        r.file = (tmp / "other.accdb").wstring();
        return true;
    });
    w.files.press(1107);
    EXPECT_EQ(w.files.get_text(1003), (tmp / "other.accdb").wstring());
    EXPECT_EQ(w.files.get_text(1004), L"other");

    w.files.set_text(1004, L"");
    w.files.focus(1004);
    EXPECT_EQ(w.files.get_text(1004), L"other");
}

TEST_F(WizardTest, QueryDialogAcceptsOnlySelectTextsAndTheTableListTakesQueries)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    wizard_set w;
    w.converter.direct = false;
    w.converter.source = tk_to_wstring(mdb);
    w.converter.available_queries = {{L"Old", L"SELECT 1"}};
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(127));
    const int tables = w.tables.lb_count(1317);
    ASSERT_GT(tables, 1);   // the source's tables and the defined query
    EXPECT_GE(w.tables.lb_find_exact(1317, L"Old"), 0);
    EXPECT_TRUE(w.tables.is_visible(1114));
    EXPECT_FALSE(w.tables.is_visible(1117));

    // SELEC and UPDATE are refused; leading blanks are dropped.
    std::vector<std::wstring> texts = {L"SELEC", L"UPDATE T SET X = 1", L"   select * from T"};
    std::size_t attempt = 0;
    std::wstring first_table = w.tables.lb_text(1317, 0) == L"Old" ? w.tables.lb_text(1317, 1) : w.tables.lb_text(1317, 0);
    w.converter.destination = (tmp / "q.sql").wstring();
    answer = [&](ui_dialog& d) {
        if (d.template_id() == 128) {
            if (attempt == 0) {
                d.set_text(1019, L"");
                d.press(IDOK);   // empty name
            }
            d.set_text(1019, attempt < 3 ? L"Q1" : first_table);
            d.set_text(1020, texts[std::min<std::size_t>(attempt, 2)]);
            ++attempt;
            d.press(IDOK);
            if (!d.is_ended())
                d.press(IDCANCEL);
        } else if (auto* m = dynamic_cast<ui_message_dialog*>(&d)) {
            m->press(IDOK);
        }
    };
    for (int i = 0; i < 3; ++i)
        w.tables.press(1114);
    ASSERT_GE(boxes.size(), 4u);
    std::vector<std::wstring> msgs;
    for (const auto& b : boxes)
        if (b.id == ui_message_template_id)
            msgs.push_back(b.text);
    EXPECT_EQ(msgs[0], L"Table name is empty!");
    EXPECT_EQ(msgs[1], L"The query must start with SELECT.");
    EXPECT_EQ(msgs[2], L"The query must start with SELECT.");
    ASSERT_EQ(w.tables.chosen_queries.size(), 1u);
    EXPECT_EQ(w.tables.chosen_queries[0], (std::pair<std::wstring, std::wstring>{L"Q1", L"select * from T"}));

    // Removing the query returns it to the available side; adding moves it back.
    w.tables.lb_clear_selection(1318);
    w.tables.lb_select(1318, w.tables.lb_find_exact(1318, L"Q1"), true);
    w.tables.press(1111);
    EXPECT_TRUE(w.tables.chosen_queries.empty());
    ASSERT_EQ(w.tables.available_queries.size(), 2u);
    w.tables.lb_clear_selection(1317);
    w.tables.lb_select(1317, w.tables.lb_find_exact(1317, L"Q1"), true);
    w.tables.press(1101);
    ASSERT_EQ(w.tables.chosen_queries.size(), 1u);

    // A table name chosen already is a duplicate in any letter case: the dialog opens again.
    w.tables.lb_clear_selection(1317);
    w.tables.lb_select(1317, w.tables.lb_find_exact(1317, first_table), true);
    w.tables.press(1101);
    attempt = 3;
    int opened = 0;
    answer = [&](ui_dialog& d) {
        if (d.template_id() == 128) {
            ++opened;
            if (opened == 2) {
                EXPECT_EQ(d.get_text(1020, 0), L"select * from T");   // the values just entered
                d.press(IDCANCEL);
                return;
            }
            d.set_text(1019, tk_to_wstring(tk_to_string(first_table)));
            d.set_text(1020, L"select * from T");
            d.press(IDOK);
        } else if (auto* m = dynamic_cast<ui_message_dialog*>(&d)) {
            EXPECT_EQ(m->text(), L"Duplicate table name. Try again.");
            m->press(IDOK);
        }
    };
    w.tables.press(1114);
    EXPECT_EQ(opened, 2);
    answer = nullptr;

    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 107);
    w.progress.request_stop();
    ui_wait_while([&]() { return w.progress.is_running(); });
    EXPECT_EQ(w.converter.selected_tables, std::vector<std::wstring>{first_table});
}

TEST_F(WizardTest, ProgressPercentage)
{
    EXPECT_EQ(progress_page::percentage(0, 0, 0, 0), 0u);
    EXPECT_EQ(progress_page::percentage(2, 1, 100, 50), 75u);
    EXPECT_EQ(progress_page::percentage(3, 3, 0, 0), 100u);
    EXPECT_EQ(progress_page::percentage(1, 0, 10, 10), 100u);
}

TEST_F(WizardTest, FinishPageListsTheRunsErrorsReadOnlyAndDisablesCancelAndHelp)
{
    {
    wizard_set w;
    w.shell.create();
    w.shell.add_error("first\nline");
    w.shell.add_error("second");
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(116));
    EXPECT_EQ(w.finish.get_text(1313, 0), L"Conversion Ended with Errors");
    EXPECT_EQ(w.finish.get_text(1314, 0), qel_error_text);
    EXPECT_TRUE(w.finish.is_visible(1016));
    EXPECT_EQ(w.finish.get_text(1016, 0), L"first line\n\nsecond\n\n");
    EXPECT_TRUE(w.finish.is_read_only(1016));
    EXPECT_FALSE(w.shell.is_button_enabled(PSBTN_CANCEL));
    EXPECT_FALSE(w.shell.is_button_enabled(PSBTN_HELP));
    EXPECT_TRUE(w.shell.is_button_enabled(PSBTN_FINISH));
    w.shell.press_finish();
    EXPECT_TRUE(w.shell.is_ended());
    EXPECT_EQ(w.shell.result(), 0);
    }
    wizard_set ok;
    ok.shell.create();
    ASSERT_TRUE(ok.shell.set_cur_sel_by_id(116));
    EXPECT_EQ(ok.finish.get_text(1313, 0), L"Conversion is Completed");
    EXPECT_EQ(ok.finish.get_text(1314, 0), qel_success_text);
    EXPECT_FALSE(ok.finish.is_visible(1016));
}

TEST_F(WizardTest, ProfileSavedOnTheFinishPageLoadsBackThroughTheWelcomePage)
{
    const fs::path profile = tmp / "settings";
    {
        wizard_set w;
        w.converter.direct = false;
        w.converter.source = L"/data/shop.mdb";
        w.converter.destination = L"/data/shop.sql";
        w.converter.host = L"db-host";
        // After a run the list holds the tables as pairs without text, and the user's queries.
        w.converter.selected_queries = {{L"Top", L"SELECT * FROM Orders"}, {L"Orders", L""}, {L"Items", L""}};
        w.converter.only_definitions = true;
        w.shell.create();
        ASSERT_TRUE(w.shell.set_cur_sel_by_id(116));
        ui_set_file_hook([&](ui_file_request& r) {
            EXPECT_TRUE(r.save);
            r.file = profile.wstring();
            return true;
        });
        w.finish.press(1116);
        ASSERT_TRUE(fs::exists(profile.string() + ".qel"));

        // Saving onto an existing profile asks first; No leaves it as it was.
        std::ofstream(profile.string() + ".qel") << "kept";
        answer = [](ui_dialog& d) { d.press(IDNO); };
        w.finish.press(1116);
        EXPECT_EQ(last_text(), L"The file '" + profile.wstring() + L".qel' already exists. Overwrite it?");
        std::stringstream kept;
        kept << std::ifstream(profile.string() + ".qel").rdbuf();
        EXPECT_EQ(kept.str(), "kept");
        answer = nullptr;   // Yes
        w.finish.press(1116);
    }
    ASSERT_TRUE(fs::exists(profile.string() + ".qel"));

    fs::remove(std::getenv("DRAV_REGISTRY_FILE"));

    wizard_set w;
    w.shell.create();
    ui_set_file_hook([&](ui_file_request& r) {
        EXPECT_FALSE(r.save);
        EXPECT_EQ(r.title, L"Select Profile");
        r.file = profile.wstring() + L".qel";
        return true;
    });
    w.welcome.press(1115);
    EXPECT_FALSE(w.converter.direct);
    EXPECT_EQ(w.converter.source, L"/data/shop.mdb");
    EXPECT_EQ(w.converter.destination, L"/data/shop.sql");
    EXPECT_EQ(w.converter.host, L"db-host");
    EXPECT_TRUE(w.converter.only_definitions);
    EXPECT_EQ(w.converter.selected_queries,
              (udb_converter::name_text_list{{L"Top", L"SELECT * FROM Orders"}, {L"Orders", L""}, {L"Items", L""}}));

    // A profile that does not exist is reported, the wizard goes on.
    ui_set_file_hook([&](ui_file_request& r) {
        r.file = (tmp / "gone.qel").wstring();
        return true;
    });
    const std::size_t before = boxes.size();
    w.welcome.press(1115);
    EXPECT_EQ(boxes.size(), before + 1);
    EXPECT_EQ(boxes.back().caption, L"Veltrane 6.3 Error");
}

TEST_F(WizardTest, QuickLaunchConvertsACorpusFileIntoAScript)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    const fs::path script = tmp / "quick.sql";
    const fs::path profile = tmp / "quick.qel";
    {
        gui_error_handler handler(tk_sql_error_count, tk_sql_error_table);
        dravlen_convertor c(false);
        c.direct = false;
        c.source = tk_to_wstring(mdb);
        c.destination = script.wstring();
        std::vector<std::wstring> tables;
        c.get_all_tables(tables);
        ASSERT_FALSE(tables.empty());
        for (const auto& t : tables)
            c.selected_queries.emplace_back(t, L"");   // tables as a run leaves them in the list
        ASSERT_TRUE(c.store_profile_file(profile.wstring()));
    }
    std::ofstream(script) << "stale";   // an existing script is replaced
    std::vector<int> ids;
    int finish_seen = 0;
    std::wstring heading, result, note;
    const int rc = dravlen_main(profile.string(), [&](wizard_shell& shell) {
        for (ui_page* p : shell.pages())
            ids.push_back(p->template_id());
        shell.create();
        ui_wait_while([&]() { return shell.active_page() && shell.active_page()->template_id() != 116; });
        if (ui_page* p = shell.active_page()) {
            finish_seen = p->template_id();
            heading = p->get_text(1313, 0);
            result = p->get_text(1314, 0);
            note = p->get_text(1315, 0);
        }
        shell.press_finish();
        return shell.result();
    });
    EXPECT_EQ(ids, (std::vector<int>{107, 116}));
    EXPECT_EQ(finish_seen, 116);
    // A script was written, not a server database.
    EXPECT_EQ(heading, L"Conversion is Completed");
    EXPECT_EQ(result, qel_script_success_text);
    EXPECT_EQ(note, L"The T-SQL script is in '" + script.wstring() + L"'.");
    EXPECT_EQ(rc, 0);
    std::ifstream in(script);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("CREATE TABLE"), std::string::npos) << text.str().substr(0, 2000);
    for (const auto& b : boxes)
        ADD_FAILURE() << tk_to_string(b.caption + L": " + b.text);   // the run reported no error
    EXPECT_EQ(text.str().find("stale"), std::string::npos);
}

} // namespace

namespace {

TEST_F(WizardTest, OverwriteDialogStartsOnOverwriteAndReturnsTheChosenMode)
{
    wizard_set w;
    w.shell.create();
    std::vector<int> helped;
    ui_set_help_hook([&](const std::wstring&, int id) {
        helped.push_back(id);
        return true;
    });
    answer = [](ui_dialog& d) {
        EXPECT_EQ(d.caption(), L"Veltrane 6.3 Warning");
        EXPECT_EQ(d.get_text(1320, 0), L"text");
        EXPECT_TRUE(d.is_checked(1329));
        d.press(1331);
        d.press(IDOK);
    };
    overwrite_dlg2<121> skip(L"text", 1012);
    EXPECT_EQ(skip.do_modal(), 1);
    EXPECT_EQ(skip.mode, 2);

    answer = [](ui_dialog& d) {
        d.press(1332);
        d.press(IDCANCEL);
    };
    overwrite_dlg2<121> cancelled(L"text", 1012);
    EXPECT_EQ(cancelled.do_modal(), 2);
    EXPECT_EQ(cancelled.mode, 0);
}

TEST_F(WizardTest, ServerPageTurnsLoginFieldsWithTheAuthenticationAndStaysOnAFailedConnection)
{
    wizard_set w;
    w.converter.direct = true;
    w.converter.secure_login = true;
    w.shell.create();
    w.shell.press_next();
    ASSERT_EQ(w.active_id(), 118);
    EXPECT_TRUE(w.mssql.is_checked(1329));
    EXPECT_FALSE(w.mssql.is_enabled(1012));
    EXPECT_FALSE(w.mssql.is_enabled(1013));
    w.mssql.press(1330);
    EXPECT_TRUE(w.mssql.is_enabled(1012));
    EXPECT_TRUE(w.mssql.is_enabled(1013));

    // Nothing listens on port 1: the check fails, its text is shown and the page stays.
    w.mssql.set_text(1014, L"127.0.0.1,1");
    w.mssql.set_text(1012, L"sa");
    w.mssql.set_text(1013, L"secret");
    w.mssql.set_text(1002, L"target");
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 118);
    EXPECT_FALSE(w.converter.secure_login);
    EXPECT_EQ(w.converter.login, L"sa");
    EXPECT_EQ(w.converter.destination, L"target");
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[boxes.size() - 2].id, 101);   // the waiting dialog, then the error
    EXPECT_EQ(boxes.back().caption, L"Veltrane 6.3 Error");
    EXPECT_FALSE(boxes.back().text.empty());
    const std::size_t after_first = boxes.size();
    w.shell.press_next();   // a second Next runs a new check
    EXPECT_EQ(w.active_id(), 118);
    EXPECT_EQ(boxes.size(), after_first * 2);
    w.shell.press_back();
    EXPECT_EQ(w.active_id(), 103);
}

TEST_F(WizardTest, QuickLaunchToAnUnreachableServerEndsWithoutTheWizard)
{
    const fs::path profile = tmp / "direct.qel";
    {
        gui_error_handler handler(tk_sql_error_count, tk_sql_error_table);
        dravlen_convertor c(false);
        c.direct = true;
        c.source = L"/nowhere/src.mdb";
        c.destination = L"target";
        c.host = L"127.0.0.1,1";
        c.login = L"sa";
        c.secure_login = false;
        ASSERT_TRUE(c.store_profile_file(profile.wstring()));
    }
    bool sheet_ran = false;
    const int rc = dravlen_main(profile.string(), [&](wizard_shell&) {
        sheet_ran = true;
        return 0;
    });
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(sheet_ran);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().caption, L"Error");   // the wizard never showed
}

} // namespace

namespace {

TEST_F(WizardTest, RunErrorsAreListedOnTheFinishPageAndTheRunGoesOn)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    const fs::path script = tmp / "errors.sql";
    const fs::path profile = tmp / "errors.qel";
    std::wstring table;
    {
        gui_error_handler handler(tk_sql_error_count, tk_sql_error_table);
        dravlen_convertor c(false);
        c.direct = false;
        c.source = tk_to_wstring(mdb);
        c.destination = script.wstring();
        std::vector<std::wstring> tables;
        c.get_all_tables(tables);
        ASSERT_FALSE(tables.empty());
        table = tables[0];
        c.selected_queries = {{L"Broken", L"SELECT * FROM NoSuchTable"}, {table, L""}};
        ASSERT_TRUE(c.store_profile_file(profile.wstring()));
    }
    answer = [](ui_dialog& d) {
        if (d.template_id() == 115)
            d.press(2);   // Continue
        else if (auto* m = dynamic_cast<ui_message_dialog*>(&d))
            m->press(IDOK);
    };
    std::wstring heading, result, lines, note;
    const int rc = dravlen_main(profile.string(), [&](wizard_shell& shell) {
        shell.create();
        ui_wait_while([&]() { return shell.active_page() && shell.active_page()->template_id() != 116; });
        ui_page* finish = shell.active_page();
        heading = finish->get_text(1313, 0);
        result = finish->get_text(1314, 0);
        lines = finish->get_text(1016, 0);
        note = finish->get_text(1315, 0);
        shell.press_finish();
        return shell.result();
    });
    EXPECT_EQ(heading, L"Conversion Ended with Errors");
    EXPECT_EQ(result, qel_error_text);
    EXPECT_EQ(note, L"The T-SQL script in '" + script.wstring() + L"' is incomplete.");
    EXPECT_EQ(rc, -1);   // a query that was not converted makes the run a failure
    EXPECT_EQ(lines.rfind(L"Broken: ", 0), 0u) << tk_to_string(lines);
    EXPECT_EQ(lines.find(L'\n'), lines.size() - 2);   // one line, then the empty line
    std::ifstream in(script);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("CREATE TABLE"), std::string::npos);   // the table after the error
}

} // namespace

namespace {

// A value changed so that the server can hold it is a recoverable error of its record: the dialog
// names it, the run goes on, the finish page lists it and the run ends in failure.
TEST_F(WizardTest, ValuesChangedToFitTheServerAreShownAndTheRunGoesOn)
{
    const fs::path mdb = tmp / "numbers.mdb";
    {
        auto w = drav_test::new_keyed_table(mdb.string(), jet::file_format::jet4, L"N",
                                            {drav_test::counter_id(), drav_test::col(L"X", jet::column_type::double_)});
        for (double v : {1.5, std::nan(""), 1e-310}) {
            std::vector<jet::value> row{jet::value(), jet::value(v)};
            w->append(L"N", row);
        }
        w->flush();
    }
    const fs::path script = tmp / "numbers.sql";
    const auto [rc, dialogs, heading, lines] = run_script_profile(mdb, L"N", script);
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[0], L"N, record #2: the value nan of column 'X' does not fit the server and was written as NULL");
    EXPECT_EQ(dialogs[1].rfind(L"N, record #3: the value 9.9999999999999694e-311 of column 'X'", 0), 0u)
        << tk_to_string(dialogs[1]);
    EXPECT_NE(lines.find(L"N, record #2: the value nan"), std::wstring::npos) << tk_to_string(lines);
    EXPECT_NE(drav_test::read_file(script).find("2.2300000000000001e-308"), std::string::npos);   // the row went on
}

// Indexes the server cannot hold are each shown with table and reason, listed on the finish page,
// and the run ends in failure.
TEST_F(WizardTest, IndexesLeftOutAreShownAndListedOnTheFinishPage)
{
    const fs::path mdb = tmp / "idx.mdb";
    drav_test::write_unindexable_table(mdb);
    const auto [rc, dialogs, heading, lines] = run_script_profile(mdb, L"Flags", tmp / "idx.sql");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(heading, L"Conversion Ended with Errors");
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_EQ(dialogs[0], L"Flags: The index 'ByDone' was left out: an index on a Yes/No column ('Done') is not converted.");
    EXPECT_EQ(dialogs[1].rfind(L"Flags: The unique index 'LongKey' was left out: ", 0), 0u) << tk_to_string(dialogs[1]);
    for (const wchar_t* name : {L"'ByDone'", L"'LongKey'", L"'ByBody'"})
        EXPECT_NE(lines.find(name), std::wstring::npos) << tk_to_string(lines);
}

} // namespace

namespace {

TEST_F(WizardTest, BrowseButtonsUseTheirFiltersAndTheScriptNameGetsItsExtension)
{
    wizard_set w;
    w.converter.direct = true;
    w.shell.create();
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 118);   // direct: the server page comes next
    w.shell.press_back();
    w.welcome.press(1330);
    w.shell.press_next();
    w.shell.press_next();
    ASSERT_EQ(w.active_id(), 105);

    std::vector<ui_file_request> seen;
    ui_set_file_hook([&](ui_file_request& r) {
        seen.push_back(r);
        r.file = r.save ? (tmp / "target").wstring() : (tmp / "system.mdw").wstring();
        return true;
    });
    w.ugl.press(1202);
    w.ugl.press(1107);
    EXPECT_EQ(w.ugl.get_text(1003), (tmp / "system.mdw").wstring());
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    w.files.press(1104);
    EXPECT_EQ(w.files.get_text(1004), (tmp / "target.sql").wstring());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].title, L"Select Workgroup Information File");
    EXPECT_EQ(ui_filter_to_text(seen[0].filter), L"Workgroup Information Files (*.mdw);;All Files (*)");
    EXPECT_TRUE(seen[1].save);
    EXPECT_EQ(seen[1].title, L"Select File");
}

} // namespace

namespace {

TEST_F(WizardTest, QuickLaunchWithAMissingProfileReportsItAndFails)
{
    bool sheet_ran = false;
    const int rc = dravlen_main((tmp / "missing.qel").string(), [&](wizard_shell&) {
        sheet_ran = true;
        return 0;
    });
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(sheet_ran);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, tk_to_wstring(tk_message(tk_msg_profile_missing)));
}

} // namespace

namespace {

TEST_F(WizardTest, CancelDuringARunStopsTheRunInsteadOfClosingUnderIt)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    const fs::path script = tmp / "stopped.sql";
    const fs::path profile = tmp / "stopped.qel";
    {
        gui_error_handler handler(tk_sql_error_count, tk_sql_error_table);
        dravlen_convertor c(false);
        c.direct = false;
        c.source = tk_to_wstring(mdb);
        c.destination = script.wstring();
        std::vector<std::wstring> tables;
        c.get_all_tables(tables);
        ASSERT_FALSE(tables.empty());
        c.selected_queries = {{L"Broken", L"SELECT * FROM NoSuchTable"}};
        for (const auto& t : tables)
            c.selected_queries.emplace_back(t, L"");
        c.logfile = (tmp / "stopped.log").string();
        ASSERT_TRUE(c.store_profile_file(profile.wstring()));
    }
    std::ofstream(tmp / "stopped.log") << "the last run's log";
    wizard_shell* sheet = nullptr;
    bool cancelled = false;
    answer = [&](ui_dialog& d) {
        auto* m = dynamic_cast<ui_message_dialog*>(&d);
        if (d.template_id() == 115) {
            if (!cancelled) {
                cancelled = true;
                sheet->press_cancel();   // the user closes the wizard while the run waits
            }
            d.press(2);
        } else if (m) {
            if (!cancelled && (m->flags() & 0xF) != MB_YESNO) {
                cancelled = true;
                sheet->press_cancel();
            }
            m->press((m->flags() & 0xF) == MB_YESNO ? IDYES : IDOK);
        }
    };
    bool ended_early = true;
    std::wstring heading, result, note;
    const int rc = dravlen_main(profile.string(), [&](wizard_shell& shell) {
        sheet = &shell;
        shell.create();
        ui_wait_while([&]() { return shell.active_page() && shell.active_page()->template_id() != 116; });
        ended_early = shell.is_ended();
        if (ui_page* p = shell.active_page()) {
            heading = p->get_text(1313, 0);
            result = p->get_text(1314, 0);
            note = p->get_text(1315, 0);
        }
        shell.press_finish();
        return shell.result();
    });
    EXPECT_TRUE(cancelled);
    // Not the success text, and not only "some errors"; no script named that is not there.
    EXPECT_EQ(heading, L"Conversion was Cancelled");
    EXPECT_EQ(result, qel_script_cancel_text);
    EXPECT_FALSE(fs::exists(script));
    EXPECT_EQ(note, L"No T-SQL script was written.");
    // The run's log replaced the last one and says the run was cut short.
    const std::string log = drav_test::read_file(tmp / "stopped.log");
    EXPECT_EQ(log.find("the last run's log"), std::string::npos);
    EXPECT_NE(log.find("Conversion cancelled before it was complete"), std::string::npos) << log;
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(ended_early);   // the sheet stayed until the run had stopped
    bool asked = false;
    for (const auto& b : boxes)
        asked = asked || b.text == L"Are you sure you want to exit the wizard?";
    EXPECT_TRUE(asked);
    std::ifstream in(script);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str().find("CREATE TABLE"), std::string::npos);   // stopped before the tables
}

} // namespace

namespace {

// The script road up to the run, as a user goes: the file page filled in (with the database
// password) and Next pressed, every table chosen and Next pressed once more. False when the file
// page keeps the user.
bool start_script_run(wizard_set& w, const std::string& source, const std::wstring& password,
                      const fs::path& script)
{
    EXPECT_TRUE(w.shell.set_cur_sel_by_id(106));
    w.files.set_text(1003, tk_to_wstring(source));
    w.files.set_text(1007, password);
    w.files.set_text(1004, script.wstring());
    w.shell.press_next();
    if (w.active_id() != 127)
        return false;
    w.tables.press(1102);   // Add all
    w.shell.press_next();
    return true;
}

// Converts a source into a script through the pages, as a user does: file selection (with the
// database password), every table, the run, the finish page. Returns the finish page's text.
std::wstring run_through_pages(wizard_set& w, const std::string& source, const std::wstring& password,
                               const fs::path& script)
{
    if (!start_script_run(w, source, password, script))
        return L"stayed on page " + std::to_wstring(w.active_id());
    ui_wait_while([&]() { return w.active_id() != 116; });
    return w.finish.get_text(1314, 0);
}

std::wstring convert_through_pages(const std::string& source, const std::wstring& password, const fs::path& script)
{
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    return run_through_pages(w, source, password, script);
}

TEST_F(WizardTest, ErrorsOfThePagesBeforeTheRunAreNotTheRunsErrors)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    ui_set_file_hook([&](ui_file_request& r) {
        r.file = (tmp / "gone.qel").wstring();
        return true;
    });
    w.welcome.press(1115);   // a profile that is not there: reported on the welcome page
    EXPECT_EQ(w.shell.errors().size(), 1u);
    EXPECT_EQ(run_through_pages(w, mdb, L"", tmp / "out.sql"), qel_script_success_text);
    EXPECT_EQ(w.converter.outcome(), run_outcome::succeeded);
}

TEST_F(WizardTest, EveryProtectedCorpusFileConvertsThroughThePagesWithItsPassword)
{
    int converted = 0;
    for (const auto& f : drav_test::protected_files) {
        const std::string src = drav_test::testdata(f.path);
        if (src.empty())
            continue;
        const fs::path script = tmp / "protected.sql";
        fs::remove(script);
        boxes.clear();
        EXPECT_EQ(convert_through_pages(src, tk_to_wstring(drav_test::corpus_db_password), script), qel_script_success_text)
            << f.path;
        for (const auto& b : boxes)
            ADD_FAILURE() << f.path << ": " << tk_to_string(b.text);
        const std::string text = drav_test::read_file(script);
        EXPECT_NE(text.find("INSERT INTO"), std::string::npos) << f.path;
        ++converted;
        if (!f.twin)
            continue;
        const std::string twin = drav_test::testdata(f.twin);
        const fs::path twin_script = tmp / "twin.sql";
        EXPECT_EQ(convert_through_pages(twin, L"", twin_script), qel_script_success_text) << f.twin;
        EXPECT_EQ(drav_test::script_body(drav_test::read_file(twin_script)), drav_test::script_body(text)) << f.path;
    }
    if (converted == 0)
        GTEST_SKIP() << "no protected corpus file found";
    // The password went neither into the settings kept for the next start nor into the log.
    EXPECT_EQ(drav_test::read_file(std::getenv("DRAV_REGISTRY_FILE")).find(drav_test::corpus_db_password),
              std::string::npos);
}

TEST_F(WizardTest, AWrongDatabasePasswordKeepsTheFileSelectionPageAndTheOldScript)
{
    DRAV_TESTDATA_OR_SKIP(src, drav_test::protected_files[1].path);
    const fs::path script = tmp / "kept.sql";
    std::ofstream(script) << "old";
    tk_logger logger(nullptr, false, 3, false);
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    EXPECT_NE(w.files.item(1007), nullptr);   // the password field under the file name
    w.files.set_text(1003, tk_to_wstring(src));
    w.files.set_text(1004, script.wstring());
    w.files.set_text(1006, (tmp / "wizard.log").wstring());
    std::ofstream(tmp / "wizard.log") << "the last run's log";
    for (const wchar_t* wrong : {L"", L"N0tTheR1ght0ne"}) {
        boxes.clear();
        w.files.set_text(1007, wrong);
        w.shell.press_next();
        EXPECT_EQ(w.active_id(), 106);
        // Refused before the user is asked about the old script, which stays.
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, L"Not a valid password. (file '" + tk_to_wstring(src) + L"')");
        EXPECT_EQ(drav_test::read_file(script), "old");
    }
    // Back and forth on the pages keeps what was typed (for this start of the program only).
    w.files.set_text(1007, tk_to_wstring(drav_test::corpus_db_password));
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 127);
    w.shell.press_back();
    EXPECT_EQ(w.files.get_text(1007), tk_to_wstring(drav_test::corpus_db_password));
    // Cancel before the run: the old script is untouched.
    w.shell.press_next();
    w.shell.press_cancel();
    EXPECT_EQ(drav_test::read_file(script), "old");
    // The log is the run's: refusals and a cancel before any run leave the last one whole.
    EXPECT_EQ(drav_test::read_file(tmp / "wizard.log"), "the last run's log");
    EXPECT_EQ(w.converter.logfile, (tmp / "wizard.log").string());
}

TEST_F(WizardTest, TestQueryAsksTheDatabaseAndShowsItsError)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    wizard_set w;
    w.converter.direct = false;
    w.converter.source = tk_to_wstring(mdb);
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(127));
    const std::wstring table = w.tables.lb_text(1317, 0);
    std::vector<std::wstring> said;
    answer = [&](ui_dialog& d) {
        if (d.template_id() == 128) {
            d.set_text(1019, L"Q");
            for (const std::wstring& sql : {std::wstring(L"SELECT * FROM [NoSuchTable]"),
                                            std::wstring(L"SELECT * FROM [") + table + L"]"}) {
                d.set_text(1020, sql);
                d.press(129);
            }
            d.press(IDCANCEL);
        } else if (auto* m = dynamic_cast<ui_message_dialog*>(&d)) {
            said.push_back(m->text());
            m->press(IDOK);
        }
    };
    w.tables.press(1114);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0], L"The query is correct.");
    EXPECT_NE(said[0].find(L"NoSuchTable"), std::wstring::npos) << tk_to_string(said[0]);
    EXPECT_EQ(said[1], L"The query is correct.");
}

TEST_F(WizardTest, QuickLaunchRefusesAFileThatIsNoProfileAndAModeOutsideTheFour)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    const fs::path seven = tmp / "seven.qel";
    std::ofstream(seven) << "[Generic settings]\nsrc=" << mdb << "\ndest=" << (tmp / "seven.sql").string()
                         << "\nmode=7\n[MS SQL Server settings]\ndirect mode=0\n";
    const std::pair<std::string, std::wstring> cases[] = {
        {mdb, L"The file '" + tk_to_wstring(mdb) + L"' is not a settings profile."},
        {seven.string(), L"Invalid merge/overwrite mode"},
    };
    for (const auto& [file, text] : cases) {
        boxes.clear();
        bool sheet_ran = false;
        const int rc = dravlen_main(file, [&](wizard_shell&) {
            sheet_ran = true;
            return 0;
        });
        EXPECT_EQ(rc, -1) << file;
        EXPECT_FALSE(sheet_ran) << file;
        ASSERT_EQ(boxes.size(), 1u) << file;
        EXPECT_EQ(boxes[0].text, text);
    }
    EXPECT_FALSE(fs::exists(tmp / "seven.sql"));
}

// A profile that keeps the server password where other users can read it: a warning box names
// it and its mode before the wizard goes on; a profile of mode 0600 gives none.
TEST_F(WizardTest, AProfileOthersCanReadWithThePasswordIsWarnedOf)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    const fs::path profile = tmp / "shared.qel";
    std::ofstream(profile) << "[Generic settings]\nsrc=" << mdb << "\ndest=" << (tmp / "out.sql").string()
                           << "\n[MS SQL Server settings]\npassword=Secret\ndirect mode=0\n";
    for (const auto mode : {fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                            fs::perms::owner_read | fs::perms::owner_write}) {
        fs::permissions(profile, mode);
        boxes.clear();
        bool sheet_ran = false;
        dravlen_main(profile.string(), [&](wizard_shell&) {
            sheet_ran = true;
            return 0;
        });
        EXPECT_TRUE(sheet_ran);
        if ((mode & fs::perms::group_read) == fs::perms::none) {
            EXPECT_TRUE(boxes.empty()) << tk_to_string(last_text());
            continue;
        }
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, L"Warning");
        EXPECT_EQ(boxes[0].text, L"Warning: the profile " + tk_to_wstring(profile.string()) +
                                     L" holds the server password and other users can read it (mode 0640); make "
                                     L"it readable by its owner alone (chmod 600).");
    }
}

TEST_F(WizardTest, AScriptIntoAPipeWithoutReaderFailsTheRunInsteadOfEndingTheProgram)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const std::string target = "/dev/fd/" + std::to_string(fds[1]);
    const fs::path profile = tmp / "pipe.qel";
    std::ofstream(profile) << "[Generic settings]\nsrc=" << mdb << "\ndest=" << target
                           << "\n[MS SQL Server settings]\ndirect mode=0\n";
    std::wstring result;
    const int rc = dravlen_main(profile.string(), [&](wizard_shell& shell) {
        shell.create();
        ui_wait_while([&]() { return shell.active_page() && shell.active_page()->template_id() != 116; });
        if (shell.active_page())
            result = shell.active_page()->get_text(1314, 0);
        shell.press_finish();
        return shell.result();
    });
    ::close(fds[1]);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(result, qel_error_text);
    bool told = false;
    for (const auto& b : boxes)
        told = told || b.text.find(L"Cannot write to file") != std::wstring::npos;
    EXPECT_TRUE(told);
}

} // namespace

namespace {

using drav_test::live_server;

// The tables of a server database; empty when it does not exist.
std::vector<std::wstring> server_tables(const live_server& s, const std::wstring& db)
{
    mss_engine engine(1);
    s.connect(engine, false);
    if (!engine.is_db_exist(db))
        return {};
    std::unique_ptr<mss_database> d(engine.open_db(db, 40, std::wstring()));
    return d->get_tables();
}

// Is the table in the list (names as the server lists them, with their schema)?
bool has_table(const std::vector<std::wstring>& tables, const std::wstring& name)
{
    for (const auto& t : tables)
        if (tk_iequal(t, name) || tk_iequal(t, L"dbo." + name))
            return true;
    return false;
}

TEST_F(WizardTest, LiveServerDatabaseIsDroppedByTheRunOnlyNeverByTheFileSelectionPage)
{
    DRAV_TESTDATA_OR_SKIP(mdb, "mdb-reader/data/V2003/test.mdb");
    DRAV_TESTDATA_OR_SKIP(locked, drav_test::protected_files[1].path);
    DRAV_LIVE_SERVER_OR_SKIP(s);
    if (s.server.rfind(L"DSN=", 0) == 0)
        GTEST_SKIP() << "the wizard's server field takes a host, not a data source";
    const std::wstring db = L"drav_front_" + std::to_wstring(getpid());
    {
        drav_test::server_turn turn;
        mss_engine engine(1);
        s.connect(engine, false);
        if (engine.is_db_exist(db))
            engine.delete_db(db);
        std::unique_ptr<mss_database> d(engine.create_db(db));
        d->query(L"CREATE TABLE kept_table (x int)");
    }
    ASSERT_TRUE(has_table(server_tables(s, db), L"kept_table"));

    std::vector<int> dialogs;
    answer = [&](ui_dialog& d) {
        dialogs.push_back(d.template_id());
        if (auto* m = dynamic_cast<ui_message_dialog*>(&d))
            m->press((m->flags() & 0xF) == MB_YESNO ? IDYES : IDOK);
        else if (d.template_id() == 121)
            d.press(IDOK);   // "Overwrite the entire database"
        else
            d.press(2);      // an error of the run: Continue
    };
    {
        wizard_set w;
        w.converter.direct = true;
        // Workgroup settings left from the script road (a file that is none) are not this road's.
        w.converter.use_workgroup = true;
        w.converter.ugl_file = tk_to_wstring(mdb);
        w.converter.ugl_user = L"admin";
        w.shell.create();
        w.shell.press_next();
        ASSERT_EQ(w.active_id(), 118);
        w.mssql.set_text(1014, s.server);
        w.mssql.press(1330);
        w.mssql.set_text(1012, s.user);
        w.mssql.set_text(1013, s.password);
        // A database the server does not have yet: the login is checked, the run makes it.
        const std::wstring fresh = db + L"_new";
        w.mssql.set_text(1002, fresh);
        w.shell.press_next();
        ASSERT_EQ(w.active_id(), 106) << tk_to_string(last_text());
        EXPECT_EQ(w.files.get_text(1004), fresh);

        // A source that does not open: refused before the database is even asked about.
        w.files.set_text(1003, tk_to_wstring(locked));
        w.files.set_text(1004, db);
        w.shell.press_next();
        EXPECT_EQ(w.active_id(), 106);
        EXPECT_EQ(last_text(), L"Not a valid password. (file '" + tk_to_wstring(locked) + L"')");
        EXPECT_EQ(std::count(dialogs.begin(), dialogs.end(), 121), 0);

        // "Overwrite the entire database" chosen: the database stays until the run.
        w.files.set_text(1003, tk_to_wstring(mdb));
        w.files.set_text(1004, db);
        w.shell.press_next();
        ASSERT_EQ(w.active_id(), 127);
        EXPECT_EQ(std::count(dialogs.begin(), dialogs.end(), 121), 1);
        EXPECT_EQ(w.converter.mode, 0);
        EXPECT_TRUE(has_table(server_tables(s, db), L"kept_table"));

        // Whether every table arrives is the direct road's own matter (its tests); here the run
        // must have begun on the open source before the old database went.
        w.tables.press(1102);
        drav_test::server_turn turn;   // the run drops and makes the database
        w.shell.press_next();
        ui_wait_while([&]() { return w.active_id() != 116; });
        EXPECT_NE(w.converter.outcome(), run_outcome::cancelled);
    }
    EXPECT_FALSE(has_table(server_tables(s, db), L"kept_table"));   // the run replaced the database
    drav_test::server_turn turn;
    mss_engine engine(1);
    s.connect(engine, false);
    engine.delete_db(db);
}

} // namespace

namespace {

// The texts of a window's labels, one after the other.
std::wstring label_texts(QWidget* w)
{
    std::wstring out;
    for (QLabel* l : w->findChildren<QLabel*>())
        out += ui_label_text(l).toStdWString() + L"|";
    return out;
}

TEST_F(WizardTest, ScriptGoesBesideTheSourceWithItsExtensionAndTheLogFileHasABrowseButton)
{
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    std::vector<ui_file_request> seen;
    std::wstring choice;
    ui_set_file_hook([&](ui_file_request& r) {
        seen.push_back(r);
        r.file = choice;
        return true;
    });
    choice = (tmp / "shop.mdb").wstring();
    w.files.set_text(1004, L"typed");
    w.files.press(1107);
    EXPECT_EQ(w.files.get_text(1004), (tmp / "shop.sql").wstring());
    EXPECT_EQ(ui_filter_to_text(seen.back().filter), L"MS Access Databases (*.mdb *.accdb);;All Files (*)");

    w.files.set_text(1004, L"");
    w.files.focus(1004);
    EXPECT_EQ(w.files.get_text(1004), (tmp / "shop.sql").wstring());
    w.files.set_text(1003, L"bare.mdb");   // no folder: the home folder, not the program's
    w.files.set_text(1004, L"");
    w.files.focus(1004);
    EXPECT_EQ(w.files.get_text(1004), gui_home_folder() + L"bare.sql");

    // A stored destination without a folder comes back beside the source.
    w.converter.source = (tmp / "shop.mdb").wstring();
    w.converter.destination = L"test";
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(103));
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    EXPECT_EQ(w.files.get_text(1004), (tmp / "test.sql").wstring());

    choice = (tmp / "run").wstring();
    w.files.press(1105);
    EXPECT_EQ(w.files.get_text(1006), (tmp / "run.log").wstring());
    EXPECT_TRUE(seen.back().save);
    EXPECT_EQ(seen.back().title, L"Select Log File");
    EXPECT_EQ(ui_filter_to_text(seen.back().filter), L"Log Files (*.log);;All Files (*)");
}

TEST_F(WizardTest, ANonAccessFileGetsOneErrorAndTheFinishPageSaysWhereTheScriptIs)
{
    {
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    const fs::path fake = tmp / "notes.mdb";
    std::ofstream(fake) << std::string(4096, 'x');
    w.files.set_text(1003, fake.wstring());
    w.files.set_text(1004, (tmp / "notes.sql").wstring());
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 106);
    ASSERT_EQ(boxes.size(), 1u) << tk_to_utf8(last_text());   // no help box after it
    EXPECT_EQ(boxes[0].caption, L"Veltrane 6.3 Error");
    EXPECT_EQ(boxes[0].text.rfind(L"Cannot recognize MS Access database format.", 0), 0u) << tk_to_utf8(last_text());

    w.converter.destination = (tmp / "notes.sql").wstring();
    std::ofstream(tmp / "notes.sql") << "GO";
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(116));
    EXPECT_TRUE(w.finish.is_visible(1315));
    EXPECT_EQ(w.finish.get_text(1315, 0), L"The T-SQL script is in '" + (tmp / "notes.sql").wstring() + L"'.");
    }
    wizard_set direct;
    direct.converter.direct = true;
    direct.converter.destination = L"Shop";
    direct.shell.create();
    ASSERT_TRUE(direct.shell.set_cur_sel_by_id(116));
    EXPECT_FALSE(direct.finish.is_visible(1315));
}

TEST_F(WizardTest, TheWizardFitsTheScreenAndAnswersTheKeyboardPageByPage)
{
    wizard_set w;
    ui_set_modal_hook(nullptr);
    std::vector<int> pages;
    std::wstring refusal, question;
    int source_focused = 0;
    bool fits = false;
    keyboard::when_modal_shows([&](QWidget* sheet) {
        fits = sheet->screen()->availableGeometry().contains(sheet->frameGeometry());
        keyboard::press(sheet, Qt::Key_E, Qt::AltModifier);   // "&Export into local T-SQL script file"
        for (int i = 0; i < 3; ++i) {
            keyboard::press(sheet, Qt::Key_Return);
            pages.push_back(w.active_id());
        }
        keyboard::press(sheet, Qt::Key_A, Qt::AltModifier);   // "MS &Access database name:"
        source_focused = w.files.focused_id();
        keyboard::when_modal_shows(
            [&](QWidget* box) {
                refusal = label_texts(box);
                keyboard::press(box, Qt::Key_Return);
            },
            sheet);
        keyboard::press(sheet, Qt::Key_Return);   // nothing entered: the page refuses
        pages.push_back(w.active_id());
        keyboard::when_modal_shows(
            [&](QWidget* box) {
                question = label_texts(box);
                keyboard::press(box, Qt::Key_Y);
            },
            sheet);
        keyboard::press(sheet, Qt::Key_Escape);
    });
    EXPECT_EQ(w.shell.do_modal(), 1);
    EXPECT_TRUE(fits);
    EXPECT_EQ(pages, (std::vector<int>{109, 105, 106, 106}));
    EXPECT_EQ(source_focused, 1003);
    EXPECT_NE(refusal.find(L"You should enter MS Access database name"), std::wstring::npos);
    EXPECT_NE(question.find(L"Are you sure you want to exit the wizard?"), std::wstring::npos);
}

TEST_F(WizardTest, QueryDialogKeepsTheKeyboardOnTheFieldToMend)
{
    ui_set_modal_hook(nullptr);
    set_query_dlg dlg(L"", L"");
    std::wstring refusal;
    int after_box = 0;
    bool open_after_space = false;
    keyboard::when_modal_shows([&](QWidget* w) {
        keyboard::when_modal_shows(
            [&](QWidget* box) {
                refusal = label_texts(box);
                keyboard::press(box, Qt::Key_Space);
            },
            w);
        dlg.focus(IDOK);
        keyboard::press(w, Qt::Key_Space);   // OK with no name
        // The window manager gives the dialog back its activation when the box has gone.
        w->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(w));
        after_box = dlg.focused_id();
        keyboard::press(w, Qt::Key_Space);   // typed into the name, no button pressed
        open_after_space = !dlg.is_ended();
        keyboard::type(w, QStringLiteral("Top"));
        keyboard::press(w, Qt::Key_Q, Qt::AltModifier);   // "&Query:"
        keyboard::type(w, QStringLiteral("select * from T"));
        keyboard::press(w, Qt::Key_S, Qt::AltModifier);   // "&Store as Table:"
        keyboard::press(w, Qt::Key_Return);
    });
    EXPECT_EQ(dlg.do_modal(), IDOK);
    EXPECT_NE(refusal.find(L"Table name is empty!"), std::wstring::npos);
    EXPECT_EQ(after_box, 1019);
    EXPECT_TRUE(open_after_space);
    EXPECT_EQ(dlg.name, L" Top");
    EXPECT_EQ(dlg.sql, L"select * from T");

    set_query_dlg cancelled(L"Top", L"select 1");
    keyboard::when_modal_shows([&](QWidget* w) { keyboard::press(w, Qt::Key_Escape); });
    EXPECT_EQ(cancelled.do_modal(), IDCANCEL);
}

TEST_F(WizardTest, ConnectionCheckTouchesItsTimerOnlyOnTheUserInterfaceThread)
{
    wizard_set w;
    w.converter.direct = true;
    w.converter.secure_login = false;
    w.mssql.animation.interval = 1;
    w.shell.create();
    w.shell.press_next();
    ASSERT_EQ(w.active_id(), 118);
    w.mssql.set_text(1014, L"127.0.0.1,1");   // nothing listens on port 1
    w.mssql.set_text(1012, L"sa");

    // Real windows: the waiting dialog runs its timer while the worker connects; the user
    // closes the error box the worker shows.
    ui_set_modal_hook(nullptr);
    keyboard::qt_warnings warnings;
    std::wstring error;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&]() {
        QWidget* m = QApplication::activeModalWidget();
        if (!m || !m->isVisible() || QApplication::activeWindow() != m)
            return;
        for (QPushButton* b : m->findChildren<QPushButton*>())
            if (b->text() == QStringLiteral("OK") && b->isVisible()) {
                error = label_texts(m);
                keyboard::press(m, Qt::Key_Return);
                return;
            }
    });
    closer.start(5);
    w.shell.press_next();
    closer.stop();
    EXPECT_EQ(w.active_id(), 118);
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(keyboard::qt_warnings::containing("Timer").empty());
    EXPECT_TRUE(keyboard::qt_warnings::containing("another thread").empty());
}

// From the welcome page along the script road (welcome, script settings, security) to page 106.
void take_script_road_to_files(wizard_set& w)
{
    w.welcome.press(1330);
    for (int i = 0; i < 3; ++i)
        w.shell.press_next();
}

TEST_F(WizardTest, EachRoadKeepsItsDestinationAndALoadedProfileTakesItsRoad)
{
    const std::wstring script = (tmp / "shop.sql").wstring();
    const fs::path script_profile = tmp / "script.qel";
    {
        wizard_set w;
        w.converter.direct = true;
        w.converter.source = (tmp / "shop.mdb").wstring();
        w.converter.destination = L"ShopDb";
        w.shell.create();
        // The script road starts from the source, not from the server's database name.
        take_script_road_to_files(w);
        ASSERT_EQ(w.active_id(), 106);
        EXPECT_EQ(w.files.get_text(1004), script);
        for (int i = 0; i < 3; ++i)
            w.shell.press_back();
        ASSERT_EQ(w.active_id(), 103);
        // The server road shows its own database, and the script road its path again.
        w.welcome.press(1329);
        w.shell.press_next();
        ASSERT_EQ(w.active_id(), 118);
        EXPECT_EQ(w.mssql.get_text(1002), L"ShopDb");
        w.shell.press_back();
        take_script_road_to_files(w);
        ASSERT_EQ(w.active_id(), 106);
        EXPECT_EQ(w.files.get_text(1004), script);
        w.shell.press_next();   // the source is not there: the page stays, the path is kept

        ASSERT_TRUE(w.shell.set_cur_sel_by_id(116));
        ui_set_file_hook([&](ui_file_request& r) {
            r.file = script_profile.wstring();
            return true;
        });
        w.finish.press(1116);
    }
    // The profile keeps "dest" for its own road, as older profiles do, and the other road's apart.
    const std::string text = drav_test::read_file(script_profile);
    EXPECT_NE(text.find("dest=" + tk_to_utf8(script) + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("direct mode=0\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("other destination=ShopDb\r\n"), std::string::npos) << text;

    // A server-road profile as an older program writes it, loaded while "Export" is chosen.
    const fs::path server_profile = tmp / "server.qel";
    std::ofstream(server_profile) << "[Generic settings]\nsrc=/data/shop.mdb\ndest=Orders\n"
                                     "[MS SQL Server settings]\nserver=db-host\ndirect mode=1\n";
    wizard_set w;   // the last start's settings: the script road and both destinations
    EXPECT_FALSE(w.converter.direct);
    EXPECT_EQ(w.converter.destination, script);
    EXPECT_EQ(w.converter.other_destination, L"ShopDb");
    w.shell.create();
    EXPECT_TRUE(w.welcome.is_checked(1330));
    fs::path chosen = server_profile;
    ui_set_file_hook([&](ui_file_request& r) {
        r.file = chosen.wstring();
        return true;
    });
    w.welcome.press(1115);
    EXPECT_TRUE(w.welcome.is_checked(1329));
    EXPECT_FALSE(w.welcome.is_checked(1330));
    w.shell.press_next();
    ASSERT_EQ(w.active_id(), 118);
    EXPECT_EQ(w.mssql.get_text(1002), L"Orders");
    EXPECT_EQ(w.mssql.get_text(1014), L"db-host");
    EXPECT_EQ(w.converter.other_destination, script);   // the script road's path is kept

    // The script profile, loaded while "Migrate" is chosen, brings its road back.
    w.shell.press_back();
    chosen = script_profile;
    w.welcome.press(1115);
    EXPECT_TRUE(w.welcome.is_checked(1330));
    take_script_road_to_files(w);
    ASSERT_EQ(w.active_id(), 106);
    EXPECT_EQ(w.files.get_text(1311), L"&Destination T-SQL script path:");
    EXPECT_EQ(w.files.get_text(1004), script);
    EXPECT_EQ(w.converter.other_destination, L"ShopDb");
}

TEST_F(WizardTest, AServerProfileLoadedAtTheKeyboardWhileExportIsChosenTakesTheServerRoad)
{
    const fs::path profile = tmp / "server.qel";
    std::ofstream(profile) << "[Generic settings]\nsrc=/data/shop.mdb\ndest=Orders\n"
                              "[MS SQL Server settings]\nserver=db-host\ndirect mode=1\n";
    ui_set_file_hook([&](ui_file_request& r) {
        r.file = profile.wstring();
        return true;
    });
    wizard_set w;
    w.converter.destination = L"ShopDb";
    ui_set_modal_hook(nullptr);
    bool export_chosen = false, migrate_shown = false;
    std::wstring database;
    keyboard::when_modal_shows([&](QWidget* sheet) {
        keyboard::press(sheet, Qt::Key_E, Qt::AltModifier);   // "&Export into local T-SQL script file"
        export_chosen = w.welcome.is_checked(1330);
        keyboard::press(sheet, Qt::Key_L, Qt::AltModifier);   // "&Load Settings..."
        migrate_shown = w.welcome.is_checked(1329) && !w.welcome.is_checked(1330);
        keyboard::press(sheet, Qt::Key_Return);
        if (w.active_id() == 118)
            database = w.mssql.get_text(1002);
        keyboard::when_modal_shows([&](QWidget* box) { keyboard::press(box, Qt::Key_Y); }, sheet);
        keyboard::press(sheet, Qt::Key_Escape);
    });
    EXPECT_EQ(w.shell.do_modal(), 1);
    EXPECT_TRUE(export_chosen);
    EXPECT_TRUE(migrate_shown);
    EXPECT_EQ(database, L"Orders");   // not a script path made of it
    EXPECT_TRUE(w.converter.direct);
}

TEST_F(WizardTest, WorkgroupSettingsApplyOnTheScriptRoadOnly)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    wizard_set w;
    // Left from an earlier script run: switched on, with a file that is no workgroup file.
    w.converter.use_workgroup = true;
    w.converter.ugl_file = tk_to_wstring(mdb);
    w.converter.ugl_user = L"admin";
    w.converter.source = tk_to_wstring(mdb);
    w.shell.create();

    // Script road: the file page refuses, and Back leads to the page that holds the settings.
    w.welcome.press(1330);
    w.shell.press_next();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
    w.files.set_text(1004, (tmp / "out.sql").wstring());
    w.shell.press_next();
    EXPECT_EQ(w.active_id(), 106);
    const std::wstring refusal = last_text();
    EXPECT_TRUE(w.converter.applies_workgroup());
    w.shell.press_back();
    EXPECT_EQ(w.active_id(), 105);
    EXPECT_TRUE(w.ugl.is_checked(1202));
    EXPECT_EQ(w.ugl.get_text(1003), tk_to_wstring(mdb));

    // Server road: the settings it never shows are neither checked nor used.
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(103));
    w.welcome.press(1329);
    w.shell.press_next();
    ASSERT_EQ(w.active_id(), 118);
    EXPECT_FALSE(w.converter.applies_workgroup());
    boxes.clear();
    ASSERT_TRUE(w.shell.set_cur_sel_by_id(127));
    EXPECT_TRUE(boxes.empty()) << tk_to_utf8(last_text());
    EXPECT_GT(w.tables.lb_count(1317), 0);
    EXPECT_TRUE(w.converter.use_workgroup);   // kept for the script road
    EXPECT_EQ(refusal.rfind(L"Invalid workgroup information file. Return to the previous\nwizard page", 0), 0u)
        << tk_to_utf8(refusal);
}

} // namespace

namespace {

// Calls step with the next modal box above `below`, passing over the connection's waiting
// dialog (looked for again until a box other than those two shows).
void when_box_shows(const std::function<void(QWidget*)>& step, QWidget* below)
{
    keyboard::when_modal_shows(
        [step, below](QWidget* box) {
            if (box->windowTitle() == QStringLiteral("Please wait"))
                when_box_shows(step, below);
            else
                step(box);
        },
        below);
}

// The window manager gives the sheet back its activation when a box has gone.
void reactivate(QWidget* sheet)
{
    sheet->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(sheet));
}

// Presses Enter (Next) on the sheet, answers the box that follows with the key and gives the
// sheet back its activation; returns the box's texts.
std::wstring next_answering(QWidget* sheet, Qt::Key answer)
{
    std::wstring seen;
    when_box_shows(
        [&seen, answer](QWidget* box) {
            seen = label_texts(box);
            keyboard::press(box, answer);
        },
        sheet);
    keyboard::press(sheet, Qt::Key_Return);
    reactivate(sheet);
    return seen;
}

QString selected_text(const ui_window& page, int id)
{
    auto* e = qobject_cast<QLineEdit*>(page.item(id));
    return e ? e->selectedText() : QString();
}

// Types the text into the field as a user does: the field's text selected, then replaced.
void type_into(QWidget* sheet, ui_window& page, int id, const fs::path& text)
{
    page.focus(id);
    keyboard::type(sheet, QString::fromStdWString(text.wstring()));
}

TEST_F(WizardTest, TheFieldAtFaultTakesTheKeyboardAndATypedSourceTakesItsDestinationAlong)
{
    DRAV_TESTDATA_OR_SKIP(src, drav_test::protected_files[1].path);
    const fs::path script = tmp / "kept.sql";
    std::ofstream(script) << "old";
    wizard_set w;
    w.converter.direct = false;
    ui_set_modal_hook(nullptr);
    std::wstring followed, kept, refusal, question;
    int after_refusal = 0, after_question = 0;
    QString selected;
    keyboard::when_modal_shows([&](QWidget* sheet) {
        w.shell.set_cur_sel_by_id(106);
        type_into(sheet, w.files, 1003, tmp / "shop.mdb");
        followed = w.files.get_text(1004);
        // A destination of the user's own stays when the source changes.
        type_into(sheet, w.files, 1004, script);
        type_into(sheet, w.files, 1003, src);
        kept = w.files.get_text(1004);
        w.files.focus(1007);
        keyboard::type(sheet, QStringLiteral("wrong"));
        refusal = next_answering(sheet, Qt::Key_Return);
        after_refusal = w.files.focused_id();
        selected = selected_text(w.files, 1007);
        // Typing now replaces the wrong password, masked, and the file path stays.
        keyboard::type(sheet, QString::fromStdString(drav_test::corpus_db_password));
        question = next_answering(sheet, Qt::Key_N);
        after_question = w.files.focused_id();
        w.shell.end(0);
    });
    w.shell.do_modal();
    EXPECT_EQ(followed, (tmp / "shop.sql").wstring());
    EXPECT_EQ(kept, script.wstring());
    EXPECT_NE(refusal.find(L"Not a valid password."), std::wstring::npos);
    EXPECT_EQ(after_refusal, 1007);
    EXPECT_EQ(selected, QStringLiteral("wrong"));
    EXPECT_EQ(w.converter.db_password, tk_to_wstring(drav_test::corpus_db_password));
    EXPECT_EQ(w.converter.source, tk_to_wstring(src));
    // The question names the file it would overwrite; No leaves the keyboard on its name.
    EXPECT_NE(question.find(L"Destination file already exists. Overwrite?"), std::wstring::npos);
    EXPECT_NE(question.find(script.wstring()), std::wstring::npos);
    EXPECT_EQ(after_question, 1004);
    EXPECT_EQ(drav_test::read_file(script), "old");
}

TEST_F(WizardTest, ServerRoadStartsOnSqlLoginCountsFourStepsAndSendsTheKeyboardToTheLogin)
{
    wizard_set w;
    EXPECT_FALSE(w.converter.secure_login);   // a first start
    ui_set_modal_hook(nullptr);
    std::vector<std::wstring> steps;
    bool sql_login = false;
    int after_alt_q = 0, after_failure = 0;
    std::wstring failure, windows_failure;
    keyboard::when_modal_shows([&](QWidget* sheet) {
        keyboard::press(sheet, Qt::Key_Return);   // the server road
        steps.push_back(w.shell.active_page()->header_title());
        sql_login = w.mssql.is_checked(1330) && w.mssql.is_enabled(1012);
        keyboard::press(sheet, Qt::Key_W, Qt::AltModifier);
        keyboard::press(sheet, Qt::Key_Q, Qt::AltModifier);
        after_alt_q = w.mssql.focused_id();
        keyboard::type(sheet, QStringLiteral("sa"));
        w.mssql.set_text(1014, L"127.0.0.1,1");   // nothing listens there
        failure = next_answering(sheet, Qt::Key_Return);
        after_failure = w.mssql.focused_id();
        keyboard::press(sheet, Qt::Key_W, Qt::AltModifier);
        windows_failure = next_answering(sheet, Qt::Key_Return);
        // The pages after the server page count on the same road (boxes answered by the hook).
        ui_set_modal_hook([](ui_dialog& d) { d.end_dialog(IDOK); });
        for (int id : {106, 127})
            if (w.shell.set_cur_sel_by_id(id))
                steps.push_back(w.shell.active_page()->header_title());
        w.shell.end(0);
    });
    w.shell.do_modal();
    EXPECT_TRUE(sql_login);
    EXPECT_EQ(after_alt_q, 1012);
    EXPECT_EQ(w.converter.login, L"sa");
    EXPECT_TRUE(w.converter.password.empty());
    EXPECT_EQ(after_failure, 1014);
    EXPECT_EQ(failure.find(L"Kerberos"), std::wstring::npos);
    EXPECT_NE(windows_failure.find(L"Kerberos ticket"), std::wstring::npos);
    EXPECT_EQ(steps, (std::vector<std::wstring>{L"Step 1 of 4", L"Step 2 of 4", L"Step 3 of 4"}));
}

TEST_F(WizardTest, EnterInTheOverwriteDialogNeverDropsOrOverwrites)
{
    ui_set_modal_hook(nullptr);
    // The letters of the choices pick them, Enter presses the default button.
    auto answer = [](std::vector<Qt::Key> letters, int& mode) {
        overwrite_dlg2<121> d(L"The destination database already exists.", 1012);
        keyboard::when_modal_shows([&](QWidget* w) {
            for (Qt::Key k : letters)
                keyboard::press(w, k);
            keyboard::press(w, Qt::Key_Return);
        });
        const int result = d.do_modal();
        mode = d.mode;
        return result;
    };
    int mode = -1;
    EXPECT_EQ(answer({}, mode), 2);
    EXPECT_EQ(answer({Qt::Key_T}, mode), 2);
    EXPECT_EQ(answer({Qt::Key_S}, mode), 1);
    EXPECT_EQ(mode, 2);
    EXPECT_EQ(answer({Qt::Key_M}, mode), 1);
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(answer({Qt::Key_M, Qt::Key_O}, mode), 2);
    // Arrow keys move the choice as well.
    EXPECT_EQ(answer({Qt::Key_Down, Qt::Key_Down}, mode), 1);
    EXPECT_EQ(mode, 2);
}

TEST_F(WizardTest, LiveServerRefusalGivesTheKeyboardToTheLoginOrTheDatabase)
{
    DRAV_LIVE_SERVER_OR_SKIP(s);
    if (s.server.rfind(L"DSN=", 0) == 0 || s.user.empty())
        GTEST_SKIP() << "the wizard's server page takes a host and a SQL login";
    // A database that is there but that a login of its own may not open: the run cannot make it,
    // so the page stops on it. (A database not there yet passes: the run makes it.)
    const std::wstring db = drav_test::unique_db_name(L"drav_refused");
    const std::wstring login = L"drav_refused_" + std::to_wstring(getpid());
    const std::wstring password = L"Refused_pw_1!";
    auto admin = drav_test::live_connect(s, L"master");
    {
        drav_test::server_turn turn;
        odbc::statement(*admin).execute_all(L"CREATE DATABASE [" + db + L"]");
    }
    odbc::statement(*admin).execute_all(L"CREATE LOGIN [" + login + L"] WITH PASSWORD = N'" + password + L"'");
    int after_login = 0, after_database = 0;
    QString selected_login, selected_db;
    {
        wizard_set w;
        ui_set_modal_hook(nullptr);
        keyboard::when_modal_shows([&](QWidget* sheet) {
            keyboard::press(sheet, Qt::Key_Return);
            w.mssql.press(1330);
            w.mssql.set_text(1014, s.server);
            w.mssql.set_text(1012, s.user);
            w.mssql.set_text(1013, s.password + L"-wrong");
            next_answering(sheet, Qt::Key_Return);
            after_login = w.mssql.focused_id();
            selected_login = selected_text(w.mssql, 1012);
            w.mssql.set_text(1012, login);
            w.mssql.set_text(1013, password);
            w.mssql.set_text(1002, db);
            next_answering(sheet, Qt::Key_Return);
            after_database = w.mssql.focused_id();
            selected_db = selected_text(w.mssql, 1002);
            w.shell.end(0);
        });
        w.shell.do_modal();
    }
    drav_test::wait_until_logged_out(*admin, login);
    odbc::statement(*admin).execute_all(L"DROP LOGIN [" + login + L"]");
    {
        drav_test::server_turn turn;
        odbc::statement(*admin).execute_all(L"DROP DATABASE [" + db + L"]");
    }
    EXPECT_EQ(after_login, 1012);
    EXPECT_EQ(selected_login, QString::fromStdWString(s.user));
    EXPECT_EQ(after_database, 1002);
    EXPECT_EQ(selected_db, QString::fromStdWString(db));
}

} // namespace

namespace {

// The letters that Alt presses among the controls the window shows (its buttons, and its labels
// that hand the focus to a field), each with the texts that mark it.
std::map<QString, QStringList> marked_letters(QWidget* window)
{
    std::map<QString, QStringList> out;
    auto add = [&](const QString& text) {
        const QString letter = QKeySequence::mnemonic(text).toString();
        if (!letter.isEmpty())
            out[letter].push_back(text);
    };
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (b->isVisibleTo(window))
            add(b->text());
    for (QLabel* l : window->findChildren<QLabel*>())
        if (l->isVisibleTo(window) && l->buddy())
            add(l->text());
    return out;
}

// "where: Alt+X 'a' 'b'" for every letter that more than one control shows; "" when none does.
std::string letter_clashes(QWidget* window, const std::string& where)
{
    std::string out;
    for (const auto& [letter, texts] : marked_letters(window))
        if (texts.size() > 1)
            out += where + ": " + letter.toStdString() + " '" + texts.join("' '").toStdString() + "'\n";
    return out;
}

TEST_F(WizardTest, EveryPageAndDialogGivesEachOfItsControlsALetterOfItsOwn)
{
    const std::wstring sample = tk_to_wstring(DRAV_SOURCE_DIR "/examples/sample.mdb");
    std::string clashes;
    std::vector<int> pages_seen;
    int after_alt_d = 0, after_alt_o = 0;
    bool ticked_by_alt_d = true;
    std::wstring typed;
    {
        wizard_set w;
        w.converter.source = sample;
        ui_set_modal_hook(nullptr);
        keyboard::when_modal_shows([&](QWidget* sheet) {
            // Every page of each road with the sheet's own buttons; the progress page has no
            // control of its own and starts a run, so it is left out.
            for (const bool direct : {true, false}) {
                w.converter.take_road(direct);
                const std::vector<int> road = direct ? std::vector<int>{103, 118, 106, 127, 116}
                                                     : std::vector<int>{103, 109, 105, 106, 127, 116};
                for (const int id : road) {
                    if (!w.shell.set_cur_sel_by_id(id))
                        continue;
                    pages_seen.push_back(id);
                    clashes += letter_clashes(sheet, (direct ? "server road, page " : "script road, page ") +
                                                         std::to_string(id));
                }
            }
            // Alt+D from the source field lands on the script's path, never on the box that
            // leaves the rows out; Alt+O reaches that box.
            w.shell.set_cur_sel_by_id(106);
            w.files.focus(1003);
            keyboard::press(sheet, Qt::Key_D, Qt::AltModifier);
            after_alt_d = w.files.focused_id();
            ticked_by_alt_d = w.files.is_checked(1228);
            w.files.set_text(1004, L"");
            keyboard::type(sheet, QStringLiteral("my script.sql"));
            typed = w.files.get_text(1004);
            ticked_by_alt_d = ticked_by_alt_d || w.files.is_checked(1228);
            keyboard::press(sheet, Qt::Key_O, Qt::AltModifier);
            after_alt_o = w.files.focused_id();
            w.shell.end(0);
        });
        w.shell.do_modal();
    }
    EXPECT_EQ(pages_seen, (std::vector<int>{103, 118, 106, 127, 116, 103, 109, 105, 106, 127, 116}));
    EXPECT_EQ(after_alt_d, 1004);
    EXPECT_FALSE(ticked_by_alt_d);
    EXPECT_EQ(typed, L"my script.sql");
    EXPECT_EQ(after_alt_o, 1228);

    // Every dialog of the wizard, as it opens.
    std::vector<int> dialogs_seen;
    ui_set_modal_hook([&](ui_dialog& d) {
        dialogs_seen.push_back(d.template_id());
        clashes += letter_clashes(d.widget(), "dialog " + std::to_string(d.template_id()));
        d.end_dialog(IDCANCEL);
    });
    connect_animation().do_modal();
    dlg_error_ex(L"An internal error").do_modal();
    dlg_error_continue(L"An error").do_modal();
    overwrite_dlg2<121>(L"The destination database already exists.", 1012).do_modal();
    set_query_dlg(L"", L"").do_modal();
    url_err_box_dlg(gui_dao_required_text, gui_dao_download_target, gui_dao_download_label).do_modal();
    ui_message_box(L"Overwrite?", L"Question", MB_YESNO | MB_ICONQUESTION);
    ui_message_box(L"Done.", L"Message", MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(dialogs_seen, (std::vector<int>{101, 114, 115, 121, 128, 136, 0, 0}));
    EXPECT_EQ(clashes, "");
}

} // namespace

namespace {

TEST_F(WizardTest, TheScriptGoesThroughALinkAPipeOrADeviceAndAFileALinkNamesIsAskedFor)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    const fs::path target = tmp / "target.sql", link = tmp / "link.sql";
    std::ofstream(target) << "an older script";
    fs::create_symlink(target, link);
    // No keeps the page, the link and its file; Yes writes the script through the link.
    answer = [](ui_dialog& d) {
        if (auto* m = dynamic_cast<ui_message_dialog*>(&d))
            m->press((m->flags() & 0xF) == MB_YESNO ? IDNO : IDOK);
    };
    EXPECT_EQ(convert_through_pages(mdb, L"", link), L"stayed on page 106");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Destination file already exists. Overwrite?\n\n" + link.wstring() + L"\n(a link to " +
                                 target.wstring() + L")");
    EXPECT_EQ(drav_test::read_file(target), "an older script");
    answer = nullptr;
    EXPECT_EQ(convert_through_pages(mdb, L"", link), qel_script_success_text);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(drav_test::read_file(target).find("CREATE TABLE"), std::string::npos);

    // A link that names no file yet: nothing is overwritten, so nothing is asked; the file is made
    // through the link. Into a device or a named pipe the script is written as into /dev/stdout.
    const fs::path made = tmp / "made.sql", dangling = tmp / "dangling.sql", pipe = tmp / "pipe.sql";
    fs::create_symlink(made, dangling);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    boxes.clear();
    EXPECT_EQ(convert_through_pages(mdb, L"", dangling), qel_script_success_text);
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_NE(drav_test::read_file(made).find("CREATE TABLE"), std::string::npos);
    EXPECT_EQ(convert_through_pages(mdb, L"", "/dev/null"), qel_script_success_text);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    std::string piped;
    std::thread reader([&]() { piped = drav_test::read_file(pipe); });
    EXPECT_EQ(convert_through_pages(mdb, L"", pipe), qel_script_success_text);
    // A reader still waiting (the run never opened the pipe) is let go: it reads nothing.
    if (const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
        ::close(fd);
    reader.join();
    EXPECT_NE(piped.find("CREATE TABLE"), std::string::npos);
    EXPECT_TRUE(fs::is_fifo(pipe));
    for (const auto& b : boxes)
        ADD_FAILURE() << tk_to_string(b.text);

    // A pipe nobody reads: the progress page says that the run waits for a reader, Cancel stops
    // it, and the finish page says that no script was written.
    wizard_set w;
    w.converter.direct = false;
    w.shell.create();
    ASSERT_TRUE(start_script_run(w, mdb, L"", pipe));
    ASSERT_EQ(w.active_id(), 107);
    const std::wstring waiting = L"Waiting for a program to read the named pipe '" + pipe.wstring() + L"'";
    EXPECT_TRUE(QTest::qWaitFor([&]() { return w.progress.get_text(1323, 0).rfind(waiting, 0) == 0; }, 60000))
        << tk_to_string(w.progress.get_text(1323, 0));
    w.shell.press_cancel();   // the hooked user answers Yes
    ui_wait_while([&]() { return w.active_id() != 116; });
    EXPECT_EQ(w.finish.get_text(1314, 0), qel_script_cancel_text);
    EXPECT_EQ(w.finish.get_text(1315, 0), L"No T-SQL script was written.");
    EXPECT_EQ(w.converter.outcome(), run_outcome::cancelled);
    EXPECT_TRUE(fs::is_fifo(pipe));
}

} // namespace

namespace {

TEST_F(WizardTest, ADestinationMadeFromTheSourceFollowsItAcrossRestartsAndRoads)
{
    DRAV_TESTDATA_OR_SKIP(mdb, corpus_mdb);
    for (const char* name : {"a.mdb", "b.mdb", "c.mdb"})
        fs::copy_file(mdb, tmp / name);
    // a.mdb into a script, a.sql beside it.
    {
        wizard_set w;
        w.converter.direct = false;
        w.shell.create();
        ASSERT_TRUE(w.shell.set_cur_sel_by_id(106));
        w.files.set_text(1003, (tmp / "a.mdb").wstring());
        w.files.set_text(1004, L"");
        w.files.focus(1004);
        EXPECT_EQ(w.files.get_text(1004), (tmp / "a.sql").wstring());
        w.shell.press_next();
        ASSERT_EQ(w.active_id(), 127);
        w.tables.press(1102);
        w.shell.press_next();
        ui_wait_while([&]() { return w.active_id() != 116; });
        EXPECT_EQ(w.finish.get_text(1314, 0), qel_script_success_text);
    }
    ui_set_modal_hook(nullptr);
    // Then b.mdb on the server road: the database is named after it.
    std::wstring database;
    {
        wizard_set w;
        keyboard::when_modal_shows([&](QWidget* sheet) {
            keyboard::press(sheet, Qt::Key_M, Qt::AltModifier);   // "&Migrate to MS SQL server directly"
            keyboard::press(sheet, Qt::Key_Return);
            w.shell.set_cur_sel_by_id(106);   // the server is not there: the page after it
            type_into(sheet, w.files, 1003, tmp / "b.mdb");
            database = w.files.get_text(1004);
            w.shell.press_back();
            w.shell.end(0);
        });
        w.shell.do_modal();
    }
    EXPECT_EQ(database, L"b");
    // After a restart, Export shows b.sql beside b.mdb, and another source takes it along; the
    // server road's database follows as well.
    std::wstring shown, followed, server_database;
    {
        wizard_set w;
        keyboard::when_modal_shows([&](QWidget* sheet) {
            keyboard::press(sheet, Qt::Key_E, Qt::AltModifier);   // "&Export into local T-SQL script file"
            for (int i = 0; i < 3; ++i)
                keyboard::press(sheet, Qt::Key_Return);
            shown = w.files.get_text(1004);
            type_into(sheet, w.files, 1003, tmp / "c.mdb");
            followed = w.files.get_text(1004);
            w.shell.press_back();
            w.shell.set_cur_sel_by_id(103);
            keyboard::press(sheet, Qt::Key_M, Qt::AltModifier);
            keyboard::press(sheet, Qt::Key_Return);
            server_database = w.mssql.get_text(1002);
            w.shell.set_cur_sel_by_id(103);
            // A path of the user's own stays with its source changed, also after a restart.
            keyboard::press(sheet, Qt::Key_E, Qt::AltModifier);
            keyboard::press(sheet, Qt::Key_Return);
            w.shell.set_cur_sel_by_id(106);
            type_into(sheet, w.files, 1004, tmp / "own.sql");
            w.shell.press_back();
            w.shell.end(0);
        });
        w.shell.do_modal();
    }
    EXPECT_EQ(shown, (tmp / "b.sql").wstring());
    EXPECT_EQ(followed, (tmp / "c.sql").wstring());
    EXPECT_EQ(server_database, L"c");
    std::wstring own, own_kept;
    {
        wizard_set w;
        keyboard::when_modal_shows([&](QWidget* sheet) {
            keyboard::press(sheet, Qt::Key_Return);
            w.shell.set_cur_sel_by_id(106);
            own = w.files.get_text(1004);
            type_into(sheet, w.files, 1003, tmp / "a.mdb");
            own_kept = w.files.get_text(1004);
            w.shell.end(0);
        });
        w.shell.do_modal();
    }
    EXPECT_EQ(own, (tmp / "own.sql").wstring());
    EXPECT_EQ(own_kept, (tmp / "own.sql").wstring());
    // The settings keep the values they had, and one more for each road.
    const std::string registry = drav_test::read_file(std::getenv("DRAV_REGISTRY_FILE"));
    EXPECT_NE(registry.find("dest_follows"), std::string::npos) << registry;
    EXPECT_NE(registry.find("dest_other_follows"), std::string::npos) << registry;
}

} // namespace

namespace {

// The disk fills up (here: the file-size limit, which the user is told of as a full disk) while
// the script of one large table is written: one box and one line of the log tell of it, the cut
// script goes, and the finish page says the run failed.
TEST_F(WizardTest, AFullDiskIsToldOfOnceAndTheCutScriptGoes)
{
    DRAV_TESTDATA_OR_SKIP(mdb, "bench/bench100k_V2003.mdb");
    const fs::path script = tmp / "full.sql", log = tmp / "full.log", profile = tmp / "full.qel";
    std::ofstream(profile) << "[Generic settings]\nsrc=" << mdb << "\ndest=" << script.string()
                           << "\nlogfile=" << log.string() << "\nskip indexes=1\n[MS SQL Server settings]\ndirect mode=0\n"
                           << "[Selected Tables]\nBig=\n";
    struct rlimit old_limit;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit small = old_limit;
    small.rlim_cur = 1 << 20;
    std::wstring result, note;
    const int rc = dravlen_main(profile.string(), [&](wizard_shell& shell) {
        ::setrlimit(RLIMIT_FSIZE, &small);
        shell.create();
        ui_wait_while([&]() { return shell.active_page() && shell.active_page()->template_id() != 116; });
        ::setrlimit(RLIMIT_FSIZE, &old_limit);
        if (ui_page* p = shell.active_page()) {
            result = p->get_text(1314, 0);
            note = p->get_text(1315, 0);
        }
        shell.press_finish();
        return shell.result();
    });
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(result, qel_error_text);
    EXPECT_FALSE(fs::exists(script));
    const std::wstring told = L"Cannot write to file '" + script.wstring() + L"': " + tk_to_wstring(std::strerror(ENOSPC));
    int shown = 0;
    for (const auto& b : boxes) {
        EXPECT_NE(b.text.find(told), std::wstring::npos) << tk_to_string(b.text);
        ++shown;
    }
    EXPECT_EQ(shown, 1);
    const std::string text = drav_test::read_file(log);
    int logged = 0;
    for (std::size_t at = text.find("Cannot write to file"); at != std::string::npos;
         at = text.find("Cannot write to file", at + 1))
        ++logged;
    EXPECT_EQ(logged, 1) << text;
}

} // namespace

namespace {

// Whether the widget lies whole inside what the scroll area around it shows.
bool in_view(QWidget* w)
{
    QAbstractScrollArea* area = nullptr;
    for (QWidget* p = w->parentWidget(); p && !area; p = p->parentWidget())
        area = qobject_cast<QAbstractScrollArea*>(p);
    if (!area || !w->isVisible())
        return false;
    const QRect shown = area->viewport()->rect();
    const QRect rect(w->mapTo(area->viewport(), QPoint(0, 0)), w->size());
    return shown.contains(rect);
}

// The tables page on the screen the tests run on (and, run again by the build's tests, on a
// 1280x800 and a 1024x600 screen at twice the scale): the sheet fits the screen and the page
// opens with its lists and its buttons in view, not below the edge of its scroll area.
TEST_F(WizardTest, TheTablesPageOpensWithItsListsAndButtonsInView)
{
    const std::wstring sample = tk_to_wstring(DRAV_SOURCE_DIR "/examples/sample.mdb");
    wizard_set w;
    w.converter.source = sample;
    ui_set_modal_hook(nullptr);
    bool fits = false;
    std::vector<int> out_of_view;
    QString screen;
    keyboard::when_modal_shows([&](QWidget* sheet) {
        screen = QStringLiteral("%1x%2").arg(sheet->screen()->availableGeometry().width())
                     .arg(sheet->screen()->availableGeometry().height());
        w.shell.set_cur_sel_by_id(127);
        // Laid out once its buttons show, however long that takes.
        EXPECT_TRUE(QTest::qWaitFor([&]() { return in_view(w.tables.item(1114)); }, 10000));
        fits = sheet->screen()->availableGeometry().contains(sheet->frameGeometry());
        for (int id : {1317, 1318, 1101, 1102, 1111, 1110, 1114})
            if (!in_view(w.tables.item(id)))
                out_of_view.push_back(id);
        w.shell.end(0);
    });
    w.shell.do_modal();
    EXPECT_TRUE(fits) << screen.toStdString();
    EXPECT_EQ(out_of_view, std::vector<int>()) << screen.toStdString();
}

} // namespace

namespace {

// A file whose folder, name, table, columns and index are written in the user's own letters, its
// rows lost: the error dialogs, the finish page and the log name them as written, each message whole.
TEST_F(WizardTest, DialogsTheFinishPageAndTheLogKeepNamesInTheUsersOwnLetters)
{
    using namespace drav_test;
    const fs::path folder = tmp / kWorldFolder;
    fs::create_directory(folder);
    const fs::path mdb = folder / kWorldFile, log = folder / "run.log";
    write_world_table(mdb, 5);
    lose_world_rows(mdb);
    const auto [rc, dialogs, heading, lines] = run_script_profile(mdb, kWorldTable, folder / "world.sql", log);
    EXPECT_EQ(rc, -1);
    const std::wstring rows = kWorldTable + L", record #1: The database file '" + win_wide_from_utf8(mdb.string()) +
                              L"' is damaged or not readable: table '" + kWorldTable + L"': page ";
    const std::wstring index = kWorldTable + L": The index '" + kWorldIndex + L"' was left out: an index on a memo "
                               L"or long binary column ('" + kWorldMemo + L"') is not converted.";
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[0].rfind(rows, 0), 0u) << utf8(dialogs[0]);
    EXPECT_EQ(dialogs[1], index) << utf8(dialogs[1]);
    EXPECT_NE(lines.find(rows), std::wstring::npos) << utf8(lines);
    EXPECT_NE(lines.find(index), std::wstring::npos) << utf8(lines);
    const std::string logged = drav_test::read_file(log);
    EXPECT_NE(logged.find(utf8(rows)), std::string::npos) << logged;
    EXPECT_NE(logged.find(utf8(index)), std::string::npos) << logged;
}

// Types the text into the field as a user does; an empty text clears the field.
void retype(QWidget* sheet, ui_window& page, int id, const fs::path& text)
{
    page.focus(id);
    if (text.empty())
        keyboard::press(sheet, Qt::Key_Delete);
    else
        keyboard::type(sheet, QString::fromStdWString(text.wstring()));
}

// A script or a log typed as the Access file (as it is, through "..", a symbolic or a hard link),
// and a log typed as the script: the file page refuses each with one error naming both roles and
// the file, before any question about overwriting, and the keyboard goes to the field to mend.
// The Access file, the older script and the links stay as they were; nothing is created.
TEST_F(WizardTest, AScriptOrLogThatIsTheSourceOrTheOtherIsRefusedOnTheFilePageBeforeAnyQuestion)
{
    const fs::path db = tmp / "db.mdb";
    fs::copy_file(DRAV_SOURCE_DIR "/examples/sample.mdb", db);
    fs::create_symlink(db, tmp / "link.mdb");
    fs::create_hard_link(db, tmp / "hard.mdb");
    fs::create_directory(tmp / "sub");
    drav_test::write_file(tmp / "old.sql", "an older script");
    const std::string original = drav_test::read_file(db);
    struct attempt {
        fs::path script, log;
        std::wstring written, other;
        int field;
    };
    const std::wstring script_role = L"T-SQL script file", source_role = L"MS Access database";
    const std::vector<attempt> attempts = {
        {"db.mdb", "", script_role, source_role, 1004},
        {tmp / "sub" / ".." / "db.mdb", "", script_role, source_role, 1004},
        {tmp / "link.mdb", "", script_role, source_role, 1004},
        {"hard.mdb", "", script_role, source_role, 1004},
        {"new.sql", "./db.mdb", L"log file", source_role, 1006},
        {"old.sql", tmp / "sub" / ".." / "old.sql", L"log file", script_role, 1006},
    };
    wizard_set w;
    w.converter.direct = false;
    ui_set_modal_hook(nullptr);
    std::vector<std::wstring> boxes_seen;
    std::vector<int> focused;
    std::wstring unwritable_log, retyped_source;
    int unwritable_log_focus = 0;
    keyboard::when_modal_shows([&](QWidget* sheet) {
        w.shell.set_cur_sel_by_id(106);
        for (const attempt& a : attempts) {
            retype(sheet, w.files, 1003, db);
            retype(sheet, w.files, 1004, a.script);
            retype(sheet, w.files, 1006, a.log);
            boxes_seen.push_back(next_answering(sheet, Qt::Key_Return));
            focused.push_back(w.files.focused_id());
        }
        // The source typed again after the script that names it: the script the user named stays
        // and is refused the same way.
        retype(sheet, w.files, 1006, "");
        retype(sheet, w.files, 1004, "hard.mdb");
        retype(sheet, w.files, 1003, "");
        retype(sheet, w.files, 1003, db);
        retyped_source = next_answering(sheet, Qt::Key_Return);
        // Under a Latin-1 locale a log named in Greek could not be opened under that name: the
        // page says so, rather than running without the log.
        win_set_ansi_codeset("ISO-8859-1");
        retype(sheet, w.files, 1004, "new.sql");
        w.files.set_text(1006, L"journal \u03a9.log");   // as pasted: the keys type ASCII alone
        unwritable_log = next_answering(sheet, Qt::Key_Return);
        unwritable_log_focus = w.files.focused_id();
        win_set_ansi_codeset("");
        w.shell.end(0);
    });
    w.shell.do_modal();
    ASSERT_EQ(boxes_seen.size(), attempts.size());
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        const attempt& a = attempts[i];
        const std::wstring& box = boxes_seen[i];
        const std::string shown = a.script.string() + " / " + a.log.string() + ": " + tk_to_string(box);
        EXPECT_EQ(box.find(L"Overwrite?"), std::wstring::npos) << shown;
        EXPECT_NE(box.find(L"The " + a.written), std::wstring::npos) << shown;
        EXPECT_NE(box.find(L"and the " + a.other), std::wstring::npos) << shown;
        EXPECT_NE(box.find(L"are one file"), std::wstring::npos) << shown;
        EXPECT_NE(box.find((a.log.empty() ? a.script : a.log).wstring()), std::wstring::npos) << shown;
        EXPECT_EQ(focused[i], a.field) << shown;
    }
    EXPECT_NE(retyped_source.find(L"The T-SQL script file 'hard.mdb' and the MS Access database"), std::wstring::npos)
        << tk_to_string(retyped_source);
    EXPECT_NE(unwritable_log.find(L"The log file name 'journal \u03a9.log' cannot be written in this system's "
                                  L"encoding.\nGive the log file another name."),
              std::wstring::npos)
        << tk_to_string(unwritable_log);
    EXPECT_EQ(unwritable_log_focus, 1006);
    EXPECT_EQ(w.converter.outcome(), run_outcome::none);
    EXPECT_EQ(drav_test::read_file(db), original);
    EXPECT_EQ(drav_test::read_file(tmp / "hard.mdb"), original);
    EXPECT_TRUE(fs::is_symlink(tmp / "link.mdb"));
    EXPECT_EQ(drav_test::read_file(tmp / "old.sql"), "an older script");
    EXPECT_FALSE(fs::exists(tmp / "new.sql"));
}

// A profile run whose script is its source, or whose log is the profile itself, is refused the
// same way before the wizard shows, and every file stays as it was.
TEST_F(WizardTest, AProfileRunWithAFileInTwoRolesIsRefusedAndTheFilesStay)
{
    const fs::path db = tmp / "db.mdb", profile = tmp / "run.qel";
    fs::copy_file(DRAV_SOURCE_DIR "/examples/sample.mdb", db);
    const std::string original = drav_test::read_file(db);
    const std::vector<std::pair<std::string, std::wstring>> cases = {
        {"dest=" + (tmp / "." / "db.mdb").string() + "\n", L"The T-SQL script file '" + (tmp / "." / "db.mdb").wstring() +
                                                              L"' and the MS Access database"},
        {"dest=" + (tmp / "run.sql").string() + "\nlogfile=" + profile.string() + "\n",
         L"The log file and the profile are one file: '" + profile.wstring() + L"'."},
    };
    for (const auto& [keys, told] : cases) {
        const std::string text = "[Generic settings]\nsrc=" + db.string() + "\n" + keys +
                                 "[MS SQL Server settings]\ndirect mode=0\n";
        drav_test::write_file(profile, text);
        boxes.clear();
        bool shown = false;
        const int rc = dravlen_main(profile.string(), [&](wizard_shell&) {
            shown = true;   // the run would start: not shown, so that nothing runs
            return -1;
        });
        EXPECT_EQ(rc, -1);
        EXPECT_FALSE(shown);
        ASSERT_EQ(boxes.size(), 1u) << keys;
        EXPECT_EQ(boxes[0].text.find(told), 0u) << tk_to_string(boxes[0].text);
        EXPECT_EQ(drav_test::read_file(db), original);
        EXPECT_EQ(drav_test::read_file(profile), text);
        EXPECT_FALSE(fs::exists(tmp / "run.sql"));
    }
}

// Whether every line of the label's text can be read: it lies within the label, as the label's
// width breaks the text, and the label lies within its window.
bool text_fits(const QLabel* label)
{
    const QRect room = label->contentsRect();
    const QRect needed = label->fontMetrics().boundingRect(QRect(0, 0, room.width(), 100000),
                                                           Qt::TextWordWrap | Qt::AlignLeft, label->text());
    const QWidget* window = label->window();
    const QRect placed(label->mapTo(window, QPoint(0, 0)), label->size());
    return needed.width() <= room.width() && needed.height() <= room.height() && window->rect().contains(placed);
}

// The error dialogs (the box, Continue/Abort, the internal error) on the screen the tests run on
// (and, run again by the build's tests, a 1024x600 screen at twice the scale): a long message
// with long paths fits the screen and all of it can be read.
TEST_F(WizardTest, AnErrorDialogFitsItsLongMessageOnTheScreen)
{
    const std::wstring path = L"/home/maria/Documents/access_databases/customers_and_orders_2019_2024/"
                              L"northwind_sales_archive_final_copy.mdb";
    const std::wstring message = L"The log file '" + path + L"' and the MS Access database '" + path +
                                 L"' are one file.\nGive the log file another name: writing it would destroy the "
                                 L"MS Access database.";
    ui_set_modal_hook(nullptr);
    std::vector<std::string> cut;
    auto check = [&](const char* which) {
        keyboard::when_modal_shows([&cut, which](QWidget* box) {
            if (!box->screen()->availableGeometry().contains(box->frameGeometry()))
                cut.push_back(std::string(which) + ": the dialog leaves the screen");
            for (QLabel* l : box->findChildren<QLabel*>())
                if (!l->text().isEmpty() && !text_fits(l))
                    cut.push_back(std::string(which) + ": " + l->text().toStdString());
            keyboard::press(box, Qt::Key_Escape);
        });
    };
    check("box");
    ui_message_box(message, L"Veltrane 6.3 Error", MB_OK | MB_ICONERROR);
    check("continue");
    dlg_error_continue(message).do_modal();
    check("internal");
    dlg_error_ex(message).do_modal();
    EXPECT_EQ(cut, std::vector<std::string>());
}

} // namespace

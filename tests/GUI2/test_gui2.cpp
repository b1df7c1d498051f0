// The wizard's shell, error handler and dialogs, file dialogs, profile filters and the two-list
// selection page, on real widgets (offscreen) with a hooked user.
#include <gtest/gtest.h>

#include <QLabel>
#include <filesystem>
#include <fstream>
#include <thread>

#include "GUI2/g_err.h"
#include "GUI2/g_f_dlg.h"
#include "GUI2/g_finish.h"
#include "GUI2/g_sys.h"
#include "GUI2/g_url.h"
#include "GUI2/g_wiz_pg.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "platform/ui/ui_misc.h"
#include "tests/support/keyboard.h"

namespace {

// Every modal window the hooked user saw: template id, caption and the text shown.
struct seen_box {
    int id;
    std::wstring caption;
    std::wstring text;
};

class GuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ui_ensure_application(); }

    void SetUp() override
    {
        ui_set_modal_hook([this](ui_dialog& d) {
            seen_box b{d.template_id(), d.caption(), d.get_text(1320, 0)};
            if (auto* m = dynamic_cast<ui_message_dialog*>(&d))
                b.text = m->text();
            boxes.push_back(b);
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
    }

    std::vector<seen_box> boxes;
    std::function<void(ui_dialog&)> answer;
};

// A shell with one page, shown, so that it counts as initialised.
struct shown_shell {
    shown_shell() : shell(L"Veltrane 6.3", 501, 311, 312)
    {
        shell.add_page(&page);
        shell.create();
    }
    wizard_shell shell;
    wizard_page<103, PSWIZB_NEXT, PSP_HASHELP> page;
};

TEST_F(GuiTest, ShellCaptionsFollowItsInitialisationAndTheTimerRunsOnce)
{
    {
        wizard_shell bare(L"Veltrane 6.3", 501, 311, 312);
        EXPECT_FALSE(wizard_shell::is_initialized());
        bare.error(L"plain");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, L"Error");
    }
    EXPECT_FALSE(wizard_shell::exists());
    shown_shell s;
    EXPECT_TRUE(wizard_shell::is_initialized());
    EXPECT_EQ(s.shell.title_text(), L"Veltrane 6.3");
    EXPECT_EQ(s.shell.current_page(), &s.page);
    s.shell.message(L"note");
    EXPECT_EQ(boxes.back().caption, L"Veltrane 6.3 Message");
    answer = [](ui_dialog& d) { d.press(IDNO); };
    EXPECT_FALSE(s.shell.question(L"Sure?"));
    EXPECT_EQ(boxes.back().caption, L"Veltrane 6.3 Question");

    s.shell.start_timer(200);
    EXPECT_THROW(s.shell.start_timer(200), tk_mail_assertion);
    s.shell.kill_timer();
    EXPECT_NO_THROW(s.shell.start_timer(200));
    s.shell.kill_timer();
}

TEST_F(GuiTest, MissingHelpFileIsReportedAndAPresentOneOpensAtItsTopic)
{
    shown_shell s;
    std::vector<std::pair<std::wstring, int>> opened;
    ui_set_help_hook([&](const std::wstring& f, int id) {
        opened.emplace_back(f, id);
        return true;
    });
    const std::wstring file = wizard_shell::help_file();
    EXPECT_EQ(tk_file_wname(file).ext, L".chm");
    std::filesystem::remove(file);
    s.shell.display_help(1021);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Help file does not exist.");
    EXPECT_EQ(boxes[0].caption, L"Veltrane 6.3 Message");
    s.shell.offer_help(1022);   // help the program offers by itself says nothing without a file
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(opened.empty());

    std::ofstream(std::filesystem::path(file)) << "help";
    s.shell.display_help(1010);
    s.shell.display_help();
    s.shell.offer_help(1022);
    std::filesystem::remove(file);
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0].second, 1010);
    EXPECT_EQ(opened[1].second, 0);
    EXPECT_EQ(opened[2].second, 1022);
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(GuiTest, LevelOneErrorsAreShownWithContextAndOnlyTwentyAreKept)
{
    shown_shell s;
    gui_error_handler h(tk_sql_error_count, tk_sql_error_table);
    h.set_context(L"Orders");
    for (int i = 0; i < 25; ++i)
        h.handle(tk_exception("line one\nline " + std::to_string(i), 1), false);
    EXPECT_EQ(boxes.size(), 25u);
    EXPECT_EQ(boxes[0].caption, L"Veltrane 6.3 Error");
    EXPECT_EQ(boxes[0].text, L"Orders: line one line 0");
    const auto errors = s.shell.errors();
    ASSERT_EQ(errors.size(), 20u);
    EXPECT_EQ(errors[19], "Orders: line one line 19");

    // A SQL Server code of the table shows the table's text instead of the provider's.
    struct coded : tk_exception {
        coded() : tk_exception("provider text", 1) { set_code(tk_sql_error_table[0].code); }
    } sql;
    h.set_record_context(L"Orders", 3);
    h.handle(sql, false);
    EXPECT_EQ(h.last_message(), std::string("Orders, record #3: ") + tk_sql_error_table[0].message);
}

TEST_F(GuiTest, LevelZeroAbortEndsTheRunUnlessFinalAndDoNotShowSilencesLaterErrors)
{
    shown_shell s;
    gui_error_handler h(tk_sql_error_count, tk_sql_error_table);
    answer = [](ui_dialog& d) {
        EXPECT_EQ(d.template_id(), 115);
        EXPECT_EQ(d.get_text(1), L"Abort");
        EXPECT_EQ(d.get_text(2), L"Continue");
        d.press(1);
    };
    EXPECT_THROW(h.handle(tk_exception("row failed", 0), false), tk_final_exception);
    EXPECT_NO_THROW(h.handle(tk_exception("row failed", 0), true));
    EXPECT_FALSE(h.quiet);
    EXPECT_EQ(boxes.back().caption, L"Veltrane 6.3 Error");

    answer = [](ui_dialog& d) {
        d.press(1222);
        EXPECT_TRUE(d.is_checked(1222));
        d.press(2);
    };
    h.handle(tk_exception("row failed", 0), false);
    EXPECT_TRUE(h.quiet);
    const std::size_t shown = boxes.size();
    h.handle(tk_exception("later", 0), false);
    h.handle(tk_exception("later too", 1), false);
    EXPECT_EQ(boxes.size(), shown);              // nothing shown any more
    EXPECT_EQ(s.shell.errors().size(), 5u);      // but every message is listed
}

TEST_F(GuiTest, ErrorsFromAWorkerThreadAskTheUserOnTheInterfaceThread)
{
    shown_shell s;
    gui_error_handler h(tk_sql_error_count, tk_sql_error_table);
    answer = [](ui_dialog& d) { d.press(1); };
    bool aborted = false, done = false;
    std::thread worker([&]() {
        try {
            h.handle(tk_exception("row failed", 0), false);
        } catch (const tk_final_exception&) {
            aborted = true;
        }
        ui_post_to_gui([&]() { done = true; });
    });
    ui_wait_while([&]() { return !done; });
    worker.join();
    EXPECT_TRUE(aborted);
}

TEST_F(GuiTest, InternalErrorDialogCopiesTheMessageToTheClipboard)
{
    gui_clipboard clip;
    dlg_error_ex dlg(L"Internal error: \ncode=61");
    answer = [](ui_dialog& d) {
        EXPECT_EQ(d.caption(), L"Error");
        EXPECT_EQ(d.get_text(1108), L"Copy to clipboard");
        d.press(1108);
    };
    EXPECT_EQ(dlg.do_modal(), 1108);
    if (tk_clipboard::get() == &clip) {
        EXPECT_EQ(gui_clipboard::get_text(), L"Internal error: \ncode=61");
    }
}

TEST_F(GuiTest, ErrorDialogsShowTheErrorIconAndEnterPressesTheirDefaultButton)
{
    std::vector<bool> icons;
    answer = [&](ui_dialog& d) {
        auto* icon = qobject_cast<QLabel*>(d.item(-1));
        icons.push_back(icon && !icon->pixmap().isNull());
        d.press(2);
    };
    dlg_error_continue recoverable(L"row failed");
    recoverable.do_modal();
    dlg_error_ex internal(L"Internal error");
    internal.do_modal();
    EXPECT_EQ(icons, (std::vector<bool>{true, true}));

    // On real windows: Enter continues (not Abort), Escape continues too, Enter closes the other.
    ui_set_modal_hook(nullptr);
    keyboard::when_modal_shows([](QWidget* w) { keyboard::press(w, Qt::Key_Return); });
    EXPECT_EQ(dlg_error_continue(L"row failed").do_modal(), 2);
    keyboard::when_modal_shows([](QWidget* w) { keyboard::press(w, Qt::Key_Escape); });
    EXPECT_EQ(dlg_error_continue(L"row failed").do_modal(), 2);
    keyboard::when_modal_shows([](QWidget* w) { keyboard::press(w, Qt::Key_Return); });
    EXPECT_EQ(dlg_error_ex(L"Internal error").do_modal(), 1);
}

TEST_F(GuiTest, InternalErrorEndsTheProcessAfterItsDialog)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            gui_error_handler h(tk_sql_error_count, tk_sql_error_table);
            h.quiet = true;   // ignored for internal errors
            h.handle(tk_mail_assertion("g_wiz_sh", 281), false);
        },
        ::testing::ExitedWithCode(255), "");
    // The dialog was shown in the child; the parent saw nothing.
    EXPECT_TRUE(boxes.empty());
}

TEST_F(GuiTest, SaveDialogAppendsTheDefaultExtensionOnlyWhenTheNameLacksIt)
{
    std::vector<std::wstring> answers = {L"/tmp/a", L"/tmp/a.qel.bak", L"/tmp/settings.qel"};
    std::size_t next = 0;
    ui_set_file_hook([&](ui_file_request& r) {
        EXPECT_TRUE(r.save);
        EXPECT_EQ(r.title, L"Select Profile");
        r.file = answers[next++];
        return true;
    });
    const std::wstring filter = gui_profile_filter(L"qel", "store(%ls)", 141);
    EXPECT_EQ(filter, std::wstring(L"Profile Files (.qel)\0*.qel\0All Files (*.*)\0*.*\0", 47));
    std::vector<std::wstring> got;
    for (int i = 0; i < 3; ++i) {
        save_file_dialog d(nullptr, filter, L"Select Profile", L"", L"qel");
        ASSERT_TRUE(d.run());
        got.push_back(d.file_name());
    }
    EXPECT_EQ(got, (std::vector<std::wstring>{L"/tmp/a.qel", L"/tmp/a.qel.bak", L"/tmp/settings.qel"}));
    EXPECT_THROW(save_file_dialog(nullptr, filter, L"t", L"", L""), tk_mail_assertion);
    EXPECT_THROW(gui_profile_filter(L"qe", "load(%ls)", 266), tk_mail_assertion);
    EXPECT_THROW(gui_profile_filter(L"qelxx", "load(%ls)", 266), tk_mail_assertion);
}

TEST_F(GuiTest, FileDialogProposesTheNameWithoutExtensionInItsFolder)
{
    ui_file_request seen;
    ui_set_file_hook([&](ui_file_request& r) {
        seen = r;
        return false;
    });
    open_file_dialog d(nullptr, L"", L"Select", L"/tmp/sub/data.mdb");
    EXPECT_FALSE(d.run());
    EXPECT_EQ(seen.file, L"data");
    EXPECT_EQ(seen.initial_dir, L"/tmp/sub/");
    EXPECT_FALSE(seen.save);
}

TEST_F(GuiTest, FileDialogsWithoutAFolderOpenWhereTheUserChoseLastElseAtHome)
{
    const std::wstring home = gui_home_folder();
    EXPECT_EQ(home.back(), L'/');
    std::vector<ui_file_request> seen;
    std::wstring choice;
    ui_set_file_hook([&](ui_file_request& r) {
        seen.push_back(r);
        r.file = choice;
        return !choice.empty();
    });
    const std::wstring first = gui_last_folder();   // home, or a folder an earlier test chose
    open_file_dialog(nullptr, L"", L"Select", L"").run();
    EXPECT_EQ(seen.back().initial_dir, first);
    EXPECT_NE(seen.back().initial_dir, tk_file_wname(tk_get_module_path_w()).folder());

    choice = L"/tmp/chosen/place/data.mdb";
    open_file_dialog(nullptr, L"", L"Select", L"").run();
    choice.clear();
    save_file_dialog(nullptr, L"", L"Select Profile", L"", L"qel").run();
    EXPECT_EQ(seen.back().initial_dir, L"/tmp/chosen/place/");
    save_file_dialog(nullptr, L"", L"Select File", L"test.sql", L"sql").run();
    EXPECT_EQ(seen.back().initial_dir, L"/tmp/chosen/place/");
    EXPECT_EQ(seen.back().file, L"test");
}

TEST_F(GuiTest, FileNameHelpers)
{
    gui_file_name a(L"/tmp/x/base.mdb"), b(L"/tmp/x/base.mdb");
    a.set_extension(L"sql");
    b.set_extension(L".sql");
    EXPECT_EQ(a.make_path(), L"/tmp/x/base.sql");
    EXPECT_EQ(a.make_path(), b.make_path());
    a.set_extension(L"");
    EXPECT_EQ(a.make_path(), L"/tmp/x/base");
    EXPECT_EQ(gui_default_path(true, L"keep.me", L"/x/y.mdb", L"sql"), L"keep.me");
    EXPECT_EQ(gui_default_path(false, L"name", L"/x/y.mdb", L"sql"), L"/x/name.sql");
    // Without a folder: the home folder, never the program's own (not writable once installed).
    EXPECT_EQ(gui_default_path(false, L"name", L"", L"sql"), gui_home_folder() + L"name.sql");
    EXPECT_EQ(gui_default_path(false, L"name", L"bare.mdb", L".sql"), gui_home_folder() + L"name.sql");
    gui_file_name longer(L"/tmp/" + std::wstring(300, L'a'));
    EXPECT_THROW(longer.make_path(), tk_exception);
}

TEST_F(GuiTest, MissingEngineBoxShowsItsTextAndLink)
{
    answer = [](ui_dialog& d) {
        EXPECT_EQ(d.caption(), L"Additional Software is Required");
        EXPECT_NE(d.get_text(1335, 0).find(L"Download Microsoft Access Runtime"), std::wstring::npos);
        d.press(IDOK);
    };
    gui_show_dao_required();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, gui_dao_required_text);
}

// The selection page with a fixed item list and optional re-ordering.
class test_sel_page : public sel_tables_page {
public:
    explicit test_sel_page(bool reorder) : sel_tables_page(127, L"", L"", L"Nothing chosen. Continue?", reorder) {}
    bool page_init() override
    {
        do_page_init();
        return true;
    }
    bool is_query(const std::wstring& n) const override { return n.rfind(L"q_", 0) == 0; }
    void on_query_chosen(const std::wstring& n) override { chosen.push_back(n); }
    void on_query_removed(const std::wstring& n) override { removed.push_back(n); }
    std::vector<std::wstring> chosen, removed;
};

struct sel_fixture {
    explicit sel_fixture(bool reorder, std::vector<std::wstring> items) : shell(L"T", 501, 311, 312), page(reorder)
    {
        page.items = std::move(items);
        shell.add_page(&page);
        shell.create();
    }
    std::vector<std::wstring> list(int id) const
    {
        std::vector<std::wstring> out;
        for (int i = 0; i < page.lb_count(id); ++i)
            out.push_back(page.lb_text(id, i));
        return out;
    }
    wizard_shell shell;
    test_sel_page page;
};

TEST_F(GuiTest, SelectionPageMovesItemsBetweenSortedListsAndTellsAboutQueries)
{
    sel_fixture f(false, {L"orders", L"Customers", L"q_top", L"Items"});
    auto& p = f.page;
    EXPECT_EQ(f.list(1317), (std::vector<std::wstring>{L"Customers", L"Items", L"orders", L"q_top"}));
    EXPECT_EQ(p.lb_selection(1317), std::vector<int>{0});
    EXPECT_FALSE(p.is_visible(1117));

    p.lb_select(1317, 2, true);
    p.lb_select(1317, 3, true);
    p.press(1101);
    EXPECT_EQ(f.list(1318), (std::vector<std::wstring>{L"Customers", L"orders", L"q_top"}));
    EXPECT_EQ(f.list(1317), std::vector<std::wstring>{L"Items"});
    EXPECT_EQ(p.lb_selection(1317), std::vector<int>{0});
    EXPECT_EQ(p.chosen, std::vector<std::wstring>{L"q_top"});

    // Remove with every chosen item selected empties the chosen list.
    for (int i = 0; i < 3; ++i)
        p.lb_select(1318, i, true);
    p.press(1111);
    EXPECT_EQ(p.lb_count(1318), 0);
    EXPECT_EQ(p.lb_selection(1317), std::vector<int>{0});
    EXPECT_EQ(p.removed, std::vector<std::wstring>{L"q_top"});

    p.double_click(1317);   // adds the selected first item
    EXPECT_EQ(f.list(1318), std::vector<std::wstring>{L"Customers"});
    p.press(1102);
    EXPECT_EQ(p.lb_count(1317), 0);
    EXPECT_TRUE(p.collect());
    EXPECT_EQ(p.items, (std::vector<std::wstring>{L"Customers", L"Items", L"orders"}));   // queries left out
    p.press(1110);
    EXPECT_EQ(p.lb_count(1318), 0);
    EXPECT_EQ(p.lb_count(1317), 4);
}

TEST_F(GuiTest, SelectionPageAsksWhenNothingIsChosenAndMovesWithinTheChosenList)
{
    sel_fixture f(true, {L"a", L"b", L"c"});
    auto& p = f.page;
    EXPECT_TRUE(p.is_visible(1117));
    EXPECT_TRUE(p.is_visible(1118));
    answer = [](ui_dialog& d) { d.press(IDNO); };
    EXPECT_FALSE(p.collect());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Nothing chosen. Continue?");

    p.press(1102);
    p.lb_clear_selection(1318);
    p.lb_select(1318, 0, true);
    p.press(1117);   // first item: nothing moves
    EXPECT_EQ(f.list(1318), (std::vector<std::wstring>{L"a", L"b", L"c"}));
    p.press(1118);
    EXPECT_EQ(f.list(1318), (std::vector<std::wstring>{L"b", L"a", L"c"}));
    EXPECT_EQ(p.lb_selection(1318), std::vector<int>{1});
    p.lb_clear_selection(1318);
    p.lb_select(1318, 2, true);
    p.press(1118);   // last item: nothing moves
    EXPECT_EQ(f.list(1318), (std::vector<std::wstring>{L"b", L"a", L"c"}));
    p.press(1117);
    EXPECT_EQ(f.list(1318), (std::vector<std::wstring>{L"b", L"c", L"a"}));
    EXPECT_EQ(p.lb_selection(1318), std::vector<int>{1});

    // Nothing available and nothing chosen: no question.
    sel_fixture empty(false, {});
    const std::size_t before = boxes.size();
    EXPECT_TRUE(empty.page.collect());
    EXPECT_EQ(boxes.size(), before);
}

TEST_F(GuiTest, PreselectMovesExactNamesOnlyAndCancelAsksFirst)
{
    sel_fixture f(false, {L"Alpha", L"beta"});
    f.page.preselect({L"alpha", L"beta"});
    EXPECT_EQ(f.list(1318), std::vector<std::wstring>{L"beta"});
    answer = [](ui_dialog& d) {
        d.press(IDNO);
    };
    f.shell.press_cancel();
    EXPECT_FALSE(f.shell.is_ended());
    EXPECT_EQ(boxes.back().text, L"Are you sure you want to exit the wizard?");
    answer = nullptr;
    f.shell.press_cancel();
    EXPECT_TRUE(f.shell.is_ended());
}

TEST_F(GuiTest, ErrorsEscapingAPageHandlerReachTheErrorHandlerInsteadOfTheEventLoop)
{
    struct throwing_page : wizard_page<103, PSWIZB_NEXT, 0> {
        void on_command(int id, int) override
        {
            if (id == 1115)
                throw tk_exception("Profile does not exist.", 1);
            if (id == 1329)
                throw tk_final_exception();
        }
    } page;
    wizard_shell shell(L"Veltrane 6.3", 501, 311, 312);
    gui_error_handler h(tk_sql_error_count, tk_sql_error_table);
    shell.add_page(&page);
    shell.create();
    page.press(1115);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Profile does not exist.");
    page.press(1329);   // the user's Abort: nothing more to say
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(GuiTest, InvertCheckBoxReturnsTheNewStateAndAssertsOnAMissingControl)
{
    sel_fixture f(false, {});
    // Dialog 127 has no check box 1202: the platform refuses.
    EXPECT_THROW(f.page.invert_chbox(4242), tk_mail_assertion);
}

} // namespace

// The window layer on real Qt widgets (offscreen): templates, modal dialogs across threads,
// message boxes, the wizard sheet's navigation, file filters and the clipboard.
#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <stdexcept>
#include <thread>

#include "platform/ui/ui_misc.h"
#include "platform/ui/ui_sheet.h"
#include "platform/ui/ui_window.h"

namespace {

class UiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ui_ensure_application();
        ui_register_template({9001, L"Sample", {
            {10, ui_kind::edit, L"&Name:"},
            {11, ui_kind::check, L"Option"},
            {12, ui_kind::radio, L"One"},
            {13, ui_kind::radio, L"Two"},
            {14, ui_kind::list, L""},
            {15, ui_kind::button, L"Go"},
            {16, ui_kind::progress, L""},
            {17, ui_kind::memo, L"", false, true},
        }});
    }
    void TearDown() override { ui_set_modal_hook(nullptr); }
};

class sample_dialog : public ui_dialog {
public:
    sample_dialog() : ui_dialog(9001) {}
    void on_init() override { set_text(10, L"start"); }
    void on_command(int id, int code) override
    {
        commands.push_back(id * 10 + code);
        if (id == 15)
            end_dialog(15);
    }
    std::vector<int> commands;
};

TEST_F(UiTest, ControlsOfATemplateAnswerByIdAndCheckBoxesChangeOnlyWhenToldTo)
{
    QWidget host;
    sample_dialog w;
    w.create_widgets(&host);
    w.set_text(10, L"abcdef");
    EXPECT_EQ(w.get_text(10), L"abcdef");
    EXPECT_EQ(w.get_text(10, 4), L"abc");   // cut to the buffer, as the pages read them

    w.press(11);   // the program toggles its own check boxes
    EXPECT_FALSE(w.is_checked(11));
    w.check(11, true);
    EXPECT_TRUE(w.is_checked(11));

    w.press(12);
    EXPECT_TRUE(w.is_checked(12));
    w.press(13);   // one group per window
    EXPECT_TRUE(w.is_checked(13));
    EXPECT_FALSE(w.is_checked(12));

    EXPECT_FALSE(w.is_visible(17));
    w.show(17, true);
    EXPECT_TRUE(w.is_visible(17));
    w.append_text(17, L"one\r\n\r\n");
    w.append_text(17, L"two");
    EXPECT_EQ(w.get_text(17, 0), L"one\n\ntwo");
    w.set_progress(16, 75);
    EXPECT_EQ(w.get_progress(16), 75);
    EXPECT_EQ(w.item(999), nullptr);
    w.set_text(999, L"ignored");   // unknown ids change nothing and do not crash
    EXPECT_EQ(w.get_text(999), L"");
}

TEST_F(UiTest, SortedListsIgnoreCaseWhileInsertKeepsThePositionAndFindIsExact)
{
    QWidget host;
    sample_dialog w;
    w.create_widgets(&host);
    w.lb_add(14, L"beta");
    w.lb_add(14, L"Alpha");
    w.lb_add(14, L"gamma");
    w.lb_add(14, L"Beta2");
    ASSERT_EQ(w.lb_count(14), 4);
    EXPECT_EQ(w.lb_text(14, 0), L"Alpha");
    EXPECT_EQ(w.lb_text(14, 1), L"beta");
    EXPECT_EQ(w.lb_text(14, 2), L"Beta2");
    EXPECT_EQ(w.lb_text(14, 3), L"gamma");
    w.lb_insert(14, 0, L"zzz");
    EXPECT_EQ(w.lb_text(14, 0), L"zzz");
    EXPECT_EQ(w.lb_find_exact(14, L"BETA"), -1);
    EXPECT_EQ(w.lb_find_exact(14, L"beta"), 2);
    w.lb_select(14, 3, true);
    w.lb_select(14, 1, true);
    EXPECT_EQ(w.lb_selection(14), (std::vector<int>{1, 3}));
    w.lb_delete(14, 0);
    EXPECT_EQ(w.lb_selection(14), (std::vector<int>{0, 2}));
    EXPECT_EQ(w.lb_text(14, 99), L"");
}

TEST_F(UiTest, ModalDialogRunsItsInitAndEndsThroughTheHookedUser)
{
    ui_set_modal_hook([](ui_dialog& d) {
        EXPECT_EQ(d.get_text(10), L"start");
        EXPECT_EQ(d.caption(), L"Sample");
        d.press(15);
    });
    sample_dialog d;
    EXPECT_EQ(d.do_modal(), 15);
    EXPECT_EQ(d.commands, (std::vector<int>{150}));
    EXPECT_FALSE(d.has_widgets());
}

TEST_F(UiTest, DialogEndedFromAWorkerClosesWhetherOrNotItAppearedYet)
{
    for (int round = 0; round < 20; ++round) {
        sample_dialog d;
        std::thread worker([&]() { d.end_dialog(7); });
        const int result = d.do_modal();
        worker.join();
        EXPECT_EQ(result, 7);
    }
    // Ended before it is shown at all: do_modal returns at once.
    sample_dialog early;
    early.end_dialog(3);
    EXPECT_EQ(early.do_modal(), 3);
    early.reset_end();
    EXPECT_FALSE(early.is_ended());
}

TEST_F(UiTest, MessageBoxesFromAWorkerThreadRunOnTheUserInterfaceThread)
{
    std::vector<std::wstring> seen;
    ui_set_modal_hook([&](ui_dialog& d) {
        EXPECT_TRUE(ui_on_gui_thread());
        auto& box = dynamic_cast<ui_message_dialog&>(d);
        seen.push_back(d.caption() + L"|" + box.text());
        d.press(IDNO);
    });
    int answer = 0;
    bool done = false;
    std::thread worker([&]() {
        answer = ui_message_box(L"Continue?", L"Question", MB_YESNO | MB_ICONQUESTION);
        ui_post_to_gui([&]() { done = true; });
    });
    ui_wait_while([&]() { return !done; });
    worker.join();
    EXPECT_EQ(answer, IDNO);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], L"Question|Continue?");
}

TEST_F(UiTest, ExceptionsOnTheUserInterfaceThreadTravelBackToTheWorker)
{
    bool caught = false, done = false;
    std::thread worker([&]() {
        try {
            ui_run_on_gui([]() { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "boom";
        }
        ui_post_to_gui([&]() { done = true; });
    });
    ui_wait_while([&]() { return !done; });
    worker.join();
    EXPECT_TRUE(caught);
}

// A page that records its notifications and can refuse or redirect.
class probe_page : public ui_page {
public:
    probe_page(int id, std::vector<std::string>& log) : ui_page(id, 0, L"", L""), m_log(log) {}
    int on_set_active() override
    {
        m_log.push_back("active " + std::to_string(template_id()));
        return skip ? -1 : 0;
    }
    int on_wiz_next() override { return next; }
    int on_wiz_back() override { return back; }
    bool on_query_cancel() override { return allow_cancel; }
    bool skip = false;
    int next = 0;
    int back = 0;
    bool allow_cancel = true;

private:
    std::vector<std::string>& m_log;
};

TEST_F(UiTest, SheetSkipsRefusingPagesInTheDirectionOfTravelAndFollowsJumps)
{
    std::vector<std::string> log;
    probe_page a(9001, log), b(9002, log), c(9003, log), d(9004, log);
    ui_property_sheet sheet(L"Sheet");
    for (auto* p : {&a, &b, &c, &d})
        sheet.add_page(p);
    b.skip = true;
    sheet.create();
    sheet.set_wizard_buttons(PSWIZB_BACK | PSWIZB_NEXT);
    EXPECT_EQ(sheet.active_page(), &a);
    sheet.press_next();   // b refuses: c
    EXPECT_EQ(sheet.active_page(), &c);
    sheet.press_back();   // b refuses going back too: a
    EXPECT_EQ(sheet.active_page(), &a);
    a.next = 9004;
    sheet.press_next();
    EXPECT_EQ(sheet.active_page(), &d);
    d.back = -1;
    sheet.press_back();
    EXPECT_EQ(sheet.active_page(), &d);
    EXPECT_TRUE(sheet.set_cur_sel_by_id(9003));
    EXPECT_EQ(sheet.active_page(), &c);

    sheet.set_wizard_buttons(PSWIZB_FINISH);
    EXPECT_TRUE(sheet.is_button_visible(PSBTN_FINISH));
    EXPECT_FALSE(sheet.is_button_visible(PSBTN_NEXT));
    sheet.press_next();   // no Next button: nothing happens
    EXPECT_EQ(sheet.active_page(), &c);

    c.allow_cancel = false;
    sheet.press_cancel();
    EXPECT_FALSE(sheet.is_ended());
    sheet.press_finish();
    EXPECT_TRUE(sheet.is_ended());
    EXPECT_EQ(sheet.result(), 0);
    EXPECT_EQ(log.front(), "active 9001");
}

TEST_F(UiTest, SheetTimerTicksReachTheActivePageUntilKilled)
{
    struct ticking : ui_page {
        ticking() : ui_page(9001, 0, L"", L"") {}
        void on_timer(int id) override { ticks.push_back(id); }
        std::vector<int> ticks;
    } page;
    ui_property_sheet sheet(L"Sheet");
    sheet.add_page(&page);
    EXPECT_FALSE(sheet.start_timer(5, 1));   // no window yet
    sheet.create();
    ASSERT_TRUE(sheet.start_timer(5, 1));
    ui_wait_while([&]() { return page.ticks.size() < 3; });
    sheet.kill_timer(5);
    const std::size_t seen = page.ticks.size();
    QCoreApplication::processEvents();
    EXPECT_EQ(page.ticks.size(), seen);
    EXPECT_EQ(page.ticks.front(), 5);
}

TEST_F(UiTest, FileFiltersAndTheFileHook)
{
    const std::wstring filter(L"MS Access Databases (.mdb;*.accdb)\0*.mdb;*.accdb\0All Files (*.*)\0*.*\0", 72);
    EXPECT_EQ(ui_filter_to_text(filter), L"MS Access Databases (.mdb;*.accdb) (*.mdb *.accdb);;All Files (*.*) (*.*)");
    ui_set_file_hook([](ui_file_request& r) {
        r.file = L"/tmp/chosen.mdb";
        return !r.save;
    });
    ui_file_request open;
    EXPECT_TRUE(ui_get_file_name(open));
    EXPECT_EQ(open.file, L"/tmp/chosen.mdb");
    ui_file_request save;
    save.save = true;
    EXPECT_FALSE(ui_get_file_name(save));
    ui_set_file_hook(nullptr);
}

TEST_F(UiTest, ClipboardTakesUnicodeText)
{
    const std::wstring text = L"Fehler: \u00e4\u00f6\u00fc \u65e5\u672c";
    if (!ui_set_clipboard_text(text))
        GTEST_SKIP() << "no clipboard on this platform";
    EXPECT_EQ(ui_get_clipboard_text(), text);
}

} // namespace

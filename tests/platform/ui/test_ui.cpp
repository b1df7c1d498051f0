// The window layer on real Qt widgets (offscreen): templates, modal dialogs across threads,
// message boxes, the wizard sheet's navigation, the keyboard, sizes on the screen, file
// filters and the clipboard.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/ui/ui_misc.h"
#include "platform/ui/ui_sheet.h"
#include "platform/ui/ui_window.h"
#include "tests/support/keyboard.h"

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
        // Labels in one row name the inputs of the next row; OK is the default button.
        ui_register_template({9010, L"Keys", {
            {20, ui_kind::edit, L"&Name:"},
            {21, ui_kind::label, L"&First:"},
            {22, ui_kind::label, L"Fi&rst && second:", true},
            {23, ui_kind::list, L""},
            {24, ui_kind::memo, L"", true},
            {25, ui_kind::label, L"Tom & Jerry <b>not bold</b>"},
            {26, ui_kind::button, L"&Go"},
            {IDOK, ui_kind::default_button, L"OK", true},
            {IDCANCEL, ui_kind::button, L"Cancel", true},
        }});
        // A page laid out as a form: labelled fields, a label that names the field after it,
        // trailing buttons, boxes and a lone button.
        ui_register_template({9020, L"", {
            {30, ui_kind::edit, L"&Source:"},
            {31, ui_kind::button, L"Browse...", true},
            {32, ui_kind::password, L"A much longer label of a &password:"},
            {33, ui_kind::label, L"&Destination T-SQL script path:"},
            {34, ui_kind::edit, L""},
            {35, ui_kind::check, L"&One"},
            {36, ui_kind::check, L"&Two"},
            {37, ui_kind::button, L"&Load Settings..."},
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
    // One pattern list per entry, whatever the description shows; every file is "*" here.
    const wchar_t access[] = L"MS Access Databases (.mdb;*.accdb)\0*.mdb;*.accdb\0All Files (*.*)\0*.*\0";
    EXPECT_EQ(ui_filter_to_text(std::wstring(access, std::size(access) - 1)),
              L"MS Access Databases (*.mdb *.accdb);;All Files (*)");
    const wchar_t profiles[] = L"Profile Files (.qel)\0*.qel\0Plain\0*.txt;;*.log;\0";
    EXPECT_EQ(ui_filter_to_text(std::wstring(profiles, std::size(profiles) - 1)),
              L"Profile Files (*.qel);;Plain (*.txt *.log)");
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

// A dialog of template 9010 that records its commands; Go ends it with 26.
class keys_dialog : public ui_dialog {
public:
    keys_dialog() : ui_dialog(9010) {}
    void on_init() override { lb_add(23, L"row"); }
    void on_command(int id, int code) override
    {
        if (code != ui_clicked)
            return;
        commands.push_back(id);
        if (id == 26)
            end_dialog(26);
        else
            ui_dialog::on_command(id, code);
    }
    std::vector<int> commands;
};

TEST_F(UiTest, ShortcutsMoveTheFocusEnterPressesTheDefaultButtonAndEscapeCancels)
{
    keys_dialog d;
    int focused_first = 0, focused_second = 0, focused_name = 0;
    keyboard::when_modal_shows([&](QWidget* w) {
        keyboard::press(w, Qt::Key_F, Qt::AltModifier);
        focused_first = d.focused_id();
        keyboard::press(w, Qt::Key_R, Qt::AltModifier);
        focused_second = d.focused_id();
        keyboard::press(w, Qt::Key_N, Qt::AltModifier);
        focused_name = d.focused_id();
        keyboard::type(w, QStringLiteral("abc"));
        keyboard::press(w, Qt::Key_Return);
    });
    EXPECT_EQ(d.do_modal(), IDOK);
    EXPECT_EQ(focused_first, 23);
    EXPECT_EQ(focused_second, 24);
    EXPECT_EQ(focused_name, 20);
    EXPECT_EQ(d.commands, std::vector<int>{IDOK});

    // Labels without a shortcut show their text as it is, markup and "&" included.
    std::wstring plain;
    keyboard::when_modal_shows([&](QWidget* w) {
        plain = d.get_text(25);
        EXPECT_EQ(qobject_cast<QLabel*>(d.item(25))->textFormat(), Qt::PlainText);
        keyboard::press(w, Qt::Key_Escape);
    });
    d.reset_end();
    EXPECT_EQ(d.do_modal(), IDCANCEL);
    EXPECT_EQ(plain, L"Tom & Jerry <b>not bold</b>");

    // Alt and the letter of a button press it.
    keyboard::when_modal_shows([&](QWidget* w) { keyboard::press(w, Qt::Key_G, Qt::AltModifier); });
    d.reset_end();
    EXPECT_EQ(d.do_modal(), 26);
}

TEST_F(UiTest, FormsAlignTheirFieldsKeepButtonsAtTheirSizeAndBoxesFitTitleAndLines)
{
    struct form_page : ui_window {
        form_page() : ui_window(9020) {}
        void on_command(int id, int code) override
        {
            if (code == ui_changed)
                changed.push_back(id);
        }
        std::vector<int> changed;
    } page;
    QWidget host;
    page.create_widgets(&host);
    host.resize(640, 480);
    host.show();
    host.layout()->activate();
    QLabel* named = qobject_cast<QLabel*>(page.item(33));
    ASSERT_NE(named, nullptr);
    // Fields start in one column, their labels in the column before, each on one line.
    EXPECT_EQ(page.item(30)->x(), page.item(32)->x());
    EXPECT_EQ(page.item(30)->x(), page.item(34)->x());
    EXPECT_LT(named->x() + named->width(), page.item(34)->x() + 1);
    EXPECT_EQ(named->buddy(), page.item(34));
    EXPECT_FALSE(named->wordWrap());
    EXPECT_EQ(named->y(), page.item(34)->y() + (page.item(34)->height() - named->height()) / 2);
    EXPECT_GT(page.item(31)->x(), page.item(30)->x() + page.item(30)->width() - 1);
    // Buttons keep their natural width; the boxes stay together at the top.
    EXPECT_EQ(page.item(37)->width(), page.item(37)->sizeHint().width());
    EXPECT_LT(page.item(36)->y() - page.item(35)->y(), 2 * page.item(35)->height());
    EXPECT_LT(page.item(37)->y() + page.item(37)->height(), 400);
    // A field given the focus has its text selected, so typing replaces it.
    page.set_text(30, L"/old/path.mdb");
    page.focus(30);
    EXPECT_EQ(qobject_cast<QLineEdit*>(page.item(30))->selectedText(), QStringLiteral("/old/path.mdb"));
    // Edits by the user are told to the window; the program's own are not.
    page.set_text(34, L"x");
    QTest::keyClicks(page.item(34), QStringLiteral("ab"));
    EXPECT_EQ(page.changed, (std::vector<int>{34, 34}));
    host.close();

    keys_dialog d;
    bool ok_default = false, cancel_default = false;
    keyboard::when_modal_shows([&](QWidget* w) {
        d.set_default_button(IDCANCEL);
        ok_default = d.is_default_button(IDOK);
        cancel_default = d.is_default_button(IDCANCEL);
        keyboard::press(w, Qt::Key_Return);
    });
    EXPECT_EQ(d.do_modal(), IDCANCEL);
    EXPECT_FALSE(ok_default);
    EXPECT_TRUE(cancel_default);

    // A message box is as wide as its longest line and its title: lines broken by hand stay
    // as written.
    const std::wstring text = L"The file does not comply with MS Access workgroup information\r\nfile format. Leave "
                              L"all the fields empty on this wizard page if your\r\ndatabase is not protected.";
    const std::wstring title = L"Veltrane 6.3 Error with a long title that the frame must show";
    int box_width = 0, label_height = 0, line_height = 0, widest = 0, title_width = 0, screen_width = 0;
    QString shown;
    ui_set_modal_hook([&](ui_dialog& box) {
        QLabel* label = nullptr;
        for (QLabel* l : box.widget()->findChildren<QLabel*>())
            if (l->text().contains(QStringLiteral("comply")))
                label = l;
        ASSERT_NE(label, nullptr);
        const QFontMetrics fm(label->font());
        for (const QString& line : label->text().split(QLatin1Char('\n')))
            widest = std::max(widest, fm.horizontalAdvance(line));
        line_height = fm.lineSpacing();
        shown = label->text();
        screen_width = box.widget()->screen()->availableGeometry().width();
        box_width = box.widget()->width();
        label_height = label->heightForWidth(label->minimumWidth());
        title_width = QFontMetrics(box.widget()->font()).horizontalAdvance(QString::fromStdWString(title));
        box.end_dialog(IDOK);
    });
    ui_message_box(text, title, MB_OK | MB_ICONERROR);
    if (widest < screen_width / 2) {
        EXPECT_GT(box_width, widest);
        EXPECT_GT(box_width, title_width);
        EXPECT_LE(label_height, 3 * line_height + 2);
    } else {
        // A screen too small for the lines: they flow as one paragraph within the screen.
        EXPECT_LE(box_width, screen_width);
        EXPECT_FALSE(shown.contains(QLatin1Char('\n')));
    }
}

TEST_F(UiTest, YesNoBoxesAnswerToTheirLettersEnterAndEscape)
{
    auto answer = [](unsigned flags, Qt::Key key) {
        keyboard::when_modal_shows([key](QWidget* w) { keyboard::press(w, key); });
        return ui_message_box(L"Overwrite?", L"Question", flags);
    };
    EXPECT_EQ(answer(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, Qt::Key_Y), IDYES);
    EXPECT_EQ(answer(MB_YESNO | MB_ICONQUESTION, Qt::Key_N), IDNO);
    EXPECT_EQ(answer(MB_YESNO | MB_ICONQUESTION, Qt::Key_Return), IDYES);
    EXPECT_EQ(answer(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, Qt::Key_Return), IDNO);
    EXPECT_EQ(answer(MB_YESNO | MB_ICONQUESTION, Qt::Key_Escape), IDNO);
    EXPECT_EQ(answer(MB_OK | MB_ICONERROR, Qt::Key_Return), IDOK);
    EXPECT_EQ(answer(MB_OK | MB_ICONERROR, Qt::Key_Escape), IDOK);
}

TEST_F(UiTest, DialogTimersStartedAndKilledFromAWorkerTickOnlyOnTheUserInterfaceThread)
{
    struct ticking_dialog : ui_dialog {
        ticking_dialog() : ui_dialog(9001) {}
        void on_init() override { shown = true; }
        void on_timer(int) override
        {
            if (!ui_on_gui_thread())
                off_thread = true;
            ++ticks;
        }
        std::atomic<bool> shown{false};
        std::atomic<bool> off_thread{false};
        std::atomic<int> ticks{0};
    } d;
    keyboard::qt_warnings warnings;
    auto wait_for = [](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return done();
    };
    int after_kill = -1, later = -2;
    std::thread worker([&]() {
        if (wait_for([&]() { return d.shown.load(); })) {
            d.start_timer(7, 2);
            if (wait_for([&]() { return d.ticks.load() >= 3; })) {
                d.kill_timer(7);
                ui_run_on_gui([]() {});   // the kill, queued before, has run
                after_kill = d.ticks.load();
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                ui_run_on_gui([]() {});
                later = d.ticks.load();
            }
        }
        d.end_dialog(IDOK);
    });
    EXPECT_EQ(d.do_modal(), IDOK);
    worker.join();
    EXPECT_GE(d.ticks.load(), 3);
    EXPECT_EQ(after_kill, later);
    EXPECT_FALSE(d.off_thread.load());
    EXPECT_TRUE(keyboard::qt_warnings::containing("Timers").empty());
    EXPECT_TRUE(keyboard::qt_warnings::containing("another thread").empty());
}

TEST_F(UiTest, SheetFitsTheScreenAndEnterPressesNextThenFinish)
{
    std::vector<std::string> log;
    probe_page a(9001, log), b(9001, log);
    ui_property_sheet sheet(L"Sheet");
    sheet.add_page(&a);
    sheet.add_page(&b);
    sheet.create();
    sheet.set_wizard_buttons(PSWIZB_NEXT);
    sheet.center();
    QWidget* w = sheet.window();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    const QRect screen = w->screen()->availableGeometry();
    EXPECT_TRUE(screen.contains(w->frameGeometry())) << w->frameGeometry().width() << "x"
                                                     << w->frameGeometry().height();

    keyboard::press(w, Qt::Key_Return);
    EXPECT_EQ(sheet.active_page(), &b);
    sheet.set_wizard_buttons(PSWIZB_BACK | PSWIZB_FINISH);
    b.focus(10);   // Enter in an edit field still reaches the sheet's default button
    keyboard::press(w, Qt::Key_Enter);
    EXPECT_TRUE(sheet.is_ended());
    EXPECT_EQ(sheet.result(), 0);
}

TEST_F(UiTest, OnAPageWithoutFieldsEnterPressesFinishNotThePagesOwnButton)
{
    ui_register_template({9011, L"", {{30, ui_kind::button, L"&Save Settings..."}}});
    struct last_page : ui_page {
        last_page() : ui_page(9011, 0, L"", L"") {}
        void on_command(int id, int) override { commands.push_back(id); }
        std::vector<int> commands;
    } page;
    ui_property_sheet sheet(L"Sheet");
    sheet.add_page(&page);
    sheet.set_wizard_buttons(PSWIZB_FINISH);
    sheet.create();
    QWidget* w = sheet.window();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    keyboard::press(w, Qt::Key_Return);
    EXPECT_TRUE(sheet.is_ended());
    EXPECT_TRUE(page.commands.empty());
}

TEST_F(UiTest, SheetEscapeAsksThePageAndAFittedDialogStaysOnTheScreen)
{
    std::vector<std::string> log;
    probe_page a(9001, log);
    ui_property_sheet sheet(L"Sheet");
    sheet.add_page(&a);
    sheet.create();
    QWidget* w = sheet.window();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    a.allow_cancel = false;
    keyboard::press(w, Qt::Key_Escape);
    EXPECT_FALSE(sheet.is_ended());
    a.allow_cancel = true;
    keyboard::press(w, Qt::Key_Escape);
    EXPECT_TRUE(sheet.is_ended());
    EXPECT_EQ(sheet.result(), 1);

    // A long message wraps inside the screen.
    bool box_fits = false;
    keyboard::when_modal_shows([&](QWidget* box) {
        box_fits = box->screen()->availableGeometry().contains(box->frameGeometry());
        keyboard::press(box, Qt::Key_Return);
    });
    std::wstring message;
    for (int i = 0; i < 300; ++i)
        message += L"Orders, record #" + std::to_wstring(i) + L": value too long. ";
    EXPECT_EQ(ui_message_box(message, L"Error", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_TRUE(box_fits);

    // A window that asks for more room than the screen has is cut to the screen.
    QWidget big;
    big.setMinimumSize(10, 10);
    ui_fit_to_screen(&big, 5000, 5000);
    EXPECT_TRUE(big.screen()->availableGeometry().contains(big.geometry()));
}

TEST_F(UiTest, ClipboardTakesUnicodeText)
{
    const std::wstring text = L"Fehler: \u00e4\u00f6\u00fc \u65e5\u672c";
    if (!ui_set_clipboard_text(text))
        GTEST_SKIP() << "no clipboard on this platform";
    EXPECT_EQ(ui_get_clipboard_text(), text);
}

} // namespace

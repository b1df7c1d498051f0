// Windows of the wizard's window layer: dialog templates addressed by control ids, modal dialogs,
// message boxes and the hooks that let tests answer modal windows.
#pragma once
#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QLabel;
class QString;
class QWidget;
class QDialog;
class QButtonGroup;
class QTimer;

// Stops a timer and deletes it once control is back in the event loop (safe inside its tick).
struct ui_timer_deleter {
    void operator()(QTimer* t) const;
};
using ui_timer_ptr = std::unique_ptr<QTimer, ui_timer_deleter>;

// Button and box ids.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDHELP = 9;

// Message box flags (the subset the wizard uses).
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_DEFBUTTON2 = 0x100;

// Command codes passed with a control's id.
enum ui_notify : int {
    ui_clicked = 0,     // button press, check box or radio click
    ui_dblclk = 2,      // double-click in a list
    ui_setfocus = 3,    // an edit control got the focus
    ui_changed = 4,     // the user changed the text of an edit control
};

enum class ui_kind {
    label,      // static text
    image,      // static icon or picture
    button,
    default_button,   // the button that Enter presses (one per window)
    check,      // check box the program toggles itself
    radio,      // automatic radio button, one group per window
    edit,
    password,
    memo,       // multi-line edit
    list,       // sorted list box with extended selection
    progress,   // progress bar 0..100
    link,       // hyperlink
};

// The system's standard icons for image controls.
enum class ui_icon { information, question, warning, error };

// One control of a template. Controls are laid out in rows, in template order.
struct ui_control {
    int id;
    ui_kind kind;
    std::wstring text;
    bool same_row = false;   // placed to the right of the previous control
    bool hidden = false;
};

// A dialog template: id, caption and its controls.
struct ui_template {
    int id = 0;
    std::wstring caption;
    std::vector<ui_control> controls;
};

// The program's templates, registered once (like resources).
void ui_register_template(const ui_template& t);
const ui_template* ui_find_template(int id);

// Runs the function on the user-interface thread and waits for it; at once when called there.
// Exceptions travel back to the caller.
void ui_run_on_gui(const std::function<void()>& f);
// Runs it on the user-interface thread later, without waiting.
void ui_post_to_gui(const std::function<void()>& f);
bool ui_on_gui_thread();
// Keeps the user-interface thread's events flowing while the condition holds (at once elsewhere).
void ui_wait_while(const std::function<bool()>& condition);

// Makes sure the application object exists (the window framework's module).
class ui_module {
public:
    ui_module();
    ~ui_module();
    ui_module(const ui_module&) = delete;
    ui_module& operator=(const ui_module&) = delete;

private:
    bool m_owner = false;
};
// Creates a process-lifetime application object when none exists (tests).
void ui_ensure_application();

// A window built from a template: the control helpers shared by dialogs and wizard pages.
// The widgets exist between create_widgets() and destroy_widgets(); all helpers run on the
// user-interface thread.
class ui_window {
public:
    explicit ui_window(int template_id);
    virtual ~ui_window();
    ui_window(const ui_window&) = delete;
    ui_window& operator=(const ui_window&) = delete;

    int template_id() const { return m_template_id; }
    QWidget* widget() const { return m_widget; }
    bool has_widgets() const { return m_widget != nullptr; }
    QWidget* item(int id) const;   // null for an unknown id

    // Control helpers.
    void set_text(int id, const std::wstring& text);
    // The control's text cut to max_chars - 1 characters.
    std::wstring get_text(int id, std::size_t max_chars = 261) const;
    void check(int id, bool on);
    bool is_checked(int id) const;
    void enable(int id, bool on);
    bool is_enabled(int id) const;
    void show(int id, bool on);
    bool is_visible(int id) const;
    // Gives the control the focus; an edit control's text is selected, so typing replaces it.
    void focus(int id);
    int focused_id() const;        // 0 when none of ours has the focus
    void set_read_only(int id, bool on);
    bool is_read_only(int id) const;
    void set_progress(int id, int value);
    int get_progress(int id) const;
    void set_font(int id, const std::wstring& family, int points, bool bold);
    void set_link(int id, const std::wstring& label, const std::wstring& target);
    void append_text(int id, const std::wstring& text);   // at the end of an edit control
    void set_icon(int id, ui_icon icon);                   // an image control shows the icon
    // Makes the button the one that Enter presses (the others no longer are).
    void set_default_button(int id);
    bool is_default_button(int id) const;

    // List helpers (sorted, case-insensitive; insert keeps the given position).
    int lb_add(int id, const std::wstring& text);
    void lb_insert(int id, int pos, const std::wstring& text);
    void lb_delete(int id, int index);
    void lb_reset(int id);
    int lb_count(int id) const;
    std::wstring lb_text(int id, int index, std::size_t max_chars = 264) const;
    std::vector<int> lb_selection(int id) const;   // ascending
    void lb_select(int id, int index, bool on);
    void lb_clear_selection(int id);
    int lb_find_exact(int id, const std::wstring& text) const;   // -1 when missing
    int lb_text_width(int id, const std::wstring& text) const;
    void lb_set_extent(int id, int pixels);
    int lb_extent(int id) const;

    // Simulates the user on a control: clicks (toggling check boxes and radios as the user
    // would), double-clicks or focuses it, then delivers the command.
    void press(int id);
    void double_click(int id);

    // Delivered for clicks, double-clicks and focus changes of the template's controls.
    virtual void on_command(int /*id*/, int /*code*/) {}
    // Timer ticks of the window.
    virtual void on_timer(int /*timer_id*/) {}
    // An error that escaped a command or timer handler (the default logs it).
    virtual void on_error(const std::exception& e);

    // Builds the widgets of the template under the parent (null: a top-level dialog).
    void create_widgets(QWidget* host);
    void destroy_widgets();
    void dispatch(int id, int code);

private:
    int m_template_id;
    QWidget* m_widget = nullptr;
    std::map<int, QWidget*> m_items;
    std::map<int, int> m_extents;
    QButtonGroup* m_radios = nullptr;
};

// A modal dialog from a template. The object may be made on any thread; do_modal shows it on
// the user-interface thread and returns the id that ended it.
class ui_dialog : public ui_window {
public:
    explicit ui_dialog(int template_id);
    ~ui_dialog() override;

    int do_modal();
    // Ends the dialog with the result; safe from any thread, also before the dialog appeared
    // (do_modal then returns at once).
    void end_dialog(int result);
    bool is_ended() const { return m_ended.load(); }
    // Makes an ended dialog ready to be shown again.
    void reset_end() { m_ended.store(false); m_result.store(0); }
    int result() const { return m_result.load(); }

    void set_caption(const std::wstring& text);
    std::wstring caption() const;
    void center();

    // Called when the widgets exist, before the dialog shows.
    virtual void on_init() {}
    // Escape and the close box: the Cancel command (id 2).
    virtual void on_close() { dispatch(IDCANCEL, ui_clicked); }
    void on_command(int id, int code) override;

    // Starts a timer that calls on_timer(timer_id) every interval while the dialog shows.
    // Safe from any thread: the timers themselves live on the user-interface thread.
    void start_timer(int timer_id, int milliseconds);
    void kill_timer(int timer_id);

private:
    // Runs the function on the user-interface thread while the dialog shows; dropped otherwise.
    void post_while_shown(const std::function<void()>& f);

    std::atomic<bool> m_ended{false};
    std::atomic<int> m_result{0};
    std::mutex m_lock;
    QDialog* m_dialog = nullptr;
    std::wstring m_caption;
    std::map<int, ui_timer_ptr> m_timers;
};

// Test hook: called on the user-interface thread for every modal dialog right after on_init.
// It may press controls; when the dialog has not ended afterwards, it is ended with IDCANCEL.
using ui_modal_hook = std::function<void(ui_dialog&)>;
void ui_set_modal_hook(ui_modal_hook hook);
bool ui_has_modal_hook();

// The message box (template id 0): caption, text (control 65535) and the buttons of the flags.
class ui_message_dialog : public ui_dialog {
public:
    ui_message_dialog(const std::wstring& text, const std::wstring& caption, unsigned flags);
    void on_init() override;
    void on_command(int id, int code) override;
    const std::wstring& text() const { return m_text; }
    unsigned flags() const { return m_flags; }

private:
    std::wstring m_text;
    unsigned m_flags;
};
constexpr int ui_message_text_id = 65535;
constexpr int ui_message_template_id = 0;

// A label's text as the program set it, without the breaks a dialog added to fit a long word
// (a path) on the screen.
QString ui_label_text(const QLabel* label);

// Shows a message box; returns IDOK, IDYES or IDNO (IDCANCEL when closed otherwise).
int ui_message_box(const std::wstring& text, const std::wstring& caption, unsigned flags);

// Gives the window a size that fits the available area of the screen it opens on: the
// preferred size, grown to the window's own size hint, shrunk to the screen.
void ui_fit_to_screen(QWidget* window, int preferred_width, int preferred_height);

// Plays the system's attention sound (the terminal bell on this platform).
void ui_beep();
// Opens a web address or a file with the desktop's handler; false when none takes it.
bool ui_open_url(const std::wstring& target);

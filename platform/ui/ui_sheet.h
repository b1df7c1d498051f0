// The wizard-style property sheet: pages built from templates, the Back/Next/Finish buttons,
// page notifications and the sheet's timers.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/ui_window.h"

// Wizard buttons.
constexpr int PSWIZB_BACK = 1;
constexpr int PSWIZB_NEXT = 2;
constexpr int PSWIZB_FINISH = 4;
constexpr int PSWIZB_DISABLEDFINISH = 8;

// Page flags.
constexpr int PSP_HIDEHEADER = 0x800;
constexpr int PSP_HASHELP = 0x20;

// Sheet buttons (for enable_button).
constexpr int PSBTN_BACK = 0;
constexpr int PSBTN_NEXT = 1;
constexpr int PSBTN_FINISH = 2;
constexpr int PSBTN_CANCEL = 5;
constexpr int PSBTN_HELP = 6;

class ui_property_sheet;

// One wizard page: a template window that answers the sheet's notifications.
class ui_page : public ui_window {
public:
    ui_page(int template_id, int flags, const std::wstring& header_title, const std::wstring& header_subtitle);
    // A page that goes first leaves its sheet.
    ~ui_page() override;

    int flags() const { return m_flags; }
    const std::wstring& header_title() const { return m_title; }
    // A new header title, shown from the page's next activation on.
    void set_header_title(const std::wstring& title) { m_title = title; }
    const std::wstring& header_subtitle() const { return m_subtitle; }
    ui_property_sheet* sheet() const { return m_sheet; }

    // Becoming active: 0 shows the page, -1 skips it in the direction of travel.
    virtual int on_set_active() { return 0; }
    // Leaving: false keeps the page.
    virtual bool on_kill_active() { return true; }
    // Next and Back: 0 the neighbouring page, -1 stay, a template id: that page.
    virtual int on_wiz_next() { return 0; }
    virtual int on_wiz_back() { return 0; }
    // Finish: false keeps the sheet open.
    virtual bool on_wiz_finish() { return true; }
    virtual void on_help() {}
    // Cancel: true closes the sheet.
    virtual bool on_query_cancel() { return true; }

private:
    friend class ui_property_sheet;
    int m_flags;
    std::wstring m_title;
    std::wstring m_subtitle;
    ui_property_sheet* m_sheet = nullptr;
};

// The sheet. Pages are added before it shows; create() builds the window and activates the
// first page (do_modal() does that and runs the modal loop). All calls on the user-interface
// thread unless said otherwise.
class ui_property_sheet {
public:
    explicit ui_property_sheet(const std::wstring& title);
    virtual ~ui_property_sheet();
    ui_property_sheet(const ui_property_sheet&) = delete;
    ui_property_sheet& operator=(const ui_property_sheet&) = delete;

    void add_page(ui_page* page);
    virtual void remove_page(ui_page* page);
    const std::vector<ui_page*>& pages() const { return m_pages; }

    void create();
    int do_modal();
    void destroy();
    bool is_created() const { return m_window != nullptr; }
    // Ends the modal loop with the result.
    void end(int result);
    bool is_ended() const { return m_ended; }
    int result() const { return m_result; }

    void set_title(const std::wstring& title);
    std::wstring title_text() const;
    void set_wizard_buttons(int mask);
    int wizard_buttons() const { return m_buttons; }
    void enable_button(int button, bool on);
    bool is_button_enabled(int button) const;
    bool is_button_visible(int button) const;
    // Shows the page of this template id (activation as for Next; a skipped page moves on).
    bool set_cur_sel_by_id(int template_id);
    ui_page* active_page() const;
    int active_index() const { return m_active; }
    void center();

    // Presses a sheet button as the user would (also used by the widgets).
    void press_next();
    void press_back();
    void press_finish();
    void press_cancel();
    void press_help();

    // Timers; safe from any thread. start_timer returns false when the platform refuses.
    bool start_timer(int timer_id, int milliseconds);
    void kill_timer(int timer_id);
    // A timer tick (user-interface thread).
    virtual void on_timer(int timer_id);
    // An error that escaped a page's notification or a tick (the default logs it).
    virtual void on_error(const std::exception& e);

    QWidget* window() const;

private:
    void activate(int index, int direction);
    void update_chrome();
    void focus_page(QWidget* host);

    std::wstring m_title;
    std::vector<ui_page*> m_pages;
    int m_active = -1;
    int m_buttons = PSWIZB_NEXT;
    bool m_ended = false;
    int m_result = 0;
    QDialog* m_window = nullptr;
    struct chrome;
    std::unique_ptr<chrome> m_chrome;
    std::map<int, ui_timer_ptr> m_timers;
};

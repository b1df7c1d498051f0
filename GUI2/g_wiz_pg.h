// The common behaviour of wizard pages (notifications, buttons, control helpers) and the
// generic two-list selection page.
#pragma once
#include <string>
#include <vector>

#include "platform/ui/ui_sheet.h"

class wizard_shell;

// A wizard page: answers the sheet's notifications through the overridable operations below.
class wizard_page_base : public ui_page {
public:
    wizard_page_base(int dialog_id, int buttons, int page_flags, const std::wstring& header_title,
                     const std::wstring& header_subtitle);
    ~wizard_page_base() override = default;

    int buttons() const { return m_buttons; }

    // Called on every activation; false skips the page.
    virtual bool page_init() { return true; }
    // Leaving the page; false keeps it.
    virtual bool on_leave() { return true; }
    virtual bool on_finish() { return true; }
    virtual void help() {}
    // 0 the next page in order, -1 stay, a dialog id: that page.
    virtual int on_next() { return 0; }
    virtual int on_back() { return 0; }
    virtual bool on_cancel();

    // Control helpers.
    void enable_ctrl(int id, bool on);
    void show_ctrl(int id, bool on);
    bool invert_chbox(int id);

    // Sheet notifications.
    int on_set_active() override;
    bool on_kill_active() override { return on_leave(); }
    int on_wiz_next() override { return on_next(); }
    int on_wiz_back() override { return on_back(); }
    bool on_wiz_finish() override { return on_finish(); }
    void on_help() override { help(); }
    bool on_query_cancel() override { return on_cancel(); }
    void on_error(const std::exception& e) override;

protected:
    static wizard_shell& shell();

private:
    int m_buttons;
};

template <int DialogId, int Buttons, int Flags>
class wizard_page : public wizard_page_base {
public:
    static constexpr int IDD = DialogId;
    explicit wizard_page(const std::wstring& header_title = std::wstring(),
                         const std::wstring& header_subtitle = std::wstring())
        : wizard_page_base(DialogId, Buttons, Flags, header_title, header_subtitle)
    {
    }
};

// Available items on the left (1317), chosen items on the right (1318).
class sel_tables_page : public wizard_page_base {
public:
    static constexpr int id_available = 1317;
    static constexpr int id_chosen = 1318;

    sel_tables_page(int dialog_id, const std::wstring& header_title, const std::wstring& header_subtitle,
                    const std::wstring& question, bool reorder);

    // On entry the available items; after a successful collect() the chosen ones.
    std::vector<std::wstring> items;
    bool b_reorder;
    std::wstring question;

    virtual void preselect(const std::vector<std::wstring>& names);
    virtual bool is_query(const std::wstring&) const { return false; }
    virtual void on_query_chosen(const std::wstring&) {}
    virtual void on_query_removed(const std::wstring&) {}

    void do_page_init();
    void on_add();
    void on_add_all();
    void on_delete();
    void on_del_all();
    void on_move_up();
    void on_move_down();
    // Reads the chosen list into items (queries left out); false when the user declined to go on.
    bool collect();

    void on_command(int id, int code) override;

protected:
    void move_item(int from_list, int index);
    void clear_sel(int list);
};

#include "GUI2/g_wiz_pg.h"

#include "GUI2/g_res.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"

wizard_page_base::wizard_page_base(int dialog_id, int buttons, int page_flags, const std::wstring& header_title,
                                   const std::wstring& header_subtitle)
    : ui_page(dialog_id, page_flags, header_title, header_subtitle), m_buttons(buttons)
{
    gui_load_resources();
}

wizard_shell& wizard_page_base::shell()
{
    return wizard_shell::ref();
}

int wizard_page_base::on_set_active()
{
    tk_log_write(1, "wizard_page::OnSetActive");
    if (ui_property_sheet* s = sheet())
        s->set_wizard_buttons(m_buttons);
    wizard_shell& sh = shell();
    sh.initialize_if();
    sh.set_current_page(this);
    return page_init() ? 0 : -1;
}

void wizard_page_base::on_error(const std::exception& e)
{
    gui_report_escaped(e);
}

bool wizard_page_base::on_cancel()
{
    tk_log_write(1, "wizard_page::on_cancel");
    return shell().question(L"Are you sure you want to exit the wizard?", MB_DEFBUTTON2);
}

void wizard_page_base::enable_ctrl(int id, bool on)
{
    tk_log_write(1, "wizard_page::enable_ctrl(%d=%d)", id, on ? 1 : 0);
    enable(id, on);
}

void wizard_page_base::show_ctrl(int id, bool on)
{
    tk_log_write(1, "wizard_page::show_ctrl(%d=%d)", id, on ? 1 : 0);
    show(id, on);
}

bool wizard_page_base::invert_chbox(int id)
{
    tk_log_write(1, "wizard_page::invert_chbox(%d)", id);
    if (!item(id))
        throw tk_mail_assertion("g_wiz_pg", 127);
    const bool state = !is_checked(id);
    check(id, state);
    return state;
}

// ---------------------------------------------------------------------------------------------
// sel_tables_page

sel_tables_page::sel_tables_page(int dialog_id, const std::wstring& header_title,
                                 const std::wstring& header_subtitle, const std::wstring& question_text,
                                 bool reorder)
    : wizard_page_base(dialog_id, PSWIZB_BACK | PSWIZB_NEXT, PSP_HASHELP, header_title, header_subtitle),
      b_reorder(reorder), question(question_text)
{
}

void sel_tables_page::do_page_init()
{
    tk_log_write(1, "sel_tables_page::do_page_init");
    lb_reset(id_available);
    lb_reset(id_chosen);
    int widest = 0;
    for (const auto& name : items) {
        lb_add(id_available, name);
        widest = std::max(widest, lb_text_width(id_available, name));
    }
    lb_set_extent(id_available, widest);
    lb_set_extent(id_chosen, 0);
    if (lb_count(id_available) > 0) {
        tk_log_write(1, "Highlight 1st row");
        lb_select(id_available, 0, true);
    }
    if (b_reorder) {
        tk_log_write(1, "Activating re-order buttons");
        show(1117, true);
        show(1118, true);
    }
}

void sel_tables_page::move_item(int from_list, int index)
{
    const int to_list = from_list == id_available ? id_chosen : id_available;
    const std::wstring text = lb_text(from_list, index);
    lb_add(to_list, text);
    const int width = lb_text_width(to_list, text);
    if (width > lb_extent(to_list))
        lb_set_extent(to_list, width);
    lb_delete(from_list, index);
    if (is_query(text)) {
        if (from_list == id_available)
            on_query_chosen(text);
        else
            on_query_removed(text);
    }
}

void sel_tables_page::clear_sel(int list)
{
    tk_log_write(1, "sel_tables_page::clear_sel");
    for (int i : lb_selection(list)) {
        tk_log_write(1, "Unsel item #%d", i);
        lb_select(list, i, false);
    }
}

void sel_tables_page::on_add()
{
    tk_log_write(1, "sel_tables_page::on_add");
    const std::vector<int> sel = lb_selection(id_available);
    tk_log_write(1, "n_sel=%d", static_cast<int>(sel.size()));
    if (sel.empty())
        return;
    int moved = 0;
    for (int index : sel) {
        tk_log_write(1, "Adding item #%d", index);
        move_item(id_available, index - moved);
        ++moved;
    }
    lb_clear_selection(id_available);
    const int count = lb_count(id_available);
    if (count > 0) {
        int next = sel.back() - moved + 1;
        if (next >= count)
            next = count - 1;
        lb_select(id_available, next, true);
    } else {
        clear_sel(id_chosen);
        focus(id_chosen);
        lb_select(id_chosen, 0, true);
    }
}

void sel_tables_page::on_add_all()
{
    tk_log_write(1, "sel_tables_page::on_add_all");
    while (lb_count(id_available) > 0)
        move_item(id_available, 0);
    focus(id_chosen);
    clear_sel(id_chosen);
    lb_select(id_chosen, 0, true);
}

void sel_tables_page::on_delete()
{
    tk_log_write(1, "sel_tables_page::on_delete");
    const std::vector<int> sel = lb_selection(id_chosen);
    tk_log_write(1, "n_sel=%d", static_cast<int>(sel.size()));
    if (sel.empty())
        return;
    int moved = 0;
    for (int index : sel) {
        tk_log_write(1, "Deleting item #%d", index);
        move_item(id_chosen, index - moved);
        ++moved;
    }
    lb_clear_selection(id_chosen);
    const int count = lb_count(id_chosen);
    if (count > 0) {
        int next = sel.back() - moved + 1;
        if (next >= count)
            next = count - 1;
        lb_select(id_chosen, next, true);
    } else {
        clear_sel(id_available);
        focus(id_available);
        lb_select(id_available, 0, true);
    }
}

void sel_tables_page::on_del_all()
{
    tk_log_write(1, "sel_tables_page::on_del_all");
    while (lb_count(id_chosen) > 0)
        move_item(id_chosen, 0);
    focus(id_available);
    clear_sel(id_available);
    lb_select(id_available, 0, true);
}

void sel_tables_page::on_move_up()
{
    tk_log_write(1, "sel_tables_page::on_move_up");
    const std::vector<int> sel = lb_selection(id_chosen);
    if (sel.empty() || sel.front() < 1)
        return;
    const int i = sel.front();
    const std::wstring text = lb_text(id_chosen, i);
    lb_delete(id_chosen, i);
    lb_insert(id_chosen, i - 1, text);
    lb_clear_selection(id_chosen);
    lb_select(id_chosen, i - 1, true);
}

void sel_tables_page::on_move_down()
{
    tk_log_write(1, "sel_tables_page::on_move_down");
    const std::vector<int> sel = lb_selection(id_chosen);
    if (sel.empty() || sel.front() >= lb_count(id_chosen) - 1)
        return;
    const int i = sel.front();
    const std::wstring below = lb_text(id_chosen, i + 1);
    lb_delete(id_chosen, i + 1);
    lb_insert(id_chosen, i, below);
    lb_clear_selection(id_chosen);
    lb_select(id_chosen, i + 1, true);
}

bool sel_tables_page::collect()
{
    if (lb_count(id_available) > 0 && lb_count(id_chosen) == 0 && !question.empty())
        if (!shell().question(question, MB_DEFBUTTON2))
            return false;
    items.clear();
    for (int i = 0; i < lb_count(id_chosen); ++i) {
        std::wstring text = lb_text(id_chosen, i);
        if (!is_query(text))
            items.push_back(std::move(text));
    }
    return true;
}

void sel_tables_page::preselect(const std::vector<std::wstring>& names)
{
    for (const auto& name : names) {
        const int index = lb_find_exact(id_available, name);
        if (index >= 0)
            move_item(id_available, index);
    }
}

void sel_tables_page::on_command(int id, int code)
{
    switch (id) {
    case 1101: on_add(); break;
    case 1102: on_add_all(); break;
    case 1111: on_delete(); break;
    case 1110: on_del_all(); break;
    case 1117: on_move_up(); break;
    case 1118: on_move_down(); break;
    case id_available:
        if (code == ui_dblclk)
            on_add();
        break;
    default: break;
    }
}

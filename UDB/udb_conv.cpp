#include "UDB/udb_conv.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_name.h"

namespace {

// Appends (name, text) unless an entry of that name is there; an entry of
// that name takes the new text.
void merge_entry(udb_converter::name_text_list& list, const std::wstring& name,
                 const std::wstring& text)
{
    for (auto& e : list) {
        if (udb_same_name(e.first, name)) {
            e.second = text;
            return;
        }
    }
    list.emplace_back(name, text);
}

// "0" is false, any other non-empty value true; empty keeps the setting.
void read_flag(const std::wstring& value, bool& flag)
{
    if (!value.empty())
        flag = value != L"0";
}

} // namespace

udb_converter::udb_converter()
{
    tk_log_write(2, "udb_converter::ctor");
}

std::wstring udb_converter::get_current_table() const
{
    std::lock_guard<std::mutex> lock(progress_lock);
    return current_table;
}

void udb_converter::set_current_table(const std::wstring& name)
{
    std::lock_guard<std::mutex> lock(progress_lock);
    current_table = name;
}

void udb_converter::load_profile(const udb_profile& profile)
{
    tk_log_write(2, "udb_converter::load_profile");
    // Checked before anything is taken over: a mode outside 0-3 would run unchecked as an append.
    const std::wstring mode_text = profile.get_value(udb_profile::generic_settings, L"mode");
    if (!mode_text.empty() && (mode_text.size() != 1 || mode_text[0] < L'0' || mode_text[0] > L'3'))
        throw tk_exception("Invalid merge/overwrite mode", 1);
    if (const auto* s = profile.find_section(udb_profile::selected_tables)) {
        for (const auto& [name, text] : *s) {
            if (!text.empty())
                tk_log_write_w(2, L"Loading query '%ls'", name.c_str());
            else
                tk_log_write_w(2, L"Loading table '%ls'", name.c_str());
            merge_entry(selected_queries, name, text);
        }
    }
    if (const auto* s = profile.find_section(udb_profile::available_queries))
        for (const auto& [name, text] : *s)
            merge_entry(available_queries, name, text);
    if (const auto* s = profile.find_section(udb_profile::selected_views))
        for (const auto& [name, text] : *s)
            merge_entry(selected_views, name, text);

    const std::wstring gs = udb_profile::generic_settings;
    if (const std::wstring v = profile.get_value(gs, L"src"); !v.empty()) {
        source = v;
        tk_log_write_w(2, L"source='%ls'", v.c_str());
    }
    if (const std::wstring v = profile.get_value(gs, L"dest"); !v.empty()) {
        destination = v;
        tk_log_write_w(2, L"dest='%ls'", v.c_str());
    }
    if (const std::wstring v = profile.get_value(gs, L"logfile"); !v.empty()) {
        const std::string name = tk_to_string(v, -1);
        choose_logfile(name);
        tk_log_write(1, "Logfile=%s", name.c_str());
    }
    read_flag(profile.get_value(gs, L"only definitions"), only_definitions);
    if (!mode_text.empty())
        mode = static_cast<int>(mode_text[0]) - L'0';
    read_flag(profile.get_value(gs, L"skip indexes"), skip_indexes);
}

void udb_converter::store_profile(udb_profile& profile) const
{
    tk_log_write(2, "udb_converter::store_profile");
    for (const auto& [name, text] : available_queries) {
        tk_log_write_w(2, L"Available Query: (%ls,%ls)", name.c_str(), text.c_str());
        profile.add_value(udb_profile::available_queries, name, text);
    }
    for (const auto& [name, text] : selected_queries) {
        tk_log_write_w(2, L"Selected Query: (%ls,%ls)", name.c_str(), text.c_str());
        profile.add_value(udb_profile::selected_tables, name, text);
    }
    for (const auto& [name, text] : selected_views) {
        tk_log_write_w(2, L"Selected View: (%ls,%ls)", name.c_str(), text.c_str());
        profile.add_value(udb_profile::selected_views, name, text);
    }
    const std::wstring gs = udb_profile::generic_settings;
    profile.add_value(gs, L"src", source);
    profile.add_value(gs, L"dest", destination);
    profile.add_value(gs, L"logfile", tk_to_wstring(logfile));
    profile.add_value(gs, L"skip indexes", skip_indexes ? L"1" : L"0");
    profile.add_value(gs, L"only definitions", only_definitions ? L"1" : L"0");
    profile.add_value(gs, L"mode", std::wstring(1, static_cast<wchar_t>(L'0' + mode)));
}

#include "GUI2/g_res.h"

#include <mutex>

#include "platform/ui/ui_window.h"

namespace {

using k = ui_kind;

ui_control c(int id, ui_kind kind, const wchar_t* text, bool same_row = false, bool hidden = false)
{
    return ui_control{id, kind, text, same_row, hidden};
}

// Long by nature: one entry per dialog template, read as a table rather than as steps.
void load()
{
    ui_register_template({101, L"Please wait", {
        c(1301, k::image, L""),
        c(-2, k::label, L"Connecting to MS SQL server. Please wait...", true),
    }});
    ui_register_template({103, L"", {
        c(1337, k::label, L"MS Access to Microsoft SQL\nConversion Wizard"),
        c(1329, k::radio, L"&Migrate to MS SQL server directly"),
        c(1330, k::radio, L"&Export into local T-SQL script file"),
        c(1115, k::button, L"&Load Settings..."),
        c(1320, k::link, L""),
    }});
    ui_register_template({105, L"", {
        c(1202, k::check, L"&Database is protected with user-level security"),
        c(1003, k::edit, L"Path to &workgroup informtation file:"),
        c(1107, k::button, L"Browse...", true),
        c(1004, k::edit, L"&User name:"),
        c(1005, k::password, L"User &password:"),
    }});
    ui_register_template({106, L"", {
        c(1003, k::edit, L"MS &Access database name:"),
        c(1107, k::button, L"Browse...", true),
        c(1007, k::password, L"MS Access database &password (if any):"),
        c(1311, k::label, L"MS &SQL database name:"),
        c(1004, k::edit, L""),
        c(1104, k::button, L"Browse...", true),
        c(1006, k::edit, L"&Logfile (leave blank to disable logging):"),
        c(1105, k::button, L"Browse...", true),
        c(1228, k::check, L"D&o not migrate the data"),
        c(1226, k::check, L"S&kip converting indexes"),
    }});
    ui_register_template({107, L"", {
        c(1323, k::label, L""),
        c(1321, k::progress, L""),
    }});
    ui_register_template({109, L"", {
        c(1203, k::check, L"Insert 'CREATE &DATABASE' statement"),
        c(1204, k::check, L"Insert 'CREATE &TABLE' statements"),
        c(1205, k::check, L"Insert &comments"),
    }});
    ui_register_template({114, L"Error", {
        c(-1, k::image, L""),
        c(1320, k::label, L"", true),
        c(1, k::default_button, L"OK"),
        c(1108, k::button, L"Copy to clipboard", true),
        c(1112, k::button, L"Send bug", true),
    }});
    ui_register_template({115, L"Error", {
        c(-1, k::image, L""),
        c(1320, k::label, L"", true),
        c(1222, k::check, L"&Do not show this dialog box again"),
        c(1, k::button, L"Abort"),
        c(2, k::default_button, L"Continue", true),
    }});
    ui_register_template({116, L"", {
        c(1313, k::label, L"Conversion is Completed"),
        c(1314, k::label, L""),
        c(1315, k::label, L"", false, true),
        c(1016, k::memo, L"", false, true),
        c(1116, k::button, L"&Save Settings..."),
    }});
    ui_register_template({118, L"", {
        c(1014, k::edit, L"MS &SQL Server:"),
        c(1329, k::radio, L"&Windows authentication"),
        c(1330, k::radio, L"S&QL Server authentication"),
        c(1012, k::edit, L"&Login name:"),
        c(1013, k::password, L"&Password:"),
        c(1002, k::edit, L"&Database:"),
    }});
    ui_register_template({121, L"Warning", {
        c(1320, k::label, L""),
        c(1329, k::radio, L"&Overwrite the entire database"),
        c(1330, k::radio, L"Overwrite existing &tables only"),
        c(1331, k::radio, L"&Skip existing tables"),
        c(1332, k::radio, L"&Merge"),
        c(1, k::default_button, L"OK"),
        c(2, k::button, L"Cancel", true),
        c(9, k::button, L"Help", true),
    }});
    ui_register_template({127, L"", {
        c(1337, k::label, L""),
        c(1334, k::label, L"&Available tables:"),
        c(1312, k::label, L"&Selected tables:", true),
        c(1317, k::list, L""),
        c(1318, k::list, L"", true),
        c(1101, k::button, L"A&dd >"),
        c(1102, k::button, L"Add a&ll >", true),
        c(1111, k::button, L"< &Remove", true),
        c(1110, k::button, L"< Re&move all", true),
        c(1114, k::button, L"Add &Query", true, true),
        c(1117, k::button, L"^", true, true),
        c(1118, k::button, L"v", true, true),
    }});
    ui_register_template({128, L"Add Query", {
        c(1019, k::edit, L"&Store as Table:"),
        c(-2, k::label, L"&Query:"),
        c(1020, k::memo, L""),
        c(129, k::button, L"&Test Query"),
        c(1, k::default_button, L"OK", true),
        c(2, k::button, L"Cancel", true),
        c(9, k::button, L"Help", true),
    }});
    ui_register_template({136, L"Additional Software is Required", {
        c(1301, k::image, L""),
        c(1320, k::label, L"", true),
        c(1335, k::link, L""),
        c(1, k::default_button, L"OK"),
    }});
}

} // namespace

void gui_load_resources()
{
    static std::once_flag once;
    std::call_once(once, load);
}

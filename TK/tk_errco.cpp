#include "TK/tk_errco.h"

#include <iterator>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

#define TK_CONTACT_MAIL "support@quillbrook.example"
#define TK_CONTACT "Please write to " TK_CONTACT_MAIL " for a solution."
#define TK_CONTACT_BROKEN "Please write to " TK_CONTACT_MAIL "\nfor a solution."

const tk_error_entry tk_sql_error_table[] = {
    {0x80E03, "Given values violate the database schema."},
    {0x80E07, "Literal value could not be converted to the correct type." TK_CONTACT},
    {0x80E09, "You are not allowed to access MS SQL database. Ask your\n"
              "system administrator to grant you necessary privileges."},
    {0x80E11, "Invalid column ID. " TK_CONTACT},
    {0x80E13, "Invalid value. " TK_CONTACT},
    {0x80E17, "Data source with the specified name already exists."},
    {0x80E1D, "Requested conversion is not supported."},
    {0x80E21, "Errors occurred. " TK_CONTACT},
    {0x80E2F, "The specified record violates the integrity constraints.\n"
              "See 'Troubleshooting' article of the product documentation\nfor solution."},
    {0x80E30, "The given type name is unrecognized."},
    {0x80E34, "The specified index already exists."},
    {0x80E35, "The specified index does not exist."},
    {0x80E37, "The specified table does not exist."},
    {0x80E3A, "The specified precision is invalid."},
    {0x80E3B, "The specified scale is invalid."},
    {0x80E3C, "Invalid table ID. " TK_CONTACT},
    {0x80E3D, "The specified type is invalid."},
    {0x80E3E, "The column ID is occurred more than once in the specification."},
    {0x80E3F, "The specified table already exists. Try to connect as database owner\n"
              "using the appropriate checkbox on 'Connect to MS SQL server' wizard page."},
    {0x80E42, "The specified record number is invalid."},
    {0x80E4D, "Invalid user name or password."},
    {0x80E55, "The specified column did not exist."},
    {0x80E57, "Literal value overflowed the range of the type of the associated column.\n" TK_CONTACT},
    {0x80E65, "The supplied columnID is invalid."},
    {0x80E72, "The index ID is invalid. " TK_CONTACT_BROKEN},
    {0x80EC1, "One or more column types are incompatible; conversion errors will\noccur during copying."},
    {0x80EDA, "Errors occurred. " TK_CONTACT},
};
const int tk_sql_error_count = static_cast<int>(std::size(tk_sql_error_table));

tk_error_converter::tk_error_converter(int count, const tk_error_entry* entries)
{
    tk_log_write(2, "tk_error_converter::ctor (map size=%d)", count);
    TK_MAIL_CHECK(entries != nullptr);
    load_map(count, entries);
}

void tk_error_converter::load_map(int count, const tk_error_entry* entries)
{
    tk_log_write(2, "tk_error_converter::load_map (map size=%d)", count);
    for (int i = 0; i < count; ++i)
        m_map.emplace(entries[i].code, entries[i].message ? entries[i].message : "");
}

std::string tk_error_converter::convert(std::int32_t code) const
{
    tk_log_write(2, "tk_error_converter::convert(%d)", code);
    auto it = m_map.find(code);
    if (it == m_map.end()) {
        tk_log_write(1, "Error message not found!");
        return std::string();
    }
    tk_log_write(1, "Error message has been found: %s", it->second.c_str());
    return it->second;
}

namespace {

struct message_row {
    int row;
    const char* narrow;
    const wchar_t* wide;
};

#define TK_ROW(n, text) {n, text, L"" text}

const message_row g_messages[] = {
    TK_ROW(1, TK_CONTACT_MAIL),
    TK_ROW(2, "Veltrane Support <" TK_CONTACT_MAIL ">"),
    TK_ROW(3, "Cannot create log file. Make sure you have sufficient\nprivileges to create files in the directory."),
    TK_ROW(4, "Logfile path does not exist.\nPlease verify the correct path was given."),
    TK_ROW(5, "Logfile name specifies an existing read-only file."),
    TK_ROW(6, "Logfile name specifies an existing path."),
    TK_ROW(7, "Bad path or busy with another process"),
    TK_ROW(8, "Error opening file"),
    TK_ROW(9, "Error reading from file"),
    TK_ROW(10, "Cannot write into file"),
    TK_ROW(11, "Unknown exception"),
    TK_ROW(12, "Internal error: \ncode="),
    TK_ROW(13, "Generic settings"),
    TK_ROW(14, "Available Queries"),
    TK_ROW(15, "Selected Tables"),
    TK_ROW(16, "Selected Views"),
    TK_ROW(17, "src"),
    TK_ROW(18, "dest"),
    TK_ROW(19, "logfile"),
    TK_ROW(20, "only definitions"),
    TK_ROW(21, "skip indexes"),
    TK_ROW(22, "mode"),
    TK_ROW(40, "connect as DBO"),
    TK_ROW(41, "server"),
    TK_ROW(42, "windows authentication"),
    TK_ROW(43, "login"),
    TK_ROW(44, "password"),
    TK_ROW(45, "MS SQL Server settings"),
    TK_ROW(50, "direct mode"),
    TK_ROW(69, "Profile does not exist. Please verify the correct path/name was given."),
    TK_ROW(70, "The structure of data source does not conform to the destination table."),
};

const message_row* find_row(int row)
{
    for (const auto& m : g_messages)
        if (m.row == row)
            return &m;
    return nullptr;
}

} // namespace

const char* tk_message(int row)
{
    const message_row* m = find_row(row);
    return m ? m->narrow : "";
}

const wchar_t* tk_wmessage(int row)
{
    const message_row* m = find_row(row);
    return m ? m->wide : L"";
}

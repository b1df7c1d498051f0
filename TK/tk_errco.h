// Fixed texts of the system: SQL Server error-code messages and the shared message table.
#pragma once
#include <cstdint>
#include <map>
#include <string>

// One row of an error-code table: a code (0x80000 plus the low 16 bits of an
// OLE DB result) and the text the user sees for it.
struct tk_error_entry {
    std::int32_t code;
    const char* message;
};

// The messages for SQL Server failures, in table order, and their count.
extern const tk_error_entry tk_sql_error_table[];
extern const int tk_sql_error_count;

// Maps an error code to its message text; the first entry of a code wins.
class tk_error_converter {
public:
    // A null entry array is an internal error.
    tk_error_converter(int count, const tk_error_entry* entries);

    // The text for the code, or "" when the table has none.
    std::string convert(std::int32_t code) const;
    std::size_t size() const { return m_map.size(); }

private:
    void load_map(int count, const tk_error_entry* entries);

    std::map<std::int32_t, std::string> m_map;
};

// Rows of the message table, by position.
enum tk_msg_id : int {
    tk_msg_contact_mail = 1,
    tk_msg_contact_name = 2,
    tk_msg_log_no_privilege = 3,
    tk_msg_log_no_path = 4,
    tk_msg_log_read_only = 5,
    tk_msg_log_is_path = 6,
    tk_msg_file_bad_path = 7,
    tk_msg_file_open = 8,
    tk_msg_file_read = 9,
    tk_msg_file_write = 10,
    tk_msg_unknown_exception = 11,
    tk_msg_internal_error = 12,
    tk_msg_generic_settings = 13,
    tk_msg_available_queries = 14,
    tk_msg_selected_tables = 15,
    tk_msg_selected_views = 16,
    tk_msg_key_src = 17,
    tk_msg_key_dest = 18,
    tk_msg_key_logfile = 19,
    tk_msg_key_only_definitions = 20,
    tk_msg_key_skip_indexes = 21,
    tk_msg_key_mode = 22,
    tk_msg_key_connect_as_dbo = 40,
    tk_msg_key_server = 41,
    tk_msg_key_windows_auth = 42,
    tk_msg_key_login = 43,
    tk_msg_key_password = 44,
    tk_msg_mss_settings = 45,
    tk_msg_key_direct_mode = 50,
    tk_msg_profile_missing = 69,
    tk_msg_not_conform = 70,
};

// The text of a row, narrow or wide; "" for a row the table does not hold.
const char* tk_message(int row);
const wchar_t* tk_wmessage(int row);

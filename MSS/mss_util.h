// T-SQL text shared by the SQL Server and script destinations: column types, value literals, names.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include "platform/com/oleauto.h"

class ole_variant;
class udb_field;
struct t_ftd;

// ---------------------------------------------------------------------------
// Engine settings that the generated T-SQL depends on.

// The SQL Server engine's settings that change the T-SQL text.
struct mss_engine_flags {
    bool unicode = true;    // national text types and N'...' literals
    std::wstring user;      // login user of a SQL login (empty for Windows login)
    bool as_dbo = false;    // connect as dbo: tables always go to [dbo]
    std::wstring schema;    // the connected user's default schema in the open database (empty: not known)
    unsigned version = 0;   // server version code (100 = Azure)
    bool view_owned = true; // owner rule of the catalogue reading
};

// The current engine settings: those a caller installed, else the process-wide
// engine's (an internal error when there is no engine).
mss_engine_flags mss_get_engine_flags();
// The unicode flag of mss_get_engine_flags() alone, without building the rest.
bool mss_get_engine_unicode();
// Installs where the settings come from; an empty function returns to the engine.
void mss_set_engine_flags_source(std::function<mss_engine_flags()> source);

// ---------------------------------------------------------------------------
// Types and literals.

bool mss_is_binary_vt(VARTYPE vt);

// Column type text of one column descriptor.
std::wstring mss_get_native_type(const t_ftd& ftd);

// A value brought into the ranges SQL Server accepts; NaN and infinities become NULL.
// *changed (when given) is set when the value had to change.
ole_variant mssql_get_safe_variant(const ole_variant& v, bool* changed = nullptr);

// Literal for a value given by its text form and type. With guid_column set, a text
// holding a GUID is written as the bare GUID.
std::wstring to_mssql_str(const std::wstring& text, VARTYPE vt, bool guid_column = false);

// Literal for one field value stored into the given destination column. A value changed to fit
// the server is noted with the error handler (error_handler::note_changed_value).
std::wstring mss_get_fld_append_str(const udb_field* fld, const t_ftd* ftd);

// 'text' with embedded quotes doubled; prefix "N" gives a national literal. A text that
// would put into the script something a tool running it acts on (a line starting with "GO"
// or a runner command, "$(", a NUL) is written as a concatenation instead: those line
// breaks and NULs as character codes, "$(" split between two pieces.
std::wstring mss_quote_string(const std::wstring& text, const wchar_t* prefix = L"");
// C0 and C1 control characters, DEL, and the Unicode line and paragraph separators.
bool mss_is_control_char(wchar_t c);
// Must the text be written as a concatenation?
bool mss_literal_needs_split(const std::wstring& text);
// The opening of the concatenation form, up to and including the first piece's quote;
// the caller closes it with "')".
std::wstring mss_split_literal_open(bool national);

// Finds, in one text, the characters that may not stand raw inside a literal, and writes
// the inside of the literal piece by piece.
class mss_literal_scanner {
public:
    enum class escape { none, code, split };
    explicit mss_literal_scanner(std::wstring_view text);
    // How the character at i is written in the concatenation form.
    escape at(size_t i);
    bool needs_split();
    // The inside of the literal for text[from, to): quotes doubled; with split, each escaped
    // character closes the piece (a character code follows) and opens the next one.
    void append(std::wstring& out, size_t from, size_t to, const wchar_t* prefix, bool split);

private:
    std::wstring_view text_;
    size_t run_start_ = 0;     // the last scanned run of blanks and line breaks
    size_t run_end_ = 0;       // end of the last scanned run of blanks and line breaks
    bool run_command_ = false; // a command word follows that run
};

// ---------------------------------------------------------------------------
// Names.

// The name as one bracketed identifier; "]" inside is doubled, control characters and
// line breaks become "_".
std::wstring mss_quote_name(const std::wstring& name);

// Splits an owner-qualified name ([owner].[table], owner.table or table). Always true.
bool mss_split_tab_name(const std::wstring& name, std::wstring& table, std::wstring& owner);

// owner + separator + table without brackets, or the table alone.
std::wstring mss_simplify_tab_name(const std::wstring& name, const std::wstring& separator);

// Canonical [owner].[table] form of a table name for the given login settings.
std::wstring mss_get_safe_tname(const std::wstring& name, const mss_engine_flags& flags);
// The same with the current engine settings.
std::wstring mss_get_safe_tname(const std::wstring& name);

// A foreign key's ON DELETE / ON UPDATE text that may be appended to the key.
bool mss_is_valid_fk_props(const std::wstring& text);

// A view's SQL rewritten into T-SQL.
std::wstring mss_refine_view(const std::wstring& sql);

// A new index name IDX_<n>, unique in the process.
std::wstring gen_idx_name2();

bool mss_starts_with(const std::wstring& text, const std::wstring& prefix, bool case_sensitive);

// Text with every "*/", "/*", "$(" and control character made harmless for a block comment.
std::wstring mss_comment_safe(const std::wstring& text);

// Compares one pattern with a stretch of another text, ignoring case.
class icomparer {
public:
    explicit icomparer(const std::wstring& pattern);
    int compare(const std::wstring& text, size_t position) const;
    size_t length() const { return pattern_.size(); }
private:
    std::wstring pattern_;
};

// The fixed ON DELETE and ON UPDATE clause texts of a foreign key.
struct mss_fk_props_patterns {
    static const wchar_t* const on_delete[4];
    static const wchar_t* const on_update[4];
};

// Locale-aware equality ignoring case.
bool mss_iequal(const std::wstring& a, const std::wstring& b);

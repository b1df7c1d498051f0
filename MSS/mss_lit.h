// Value literals written straight from a field's typed value into UTF-8 or wide text.
#pragma once
#include <cstddef>
#include <string>

class udb_field;
struct t_ftd;

// Appends the UTF-8 form of n wide characters to out. Characters that are no Unicode scalar
// become U+FFFD.
void mss_append_utf8(std::string& out, const wchar_t* text, std::size_t n);

// Appends the literal of one field value stored into the given destination column: the very
// text mss_get_fld_append_str gives. Common values (numbers, currency, decimals, dates, plain
// texts, GUIDs, binary, NULL) are printed from the typed value without wide text or heap copies
// on the way; the rest (custom conversion rules, detailed tracing, values the safety rules
// change, texts with control characters) are handed to mss_get_fld_append_str.
class mss_literal_writer {
public:
    // Reads the settings the literals depend on; they hold for the writer's lifetime.
    mss_literal_writer();
    explicit mss_literal_writer(bool unicode) : unicode_(unicode) {}

    void append(std::string& out, const udb_field& field, const t_ftd& column) const;
    void append(std::wstring& out, const udb_field& field, const t_ftd& column) const;

    // The short road alone: false (out unchanged) when the value needs the general one.
    bool append_direct(std::string& out, const udb_field& field, const t_ftd& column) const;
    bool append_direct(std::wstring& out, const udb_field& field, const t_ftd& column) const;

private:
    bool unicode_ = true;
};

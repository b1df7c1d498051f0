// ole_variant: the system's one value type (a VARIANT plus 64-bit integers, dates and byte arrays).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "OLE/ole_date.h"
#include "TK/tk_excep.h"
#include "platform/com/oleauto.h"

// A value that cannot be changed to the requested type (level 0: the run may go on).
class ole_cast_exception : public tk_exception {
public:
    ole_cast_exception();
};

// A type that text cannot be turned into (level 1).
class ole_type_exception : public tk_exception {
public:
    ole_type_exception();
};

// A typed value. VT_I8 and VT_UI8 keep their value in a side field (the VARIANT carries the type
// code and the same value); VT_DATE keeps an ole_date, which is authoritative for printing, beside
// the automation date. Binary data is VT_ARRAY|VT_UI1 or VT_BLOB (synonyms) holding a
// one-dimensional byte SAFEARRAY.
class ole_variant {
public:
    ole_variant();
    ole_variant(short value);
    ole_variant(unsigned short value);
    ole_variant(int value);
    ole_variant(unsigned int value);           // VT_UI4
    ole_variant(long long value);              // VT_I8
    ole_variant(unsigned long long value);     // VT_UI8
    ole_variant(long value);                   // VT_I8
    ole_variant(unsigned long value);          // VT_UI8
    ole_variant(float value);                  // VT_R4
    ole_variant(double value);
    ole_variant(bool value);                   // VT_BOOL, true = VARIANT_TRUE
    ole_variant(const std::wstring& text);     // VT_BSTR
    ole_variant(const wchar_t* text);          // VT_BSTR of a NUL-terminated text (null: empty text)
    ole_variant(const char* text) = delete;    // narrow text: use attach_string or from_string
    // Binary: count bytes from data; null data with a count above 0 is an internal error.
    ole_variant(size_t count, const unsigned char* data);
    ole_variant(const ole_date& date);
    ole_variant(const SYSTEMTIME& time);
    // Any VARIANT (deep copy); VT_DATE gets its kept date.
    explicit ole_variant(const VARIANT& value);
    ole_variant(const ole_variant& other);
    ole_variant(ole_variant&& other) noexcept;
    ole_variant& operator=(const ole_variant& other);
    ole_variant& operator=(ole_variant&& other) noexcept;
    ole_variant& operator=(const std::vector<unsigned char>& bytes); // binary
    virtual ~ole_variant();

    // Narrow text of the value (ANSI); see the .cpp for the layout of each type.
    virtual std::string to_string() const;
    // Wide text: a text as it is, binary as "0x..", else to_string read as UTF-8.
    virtual std::wstring to_wstring() const;
    // The wide text this class itself gives, whatever a derived class makes of to_string.
    std::wstring to_plain_wstring() const;

    // ---- type and raw access ----
    VARTYPE get_type() const { return m_var.vt; }
    bool is_empty() const { return m_var.vt == VT_EMPTY; }
    bool is_null() const { return m_var.vt == VT_NULL; }
    bool is_binary() const;
    // The VARIANT itself (VT_I8/VT_UI8 carry their value in llVal/ullVal too).
    const VARIANT& variant() const { return m_var; }
    // A copy as a standalone VARIANT the caller owns (VariantClear it).
    VARIANT to_variant() const;
    int64_t get_i8() const { return m_i8; }
    uint64_t get_ui8() const { return m_ui8; }
    const ole_date& get_date() const { return m_date; }
    void clear();      // VT_EMPTY
    void set_null();   // VT_NULL
    // Becomes a copy of the BSTR (its full length, NULs included).
    void assign_bstr(BSTR text);
    ole_variant& operator=(BSTR text) { assign_bstr(text); return *this; }
    // VT_CY from the currency's scaled integer, VT_DECIMAL from a DECIMAL.
    static ole_variant from_currency(int64_t scaled);
    static ole_variant from_decimal(const DECIMAL& value);

    // ---- binary ----
    // An existing one-dimensional binary value is resized; anything else becomes a new
    // VT_ARRAY|VT_UI1 of size zeroed bytes.
    void allocate_safe_array(size_t size);
    void attach_binary(const std::vector<unsigned char>& bytes);
    void attach_binary(const unsigned char* data, size_t count);
    void attach_string(const std::string& utf8);   // VT_BSTR
    void attach_wstring(const std::wstring& text); // VT_BSTR
    // Takes over the VARIANT's contents (a text's string, an array, a plain value) without
    // copying them; the VARIANT is left VT_EMPTY.
    void take(VARIANT& value);
    // Lets read overwrite the VARIANT in place, then brings the kept 64-bit integer and date up to
    // date. read gets the VARIANT with the value before, which it releases (VariantClear) or reuses
    // (a text's storage through SysReAllocStringLen); it must leave a valid VARIANT, also when it
    // throws.
    template <class Read>
    void refill(Read&& read)
    {
        try {
            read(m_var);
        } catch (...) {
            sync_kept();
            throw;
        }
        sync_kept();
    }
    // Element count of a one-dimensional array, 0 otherwise.
    static size_t get_safe_array_size(const SAFEARRAY* array);
    // A text's characters where the value keeps them (its full length, NULs included); empty for
    // other types. Valid until the value changes.
    std::wstring_view text_view() const;
    // Binary value's bytes (null and 0 for other types).
    const unsigned char* binary_data() const;
    size_t binary_size() const;
    // A piece of the value into out (replaced): for text the wide characters from position, at
    // most length of them, in the ANSI code page; for binary at most length bytes from position.
    // Returns the bytes written; 0 past the end and for other types.
    size_t get_at(size_t position, size_t length, std::string& out) const;
    // Binary: the bytes, returning their number. Text: the ANSI form, returning the number of wide
    // characters. Empty or null: 0 (logged). Other types: internal error.
    size_t get_bytes(std::vector<unsigned char>& out) const;
    // The kept date's fields for VT_DATE, all zero otherwise.
    SYSTEMTIME get_systemtime() const;

    // ---- text in ----
    static ole_variant from_string(const std::string& text, VARTYPE type);
    static ole_variant from_wstring(const std::wstring& text, VARTYPE type);

    // ---- type change in place ----
    void change_type(VARTYPE type);

    // ---- scalar reads (the value is not changed) ----
    long to_long() const;
    bool to_bool() const;
    int64_t to_i8() const;
    uint64_t to_ui8() const;
    double to_double() const;
    float to_float() const;
    void to_decimal(DECIMAL* out) const;

private:
    std::wstring to_text(bool plain) const;   // to_wstring; plain: through ole_variant::to_string
    void destroy();
    void sync_kept();   // m_i8, m_ui8 and m_date from the VARIANT
    void copy_from(const ole_variant& other);
    void set_date(const ole_date& date);
    void set_i8(int64_t v);
    void set_ui8(uint64_t v);
    void set_bytes(const unsigned char* data, size_t count, VARTYPE type);
    void set_text(const std::wstring& text);
    std::string binary_hex() const;
    std::vector<unsigned char> raw_bytes() const;

    // The phases of change_type, one kind of change each.
    void words_to_bool();
    void from_wide_integer(VARTYPE type);
    void to_wide_integer(VARTYPE type);
    void to_narrow_integer(VARTYPE type);
    void binary_to_text();

    int64_t m_i8 = 0;
    uint64_t m_ui8 = 0;
    ole_date m_date;
    VARIANT m_var;
};

// True for VT_BLOB, VT_BLOB_OBJECT and VT_ARRAY|VT_UI1.
bool ole_is_binary_type(VARTYPE type);

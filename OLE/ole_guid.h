// ole_guid_extractor: finds a GUID in a text value and gives it as text or as its 16 bytes.
#pragma once

#include <cstdint>
#include <string>

class ole_guid_extractor {
public:
    // Narrow text is read in the ANSI code page.
    explicit ole_guid_extractor(const std::string& text);
    explicit ole_guid_extractor(const std::wstring& text);

    bool found() const { return m_found; }
    // The 32 hexadecimal digits without dashes ("" when no GUID was found).
    std::wstring get_guid_wstr() const;
    // The 36 characters of the GUID, digits and dashes, without braces ("" when none).
    std::wstring get_guid_text() const;
    // The GUID's 16 bytes in its memory layout (first three fields little-endian); calling it
    // when no GUID was found is an internal error.
    void get_bytes(uint8_t bytes[16]) const;

    // Position of the GUID's first character in the trimmed text, -1 when none.
    int position() const { return m_position; }

private:
    void recognise();
    bool is_canonical_at(size_t pos) const;

    int m_position = -1;
    std::wstring m_text;
    bool m_found = false;
};

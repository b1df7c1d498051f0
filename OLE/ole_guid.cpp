// ole_guid_extractor: recognition of the GUID layouts Access hands over as text.
#include "OLE/ole_guid.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

namespace {

constexpr size_t guid_len = 36;

bool is_hex(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

int hex_value(wchar_t c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return c - L'A' + 10;
}

std::wstring from_ansi(const std::string& text)
{
    try {
        return tk_to_wstring(text);
    } catch (const tk_exception& e) {
        tk_log_write(2, "%s", e.what());
        return std::wstring();
    }
}

} // namespace

ole_guid_extractor::ole_guid_extractor(const std::string& text) : ole_guid_extractor(from_ansi(text))
{
}

ole_guid_extractor::ole_guid_extractor(const std::wstring& text)
{
    tk_log_write_w(1, L"ole_guid_extractor::ctor(%ls)", text.c_str());
    if (text.size() > 90) {
        tk_log_write(1, "Text is too long for GUID(1)");
        return;
    }
    m_text = tk_trim(text);
    recognise();
}

// Hexadecimal digits with dashes exactly at offsets 8, 13, 18 and 23, all inside the text.
bool ole_guid_extractor::is_canonical_at(size_t pos) const
{
    if (pos > m_text.size() || m_text.size() - pos < guid_len)
        return false;
    for (size_t i = 0; i < guid_len; ++i) {
        wchar_t c = m_text[pos + i];
        bool dash_place = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_place ? c != L'-' : !is_hex(c))
            return false;
    }
    return true;
}

void ole_guid_extractor::recognise()
{
    const size_t n = m_text.size();
    if (n < guid_len) {
        tk_log_write(1, "Text is too short for GUID");
        return;
    }
    if (n > 45) {
        tk_log_write(1, "Text is too long for GUID(2)");
        return;
    }
    if (n == guid_len) {
        tk_log_write(1, "Checking simple form (1)");
        if (!is_canonical_at(0)) {
            tk_log_write(1, "Simple form (1) of GUID is NOT valid");
            return;
        }
        m_position = 0;
        m_found = true;
        return;
    }
    if (n == guid_len + 2 && m_text.front() == L'{' && m_text.back() == L'}') {
        tk_log_write(1, "Checking simple form (2)");
        if (!is_canonical_at(1)) {
            tk_log_write(1, "Simple form (2) of GUID is NOT valid");
            return;
        }
        m_position = 1;
        m_found = true;
        return;
    }
    // {guid {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}}
    size_t word = m_text.find(L"guid");
    if (word == std::wstring::npos)
        word = m_text.find(L"GUID");
    tk_log_write(1, "Locating 'guid' (%d : %d)", static_cast<int>(word == std::wstring::npos ? -1 : int(word)),
                 static_cast<int>(n));
    if (word == std::wstring::npos)
        return;
    for (size_t i = word + 4; i < n; ++i) {
        if (m_text[i] != L'{')
            continue;
        if (n - i < guid_len + 1)
            break;
        // The digits must be closed by a brace right after them.
        if (is_canonical_at(i + 1) && i + 1 + guid_len < n && m_text[i + 1 + guid_len] == L'}') {
            m_position = static_cast<int>(i + 1);
            m_found = true;
            tk_log_write(1, "GUID is valid");
            return;
        }
    }
}

std::wstring ole_guid_extractor::get_guid_text() const
{
    if (!m_found)
        return std::wstring();
    return m_text.substr(static_cast<size_t>(m_position), guid_len);
}

std::wstring ole_guid_extractor::get_guid_wstr() const
{
    tk_log_write(1, "ole_guid_extractor::get_guid_wstr");
    if (!m_found)
        return std::wstring();
    std::wstring g = get_guid_text();
    return g.substr(0, 8) + g.substr(9, 4) + g.substr(14, 4) + g.substr(19, 4) + g.substr(24, 12);
}

void ole_guid_extractor::get_bytes(uint8_t bytes[16]) const
{
    tk_log_write(1, "ole_guid_extractor::get_bytes");
    std::wstring d = get_guid_wstr();
    if (d.size() < 32 || !bytes)
        TK_MAIL_ASSERT();
    uint8_t pairs[16];
    for (int i = 0; i < 16; ++i)
        pairs[i] = static_cast<uint8_t>(hex_value(d[2 * i]) * 16 + hex_value(d[2 * i + 1]));
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i)
        bytes[order[i]] = pairs[i];
}

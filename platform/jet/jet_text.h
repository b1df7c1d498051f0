// Text decoding of the file's strings: UCS-2 (plain or compressed) and the single/double-byte code pages of Jet3.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace jet {

// Appends UTF-16LE bytes as UTF-32, joining surrogate pairs; an odd trailing byte is ignored,
// an unpaired surrogate is kept as it stands.
void append_utf16le(const std::uint8_t* p, std::size_t n, std::wstring& out);

// Decodes a Jet4/ACE text value: compressed when it starts with FF FE, else UTF-16LE.
void decode_unicode_text(const std::uint8_t* p, std::size_t n, std::wstring& out);
// Whether n stored bytes of a Jet4/ACE text are plain UTF-16LE of odd length (a compression mark
// lost, say): their last byte is no character and decoding drops it.
bool unicode_text_cut_short(const std::uint8_t* p, std::size_t n);
// The characters decoding n stored bytes of a Jet4/ACE text may give at most.
std::size_t unicode_text_room(const std::uint8_t* p, std::size_t n);
// The same into a buffer with room for unicode_text_room(p, n) characters; the characters written.
std::size_t decode_unicode_text(const std::uint8_t* p, std::size_t n, wchar_t* out);

// Decoder for the 8-bit (or double-byte) text of Jet3 files in one Windows code page.
class code_page_text {
public:
    explicit code_page_text(int code_page);
    ~code_page_text();
    code_page_text(const code_page_text&) = delete;
    code_page_text& operator=(const code_page_text&) = delete;

    int code_page() const { return code_page_; }
    // Appends the text of n stored bytes to out.
    void decode(const std::uint8_t* p, std::size_t n, std::wstring& out) const;
    // The same into a buffer with room for n characters (a byte gives at most one); the
    // characters written.
    std::size_t decode(const std::uint8_t* p, std::size_t n, wchar_t* out) const;

private:
    int code_page_;
    bool double_byte_ = false;
    char32_t table_[256];
    std::string iconv_name_;
};

} // namespace jet

// Page access to one Access file: positioned reads, header decoding, password check, page decoding.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/jet/jet_error.h"

namespace jet {

class page_cipher;
class code_page_text;
class page_owners;

// Which engine generation wrote the file (the byte at offset 20 of the header).
enum class file_format { jet3, jet4, ace };

// Offsets and sizes that differ between the 2 KiB (Jet3) and 4 KiB (Jet4/ACE) layouts.
struct format_layout {
    std::uint32_t page_size;
    bool wide;                    // Jet4/ACE: 2-byte counts and offsets, UCS-2 names
    std::uint32_t data_rows_at;   // row count on a data page
    std::uint32_t data_offsets_at;
    std::uint32_t tdef_rows_at;   // row count in a table definition
    std::uint32_t tdef_autonum_at;
    std::uint32_t tdef_table_type_at;
    std::uint32_t tdef_max_cols_at;
    std::uint32_t tdef_var_cols_at;
    std::uint32_t tdef_cols_at;
    std::uint32_t tdef_logical_idx_at;
    std::uint32_t tdef_real_idx_at;
    std::uint32_t tdef_usage_at;
    std::uint32_t tdef_free_at;
    std::uint32_t tdef_blocks_at;  // first real-index count block
    std::uint32_t real_idx_count_size;
    std::uint32_t column_def_size;
    std::uint32_t real_idx_def_size;
    std::uint32_t logical_idx_def_size;
    std::uint32_t name_len_size;
    std::uint32_t row_count_size;  // column count at the start of a row
    std::uint32_t max_long_value_inline;
};

// Facts from the header page (page 0).
struct header_info {
    file_format format = file_format::jet4;
    std::uint8_t version_byte = 0;
    std::uint16_t code_page = 0;
    std::uint32_t sort_order = 0;
    std::uint32_t database_key = 0;
    double creation_date = 0;     // Jet4/ACE only; 0 for Jet3
    std::string engine_name;      // "Standard Jet DB", "Standard ACE DB", ...
    bool has_password = false;    // Jet3/Jet4 database password set
    bool encrypted = false;       // pages are stored encoded (Jet key or ACE whole-file encryption)
};

// Little-endian reads from memory the caller has bounds-checked.
inline std::uint16_t rd16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t rd24(const std::uint8_t* p) { return p[0] | (p[1] << 8) | (static_cast<std::uint32_t>(p[2]) << 16); }
inline std::uint32_t rd32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline std::uint64_t rd64(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// One open database file. Pages come out as read-only bytes; encoded files decode into a caller's buffer,
// so several cursors can read at once without sharing a page buffer.
class page_file {
public:
    // Opens and checks the file; `password` is checked for Jet3/Jet4 files and handed to the page cipher
    // of encrypted ACE files. Throws jet::error naming the file.
    page_file(const std::string& path, const std::wstring& password);
    // The same over bytes held in memory; `name` stands for the path in messages.
    page_file(std::vector<std::uint8_t> image, const std::string& name, const std::wstring& password);
    ~page_file();
    page_file(const page_file&) = delete;
    page_file& operator=(const page_file&) = delete;

    const std::string& path() const { return path_; }
    const header_info& header() const { return header_; }
    const format_layout& layout() const { return layout_; }
    file_format format() const { return header_.format; }
    std::uint32_t page_size() const { return layout_.page_size; }
    std::uint32_t page_count() const { return page_count_; }

    // The bytes of page `n` (page_size of them), read (and for encoded files decoded) into `scratch`;
    // in-memory images hand out a view. Throws a corrupt-file error for a page past the end.
    const std::uint8_t* page(std::uint32_t n, std::vector<std::uint8_t>& scratch) const;
    // Pages first to first + count - 1 one after the other, read in one go (and decoded page by
    // page) into `scratch`; count is cut to the pages the file has (page 0 always comes alone).
    const std::uint8_t* pages(std::uint32_t first, std::uint32_t& count, std::vector<std::uint8_t>& scratch) const;

    // The header page with its scrambled part decoded.
    const std::vector<std::uint8_t>& header_page() const { return header_page_; }

    // Text decoding for the file: UCS-2 for Jet4/ACE, the header's code page for Jet3.
    void decode_text(const std::uint8_t* p, std::size_t n, std::wstring& out) const;
    // The characters decode_text may give at most for n stored bytes, and the decoding into a
    // buffer with that room (the characters written): a long text goes straight where it is kept.
    std::size_t text_room(const std::uint8_t* p, std::size_t n) const;
    std::size_t decode_text(const std::uint8_t* p, std::size_t n, wchar_t* out) const;

    // Which table each data page names as its own, read from every page on first use.
    const page_owners& owners() const;

    // A jet::error (err_corrupt) naming the file and what is wrong.
    [[noreturn]] void corrupt(const std::string& what) const;
    // The message of that error.
    std::string damaged(const std::string& what) const;
    // What a jet::error of this file says is wrong: its message without the file's name.
    std::string what_is_wrong(const error& x) const;

private:
    void read_header(const std::wstring& password);
    void read_raw(std::size_t offset, std::size_t n, std::uint8_t* out) const;

    std::string path_;
    std::vector<std::uint8_t> image_;
    int fd_ = -1;
    const std::uint8_t* map_ = nullptr;   // the bytes of an in-memory image; files are read with pread
    std::size_t size_ = 0;
    std::uint32_t page_count_ = 0;
    header_info header_;
    format_layout layout_{};
    std::vector<std::uint8_t> header_page_;
    std::unique_ptr<page_cipher> cipher_;
    std::unique_ptr<code_page_text> jet3_text_;
    mutable std::once_flag owners_once_;
    mutable std::unique_ptr<page_owners> owners_;
};

// Layouts of the two page sizes.
const format_layout& layout_for(file_format f);

} // namespace jet

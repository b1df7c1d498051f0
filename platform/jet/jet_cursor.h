// Forward reading of a table's rows into typed values, one row at a time (memory does not grow with the table).
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/jet/jet_error.h"
#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

class page_file;
class usage_map_walk;

// The last page a cursor read long values from, kept for the next value: most lie side by side.
// Moves keep the buffer (and so the view into it); copies are refused.
struct long_value_page {
    long_value_page() = default;
    long_value_page(const long_value_page&) = delete;
    long_value_page& operator=(const long_value_page&) = delete;
    long_value_page(long_value_page&&) noexcept = default;
    long_value_page& operator=(long_value_page&&) noexcept = default;

    std::vector<std::uint8_t> scratch;
    std::uint32_t number = 0;              // 0: none (page 0 is the header)
    const std::uint8_t* bytes = nullptr;
    // The run of pages the cursor read last (long values often lie among its rows), valid until
    // it reads the next run; null when none.
    const std::uint8_t* run = nullptr;
    std::uint32_t run_first = 0, run_count = 0;
};

// Reads the whole of a memo/OLE value from its 12-byte reference (and inline bytes) into `out`.
// `cache` is the caller's page buffer. Throws jet::error (err_corrupt) for a broken chain.
void read_long_value(const page_file& file, std::span<const std::uint8_t> ref, bytes& out,
                     long_value_page& cache);

// Decodes one stored value of a fixed-size or variable-size (not long) type into `out`.
// Used for rows and for property values. `col` gives precision and scale of numeric values.
void decode_value(const page_file& file, column_type type, const std::uint8_t* p, std::size_t n, value& out,
                  std::uint8_t precision = 0, std::uint8_t scale = 0);

// A forward cursor over the rows of one table in table order (pages in usage-map order, rows in slot
// order). Deleted rows are skipped, overflow rows followed. Values come out by column number order,
// matching table_def::columns. Each cursor has its own page buffers.
class row_cursor {
public:
    row_cursor(std::shared_ptr<const page_file> file, std::shared_ptr<const table_def> table);
    ~row_cursor();
    row_cursor(row_cursor&&) noexcept;
    row_cursor& operator=(row_cursor&&) noexcept;

    // Moves to the next row; false at the end.
    bool next();
    // Back before the first row.
    void reset();
    // The live rows of the table, counted from the row tables of its data pages without reading
    // the rows themselves (pages and rows that cannot be read left out: the reading reports
    // them); the cursor stands before the first row afterwards.
    std::uint64_t count_rows();

    // The values of the current row (valid until the next call of next()).
    const std::vector<value>& values() const { return values_; }
    const value& operator[](std::size_t column) const { return values_[column]; }
    const table_def& table() const { return *table_; }
    // Where the current row lives (its first stored location, before any overflow hop).
    row_pointer location() const { return {page_, static_cast<std::uint8_t>(row_ - 1)}; }

    // Losses that the file's own structure shows are reported instead of passed over: a page the
    // usage map names that is not one of the table's data pages, a page whose row table cannot be
    // read, a row that cannot be decoded, and (after the last page) data pages of the table that
    // the map leaves out. next() stops on a row that stands for each: damage() says what was lost
    // (the values are null) and the next call goes on after it. Off (the default), such pages are
    // passed over and a row that cannot be decoded throws.
    void report_losses(bool on) { report_losses_ = on; }
    // What the current row stands for when it is a loss (without the file's name); empty otherwise.
    const std::string& damage() const { return damage_; }
    // That loss as the error a reader of the table raises: the file and the table named.
    error loss() const;

    // Limits decoding to the columns marked true (others stay null); the default decodes all.
    void select(std::vector<bool> wanted);
    // Memo values come out as their stored bytes (a binary value) for the caller to decode with
    // page_file::decode_text where it keeps the text: a very long text is then held once.
    void keep_long_text_stored(bool on) { long_text_stored_ = on; }
    // Lets go of the current row's value of a column (it reads as null), so that a long value a
    // caller has taken into its own form is not held twice; reread() brings it back.
    void drop(std::size_t column);
    // Decodes the current row again.
    void reread();
    // Whether the current row's text in `column` was stored as UTF-16 of odd length, so that its
    // last byte was dropped (a memo left as its stored bytes is the caller's to look at).
    bool text_cut_short(std::size_t column) const { return column < cut_short_.size() && cut_short_[column]; }

private:
    bool next_page();
    bool foreign_pages();
    bool end_of_pages();
    bool unlisted_rows();
    bool lose(const error& x);
    bool next_reporting();
    // Decodes row r of the current page (following overflow pointers); false for a deleted one.
    bool read_row(unsigned r);
    bool read_row_at(std::size_t s, std::size_t e, std::uint16_t flags);
    void decode_row(const std::uint8_t* row, std::size_t len);
    void decode_calculated(const column_def& c, const std::uint8_t* p, std::size_t n, value& out);
    const std::uint8_t* row_bounds(const std::uint8_t* pg, unsigned row, std::size_t& start, std::size_t& end,
                                   std::uint16_t& flags, std::uint32_t page) const;

    std::shared_ptr<const page_file> file_;
    std::shared_ptr<const table_def> table_;
    std::unique_ptr<usage_map_walk> walk_;
    std::vector<value> values_;
    std::vector<bool> wanted_;
    std::vector<bool> cut_short_;
    std::vector<std::uint8_t> page_buf_, hop_buf_;
    long_value_page lv_page_;
    bytes lv_bytes_;
    std::vector<std::uint32_t> var_offsets_;
    static constexpr std::size_t kept_long_bytes = 1u << 20;   // long-value buffer kept between rows, at most
    static constexpr std::uint32_t run_pages = 16;   // pages read at a time, at most
    const std::uint8_t* run_ = nullptr;               // the pages read last, from run_first_ on
    std::uint32_t run_first_ = 0, run_count_ = 0;
    const std::uint8_t* cur_page_ = nullptr;
    std::uint32_t page_ = 0;
    unsigned row_ = 0;
    unsigned rows_on_page_ = 0;
    bool has_var_ = false;
    bool long_text_stored_ = false;
    bool report_losses_ = false;
    bool ends_checked_ = false;        // the data pages outside the usage map were looked for
    std::string damage_;
    std::vector<bool> seen_;           // pages the usage map named (while losses are reported)
    std::string foreign_;              // pages it named that are not the table's, not yet reported
    std::size_t foreign_count_ = 0;
    std::size_t unlisted_bytes_ = 0;   // bytes of the current page in use past its listed rows, not yet reported
};

} // namespace jet

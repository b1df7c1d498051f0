#include "platform/jet/jet_cursor.h"

#include <algorithm>
#include <cstring>

#include "platform/jet/jet_data_page.h"
#include "platform/jet/jet_file.h"
#include "platform/jet/jet_page_owners.h"
#include "platform/jet/jet_text.h"
#include "platform/jet/jet_usage_map.h"
#include "platform/win/win_utf.h"

namespace jet {

namespace {

// Stored size of a fixed-length value of a type (0: the column's own length decides).
std::size_t fixed_size(column_type t)
{
    switch (t) {
    case column_type::boolean: return 0;
    case column_type::byte: return 1;
    case column_type::integer: return 2;
    case column_type::long_integer: return 4;
    case column_type::currency: return 8;
    case column_type::single: return 4;
    case column_type::double_: return 8;
    case column_type::datetime: return 8;
    case column_type::guid: return 16;
    case column_type::numeric: return 17;
    case column_type::complex: return 4;
    case column_type::big_int: return 8;
    default: return 0;
    }
}

// Bytes a fixed-length column takes in a row.
std::size_t stored_fixed_size(const column_def& c)
{
    const std::size_t n = c.calculated() ? 0 : fixed_size(c.type);
    return n ? n : c.length;
}

// Whether a stored decimal (sign, then four 32-bit words, most significant first) has no more
// digits than `precision` (at most 28; 0: not known, anything fits).
bool decimal_fits(const std::uint8_t* p, std::uint8_t precision)
{
    if (precision == 0 || precision > 28) return true;
    unsigned __int128 magnitude = 0;
    for (int w = 0; w < 4; ++w) magnitude = (magnitude << 32) | rd32(p + 1 + 4 * w);
    unsigned __int128 bound = 1;
    for (int i = 0; i < precision; ++i) bound *= 10;
    return magnitude < bound;
}

} // namespace

void decode_value(const page_file& file, column_type type, const std::uint8_t* p, std::size_t n, value& out,
                  std::uint8_t precision, std::uint8_t scale)
{
    std::size_t need = fixed_size(type);
    if (need && n < need) {
        // A value shorter than its type: only seen in damaged files.
        file.corrupt(std::string("a ") + type_name(type) + " value is " + std::to_string(n) + " bytes long");
    }
    switch (type) {
    case column_type::boolean: out = value(n > 0 && p[0] != 0); return;
    case column_type::byte: out = value(p[0]); return;
    case column_type::integer: out = value(static_cast<std::int16_t>(rd16(p))); return;
    case column_type::long_integer:
    case column_type::complex: out = value(static_cast<std::int32_t>(rd32(p))); return;
    case column_type::currency: out = value(currency{static_cast<std::int64_t>(rd64(p))}); return;
    case column_type::big_int: out = value(static_cast<std::int64_t>(rd64(p))); return;
    case column_type::single: {
        float f;
        std::memcpy(&f, p, 4);
        out = value(f);
        return;
    }
    case column_type::double_: {
        double d;
        std::memcpy(&d, p, 8);
        out = value(d);
        return;
    }
    case column_type::datetime: {
        double d;
        std::memcpy(&d, p, 8);
        out = value(date_time{d});
        return;
    }
    case column_type::guid: {
        guid g;
        std::memcpy(g.bytes.data(), p, 16);
        out = value(g);
        return;
    }
    case column_type::numeric: {
        decimal d;
        d.negative = p[0] != 0;
        d.precision = precision;
        d.scale = scale;
        // Four 32-bit little-endian words, most significant first.
        d.hi = (static_cast<std::uint64_t>(rd32(p + 1)) << 32) | rd32(p + 5);
        d.lo = (static_cast<std::uint64_t>(rd32(p + 9)) << 32) | rd32(p + 13);
        out = value(d);
        return;
    }
    case column_type::text:
    case column_type::memo: {
        std::wstring& s = out.set_text();
        file.decode_text(p, n, s);
        return;
    }
    default: {
        bytes& b = out.set_binary();
        b.assign(p, p + n);
        return;
    }
    }
}

void read_long_value(const page_file& file, std::span<const std::uint8_t> ref, bytes& out,
                     long_value_page& cache)
{
    out.clear();
    if (ref.size() < 12) file.corrupt("a long value reference is " + std::to_string(ref.size()) + " bytes long");
    std::uint32_t word = rd32(ref.data());
    std::uint32_t length = word & 0x3FFFFFFF;
    std::uint8_t kind = static_cast<std::uint8_t>((word >> 24) & 0xC0);
    if (kind == 0x80) {
        if (length > ref.size() - 12) file.corrupt("an inline long value runs past its row");
        out.assign(ref.data() + 12, ref.data() + 12 + length);
        return;
    }
    if (kind == 0xC0) file.corrupt("a long value reference has an unknown kind");
    std::uint8_t row = ref[4];
    std::uint32_t page = rd24(ref.data() + 5);
    const format_layout& L = file.layout();
    auto locate = [&](std::uint32_t pg_no, unsigned r, std::size_t& s, std::size_t& e) {
        const std::uint8_t* pg;
        if (cache.run && pg_no - cache.run_first < cache.run_count) {
            pg = cache.run + static_cast<std::size_t>(pg_no - cache.run_first) * L.page_size;
        } else {
            if (cache.number != pg_no || !cache.bytes) {
                cache.number = 0;   // until the page is read whole
                cache.bytes = file.page(pg_no, cache.scratch);
                cache.number = pg_no;
            }
            pg = cache.bytes;
        }
        if (pg[0] != 0x01) file.corrupt("long value page " + std::to_string(pg_no) + " is not a data page");
        unsigned nrows;
        if (!listed_rows(L, pg, nrows) || r >= nrows)
            file.corrupt("long value row " + std::to_string(r) + " on page " + std::to_string(pg_no) + " does not exist");
        const row_slot slot = row_slot_at(L, pg, r);
        s = slot.start;
        e = slot.end;
        if (s > e || e > L.page_size) file.corrupt("long value row on page " + std::to_string(pg_no) + " has bad bounds");
        // A live row's value is never one that was deleted, nor does it start in the page's header
        // or row table.
        const std::string where = "long value row " + std::to_string(r) + " on page " + std::to_string(pg_no);
        if (slot.flags & row_deleted) file.corrupt(where + ", which a live row names, is deleted");
        if (s < L.data_offsets_at + 2u * nrows) file.corrupt(where + " starts inside the page's header");
        return pg;
    };
    if (kind == 0x40) {
        std::size_t s, e;
        const std::uint8_t* pg = locate(page, row, s, e);
        if (length > e - s) file.corrupt("a long value is longer than its row");
        out.assign(pg + s, pg + s + length);
        return;
    }
    // A chain of rows: each starts with the location of the next one.
    // Room for the whole value at once, but never more than the file itself could hold.
    out.reserve(std::min<std::size_t>(length, static_cast<std::size_t>(file.page_count()) * L.page_size));
    std::uint32_t hops = 0;
    while (out.size() < length) {
        if (page == 0 || ++hops > file.page_count())
            file.corrupt("a long value chain ends early or loops");
        std::size_t s, e;
        const std::uint8_t* pg = locate(page, row, s, e);
        if (e - s < 4) file.corrupt("a long value chain row is too short");
        row = pg[s];
        std::uint32_t next = rd24(pg + s + 1);
        std::size_t take = std::min<std::size_t>(e - s - 4, length - out.size());
        out.insert(out.end(), pg + s + 4, pg + s + 4 + take);
        page = next;
    }
}

row_cursor::row_cursor(std::shared_ptr<const page_file> file, std::shared_ptr<const table_def> table)
    : file_(std::move(file)), table_(std::move(table))
{
    values_.resize(table_->columns.size());
    wanted_.assign(table_->columns.size(), true);
    for (const auto& c : table_->columns)
        if (!c.fixed()) has_var_ = true;
    reset();
}

row_cursor::~row_cursor() = default;
row_cursor::row_cursor(row_cursor&&) noexcept = default;
row_cursor& row_cursor::operator=(row_cursor&&) noexcept = default;

void row_cursor::select(std::vector<bool> wanted)
{
    wanted.resize(table_->columns.size(), false);
    wanted_ = std::move(wanted);
}

void row_cursor::reset()
{
    walk_ = std::make_unique<usage_map_walk>(*file_, table_->owned_pages);
    run_ = nullptr;
    run_count_ = 0;
    lv_page_.run = nullptr;
    cur_page_ = nullptr;
    rows_on_page_ = 0;
    row_ = 0;
    ends_checked_ = false;
    damage_.clear();
    seen_.clear();
    foreign_.clear();
    foreign_count_ = 0;
    unlisted_bytes_ = 0;
    for (auto& v : values_) v.set_null();
}

std::uint64_t row_cursor::count_rows()
{
    // Counts what can be counted: pages and rows that cannot be read are the reading's to report.
    struct quiet {
        bool& flag;
        bool was;
        ~quiet() { flag = was; }
    } keep{report_losses_, report_losses_};
    report_losses_ = false;
    reset();
    std::uint64_t n = 0;
    for (;;) {
        // Each error leaves the map walk past the place of it.
        try {
            if (!next_page()) break;
        } catch (const error& x) {
            if (x.code() != err_corrupt) throw;
            continue;
        }
        try {
            for (unsigned r = 0; r < rows_on_page_; ++r) {
                std::size_t s, e;
                std::uint16_t flags;
                row_bounds(cur_page_, r, s, e, flags, page_);
                // A deleted row or the target of an overflow pointer; the pointer counts the row.
                if (!(flags & row_deleted)) ++n;
            }
        } catch (const error& x) {
            if (x.code() != err_corrupt) throw;
        }
    }
    reset();
    return n;
}

bool row_cursor::next_page()
{
    const format_layout& L = file_->layout();
    std::uint32_t p;
    while (walk_->next(p)) {
        // Pages close to one another in the map are read in runs.
        if (!run_ || p < run_first_ || p - run_first_ >= run_count_) {
            run_count_ = 1 + walk_->following(run_pages - 1);
            lv_page_.run = nullptr;   // until the new run is whole
            run_ = file_->pages(p, run_count_, page_buf_);
            run_first_ = p;
            lv_page_.run = run_;
            lv_page_.run_first = p;
            lv_page_.run_count = run_count_;
        }
        const std::uint8_t* pg = run_ + static_cast<std::size_t>(p - run_first_) * L.page_size;
        if (report_losses_) {
            if (seen_.empty()) seen_.assign(file_->page_count(), false);
            seen_[p] = true;
        }
        if (pg[0] != 0x01 || rd32(pg + 4) != table_->tdef_page) {
            // Not this table's data page: passed over, and while losses are reported, noted (a run
            // of such pages makes one report).
            if (report_losses_ && ++foreign_count_ <= 5) foreign_ += (foreign_.empty() ? "" : ", ") + std::to_string(p);
            continue;
        }
        unsigned n;
        if (!listed_rows(L, pg, n))
            file_->corrupt("data page " + std::to_string(p) + " claims " + std::to_string(n) + " rows");
        cur_page_ = pg;
        page_ = p;
        rows_on_page_ = n;
        row_ = 0;
        unlisted_bytes_ = report_losses_ ? bytes_past_listed_rows(L, pg, n) : 0;
        return true;
    }
    cur_page_ = nullptr;
    return false;
}

// The pages the usage map names that were not the table's data pages, since the last report.
bool row_cursor::foreign_pages()
{
    if (foreign_count_ == 0) return false;
    const bool one = foreign_count_ == 1;
    if (foreign_count_ > 5) foreign_ += " and " + std::to_string(foreign_count_ - 5) + " more";
    damage_ = (one ? "page " : "pages ") + foreign_ + ", which the usage map names, " +
              (one ? "is not one of the table's data pages: the rows it held are lost"
                   : "are not the table's data pages: the rows they held are lost");
    foreign_.clear();
    foreign_count_ = 0;
    for (auto& v : values_) v.set_null();
    return true;
}

// After the last page the usage map names: data pages of the table that hold rows and that the
// map leaves out are rows lost to the reading (a map or a definition damaged).
bool row_cursor::end_of_pages()
{
    if (!report_losses_ || ends_checked_) return false;
    ends_checked_ = true;
    std::string list;
    std::size_t outside = 0;
    for (std::uint32_t p : file_->owners().left_out(*file_, table_->tdef_page, seen_))
        if (++outside <= 5) list += (list.empty() ? "" : ", ") + std::to_string(p);
    if (outside == 0) return false;
    if (outside > 5) list += " and " + std::to_string(outside - 5) + " more";
    damage_ = "data pages of the table hold rows outside its usage map (page " + list + "): those rows are not read";
    return true;
}

// After the rows a data page lists: bytes of the page in use that none of them holds are rows past
// its count of rows (the count was cut), lost where they stood.
bool row_cursor::unlisted_rows()
{
    if (!cur_page_ || unlisted_bytes_ == 0) return false;
    damage_ = "data page " + std::to_string(page_) + " lists " + std::to_string(rows_on_page_) +
              " rows, but its count of free bytes says " + std::to_string(unlisted_bytes_) +
              " more bytes are in use than they hold: the rows past its count are lost";
    unlisted_bytes_ = 0;
    for (auto& v : values_) v.set_null();
    cut_short_.clear();
    return true;
}

// A loss stands as a row of its own: its values are null, damage() says what was lost.
bool row_cursor::lose(const error& x)
{
    if (x.code() != err_corrupt) throw;   // called while x is handled: it goes on unchanged
    damage_ = file_->what_is_wrong(x);
    for (auto& v : values_) v.set_null();
    cut_short_.clear();
    return true;
}

error row_cursor::loss() const
{
    return error(err_corrupt, file_->damaged("table '" + win_utf8_from_wide(table_->name) + "': " + damage_));
}

const std::uint8_t* row_cursor::row_bounds(const std::uint8_t* pg, unsigned row, std::size_t& start, std::size_t& end,
                                           std::uint16_t& flags, std::uint32_t page) const
{
    const format_layout& L = file_->layout();
    unsigned n;
    if (!listed_rows(L, pg, n) || row >= n)
        file_->corrupt("row " + std::to_string(row) + " of page " + std::to_string(page) + " does not exist");
    const row_slot slot = row_slot_at(L, pg, row);
    flags = slot.flags;
    start = slot.start;
    end = slot.end;
    if (start > end || end > L.page_size || start < L.data_offsets_at + 2u * n)
        file_->corrupt("row " + std::to_string(row) + " of page " + std::to_string(page) + " has bad bounds");
    return pg;
}

bool row_cursor::next()
{
    if (report_losses_) return next_reporting();
    for (;;) {
        if (!cur_page_ || row_ >= rows_on_page_) {
            if (!next_page()) return false;
            continue;
        }
        if (read_row(row_++)) return true;
    }
}

// next() while losses are reported: each error of the reading stands for what it lost, and the
// cursor has moved past it (the map walk, the page and the row go on after the place of the error).
bool row_cursor::next_reporting()
{
    damage_.clear();
    for (;;) {
        if (!cur_page_ || row_ >= rows_on_page_) {
            if (unlisted_rows()) return true;
            bool more;
            try {
                more = next_page();
            } catch (const error& x) {
                cur_page_ = nullptr;
                return lose(x);   // pages passed over before the error are reported next
            }
            // Pages passed over come before the rows of the page found after them.
            if (foreign_pages()) return true;
            if (!more) return end_of_pages();
            continue;
        }
        const unsigned r = row_++;
        std::size_t s, e;
        std::uint16_t flags;
        try {
            row_bounds(cur_page_, r, s, e, flags, page_);
        } catch (const error& x) {
            // The row table itself is damaged: the rest of the page cannot be told apart.
            row_ = rows_on_page_;
            unlisted_bytes_ = 0;
            return lose(x);
        }
        try {
            if (read_row_at(s, e, flags)) return true;
        } catch (const error& x) {
            return lose(x);
        }
    }
}

void row_cursor::reread()
{
    if (!cur_page_ || row_ == 0 || !damage_.empty() || !read_row(row_ - 1))
        throw error(err_no_current_row, "No current record.");
}

void row_cursor::drop(std::size_t column)
{
    if (column < values_.size()) values_[column] = value();
}

bool row_cursor::read_row(unsigned r)
{
    std::size_t s, e;
    std::uint16_t flags;
    row_bounds(cur_page_, r, s, e, flags, page_);
    return read_row_at(s, e, flags);
}

bool row_cursor::read_row_at(std::size_t s, std::size_t e, std::uint16_t flags)
{
    if (flags & row_deleted) return false;   // deleted rows, and the targets of overflow pointers
    if (!(flags & row_overflow)) {
        decode_row(cur_page_ + s, e - s);
        return true;
    }
    // Follow the overflow pointer(s) to where the row now lives.
    const std::uint8_t* pg = cur_page_;
    std::uint32_t hops = 0;
    std::uint32_t at_page = page_;
    while (flags & row_overflow) {
        if (e - s < 4) file_->corrupt("an overflow row pointer on page " + std::to_string(at_page) + " is too short");
        unsigned next_row = pg[s];
        std::uint32_t next_page_no = rd24(pg + s + 1);
        if (++hops > 64) file_->corrupt("overflow rows loop");
        pg = file_->page(next_page_no, hop_buf_);
        if (pg[0] != 0x01) file_->corrupt("an overflow row points at page " + std::to_string(next_page_no) + ", not a data page");
        at_page = next_page_no;
        row_bounds(pg, next_row, s, e, flags, at_page);
    }
    decode_row(pg + s, e - s);
    return true;
}

void row_cursor::decode_row(const std::uint8_t* row, std::size_t len)
{
    const page_file& f = *file_;
    const format_layout& L = f.layout();
    const std::size_t W = L.row_count_size;
    if (len < W + 1) f.corrupt("a row on page " + std::to_string(page_) + " is too short");
    std::size_t ncols = W == 1 ? row[0] : rd16(row);
    std::size_t mask_size = (ncols + 7) / 8;
    if (len < W + mask_size) f.corrupt("a row on page " + std::to_string(page_) + " is shorter than its null mask");
    // Every row is written with the columns its table had then, never none: a row of no columns
    // that holds bytes has lost its count.
    if (ncols == 0 && len > W && !table_->columns.empty())
        f.corrupt("a row on page " + std::to_string(page_) + " counts no columns but holds " + std::to_string(len - W) +
                  " bytes");
    // A row counts the columns its table had when it was written; the table's definition keeps the
    // most it ever had (when it is no less than the columns it has now). A count past it that
    // moves the null mask reads every value from the wrong bytes (one that leaves the mask where
    // it is changes nothing read).
    const std::size_t most = table_->max_columns;
    if (most >= table_->columns.size() && ncols > most && mask_size != (most + 7) / 8)
        f.corrupt("a row on page " + std::to_string(page_) + " counts " + std::to_string(ncols) +
                  " columns, more than the " + std::to_string(most) + " its table has ever had");
    const std::uint8_t* mask = row + len - mask_size;
    auto present = [&](std::uint16_t number) {
        return number < ncols && (mask[number / 8] & (1u << (number % 8)));
    };

    // Offsets of the variable-length values: entry i starts value i, entry nvar ends the last one.
    std::size_t nvar = 0;
    std::size_t var_end = len - mask_size;   // where the offset table starts: values end before it
    if (has_var_) {
        var_offsets_.clear();
        std::size_t tail = len - mask_size;   // bytes before the null mask
        if (W == 2) {
            if (tail < W + 2) f.corrupt("a row has no room for its offset table");
            nvar = rd16(row + tail - 2);
            if (tail < 2 + 2 * (nvar + 1) + W) f.corrupt("a row's offset table runs past its start");
            for (std::size_t i = 0; i <= nvar; ++i) var_offsets_.push_back(rd16(row + tail - 4 - 2 * i));
            var_end = tail - 2 - 2 * (nvar + 1);
        } else {
            if (tail < W + 1) f.corrupt("a row has no room for its offset table");
            nvar = row[tail - 1];
            std::size_t row_end = len - 1;
            std::size_t jumps = (len - 1) / 256;
            if (row_end < mask_size + jumps + 1 + nvar) f.corrupt("a row's offset table runs past its start");
            std::size_t col_off = row_end - mask_size - jumps - 1;
            if ((col_off - nvar) / 256 < jumps) --jumps;
            std::size_t used = 0;
            for (std::size_t i = 0; i <= nvar; ++i) {
                while (used < jumps && i == row[row_end - mask_size - used - 1]) ++used;
                if (col_off < i) f.corrupt("a row's offset table runs past its start");
                var_offsets_.push_back(static_cast<std::uint32_t>(row[col_off - i] + used * 256));
            }
            var_end = col_off - nvar;
        }
    }

    const auto& cols = table_->columns;
    cut_short_.assign(cols.size(), false);
    // A value of this row, as messages name it.
    const auto value_of = [&](const column_def& c) {
        return "the value of column '" + win_utf8_from_wide(c.name) + "' in a row on page " + std::to_string(page_);
    };
    // Variable-length values lie after the fixed-length values the row holds.
    std::size_t fixed_end = W;
    if (has_var_)
        for (const column_def& c : cols)
            if (c.fixed() && present(c.number) && (c.type != column_type::boolean || c.calculated()))
                fixed_end = std::max(fixed_end, W + c.fixed_offset + stored_fixed_size(c));
    for (std::size_t i = 0; i < cols.size(); ++i) {
        value& out = values_[i];
        if (!wanted_[i]) {
            out.set_null();
            continue;
        }
        const column_def& c = cols[i];
        if (c.type == column_type::boolean && !c.calculated()) {
            out = value(present(c.number));
            continue;
        }
        if (!present(c.number)) {
            out.set_null();
            continue;
        }
        const std::uint8_t* p;
        std::size_t n;
        if (c.fixed()) {
            n = stored_fixed_size(c);
            std::size_t at = W + c.fixed_offset;
            if (at + n > len - mask_size) f.corrupt("a fixed value of column '" + win_utf8_from_wide(c.name) + "' lies outside its row");
            p = row + at;
        } else {
            // The null mask says the row holds this value: its count of them must reach it.
            if (c.var_index >= nvar)
                f.corrupt("a row on page " + std::to_string(page_) + " counts " + std::to_string(nvar) +
                          " variable-length values, but its null mask gives one to column '" +
                          win_utf8_from_wide(c.name) + "' (slot " + std::to_string(c.var_index) + ")");
            std::size_t s = var_offsets_[c.var_index], e = var_offsets_[c.var_index + 1];
            if (s > e || e > len - mask_size || s < W)
                f.corrupt("a value of column '" + win_utf8_from_wide(c.name) + "' lies outside its row");
            if (e > var_end) f.corrupt(value_of(c) + " runs into the row's table of value offsets");
            if (e > s && s < fixed_end) f.corrupt(value_of(c) + " starts inside the row's fixed-length values");
            p = row + s;
            n = e - s;
        }
        if (c.calculated()) {
            decode_calculated(c, p, n, out);
            continue;
        }
        if (c.type == column_type::memo || c.type == column_type::ole) {
            if (n == 0) {
                // A present long value with no reference: empty.
                if (c.type == column_type::memo) out.set_text(); else out.set_binary();
                continue;
            }
            read_long_value(f, std::span<const std::uint8_t>(p, n), lv_bytes_, lv_page_);
            if (c.type == column_type::memo && !long_text_stored_) {
                cut_short_[i] = L.wide && unicode_text_cut_short(lv_bytes_.data(), lv_bytes_.size());
                std::wstring& s = out.set_text();
                f.decode_text(lv_bytes_.data(), lv_bytes_.size(), s);
            } else {
                bytes& b = out.set_binary();
                b.swap(lv_bytes_);
            }
            // A very long value's buffer is not kept for the rows after it.
            if (lv_bytes_.capacity() > kept_long_bytes) bytes().swap(lv_bytes_);
            continue;
        }
        if (c.type == column_type::text) cut_short_[i] = L.wide && unicode_text_cut_short(p, n);
        // Access keeps a decimal within its column's precision: more digits are damaged bytes.
        if (c.type == column_type::numeric && n >= stored_fixed_size(c) && !decimal_fits(p, c.precision))
            f.corrupt(value_of(c) + " has more digits than its precision (" + std::to_string(c.precision) + ") allows");
        decode_value(f, c.type, p, n, out, c.precision, c.scale);
    }
}

void row_cursor::decode_calculated(const column_def& c, const std::uint8_t* p, std::size_t n, value& out)
{
    const page_file& f = *file_;
    if (c.type == column_type::memo || c.type == column_type::ole) {
        read_long_value(f, std::span<const std::uint8_t>(p, n), lv_bytes_, lv_page_);
        p = lv_bytes_.data();
        n = lv_bytes_.size();
    }
    // The result sits behind a 20-byte preamble whose last word is its length.
    if (n >= 20) {
        std::size_t len = std::min<std::size_t>(rd32(p + 16), n - 20);
        p += 20;
        n = len;
    }
    switch (c.type) {
    case column_type::boolean: out = value(n > 0 && p[0] != 0); return;
    case column_type::text:
    case column_type::memo: {
        std::wstring& s = out.set_text();
        f.decode_text(p, n, s);
        return;
    }
    case column_type::numeric: {
        // The automation DECIMAL layout: 2 reserved bytes, scale, sign, high 32 bits, low 64 bits.
        if (n < 16) {
            out.set_null();
            return;
        }
        decimal d;
        d.scale = p[2];
        d.precision = c.precision;
        d.negative = p[3] != 0;
        d.hi = rd32(p + 4);
        d.lo = rd64(p + 8);
        out = value(d);
        return;
    }
    default:
        if (n == 0 && fixed_size(c.type) != 0) {
            out.set_null();
            return;
        }
        if (fixed_size(c.type) != 0 && n < fixed_size(c.type)) f.corrupt("a calculated value is cut short");
        decode_value(f, c.type, p, n, out, c.precision, c.scale);
    }
}

} // namespace jet

// Complex columns and Date/Time Extended values of ACE files.
#include "platform/jet/jet_complex.h"

#include "platform/jet/jet_cursor.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_error.h"
#include "platform/jet/jet_file.h"
#include "platform/win/win_utf.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace jet {
namespace {

[[noreturn]] void damaged(const std::string& what)
{
    throw jet::error(err_corrupt, "The database is damaged: " + what + ".");
}

std::uint32_t le32(const std::uint8_t* p)
{
    return p[0] | (p[1] << 8) | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// ---- Date/Time Extended ----------------------------------------------------------------------------------

constexpr std::int64_t ticks_per_day = 864'000'000'000;
constexpr std::int64_t days_to_1899_12_30 = 693'593;   // from 0001-01-01

std::int64_t ascii_number(std::span<const std::uint8_t> s)
{
    std::int64_t v = 0;
    for (std::uint8_t c : s) {
        if (c < '0' || c > '9') damaged("a Date/Time Extended value is not in its stored form");
        v = v * 10 + (c - '0');
    }
    return v;
}

// Proleptic Gregorian calendar date of a day count from 0001-01-01.
void civil_from_days(std::int64_t days, int& y, unsigned& m, unsigned& d)
{
    std::int64_t z = days + 306;   // counted from 0000-03-01, so that leap days end a year
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// ---- Complex columns --------------------------------------------------------------------------------------

bool is_multi_value_type(column_type t)
{
    switch (t) {
    case column_type::byte: case column_type::integer: case column_type::long_integer: case column_type::single:
    case column_type::double_: case column_type::guid: case column_type::numeric: case column_type::text:
    case column_type::big_int:
        return true;
    default:
        return false;
    }
}

// The kind from the columns of the type table: one value column for multi-value fields; a memo and a date
// for version history; name, type, data, time stamp, flags and URL for attachments.
complex_kind kind_of_type_table(const table_def& t)
{
    int memo = 0, text = 0, date = 0, ole = 0, lng = 0;
    for (const column_def& c : t.columns) {
        switch (c.type) {
        case column_type::memo: ++memo; break;
        case column_type::text: ++text; break;
        case column_type::datetime: ++date; break;
        case column_type::ole: ++ole; break;
        case column_type::long_integer: ++lng; break;
        default: break;
        }
    }
    if (t.columns.size() == 1 && is_multi_value_type(t.columns[0].type)) return complex_kind::multi_value;
    if (t.columns.size() >= 6 && memo && text >= 2 && ole && date && lng) return complex_kind::attachment;
    if (t.columns.size() >= 2 && memo && date) return complex_kind::version_history;
    return complex_kind::unsupported;
}

// A whole number from a system table's cell; anything else there means a damaged file.
std::int64_t whole(const value& v)
{
    switch (v.type()) {
    case value::boolean_k: case value::byte_k: case value::int16_k: case value::int32_k: case value::int64_k:
        return v.to_int64();
    default:
        damaged("a key of a complex column is not a number");
    }
}

} // namespace

// ---- Date/Time Extended ----------------------------------------------------------------------------------

ext_date_time decode_ext_datetime(std::span<const std::uint8_t> s)
{
    // "<19 digits: days>:<12 digits: seconds><7 digits: ticks>:7" and a zero byte.
    if (s.size() < 42 || s[19] != ':' || s[39] != ':') damaged("a Date/Time Extended value is not in its stored form");
    ext_date_time v;
    v.days = ascii_number(s.subspan(0, 19));
    const std::int64_t seconds = ascii_number(s.subspan(20, 12));
    const std::int64_t fraction = ascii_number(s.subspan(32, 7));
    // Seconds beyond one day carry into the day count.
    v.days += seconds / 86400;
    v.ticks = (seconds % 86400) * 10'000'000 + fraction;
    return v;
}

std::string ext_date_time::to_string() const
{
    int y = 0;
    unsigned m = 0, d = 0;
    civil_from_days(days, y, m, d);
    const std::int64_t secs = ticks / 10'000'000;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%07d", y, m, d, static_cast<int>(secs / 3600),
                  static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60),
                  static_cast<int>(ticks % 10'000'000));
    return buf;
}

double ext_date_time::to_ole_date() const
{
    const double day = static_cast<double>(days - days_to_1899_12_30);
    const double fraction = static_cast<double>(ticks) / static_cast<double>(ticks_per_day);
    return day >= 0 ? day + fraction : day - fraction;
}

// ---- Attachments ------------------------------------------------------------------------------------------

bytes unpack_attachment(std::span<const std::uint8_t> stored)
{
    if (stored.size() < 8) damaged("an attachment is shorter than its header");
    const std::uint32_t packing = le32(stored.data());
    const std::uint32_t length = le32(stored.data() + 4);   // content length: inner header and file bytes
    const auto body = stored.subspan(8);

    bytes content;
    if (packing == 0) {
        content.assign(body.begin(), body.end());
    } else if (packing == 1) {
        // The stated length bounds the output: a hostile value cannot make us allocate more than the
        // data inflates to.
        z_stream z{};
        if (inflateInit(&z) != Z_OK) throw std::bad_alloc();
        z.next_in = const_cast<Bytef*>(body.data());
        z.avail_in = static_cast<uInt>(body.size());
        int rc = Z_OK;
        std::uint8_t chunk[16384];
        while (rc != Z_STREAM_END) {
            z.next_out = chunk;
            z.avail_out = sizeof chunk;
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) {
                inflateEnd(&z);
                damaged("an attachment's packed data cannot be unpacked");
            }
            content.insert(content.end(), chunk, chunk + (sizeof chunk - z.avail_out));
            if (content.size() > length) break;
            if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) break;   // input ended early
        }
        inflateEnd(&z);
    } else {
        damaged("an attachment is packed in an unknown way (" + std::to_string(packing) + ")");
    }
    if (content.size() < length || length < 4) damaged("an attachment is shorter than it says");
    content.resize(length);
    if (le32(content.data()) < 4 || le32(content.data()) > length) damaged("an attachment's header is out of range");
    return content;
}

bytes attachment_file(std::span<const std::uint8_t> content)
{
    if (content.size() < 4) damaged("an attachment is shorter than its header");
    const std::uint32_t header = le32(content.data());
    if (header < 4 || header > content.size()) damaged("an attachment's header is out of range");
    return bytes(content.begin() + header, content.end());
}

bytes decode_attachment_data(std::span<const std::uint8_t> stored)
{
    return attachment_file(unpack_attachment(stored));
}

// ---- Complex columns --------------------------------------------------------------------------------------

struct complex_columns::column_info {
    complex_kind kind = complex_kind::none;
    std::int32_t complex_id = 0;
    std::shared_ptr<const table_def> flat;
    int key_col = -1;     // the flat table's column holding the row's key
    int id_col = -1;      // the flat table's own auto-number
    int value_col = -1;   // multi-value: the value; version history: the text
    int date_col = -1;    // version history: when; attachment: time stamp
    int name_col = -1, type_col = -1, data_col = -1, url_col = -1, flags_col = -1;

    struct entry {
        std::int64_t id = 0;
        std::vector<value> cells;   // the flat table's values (only the columns used)
    };
    mutable bool loaded = false;
    mutable std::map<std::int32_t, std::vector<entry>> by_key;
};

complex_columns::complex_columns(std::shared_ptr<const database> db, std::shared_ptr<const table_def> table)
    : db_(std::move(db)), table_(std::move(table))
{
    columns_.resize(table_->columns.size());
    bool any = false;
    for (const column_def& c : table_->columns) any = any || c.type == column_type::complex;
    if (!any) return;

    struct link {
        std::int32_t type_table = 0, flat_table = 0, owner = 0;
    };
    std::map<std::int32_t, link> links;
    {
        row_cursor rows = db_->rows(L"MSysComplexColumns");
        const table_def& t = rows.table();
        const int id = t.find_column(L"ComplexID"), type = t.find_column(L"ComplexTypeObjectID"),
                  flat = t.find_column(L"FlatTableID"), owner = t.find_column(L"ConceptualTableID");
        if (id < 0 || type < 0 || flat < 0 || owner < 0) damaged("MSysComplexColumns lacks its columns");
        while (rows.next()) {
            const auto& v = rows.values();
            if (v[id].is_null() || v[type].is_null() || v[flat].is_null()) continue;
            links[static_cast<std::int32_t>(whole(v[id]))] = {
                static_cast<std::int32_t>(whole(v[type])), static_cast<std::int32_t>(whole(v[flat])),
                v[owner].is_null() ? 0 : static_cast<std::int32_t>(whole(v[owner]))};
        }
    }

    for (std::size_t i = 0; i < table_->columns.size(); ++i) {
        const column_def& col = table_->columns[i];
        if (col.type != column_type::complex) continue;
        auto info = std::make_unique<column_info>();
        info->complex_id = static_cast<std::int32_t>(col.complex_id);
        auto it = links.find(info->complex_id);
        if (it == links.end())
            damaged("the complex column '" + win_utf8_from_wide(col.name) + "' has no entry in MSysComplexColumns");
        auto type_table = db_->table_at(static_cast<std::uint32_t>(it->second.type_table) & 0x00FFFFFFu);
        info->flat = db_->table_at(static_cast<std::uint32_t>(it->second.flat_table) & 0x00FFFFFFu);
        info->kind = kind_of_type_table(*type_table);

        // The flat table has the type table's columns, plus its own auto-number and the key column.
        std::vector<int> other_text;
        for (std::size_t f = 0; f < info->flat->columns.size(); ++f) {
            const column_def& fc = info->flat->columns[f];
            const int n = static_cast<int>(f);
            if (type_table->find_column(fc.name) < 0) {
                if (fc.auto_number())
                    info->id_col = n;
                else if (fc.type == column_type::long_integer)
                    info->key_col = n;
                continue;
            }
            switch (fc.type) {
            case column_type::text:
                if (same_name(fc.name, L"FileName"))
                    info->name_col = n;
                else if (same_name(fc.name, L"FileType"))
                    info->type_col = n;
                else
                    other_text.push_back(n);
                break;
            case column_type::long_integer: info->flags_col = n; break;
            case column_type::datetime: info->date_col = n; break;
            case column_type::ole: info->data_col = n; break;
            case column_type::memo: info->url_col = n; break;
            default: break;
            }
            if (info->kind == complex_kind::multi_value) info->value_col = n;
            if (info->kind == complex_kind::version_history && fc.type == column_type::memo) info->value_col = n;
        }
        // Attachment text columns under other names: the first is the file name, the next its type.
        for (int n : other_text) {
            if (info->name_col < 0)
                info->name_col = n;
            else if (info->type_col < 0)
                info->type_col = n;
        }
        const bool complete =
            info->kind == complex_kind::unsupported ||
            (info->key_col >= 0 &&
             (info->kind != complex_kind::multi_value || info->value_col >= 0) &&
             (info->kind != complex_kind::version_history || (info->value_col >= 0 && info->date_col >= 0)) &&
             (info->kind != complex_kind::attachment || info->data_col >= 0));
        if (!complete)
            damaged("the hidden table of the complex column '" + win_utf8_from_wide(col.name) + "' lacks some of its columns");
        columns_[i] = std::move(info);
    }
}

complex_columns::~complex_columns() = default;

complex_kind complex_columns::kind(std::size_t column) const
{
    return column < columns_.size() && columns_[column] ? columns_[column]->kind : complex_kind::none;
}

const property_map* complex_columns::value_properties(std::size_t column) const
{
    if (kind(column) != complex_kind::multi_value) return nullptr;
    const column_info& c = *columns_[column];
    return &c.flat->columns[static_cast<std::size_t>(c.value_col)].properties;
}

const complex_columns::column_info& complex_columns::info(std::size_t column, complex_kind expected) const
{
    if (kind(column) != expected) damaged("a complex column was read as a kind it is not");
    const column_info& c = *columns_[column];
    std::lock_guard<std::mutex> lock(mutex_);
    if (!c.loaded) load(c);
    return c;
}

void complex_columns::load(const column_info& c) const
{
    row_cursor rows = db_->rows(c.flat);
    std::vector<bool> wanted(c.flat->columns.size(), false);
    for (int n : {c.key_col, c.id_col, c.value_col, c.date_col, c.name_col, c.type_col, c.data_col, c.url_col,
                  c.flags_col})
        if (n >= 0) wanted[static_cast<std::size_t>(n)] = true;
    rows.select(wanted);
    while (rows.next()) {
        const auto& v = rows.values();
        if (v[static_cast<std::size_t>(c.key_col)].is_null()) continue;
        column_info::entry e;
        if (c.id_col >= 0 && !v[static_cast<std::size_t>(c.id_col)].is_null())
            e.id = whole(v[static_cast<std::size_t>(c.id_col)]);
        e.cells = v;
        c.by_key[static_cast<std::int32_t>(whole(v[static_cast<std::size_t>(c.key_col)]))].push_back(std::move(e));
    }
    c.loaded = true;
}

std::vector<attachment> complex_columns::attachments(std::size_t column, std::int32_t key) const
{
    const column_info& c = info(column, complex_kind::attachment);
    std::vector<attachment> out;
    auto it = c.by_key.find(key);
    if (it == c.by_key.end()) return out;
    auto text = [](const std::vector<value>& cells, int n) {
        return n >= 0 && cells[static_cast<std::size_t>(n)].type() == value::text_k
                   ? cells[static_cast<std::size_t>(n)].as_text()
                   : std::wstring();
    };
    for (const auto& e : it->second) {
        attachment a;
        a.name = text(e.cells, c.name_col);
        a.type = text(e.cells, c.type_col);
        a.url = text(e.cells, c.url_col);
        if (c.date_col >= 0) a.time_stamp = e.cells[static_cast<std::size_t>(c.date_col)];
        if (c.flags_col >= 0) a.flags = e.cells[static_cast<std::size_t>(c.flags_col)];
        if (c.data_col >= 0 && e.cells[static_cast<std::size_t>(c.data_col)].type() == value::binary_k) {
            a.file_data = unpack_attachment(e.cells[static_cast<std::size_t>(c.data_col)].as_binary());
            a.data = attachment_file(a.file_data);
        }
        out.push_back(std::move(a));
    }
    return out;
}

std::vector<value> complex_columns::multi_values(std::size_t column, std::int32_t key) const
{
    const column_info& c = info(column, complex_kind::multi_value);
    std::vector<value> out;
    auto it = c.by_key.find(key);
    if (it == c.by_key.end()) return out;
    for (const auto& e : it->second) out.push_back(e.cells[static_cast<std::size_t>(c.value_col)]);
    return out;
}

std::vector<version> complex_columns::versions(std::size_t column, std::int32_t key) const
{
    const column_info& c = info(column, complex_kind::version_history);
    std::vector<std::pair<std::int64_t, version>> found;
    auto it = c.by_key.find(key);
    if (it == c.by_key.end()) return {};
    for (const auto& e : it->second) {
        version v;
        const value& t = e.cells[static_cast<std::size_t>(c.value_col)];
        if (t.type() == value::text_k) v.text = t.as_text();
        const value& d = e.cells[static_cast<std::size_t>(c.date_col)];
        if (d.type() == value::datetime_k) v.modified = d.as_datetime();
        found.emplace_back(e.id, std::move(v));
    }
    // Newest first; entries of the same moment by their order of entry, newest first. Dates before day
    // zero keep the time as a positive fraction, so they are put on one line before comparing.
    auto moment = [](double d) { return d >= 0 ? d : 2 * std::trunc(d) - d; };
    std::stable_sort(found.begin(), found.end(), [&](const auto& a, const auto& b) {
        const double x = moment(a.second.modified.days), y = moment(b.second.modified.days);
        if (x != y) return x > y;
        return a.first > b.first;
    });
    std::vector<version> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
}

} // namespace jet

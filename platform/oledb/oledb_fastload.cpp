// The bulk-load rowset over ODBC: rows go through the driver's bulk-copy functions
// when it has them (Commit(FALSE) ends a batch, Commit(TRUE) the load); otherwise
// through one prepared INSERT with a parameter per column, each row on its own.
// A row with a value longer than the driver's bulk copy carries waits, and then goes with
// the other waiting rows as multi-row INSERTs: at the end of the load when the load keeps
// the rows' identity values, else at the end of its batch (the server numbers rows as they
// arrive).
#include "platform/oledb/oledb_fastload.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/oledb/odbc_bcp.h"
#include "platform/oledb/odbc_core.h"
#include "platform/oledb/odbc_insert.h"
#include "platform/oledb/oledb_impl.h"
#include "platform/win/win_utf.h"

namespace {

using namespace oledb_impl;

const wchar_t* const source_name = L"SQL Server ODBC provider";

// A table name in brackets unless it already is.
std::wstring quoted_table(const std::wstring& name)
{
    return !name.empty() && name.front() == L'[' ? name : bracket_name(name);
}

// Decimal text of an unsigned 128-bit little-endian mantissa with a scale.
std::string numeric_text(const DB_NUMERIC& n)
{
    std::uint32_t parts[4];
    for (int i = 0; i < 4; ++i)
        parts[i] = static_cast<std::uint32_t>(n.val[4 * i]) | (static_cast<std::uint32_t>(n.val[4 * i + 1]) << 8) |
                   (static_cast<std::uint32_t>(n.val[4 * i + 2]) << 16) |
                   (static_cast<std::uint32_t>(n.val[4 * i + 3]) << 24);
    // The digits from the last, by long division in 32-bit parts.
    char digits[48];
    char* first = digits + sizeof digits;
    for (;;) {
        bool zero = true;
        std::uint64_t rem = 0;
        for (int i = 3; i >= 0; --i) {
            std::uint64_t cur = (rem << 32) | parts[i];
            parts[i] = static_cast<std::uint32_t>(cur / 10);
            rem = cur % 10;
            if (parts[i])
                zero = false;
        }
        *--first = static_cast<char>('0' + rem);
        if (zero)
            break;
    }
    // A scale of up to 255 digits may need zeros before them.
    std::string text(first, digits + sizeof digits);
    if (text.size() <= n.scale)
        text.insert(0, n.scale + 1 - text.size(), '0');
    if (n.scale)
        text.insert(text.end() - n.scale, '.');
    if (n.sign == 0)
        text.insert(text.begin(), '-');
    return text;
}

// Writes value in decimal, with zeros before it up to width digits; returns the end.
char* put_padded(char* out, unsigned value, int width)
{
    char digits[16];
    auto r = std::to_chars(digits, digits + sizeof digits, value);
    for (int pad = width - static_cast<int>(r.ptr - digits); pad > 0; --pad)
        *out++ = '0';
    return std::copy(digits, r.ptr, out);
}

// "yyyy-mm-dd" (a year before 1 as printf writes it).
char* put_date(char* out, int year, unsigned month, unsigned day)
{
    if (year < 0)
        out += std::snprintf(out, 8, "%04d", year);
    else
        out = put_padded(out, static_cast<unsigned>(year), 4);
    *out++ = '-';
    out = put_padded(out, month, 2);
    *out++ = '-';
    return put_padded(out, day, 2);
}

// "yyyy-mm-dd hh:mm:ss.fffffff" of a timestamp.
char* put_timestamp(char* out, const DBTIMESTAMP& t)
{
    out = put_date(out, t.year, t.month, t.day);
    *out++ = ' ';
    out = put_padded(out, t.hour, 2);
    *out++ = ':';
    out = put_padded(out, t.minute, 2);
    *out++ = ':';
    out = put_padded(out, t.second, 2);
    *out++ = '.';
    return put_padded(out, t.fraction / 100, 7);
}

// Dates before this year leave the driver changed: FreeTDS reads the bulk copy's text of one as a
// date of 1900, and counts the days of some (0100-06-15, 1582-06-15) one off in a date parameter.
// Such a value goes as text that the server reads, in an INSERT statement.
constexpr int first_sure_year = 1753;

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" of a GUID.
char* put_guid(char* out, const GUID& g)
{
    static const char hex[] = "0123456789ABCDEF";
    auto put_hex = [&](std::uint32_t v, int digits) {
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
            *out++ = hex[(v >> shift) & 0xF];
    };
    put_hex(g.Data1, 8);
    *out++ = '-';
    put_hex(g.Data2, 4);
    *out++ = '-';
    put_hex(g.Data3, 4);
    *out++ = '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            *out++ = '-';
        put_hex(g.Data4[i], 2);
    }
    return out;
}

// The text form in which the driver's bulk copy takes a value (it converts it to the column's
// type itself), or the bytes of a binary value; written over v (its room is reused row after row).
void bulk_form(const odbc::param_value& p, odbc::bulk_value& v)
{
    using odbc::param_kind;
    v.null = p.null;
    v.binary = p.kind == param_kind::binary;
    if (p.null)
        return;
    const unsigned char* b = p.bytes.data();
    char text[64];
    char* end = text;
    auto read = [&](auto value) {
        std::memcpy(&value, b, sizeof value);
        return value;
    };
    // Integers and doubles in their shortest exact form (a double's reads back as the same double).
    auto put_number = [&](auto value) { end = std::to_chars(text, text + sizeof text, value).ptr; };
    switch (p.kind) {
    case param_kind::i16: put_number(read(std::int16_t{})); break;
    case param_kind::i32: put_number(read(std::int32_t{})); break;
    case param_kind::i64: put_number(read(std::int64_t{})); break;
    case param_kind::u64: put_number(read(std::uint64_t{})); break;
    case param_kind::u8: put_number(static_cast<unsigned>(b[0])); break;
    case param_kind::bit: put_number(b[0] ? 1 : 0); break;
    // Nine significant digits name a float exactly, read as a double first or not.
    case param_kind::f32:
        end = std::to_chars(text, text + sizeof text, static_cast<double>(read(float{})), std::chars_format::general, 9).ptr;
        break;
    case param_kind::f64: put_number(read(double{})); break;
    case param_kind::date: {
        const auto d = read(DBDATE{});
        end = put_date(text, d.year, d.month, d.day);
        break;
    }
    case param_kind::timestamp: end = put_timestamp(text, read(DBTIMESTAMP{})); break;
    case param_kind::guid: end = put_guid(text, read(GUID{})); break;
    case param_kind::wtext:
        win_utf8_from_utf16(std::u16string_view(reinterpret_cast<const char16_t*>(b), p.bytes.size() / 2), v.bytes);
        return;
    case param_kind::binary:
    case param_kind::decimal_text:
    case param_kind::early_date:
    case param_kind::time_text:
    case param_kind::text:
        v.bytes.assign(p.bytes.begin(), p.bytes.end());
        return;
    }
    v.bytes.assign(text, end);
}

class fast_load_rowset : public com_object<IRowsetFastLoad, IColumnsInfo, IAccessor> {
public:
    fast_load_rowset(odbc::connection& c, std::wstring table, std::vector<odbc::column_desc> cols, bool keep_identity)
        : conn_(c), table_(std::move(table)), cols_(std::move(cols)), keep_identity_(keep_identity)
    {
    }
    ~fast_load_rowset() override
    {
        // As a bulk load left open ends with its rows stored, so do the rows that wait for it.
        try {
            end_bulk();
            insert_deferred();
        } catch (const odbc::error&) {
            // No one is left to hear of it: the owner ends every load with Commit(TRUE).
        }
    }

    HRESULT GetColumnInfo(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) override
    {
        if (!count || !info || !strings)
            return E_INVALIDARG;
        std::size_t chars = 0;
        for (const auto& c : cols_)
            chars += c.name.size() + 1;
        auto* out = static_cast<DBCOLUMNINFO*>(CoTaskMemAlloc(sizeof(DBCOLUMNINFO) * std::max<std::size_t>(1, cols_.size())));
        auto* text = static_cast<OLECHAR*>(CoTaskMemAlloc(sizeof(OLECHAR) * std::max<std::size_t>(1, chars)));
        if (!out || !text) {
            CoTaskMemFree(out);
            CoTaskMemFree(text);
            return E_OUTOFMEMORY;
        }
        OLECHAR* p = text;
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            const auto& c = cols_[i];
            DBCOLUMNINFO& d = out[i];
            std::memset(&d, 0, sizeof d);
            std::memcpy(p, c.name.c_str(), (c.name.size() + 1) * sizeof(OLECHAR));
            d.pwszName = p;
            p += c.name.size() + 1;
            d.iOrdinal = i + 1;
            d.dwFlags = c.flags;
            d.ulColumnSize = c.db_size;
            d.wType = c.db_type;
            d.bPrecision = c.precision;
            d.bScale = c.scale;
            d.columnid.eKind = DBKIND_NAME;
            d.columnid.pwszName = d.pwszName;
        }
        *count = cols_.size();
        *info = out;
        *strings = text;
        return S_OK;
    }

    HRESULT CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM n, const DBBINDING b[], DBLENGTH, HACCESSOR* h,
                           DBBINDSTATUS status[]) override
    {
        if (!h || (n && !b) || !(flags & DBACCESSOR_ROWDATA))
            return E_INVALIDARG;
        *h = DB_NULL_HACCESSOR;
        bool bad = false;
        for (DBCOUNTITEM i = 0; i < n; ++i) {
            bool ordinal_ok = b[i].iOrdinal >= 1 && b[i].iOrdinal <= cols_.size();
            if (status)
                status[i] = ordinal_ok ? DBBINDSTATUS_OK : DBBINDSTATUS_BADORDINAL;
            bad = bad || !ordinal_ok;
        }
        if (bad)
            return DB_E_ERRORSOCCURRED;
        *h = accessors_.add(b, n);
        return S_OK;
    }

    HRESULT ReleaseAccessor(HACCESSOR h, DBREFCOUNT* refs) override
    {
        return accessors_.release(h, refs);
    }

    HRESULT InsertRow(HACCESSOR h, void* data) override
    {
        const std::vector<DBBINDING>* known = accessors_.find(h);
        if (!known)
            return report(DB_E_BADACCESSORHANDLE, L"Unknown accessor.", source_name);
        if (!data)
            return E_INVALIDARG;
        const auto& bindings = *known;
        try {
            conn_.claim(nullptr);
            read_row(bindings, static_cast<const unsigned char*>(data));
            if (!bulk_possible(bindings)) {
                insert(bindings, h, row_);
            } else if (carried(row_)) {
                send_bulk(bindings, row_);
            } else {
                defer(bindings, h, std::move(row_));
                row_.clear();
            }
            return S_OK;
        } catch (const odbc::error& e) {
            return report(e, source_name);
        }
    }

    HRESULT Commit(BOOL done) override
    {
        try {
            if (done || (!deferred_.empty() && !keep_identity_)) {
                // The waiting rows need the connection: the load ends, the next row starts another.
                end_bulk();
                insert_deferred();
            } else if (bulk_) {
                bulk_->batch();
            }
            return S_OK;
        } catch (const odbc::error& e) {
            return report(e, source_name);
        }
    }

private:
    // A row too long for the bulk copy, waiting for its INSERT.
    struct deferred_row {
        std::vector<DBBINDING> bindings;
        HACCESSOR accessor;
        std::vector<odbc::param_value> params;
        std::size_t bytes;   // of its values
    };

    void prepare(const std::vector<DBBINDING>& bindings, HACCESSOR h)
    {
        stmt_.reset();
        stmt_ = std::make_unique<odbc::prepared_statement>(conn_, insert_text(bindings, 1));
        prepared_ = true;
        prepared_for_ = h;
    }

    // INSERT of the bound columns with a parameter for each value of `rows` rows.
    std::wstring insert_text(const std::vector<DBBINDING>& bindings, std::size_t rows) const
    {
        std::wstring names, marks;
        for (const DBBINDING& b : bindings) {
            if (!names.empty()) {
                names += L", ";
                marks += L", ";
            }
            names += bracket_name(cols_[b.iOrdinal - 1].name);
            marks += L"?";
        }
        std::wstring sql = L"INSERT INTO " + quoted_table(table_) + L" (" + names + L") VALUES ";
        for (std::size_t i = 0; i < rows; ++i)
            sql += (i ? L", (" : L"(") + marks + L")";
        return sql;
    }

    // The parameter value of one bound column of the row buffer.
    void read_value(const DBBINDING& b, const odbc::column_desc& col, const unsigned char* row, odbc::param_value& p)
    {
        using odbc::param_kind;
        DBSTATUS status = (b.dwPart & DBPART_STATUS) ? *reinterpret_cast<const DBSTATUS*>(row + b.obStatus)
                                                     : DBSTATUS_S_OK;
        DBLENGTH length = (b.dwPart & DBPART_LENGTH) ? *reinterpret_cast<const DBLENGTH*>(row + b.obLength)
                                                     : b.cbMaxLen;
        const unsigned char* v = row + b.obValue;
        p.null = status == DBSTATUS_S_ISNULL;
        auto set = [&](param_kind k, const void* src, std::size_t n, std::uint64_t size = 0, short digits = 0) {
            p.kind = k;
            p.column_size = size;
            p.digits = digits;
            p.bytes.assign(static_cast<const unsigned char*>(src), static_cast<const unsigned char*>(src) + n);
        };
        auto set_text = [&](param_kind k, const std::string& t, std::uint64_t size, short digits) {
            set(k, t.data(), t.size(), size, digits);
        };
        if (p.null) {
            // The column's own kind still tells the driver the parameter's type.
            p.kind = col.binary() ? param_kind::binary : param_kind::wtext;
            p.column_size = 1;
            p.digits = 0;
            p.bytes.clear();
            return;
        }
        switch (b.wType) {
        case DBTYPE_I2: set(param_kind::i16, v, 2); break;
        case DBTYPE_I4: set(param_kind::i32, v, 4); break;
        case DBTYPE_R4: set(param_kind::f32, v, 4); break;
        case DBTYPE_R8: set(param_kind::f64, v, 8); break;
        case DBTYPE_I8: set(param_kind::i64, v, 8); break;
        case DBTYPE_UI8: set(param_kind::u64, v, 8); break;
        case DBTYPE_UI1: set(param_kind::u8, v, 1); break;
        case DBTYPE_BOOL: {
            unsigned char bit = v[0] ? 1 : 0;
            set(param_kind::bit, &bit, 1);
            break;
        }
        case DBTYPE_CY: {
            std::int64_t scaled;
            std::memcpy(&scaled, v, 8);
            DB_NUMERIC n{};
            n.precision = 19;
            n.scale = 4;
            n.sign = scaled < 0 ? 0 : 1;
            std::uint64_t mag = scaled < 0 ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
            for (int i = 0; i < 8; ++i)
                n.val[i] = static_cast<std::uint8_t>(mag >> (8 * i));
            set_text(param_kind::decimal_text, numeric_text(n), 19, 4);
            break;
        }
        case DBTYPE_NUMERIC: {
            DB_NUMERIC n;
            std::memcpy(&n, v, sizeof n);
            set_text(param_kind::decimal_text, numeric_text(n), 38, n.scale);
            break;
        }
        case DBTYPE_DBDATE: {
            DBDATE d;
            std::memcpy(&d, v, sizeof d);
            char text[16];
            if (d.year < first_sure_year)
                set_text(param_kind::early_date, std::string(text, put_date(text, d.year, d.month, d.day)), 0, 0);
            else
                set(param_kind::date, v, sizeof d);
            break;
        }
        case DBTYPE_DBTIME2: {
            DBTIME2 t;
            std::memcpy(&t, v, sizeof t);
            char text[40];
            std::snprintf(text, sizeof text, "%02u:%02u:%02u.%07u", static_cast<unsigned>(t.hour),
                          static_cast<unsigned>(t.minute), static_cast<unsigned>(t.second),
                          static_cast<unsigned>(t.fraction / 100));
            set_text(param_kind::time_text, text, 16, 0);
            break;
        }
        case DBTYPE_DBTIMESTAMP: {
            DBTIMESTAMP t;
            std::memcpy(&t, v, sizeof t);
            char text[40];
            if (t.year < first_sure_year)
                set_text(param_kind::early_date, std::string(text, put_timestamp(text, t)), 0, 0);
            else   // whole milliseconds fit every date-time column; finer parts need the longer form
                set(param_kind::timestamp, &t, sizeof t, 0, t.fraction % 1000000u == 0 ? 3 : 7);
            break;
        }
        case DBTYPE_GUID: set(param_kind::guid, v, 16); break;
        case DBTYPE_STR: set(param_kind::text, v, std::min<DBLENGTH>(length, b.cbMaxLen)); break;
        case DBTYPE_WSTR: set(param_kind::wtext, v, std::min<DBLENGTH>(length, b.cbMaxLen) / 2 * 2); break;
        case DBTYPE_BYTES: set(param_kind::binary, v, std::min<DBLENGTH>(length, b.cbMaxLen)); break;
        case DBTYPE_IUNKNOWN: {
            IUnknown* obj = nullptr;
            std::memcpy(&obj, v, sizeof obj);
            std::vector<unsigned char> all;
            if (obj) {
                ISequentialStream* s = nullptr;
                if (FAILED(obj->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(&s))) || !s)
                    throw odbc::error(odbc::hr::cant_convert, L"A long value is not a stream.");
                unsigned char chunk[8192];
                for (;;) {
                    ULONG got = 0;
                    HRESULT hr = s->Read(chunk, sizeof chunk, &got);
                    all.insert(all.end(), chunk, chunk + got);
                    if (hr != S_OK || got == 0)
                        break;
                }
                s->Release();
            }
            if (col.db_type == DBTYPE_BYTES)
                set(param_kind::binary, all.data(), all.size());
            else if (col.db_type == DBTYPE_STR)
                set(param_kind::text, all.data(), all.size());
            else
                set(param_kind::wtext, all.data(), all.size() / 2 * 2);
            break;
        }
        default:
            throw odbc::error(odbc::hr::cant_convert, L"Column " + col.name + L" has a type bulk load cannot send.");
        }
    }

    // True when rows of these bindings can go by the driver's bulk copy: it has one and every
    // table column is bound.
    bool bulk_possible(const std::vector<DBBINDING>& bindings)
    {
        if (!api_tried_) {
            api_tried_ = true;
            if (bindings.size() == cols_.size())
                api_ = odbc::bulk_api_for(conn_);
        }
        return api_ && bindings.size() == cols_.size();
    }

    // True when the driver's bulk copy carries every value of the row as it is: none is longer
    // than it carries, and none is a date before the years it reads.
    bool carried(const std::vector<odbc::param_value>& params) const
    {
        for (const odbc::param_value& p : params)
            if (!p.null && (p.bytes.size() > api_->value_limit() || p.kind == odbc::param_kind::early_date))
                return false;
        return true;
    }

    void send_bulk(const std::vector<DBBINDING>& bindings, const std::vector<odbc::param_value>& params)
    {
        bulk_row_.resize(cols_.size());
        for (std::size_t i = 0; i < bindings.size(); ++i)
            bulk_form(params[i], bulk_row_[bindings[i].iOrdinal - 1]);
        if (!bulk_) {
            std::vector<bool> binary;
            for (const auto& c : cols_)
                binary.push_back(c.binary());
            bulk_ = std::make_unique<odbc::bulk_copy>(conn_, *api_, table_, binary, keep_identity_);
        }
        bulk_->send_row(bulk_row_);
    }

    void end_bulk()
    {
        if (bulk_) {
            auto ending = std::move(bulk_);
            ending->done();
        }
    }

    // Keeps a row for later; rows waiting beyond a bound go at once (the load ends, the next
    // row starts another).
    void defer(const std::vector<DBBINDING>& bindings, HACCESSOR h, std::vector<odbc::param_value> params)
    {
        std::size_t bytes = 0;
        for (const odbc::param_value& p : params)
            bytes += p.bytes.size();
        deferred_bytes_ += bytes;
        deferred_.push_back(deferred_row{bindings, h, std::move(params), bytes});
        if (deferred_bytes_ >= deferred_limit) {
            end_bulk();
            insert_deferred();
        }
    }

    // Failures of waiting rows, gathered to be reported together.
    struct failures {
        std::int32_t code = 0;
        std::vector<odbc::diag_record> records;
        void add(const odbc::error& e)
        {
            if (code == 0)
                code = e.code();
            records.insert(records.end(), e.records().begin(), e.records().end());
        }
    };

    // The waiting rows, in order, several to an INSERT; every row is tried, and the failures
    // are reported together.
    void insert_deferred()
    {
        std::vector<deferred_row> rows;
        rows.swap(deferred_);
        deferred_bytes_ = 0;
        failures failed;
        for (std::size_t at = 0; at < rows.size();) {
            const std::size_t n = statement_rows(rows, at);
            insert_together(rows, at, n, failed);
            at += n;
        }
        if (failed.code != 0)
            throw odbc::error(failed.code, std::move(failed.records));
    }

    // How many waiting rows from `at` go in one statement: rows of one accessor, within the
    // server's number of parameters and a bound of bytes.
    static std::size_t statement_rows(const std::vector<deferred_row>& rows, std::size_t at)
    {
        const std::size_t most = std::min(rows_per_statement, max_parameters / std::max<std::size_t>(1, rows[at].params.size()));
        std::size_t n = 1, bytes = rows[at].bytes;
        while (at + n < rows.size() && n < most && rows[at + n].accessor == rows[at].accessor &&
               bytes + rows[at + n].bytes <= statement_bytes) {
            bytes += rows[at + n].bytes;
            ++n;
        }
        return n;
    }

    // Rows [at, at + n) by one INSERT. A statement is stored whole or not at all: a refused one
    // is sent again row by row, so that only the rows the server refuses fail, each on its own.
    void insert_together(std::vector<deferred_row>& rows, std::size_t at, std::size_t n, failures& failed)
    {
        if (n > 1) {
            std::vector<odbc::param_value*> values;
            for (std::size_t i = at; i < at + n; ++i)
                for (odbc::param_value& p : rows[i].params)
                    values.push_back(&p);
            try {
                joint_statement(rows[at], n).execute(values);
                return;
            } catch (const odbc::error&) {
                // Not lost: the rows' own failures, if any, follow from the resending.
            }
        }
        for (std::size_t i = at; i < at + n; ++i) {
            try {
                insert(rows[i].bindings, rows[i].accessor, rows[i].params);
            } catch (const odbc::error& e) {
                failed.add(e);
            }
        }
    }

    // The INSERT of n rows of the row's accessor, prepared once for each accessor and count.
    odbc::prepared_statement& joint_statement(const deferred_row& row, std::size_t n)
    {
        if (!joint_ || joint_for_ != row.accessor || joint_rows_ != n) {
            joint_.reset();
            joint_ = std::make_unique<odbc::prepared_statement>(conn_, insert_text(row.bindings, n));
            joint_for_ = row.accessor;
            joint_rows_ = n;
        }
        return *joint_;
    }

    void insert(const std::vector<DBBINDING>& bindings, HACCESSOR h, std::vector<odbc::param_value>& params)
    {
        if (!prepared_ || prepared_for_ != h)
            prepare(bindings, h);
        stmt_->execute(params);
    }

    // The row's values into row_, in binding order (a long value's stream is read here, once).
    void read_row(const std::vector<DBBINDING>& bindings, const unsigned char* row)
    {
        row_.resize(bindings.size());
        for (std::size_t i = 0; i < bindings.size(); ++i)
            read_value(bindings[i], cols_[bindings[i].iOrdinal - 1], row, row_[i]);
    }

    odbc::connection& conn_;
    std::wstring table_;
    std::vector<odbc::column_desc> cols_;
    accessor_table accessors_;
    // The values of the row being inserted, and their bulk-copy forms: kept, so that their room
    // serves row after row.
    std::vector<odbc::param_value> row_;
    std::vector<odbc::bulk_value> bulk_row_;
    std::unique_ptr<odbc::prepared_statement> stmt_;
    bool prepared_ = false;
    HACCESSOR prepared_for_ = DB_NULL_HACCESSOR;
    bool keep_identity_ = false;
    bool api_tried_ = false;
    std::unique_ptr<odbc::bulk_api> api_;
    std::unique_ptr<odbc::bulk_copy> bulk_;   // declared after the functions it uses
    std::vector<deferred_row> deferred_;
    std::size_t deferred_bytes_ = 0;
    static constexpr std::size_t deferred_limit = 16u << 20;
    // The multi-row INSERT last used for them.
    std::unique_ptr<odbc::prepared_statement> joint_;
    HACCESSOR joint_for_ = DB_NULL_HACCESSOR;
    std::size_t joint_rows_ = 0;
    static constexpr std::size_t rows_per_statement = 100;
    static constexpr std::size_t max_parameters = 2000;   // the server takes 2,100 at most
    static constexpr std::size_t statement_bytes = 4u << 20;
};

} // namespace

HRESULT OpenFastLoadRowset(IUnknown* session, DBID* table, ULONG cPropertySets, DBPROPSET rgPropertySets[],
                           REFIID riid, IUnknown** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (!session || !table || !table->pwszName)
        return E_INVALIDARG;
    bool asked = false, keep_identity = false;
    for (ULONG i = 0; i < cPropertySets; ++i) {
        if (!IsEqualGUID(rgPropertySets[i].guidPropertySet, DBPROPSET_SQLSERVERROWSET))
            continue;
        for (ULONG j = 0; j < rgPropertySets[i].cProperties; ++j) {
            const DBPROP& p = rgPropertySets[i].rgProperties[j];
            const bool on = p.vValue.vt == VT_BOOL && p.vValue.boolVal;
            if (p.dwPropertyID == SSPROP_IRowsetFastLoad && on)
                asked = true;
            if (p.dwPropertyID == SSPROP_FASTLOADKEEPIDENTITY && on)
                keep_identity = true;
        }
    }
    if (!asked && !IsEqualIID(riid, IID_IRowsetFastLoad))
        return E_NOINTERFACE;
    IOdbcConnection* link = nullptr;
    if (FAILED(session->QueryInterface(IID_IOdbcConnection, reinterpret_cast<void**>(&link))) || !link)
        return E_NOINTERFACE;
    odbc::connection* conn = link->Connection();
    bool enabled = link->FastLoadEnabled();
    link->Release();
    if (!conn || !conn->is_open())
        return report(E_UNEXPECTED, L"The session has no open connection.", source_name);
    if (!enabled)
        return report(DB_E_NOTSUPPORTED, L"Bulk load is not enabled on this data source.", source_name);
    std::wstring name = table->pwszName;
    std::vector<odbc::column_desc> cols;
    try {
        conn->claim(nullptr);
        odbc::statement st(*conn);
        if (!st.execute(L"SELECT * FROM " + quoted_table(name) + L" WHERE 1=0"))
            return report(DB_E_NOTABLE, L"The table has no columns.", source_name);
        cols = st.columns();
        st.finish();
    } catch (const odbc::error& e) {
        return report(e, source_name);
    }
    auto* rs = new fast_load_rowset(*conn, name, std::move(cols), keep_identity);
    HRESULT hr = rs->QueryInterface(riid, reinterpret_cast<void**>(out));
    rs->Release();
    return hr;
}

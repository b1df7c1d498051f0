#include "MSS/mss_tab.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>

#include "MSS/mss_engi.h"
#include "MSS/mss_report.h"
#include "MSS/mss_util.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_mdat.h"
#include "OLE/ole_date.h"
#include "OLE/ole_guid.h"
#include "TK/tk_errh.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_name.h"
#include "UDB/udb_rule.h"
#include "platform/win/win_utf.h"
#include "platform/win/winnls.h"

namespace {

const wchar_t* const no_conform = L"The structure of data source does not conform to the destination table.";

// Rows that travel in one round trip, at most, and rows one INSERT statement carries: the
// server's cost is in parsing, and a row in a list of rows costs it half of a row with its
// own statement.
constexpr std::size_t rows_per_trip = 1000;
constexpr std::size_t rows_per_statement = 100;
constexpr std::size_t chars_per_trip = 1u << 20;

[[noreturn]] void fail(HRESULT hr, int flag)
{
    tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
    throw odb_exception(hr, flag);
}

// Low 16 bits of a provider error code as odb_exception carries them.
bool is_provider_error(const tk_exception& e, unsigned low)
{
    return (static_cast<unsigned>(e.code()) & 0xFFFFu) == low && (static_cast<unsigned>(e.code()) & 0xF0000u) == 0x80000u;
}

std::wstring field_text(udb_record* rec, std::size_t column)
{
    if (!rec || column >= rec->size() || !(*rec)[column])
        return std::wstring();
    const udb_field* f = (*rec)[column];
    if (f->is_empty() || f->is_null())
        return std::wstring();
    return f->to_wstring();
}

long field_long(udb_record* rec, std::size_t column)
{
    std::wstring t = tk_trim(field_text(rec, column));
    if (t.empty())
        return 0;
    try {
        return std::stol(t);
    } catch (...) {
        return 0;
    }
}

bool field_bool(udb_record* rec, std::size_t column)
{
    std::wstring t = tk_trim(field_text(rec, column));
    return !t.empty() && t != L"0" && !tk_iequal(t, L"false");
}

// The text with every "'" doubled, for a literal inside single quotes.
std::wstring sql_text(const std::wstring& text)
{
    std::wstring r;
    for (wchar_t c : text) {
        r += c;
        if (c == L'\'')
            r += L'\'';
    }
    return r;
}

bool starts_with_ci(const std::wstring& text, const wchar_t* prefix)
{
    std::wstring p = prefix;
    return text.size() >= p.size() && tk_iequal(text.substr(0, p.size()), p);
}

// Nanoseconds of a sub-second part as the writer receives it.
std::uint32_t fraction_of(int microseconds, int subsecond)
{
    if (microseconds != 0)
        return static_cast<std::uint32_t>(microseconds) * 1000u;
    if (subsecond < 1000)
        return static_cast<std::uint32_t>(subsecond) * 1000000u;
    if (subsecond < 10000)
        return static_cast<std::uint32_t>(subsecond) * 100000u;
    return static_cast<std::uint32_t>(subsecond) * 10000u;
}

// The variant type whose binding rule fills a column bound as `bound`.
VARTYPE bound_vartype(DBTYPE bound, VARTYPE declared)
{
    switch (bound) {
    case DBTYPE_I2: return VT_I2;
    case DBTYPE_I4: return VT_I4;
    case DBTYPE_R4: return VT_R4;
    case DBTYPE_R8: return VT_R8;
    case DBTYPE_CY: return VT_CY;
    case DBTYPE_DBTIMESTAMP:
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME2: return VT_DATE;
    case DBTYPE_BOOL: return VT_BOOL;
    case DBTYPE_NUMERIC: return VT_DECIMAL;
    case DBTYPE_UI1: return VT_UI1;
    case DBTYPE_I8: return VT_I8;
    case DBTYPE_UI8: return VT_UI8;
    case DBTYPE_BYTES: return VT_ARRAY | VT_UI1;
    case DBTYPE_STR:
    case DBTYPE_WSTR:
    case DBTYPE_GUID: return VT_BSTR;
    case DBTYPE_IUNKNOWN:
        if (declared == VT_BLOB || declared == VT_BLOB_OBJECT || declared == (VT_ARRAY | VT_UI1))
            return declared;
        return VT_BSTR;
    default: return declared;
    }
}

} // namespace

// ---------------------------------------------------------------- odb_table

odb_table::odb_table(const std::wstring& name, const std::wstring& query, IOpenRowset* s, int mode, void* owner)
    : odb_recordset(name), owner_data(owner), open_mode(mode)
{
    query_text = query;
    if (s)
        s->AddRef();
    *&session = s;
    tk_log_write_w(2, L"odb_table::odb_table(%ls,%d)", name.c_str(), mode);
    tk_log_write_w(1, L"sql=%ls", query.c_str());
    if (mode != 2)
        open_rowset(mode);
    record_count = get_records_cnt();
    tk_log_write(2, "Got %llu records", static_cast<unsigned long long>(record_count));
}

odb_table::odb_table(const std::wstring& name, IOpenRowset* s, int mode, void* owner)
    : odb_recordset(name), owner_data(owner), open_mode(mode)
{
    if (s)
        s->AddRef();
    *&session = s;
    tk_log_write_w(2, L"odb_table::odb_table(%ls,%d)", name.c_str(), mode);
    record_count = get_records_cnt();
    tk_log_write(2, "Got %llu records", static_cast<unsigned long long>(record_count));
    if (mode != 2)
        open_rowset(mode);
}

odb_table::~odb_table() = default;

void odb_table::open_rowset(int mode)
{
    try {
        internal_initialize(mode);
        return;
    } catch (const odb_exception& e) {
        if (!is_provider_error(e, 0x0E37))
            throw;
        tk_log_write_w(2, L"Got table_not_exists error");
    }
    std::wstring table, owner;
    mss_split_tab_name(name, table, owner);
    name = L"[dbo]." + mss_quote_name(table);
    tk_log_write_w(2, L"Creating %ls", name.c_str());
    internal_initialize(mode);
}

void odb_table::internal_initialize(int mode)
{
    tk_log_write(2, "odb_table::internal_initialize");
    if (!session)
        TK_MAIL_ASSERT();
    rowset.reset();
    if (!query_text.empty()) {
        odb_command cmd(session.get());
        IRowset* rs = nullptr;
        cmd.execute(query_text, &rs);
        *&rowset = rs;
    } else {
        DBID id{};
        id.eKind = DBKIND_NAME;
        id.pwszName = name.c_str();
        HRESULT hr;
        if (mode & 1) {
            tk_log_write(2, "Open rowset in read_only mode");
            hr = session->OpenRowset(nullptr, &id, nullptr, IID_IRowset, 0, nullptr,
                                     reinterpret_cast<IUnknown**>(&rowset));
        } else {
            tk_log_write(2, "Open rowset in create/append mode");
            DBPROP props[2]{};
            props[0].dwPropertyID = 127;   // IRowsetChange
            props[0].dwOptions = DBPROPOPTIONS_REQUIRED;
            props[0].colid = DB_NULLID;
            props[0].vValue.vt = VT_BOOL;
            props[0].vValue.boolVal = VARIANT_TRUE;
            props[1].dwPropertyID = 117;   // updatability
            props[1].dwOptions = DBPROPOPTIONS_REQUIRED;
            props[1].colid = DB_NULLID;
            props[1].vValue.vt = VT_I4;
            props[1].vValue.lVal = 4;      // insert
            static constexpr GUID rowset_props = {0xC8B522BE, 0x5CF3, 0x11CE,
                                                  {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
            DBPROPSET set{props, 2, rowset_props};
            hr = session->OpenRowset(nullptr, &id, nullptr, IID_IRowset, 1, &set,
                                     reinterpret_cast<IUnknown**>(&rowset));
        }
        if (FAILED(hr))
            fail(hr, 1);
    }
    initialize(true);
    if (query_text.empty() && !(mode & 1)) {
        // A table opened for insertion only needed its columns. Its rows are never
        // read, and an open result would have to be read whole into memory before
        // the first statement could run on the shared connection.
        clean_cache();
        accessor.clean_everything();
        rowset.reset();
    }
}

bool odb_table::is_eof()
{
    tk_log_write(1, "odb_table::is_eof(%d:%d)", static_cast<int>(cur_pos), static_cast<int>(record_count));
    // The count was taken when the table was opened; rows may differ since.
    return cur_pos >= record_count || odb_recordset::is_eof();
}

void odb_table::reset()
{
    tk_log_write(1, "odb_table::reset()");
    odb_recordset::reset();
    record_count = get_records_cnt();
    tk_log_write(1, "n_records=%d", static_cast<int>(record_count));
}

std::uint64_t odb_table::get_records_cnt()
{
    tk_log_write(2, "odb_table::get_records_cnt");
    if (!session)
        TK_MAIL_ASSERT();
    std::wstring sql = query_text.empty() ? L"SELECT COUNT(*) FROM " + name
                                          : L"SELECT COUNT(*) FROM (" + query_text + L") as query";
    odb_command cmd(session.get());
    IRowset* rs = nullptr;
    cmd.execute(sql, &rs);
    ole_com_ptr<IRowset> holder(rs);
    odb_recordset counted(rs);
    counted.reset();
    std::wstring text = tk_trim(field_text(counted.get_item(), 0));
    try {
        long long n = std::stoll(text);
        return n < 0 ? 0 : static_cast<std::uint64_t>(n);
    } catch (...) {
        throw tk_exception(L"The row count of " + name + L" cannot be read: '" + text + L"'", 1);
    }
}

// ---------------------------------------------------------------- mss_table: construction

mss_table::mss_table(const std::wstring& name, IOpenRowset* s, const udb_schema& source_schema, void* owner)
    : odb_table(name, s, 2, owner), command(s)
{
    tk_log_write_w(2, L"mss_table::ctor3(%ls)", name.c_str());
    schema.reset();
    for (std::size_t i = 0; i < source_schema.size(); ++i) {
        schema.push_back(new t_ftd(*source_schema[i]));
        if (source_schema[i]->b_auto_num) {
            tk_log_write(2, "Auto-increment found: field #%d", static_cast<int>(i));
            b_identity = true;
        }
    }
    schema.auto_seed = source_schema.auto_seed;
    schema.auto_increment = source_schema.auto_increment;
}

mss_table::mss_table(const std::wstring& name, const std::wstring& query, IOpenRowset* s, int mode, void* owner)
    : odb_table(name, query, s, mode, owner), command(s)
{
    tk_log_write_w(2, L"mss_table::ctor2(%ls)", name.c_str());
}

mss_table::mss_table(const std::wstring& name, IOpenRowset* s, int mode, void* owner)
    : odb_table(name, s, mode, owner), command(s)
{
    tk_log_write_w(2, L"mss_table::ctor1(%ls)", name.c_str());
    init_schema();
    tk_log_write(1, "mss_table::split_tab_name");
    std::wstring table, table_owner;
    mss_split_tab_name(this->name, table, table_owner);
    init_identity(table, table_owner);
    if ((mode & 0x60) != 0x60) {
        try {
            if (mss_get_engine_flags().version == 100) {
                tk_log_write(2, "Alternate init_indexes for SQL Azure");
                init_indexes2(table, table_owner);
            } else {
                init_indexes(table, table_owner);
            }
        } catch (const odb_exception& e) {
            tk_log_write(3, "Error while init_indexes: %s", e.what());
        }
    }
    for (std::size_t i = 0; i < schema.size(); ++i) {
        if (schema[i]->b_auto_num) {
            tk_log_write(2, "Auto-increment found: field #%d", static_cast<int>(i));
            b_identity = true;
            break;
        }
    }
    for (const auto& idx : indexes)
        if (idx.primary_key)
            has_primary_key = true;
}

mss_table::~mss_table()
{
    try {
        mss_engine& engine = mss_engine::ref();
        tk_log_write(2, "mss_table::dtor(b_identity=%d)", static_cast<int>(b_identity));
        flush_rows();
        tk_log_write(2, "fast_load=%d", static_cast<int>(engine.is_fast_load()));
        // A bulk load in progress holds the connection: it ends before any statement.
        tk_log_write(2, "Right before fl.close_table");
        if (fast_load.is_opened())
            fast_load.close_table();
        tk_log_write(2, "Right after fl.close_table");
        // The server keeps the switch on for one table per session only: a table
        // that turned it on turns it off, or the next table's rows would fail.
        if (b_identity && (!engine.is_fast_load() || identity_sent)) {
            tk_log_write(2, "setting IDENTITY_INSERT -> OFF");
            run(L"SET IDENTITY_INSERT " + name + L" OFF;");
        }
        tk_log_write(2, "mss_table::dtor - at the end");
    } catch (const tk_exception& e) {
        tk_log_write(2, "Got tk_exception in mss_table::dtor: %s", e.what());
    } catch (const std::exception& e) {
        tk_log_write(2, "Got exception in mss_table::dtor: %s", e.what());
    }
}

std::unique_ptr<odb_recordset> mss_table::select(const std::wstring& sql)
{
    odb_command cmd(session.get());
    IRowset* rs = nullptr;
    cmd.execute(sql, &rs);
    ole_com_ptr<IRowset> holder(rs);
    auto result = std::make_unique<odb_recordset>(rs);
    result->reset();
    return result;
}

void mss_table::run(const std::wstring& sql)
{
    command.execute(sql);
}

void mss_table::refine_by_sql_query(const std::wstring& sql)
{
    tk_log_write_w(2, L"mss_table::refine_by_sql_query(%ls)", sql.c_str());
    if (!rowset)
        tk_log_write(2, "IRowset is not initialized yet");
    clean_cache();
    accessor.clean_everything();
    rowset.reset();
    odb_command cmd(session.get());
    IRowset* rs = nullptr;
    cmd.execute(sql, &rs);
    *&rowset = rs;
    initialize(false);
}

// ---------------------------------------------------------------- reading an existing table

void mss_table::init_schema()
{
    tk_log_write(2, "mss_table::init_schema");
    tk_log_write(1, "mss_table::split_tab_name");
    std::wstring table, owner;
    mss_split_tab_name(name, table, owner);
    std::wstring sql =
        L"SELECT SC.name, t.name as type_name, SD.definition, SC.precision, SC.scale, SC.is_nullable, "
        L"SC.is_identity FROM sys.tables ST INNER JOIN sys.columns SC ON ST.object_id = SC.object_id "
        L"INNER JOIN sys.types t ON t.user_type_id = SC.user_type_id LEFT JOIN sys.default_constraints SD "
        L"ON ST.object_id = SD.parent_object_id AND SC.column_id = SD.parent_column_id WHERE ST.name='" +
        sql_text(table) + L"'";
    if (!owner.empty())
        sql += L" and SCHEMA_NAME(ST.schema_id)='" + sql_text(owner) + L"'";
    tk_log_write_w(2, L"query=%ls", sql.c_str());
    tk_log_write(1, "schema.size()=%d", static_cast<int>(schema.size()));
    auto rs = select(sql);
    for (std::size_t n = 0; n < schema.size() && !rs->is_eof(); ++n, rs->next()) {
        udb_record* row = rs->get_item();
        std::wstring col_name = field_text(row, 0);
        std::wstring type_name = field_text(row, 1);
        tk_log_write_w(2, L"Got field name/type: %ls/%ls", col_name.c_str(), type_name.c_str());
        t_ftd* ftd = schema.get_field(col_name);
        if (!ftd)
            continue;
        std::wstring definition = field_text(row, 2);
        if (!definition.empty()) {
            tk_log_write_w(2, L"Got default string: %ls", definition.c_str());
            ole_variant def;
            get_def_value(def, *ftd, definition);
            tk_log_write_w(2, L"Got default variant: %ls", def.to_wstring().c_str());
            if (ftd->vartype == VT_BSTR && def.get_type() == VT_BSTR && def.to_wstring().size() > ftd->size) {
                tk_log_write_w(2, L"Def.value '%ls' is out of range", def.to_wstring().c_str());
                continue;
            }
            ftd->def_value = def;
            tk_log_write(1, "ole_variant::get_type");
            tk_log_write(1, "v.get_type()=%08X", static_cast<unsigned>(def.get_type()));
            if (ftd->vartype == VT_DATE && (def.get_type() == VT_BSTR || def.get_type() == VT_LPWSTR)) {
                tk_log_write(2, "Tuning for DATE functions as def.values");
                ftd->dw_reserved = 9;
            }
        }
        ftd->b_auto_num = field_long(row, 6) != 0;
        if (tk_iequal(type_name, L"char")) {
            tk_log_write(2, "Got fixed width char");
            ftd->vartype = VT_BSTR;
            ftd->dw_reserved = 4;
        } else if (tk_iequal(type_name, L"datetimeoffset")) {
            tk_log_write(2, "Got datetimeoffset");
            ftd->vartype = VT_DATE;
            ftd->dw_reserved |= 0x10;
        }
        tk_log_write(1, "ftd.b_auto_num=%d", static_cast<int>(ftd->b_auto_num));
        if (ftd->vartype == VT_DECIMAL) {
            ftd->precision = static_cast<std::uint32_t>(field_long(row, 3));
            ftd->scale = static_cast<std::uint32_t>(field_long(row, 4));
            tk_log_write(2, ">>(prec/scale)=%d/%d", static_cast<int>(ftd->precision), static_cast<int>(ftd->scale));
        }
        tk_log_write(1, ">>> reserved=%d", static_cast<int>(ftd->dw_reserved));
    }
}

void mss_table::get_def_value(ole_variant& out, const t_ftd& column, const std::wstring& text_in)
{
    tk_log_write_w(1, L"mss_table::get_def_value(type=0x%08X, src='%ls')", static_cast<unsigned>(column.vartype),
                   text_in.c_str());
    out.clear();
    if (text_in == L"(NULL)") {
        tk_log_write(1, "Got NULL def.value");
        return;
    }
    std::wstring text = text_in;
    std::size_t pos0 = 0;
    while (pos0 < text.size() && text[pos0] == L'(')
        ++pos0;
    tk_log_write(1, "Before removing round brackets, pos0=%d, size=%d", static_cast<int>(pos0),
                 static_cast<int>(text.size()));
    if (pos0 * 2 <= text.size())
        text = text.substr(pos0, text.size() - 2 * pos0);
    tk_log_write_w(1, L"mss_table::get_def_value - buf=[%ls]", text.c_str());
    // National literals keep their prefix on the server: N'abc'.
    if (text.size() > 3 && (text[0] == L'N' || text[0] == L'n') && text[1] == L'\'' && text.back() == L'\'')
        text.erase(0, 1);
    bool quoted = text.size() > 2 && text.front() == L'\'' && text.back() == L'\'';
    if (quoted) {
        text = text.substr(1, text.size() - 2);
        // Inside a literal the server doubles every quote.
        std::wstring plain;
        for (std::size_t i = 0; i < text.size(); ++i) {
            plain += text[i];
            if (text[i] == L'\'' && i + 1 < text.size() && text[i + 1] == L'\'')
                ++i;
        }
        text = plain;
        tk_log_write_w(1, L"mss_table::get_def_value - buf=[%ls]", text.c_str());
    }
    if (column.vartype == VT_DATE) {
        tk_log_write(1, "f_type == VT_DATE");
        for (const wchar_t* f : {L"now()", L"getdate()", L"getutcdate()", L"sysdatetimeoffset()"}) {
            if (tk_iequal(text, f)) {
                tk_log_write(2, "Special processing for now/get...date()");
                out = ole_variant(text);
                return;
            }
        }
        ole_date date(text);
        if (date.is_valid())
            out = ole_variant(date);
        else
            out = ole_variant(text);
        return;
    }
    if (column.vartype == VT_BSTR) {
        tk_log_write(1, "f_type == VT_BSTR");
        tk_log_write_w(1, L"Got string def.value: [%ls]", text.c_str());
        out = ole_variant(text);
        return;
    }
    try {
        out = ole_variant::from_wstring(text, column.vartype);
    } catch (const tk_exception& e) {
        // A default the value type cannot hold (an expression) stays as text.
        tk_log_write(2, "%s", e.what());
        out = ole_variant(text);
    }
}

void mss_table::init_identity(const std::wstring& table, const std::wstring& owner)
{
    std::wstring sql = L"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE AS INT) FROM "
                       L"SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='" +
                       sql_text(table) + L"'";
    if (!owner.empty())
        sql += L" AND OBJECT_SCHEMA_NAME(OBJECT_ID)='" + sql_text(owner) + L"'";
    try {
        auto rs = select(sql);
        if (!rs->is_eof()) {
            udb_record* row = rs->get_item();
            long seed = field_long(row, 1);
            long inc = field_long(row, 2);
            if (!(seed == 1 && inc == 1)) {
                schema.auto_seed = static_cast<std::int32_t>(seed);
                schema.auto_increment = static_cast<std::int32_t>(inc);
                tk_log_write(2, "Autoincrement: seed=%d, increment=%d", static_cast<int>(seed), static_cast<int>(inc));
            }
        }
    } catch (const odb_exception& e) {
        tk_log_write(3, "Failed to exract auto_increment properties: %s", e.what());
    }
}

namespace {

// A column of a catalogue rowset by its name; -1 when absent.
int column_of(odb_recordset& rs, const wchar_t* name)
{
    const udb_schema& s = rs.get_schema();
    for (std::size_t i = 0; i < s.size(); ++i)
        if (tk_iequal(s[i]->name, name))
            return static_cast<int>(i);
    return -1;
}

std::wstring text_of(odb_recordset& rs, udb_record* row, const wchar_t* column)
{
    int c = column_of(rs, column);
    return c < 0 ? std::wstring() : field_text(row, static_cast<std::size_t>(c));
}

} // namespace

namespace {

// The primary key, from the key columns the server lists in key order.
void read_primary_key(IUnknown* session, const std::wstring& table, const std::wstring& owner, udb_indexes& collected)
{
    odb_pk_meta_data pk(session, table, owner);
    std::wstring pk_name;
    std::map<long, std::wstring> columns;
    pk.reset();
    bool first = true;
    while (!pk.is_eof()) {
        udb_record* row = pk.get_item();
        std::wstring n = text_of(pk, row, L"PK_NAME");
        if (first) {
            pk_name = n;
            tk_log_write_w(2, L"Got pr.key: %ls", pk_name.c_str());
            first = false;
        } else if (n != pk_name) {
            throw tk_mail_assertion("mss_tab", 165);
        }
        std::wstring col = text_of(pk, row, L"COLUMN_NAME");
        long ord = std::wcstol(text_of(pk, row, L"ORDINAL").c_str(), nullptr, 10);
        tk_log_write_w(2, L"Got pk column #%d: '%ls'", static_cast<int>(ord), col.c_str());
        columns[ord] = col;
        pk.next();
    }
    if (!first) {
        std::vector<std::wstring> fields;
        for (auto& [o, c] : columns)
            fields.push_back(c);
        tk_log_write_w(2, L"udb_index::ctor('%ls',%d,%d)", pk_name.c_str(), 1, 1);
        udb_index idx(pk_name, fields, true, true);
        collected.push_back(idx);
    } else {
        tk_log_write(2, "Primary key was NOT found");
    }
}

// The foreign keys, one row per column pair, into the relationships (a key seen before gains columns).
void read_foreign_keys(IUnknown* session, const std::wstring& table, const std::wstring& owner,
                       udb_relationships& rels)
{
    odb_fk_meta_data fk(session, table, owner);
    fk.reset();
    while (!fk.is_eof()) {
        udb_record* row = fk.get_item();
        std::wstring fk_name = text_of(fk, row, L"FK_NAME");
        std::wstring pk_table = text_of(fk, row, L"PK_TABLE_NAME");
        std::wstring fk_table = text_of(fk, row, L"FK_TABLE_NAME");
        std::wstring pk_col = text_of(fk, row, L"PK_COLUMN_NAME");
        std::wstring fk_col = text_of(fk, row, L"FK_COLUMN_NAME");
        tk_log_write_w(2, L"fk_name=%ls, pk_table=%ls, fk_table=%ls", fk_name.c_str(), pk_table.c_str(),
                       fk_table.c_str());
        if (!rels.find(fk_name, pk_table, fk_table)) {
            tk_log_write_w(2, L"GOT NEW FOREIGN KEY: %ls", fk_name.c_str());
            std::wstring upd = text_of(fk, row, L"UPDATE_RULE");
            std::wstring del = text_of(fk, row, L"DELETE_RULE");
            tk_log_write_w(2, L"update rule=%ls, delete_rule=%ls", upd.c_str(), del.c_str());
            rels.push_back(udb_relationship(fk_name, std::wstring(), fk_table, pk_table, {fk_col}, {pk_col},
                                            L" ON UPDATE " + upd + L" ON DELETE " + del));
            tk_log_write_w(2, L"Add FK column (1): %ls->%ls", fk_col.c_str(), pk_col.c_str());
        } else {
            tk_log_write_w(2, L"GOT EXISTING FOREIGN KEY: %ls", fk_name.c_str());
            udb_relationship& r = rels.get(fk_name, pk_table, fk_table);
            bool present = false;
            for (std::size_t i = 0; i < r.fk_fields.size() && i < r.pk_fields.size(); ++i)
                if (r.fk_fields[i] == fk_col && r.pk_fields[i] == pk_col)
                    present = true;
            if (present) {
                tk_log_write_w(2, L"Column %ls->%ls already exists in FK, skip it", fk_col.c_str(), pk_col.c_str());
            } else {
                r.fk_fields.push_back(fk_col);
                r.pk_fields.push_back(pk_col);
                tk_log_write_w(2, L"Add FK column (2): %ls->%ls", fk_col.c_str(), pk_col.c_str());
            }
        }
        fk.next();
    }
}

// The other indexes, one row per column; an index seen before gains columns, the primary key none.
void read_other_indexes(IUnknown* session, const std::wstring& table, const std::wstring& owner,
                        udb_indexes& collected)
{
    odb_id_meta_data id(session, table, owner);
    id.reset();
    while (!id.is_eof()) {
        udb_record* row = id.get_item();
        std::wstring idx_name = text_of(id, row, L"INDEX_NAME");
        std::wstring col = text_of(id, row, L"COLUMN_NAME");
        if (!idx_name.empty()) {
            if (collected.is_acceptable_name(idx_name)) {
                bool unique = field_bool(row, static_cast<std::size_t>(std::max(0, column_of(id, L"UNIQUE"))));
                bool primary =
                    field_bool(row, static_cast<std::size_t>(std::max(0, column_of(id, L"PRIMARY_KEY"))));
                tk_log_write_w(2, L"Got index: %ls (%d,%d)", idx_name.c_str(), static_cast<int>(unique),
                               static_cast<int>(primary));
                collected.push_back(udb_index(idx_name, {col}, unique, primary));
            } else {
                udb_index& idx = collected.get_index(idx_name);
                if (idx.primary_key) {
                    tk_log_write(2, "Skip Primary Key DoubleInitialization");
                } else {
                    tk_log_write_w(2, L"Add idx.column: '%ls'", col.c_str());
                    idx.fields.push_back(col);
                }
            }
        }
        id.next();
    }
}

} // namespace

void mss_table::init_indexes(const std::wstring& table, const std::wstring& owner)
{
    tk_log_write_w(2, L"odb_table::init_indexes(%ls,%ls)", table.c_str(), owner.c_str());
    udb_indexes collected;
    udb_database* db = nullptr;
    udb_relationships* rels = static_cast<udb_relationships*>(owner_data);
    (void)db;

    tk_log_write(2, "Initializing primary key");
    read_primary_key(session.get(), table, owner, collected);

    tk_log_write(2, "Initializing foreign keys");
    if (rels)
        read_foreign_keys(session.get(), table, owner, *rels);

    tk_log_write(2, "Initializing other indexes");
    read_other_indexes(session.get(), table, owner, collected);
    tk_log_write(2, "Right before copying indexes (size=%d)", static_cast<int>(collected.size()));
    for (const auto& idx : collected)
        add_index(idx);
    read_included_columns(table, owner);
}

void mss_table::read_included_columns(const std::wstring& table, const std::wstring& owner)
{
    for (auto& idx : indexes) {
        std::wstring sql =
            L"SELECT col.name FROM sys.indexes ind INNER JOIN      sys.index_columns ic ON  ind.object_id = "
            L"ic.object_id and ind.index_id = ic.index_id INNER JOIN      sys.columns col ON ic.object_id = "
            L"col.object_id and ic.column_id = col.column_id INNER JOIN      sys.tables t ON ind.object_id = "
            L"t.object_id ";
        if (!owner.empty())
            sql += L"INNER JOIN      sys.schemas sch ON t.schema_id = sch.schema_id ";
        sql += L"WHERE      ic.is_included_column=1 AND ";
        if (!owner.empty())
            sql += L"sch.name='" + sql_text(owner) + L"' AND ";
        sql += L"t.name='" + sql_text(table) + L"' AND ind.name='" + sql_text(idx.name) + L"'";
        tk_log_write_w(2, L"list_inc_idx_col_qry=%ls", sql.c_str());
        auto rs = select(sql);
        while (!rs->is_eof()) {
            std::wstring col = field_text(rs->get_item(), 0);
            tk_log_write_w(2, L"Got included column for index '%ls': '%ls'", idx.name.c_str(), col.c_str());
            idx.included.push_back(col);
            rs->next();
        }
    }
}

void mss_table::init_indexes2(const std::wstring& table, const std::wstring& owner)
{
    tk_log_write_w(2, L"odb_table::init_indexes2(%ls,%ls)", table.c_str(), owner.c_str());
    std::wstring where = L"t.name='" + sql_text(table) + L"'";
    if (!owner.empty())
        where = L"SCHEMA_NAME(t.schema_id)='" + sql_text(owner) + L"' AND " + where;
    std::wstring sql =
        L"SELECT ind.name, col.name, ind.is_primary_key, ind.is_unique FROM sys.indexes ind INNER JOIN "
        L"sys.index_columns ic ON ind.object_id = ic.object_id and ind.index_id = ic.index_id INNER JOIN "
        L"sys.columns col ON ic.object_id = col.object_id and ic.column_id = col.column_id INNER JOIN sys.tables "
        L"t ON ind.object_id = t.object_id WHERE " +
        where +
        L" AND t.is_ms_shipped=0 AND ic.is_included_column=0 ORDER BY t.name, ind.name, ind.index_id, "
        L"ic.key_ordinal";
    tk_log_write_w(2, L"Index query: %ls", sql.c_str());
    udb_indexes collected;
    {
        auto rs = select(sql);
        while (!rs->is_eof()) {
            udb_record* row = rs->get_item();
            std::wstring idx_name = field_text(row, 0);
            std::wstring col = field_text(row, 1);
            if (!idx_name.empty()) {
                int at = collected.find(idx_name);
                if (at < 0) {
                    tk_log_write_w(2, L"Got index: %ls", idx_name.c_str());
                    collected.push_back_direct(udb_index(idx_name, {col}, field_bool(row, 3), field_bool(row, 2)));
                } else {
                    collected[static_cast<std::size_t>(at)].fields.push_back(col);
                }
            }
            rs->next();
        }
    }
    if (auto* rels = static_cast<udb_relationships*>(owner_data)) {
        std::wstring fk_where = L"pt.name='" + sql_text(table) + L"'";
        if (!owner.empty())
            fk_where = L"SCHEMA_NAME(pt.schema_id)='" + sql_text(owner) + L"' AND " + fk_where;
        std::wstring fk_sql =
            L"SELECT fk.name, pc.name, ct.name, cc.name, fk.delete_referential_action_desc, "
            L"fk.update_referential_action_desc FROM sys.foreign_keys fk INNER JOIN sys.foreign_key_columns fkc ON "
            L"fk.object_id = fkc.constraint_object_id INNER JOIN sys.tables pt ON fkc.referenced_object_id = "
            L"pt.object_id INNER JOIN sys.columns pc ON fkc.referenced_object_id = pc.object_id AND "
            L"fkc.referenced_column_id = pc.column_id INNER JOIN sys.tables ct ON fkc.parent_object_id = "
            L"ct.object_id INNER JOIN sys.columns cc ON fkc.parent_object_id = cc.object_id AND "
            L"fkc.parent_column_id = cc.column_id WHERE " +
            fk_where + L" ORDER BY fk.name, fkc.constraint_column_id";
        tk_log_write_w(2, L"FK query: %ls", fk_sql.c_str());
        auto rs = select(fk_sql);
        while (!rs->is_eof()) {
            udb_record* row = rs->get_item();
            std::wstring fk_name = field_text(row, 0), pk_col = field_text(row, 1);
            std::wstring fk_table = field_text(row, 2), fk_col = field_text(row, 3);
            std::wstring del = field_text(row, 4), upd = field_text(row, 5);
            std::replace(del.begin(), del.end(), L'_', L' ');
            std::replace(upd.begin(), upd.end(), L'_', L' ');
            if (!rels->find(fk_name, table, fk_table)) {
                tk_log_write_w(2, L"GOT FOREIGN KEY: %ls", fk_name.c_str());
                rels->push_back(udb_relationship(fk_name, std::wstring(), fk_table, table, {fk_col}, {pk_col},
                                                 L" ON UPDATE " + upd + L" ON DELETE " + del));
            } else {
                udb_relationship& r = rels->get(fk_name, table, fk_table);
                r.fk_fields.push_back(fk_col);
                r.pk_fields.push_back(pk_col);
            }
            rs->next();
        }
    }
    for (const auto& idx : collected)
        add_index(idx);
}

// ---------------------------------------------------------------- writing rows

void mss_table::append_record(udb_record& record)
{
    tk_log_write(1, "mss_table::append_record(schema size=%d, record size=%d", static_cast<int>(schema.size()),
                 static_cast<int>(record.size()));
    if (record.size() != schema.size()) {
        tk_log_write(2, "that.size()=%d, schema.size()=%d", static_cast<int>(record.size()),
                     static_cast<int>(schema.size()));
        throw tk_exception(no_conform, 0);
    }
    ++rows_seen;
    bool handed_over = true;
    try {
        if (!mss_engine::ref().is_fast_load() || fl_failed) {
            handed_over = slow_record(record);
        } else {
            try {
                fast_append(record);
            } catch (const mss_fl_failed_exception&) {
                tk_log_write(1, "Got mss_fl_failed_exception, switch to slow_append");
                fl_failed = true;
                handed_over = slow_record(record);
            }
        }
    } catch (const odb_exception& e) {
        // Any statement of the row (the identity switch as well) ends the run when the connection is gone.
        end_if_lost(e, rows_seen);
        throw;
    }
    if (handed_over)
        ++record_count;
}

namespace {

// A text or binary value of at least this many characters or bytes goes to the server as a
// parameter of its row's own statement, read in pieces from the field, not as literal text
// (which would take several times the value's size on its way).
constexpr std::size_t long_value_size = 1u << 18;

// The field's value as a long parameter when it is one (no custom rule may claim it).
bool long_value_of(const udb_field& field, odb_long_value& out)
{
    const VARIANT& v = field.variant();
    if (udb_custom_conversion::has_rules() || field.get_type() != v.vt)
        return false;
    if (v.vt == VT_BSTR) {
        out = odb_long_value{v.bstrVal, nullptr, SysStringLen(v.bstrVal)};
    } else if (field.is_binary()) {
        out = odb_long_value{nullptr, field.binary_data(), field.binary_size()};
    } else {
        return false;
    }
    return out.size >= long_value_size;
}

} // namespace

bool mss_table::slow_record(udb_record& record)
{
    tk_log_write(1, "mss_table::slow_record(schema size=%d, record size=%d", static_cast<int>(schema.size()),
                 static_cast<int>(record.size()));
    if (schema.empty() || record.empty()) {
        // Nothing to store would still count as a stored row.
        throw tk_exception(no_conform, 0);
    }
    if (record.size() != schema.size())
        throw tk_exception(no_conform, 0);
    if (b_identity && !identity_sent) {
        // Once a table: the switch holds for the session until the writer turns it off.
        run(L"SET IDENTITY_INSERT " + name + L" ON;");
        identity_sent = true;
    }
    if (!literals)
        literals = std::make_unique<mss_literal_writer>();
    if (insert_head.empty()) {
        insert_head = L"INSERT INTO " + name + L"(";
        for (std::size_t i = 0; i < schema.size(); ++i)
            insert_head += (i > 0 ? L", " : L"") + mss_quote_name(schema[i]->name);
        insert_head += L") VALUES";
    }
    pending_row row;
    row.number = rows_seen;
    std::wstring& values = row.values;
    values = L"( ";
    std::vector<odb_long_value> long_values;
    for (std::size_t i = 0; i < schema.size(); ++i) {
        const t_ftd* ftd = schema[i];
        udb_field* fld = record.get_field(ftd->name);
        if (!fld) {
            tk_log_write_w(2, L"Field %ls not found", ftd->name.c_str());
            throw tk_exception(no_conform, 0);
        }
        if (i > 0)
            values += L", ";
        odb_long_value long_value;
        if (long_value_of(*fld, long_value)) {
            values += L"?";
            long_values.push_back(long_value);
        } else {
            literals->append(values, *fld, *ftd);
        }
    }
    values += L")";
    tk_log_write_w(2, L"Run SQL query: %ls%ls\n", insert_head.c_str(), values.c_str());
    // The values changed to fit while the literals were written are this row's.
    if (error_handler* h = error_handler::get())
        row.changes = h->take_changed_values();
    if (!long_values.empty())
        return insert_long_row(row, long_values);
    pending_chars += values.size();
    pending_rows.push_back(std::move(row));
    if (pending_rows.size() >= rows_per_trip || pending_chars >= chars_per_trip)
        flush_rows();
    return true;
}

bool mss_table::insert_long_row(const pending_row& row, const std::vector<odb_long_value>& long_values)
{
    flush_rows();   // the rows before it keep their order
    try {
        command.execute(insert_head + row.values, long_values);
    } catch (const odb_exception& e) {
        end_if_lost(e, row.number);
        std::wstring table, owner;
        mss_split_tab_name(name, table, owner);
        mss_report_row_error(table, row.number, e);
        return false;
    }
    report_changes({row}, 0, 1);
    return true;
}

void mss_table::end_if_lost(const odb_exception& e, std::uint64_t row) const
{
    // A cancelled statement (a stop request) goes to the caller as it is: neither its rows nor
    // those after them are refused, and none is sent again.
    if (e.cancelled())
        throw e;
    if (!e.connection_lost())
        return;
    std::wstring table, owner;
    mss_split_tab_name(name, table, owner);
    throw mss_connection_lost_exception(e, table, static_cast<long long>(row));
}

std::wstring mss_table::insert_statement(const std::vector<pending_row>& rows, std::size_t from,
                                         std::size_t to) const
{
    std::wstring sql = insert_head;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from)
            sql += L",";
        sql += rows[i].values;
    }
    return sql;
}

void mss_table::report_changes(const std::vector<pending_row>& rows, std::size_t from, std::size_t to) const
{
    std::wstring table, owner;
    mss_split_tab_name(name, table, owner);
    for (std::size_t i = from; i < to; ++i)
        for (const std::wstring& text : rows[i].changes)
            mss_report_row_error(table, rows[i].number, tk_exception(text, 0));
}

bool mss_table::try_run(const std::wstring& sql, const char* what, std::uint64_t first_row)
{
    try {
        run(sql);
        return true;
    } catch (const odb_exception& e) {
        tk_log_write(2, "%s failed: %s", what, e.what());
        end_if_lost(e, first_row);
        return false;
    }
}

void mss_table::flush_rows()
{
    if (pending_rows.empty())
        return;
    std::vector<pending_row> rows;
    rows.swap(pending_rows);
    pending_chars = 0;
    if (rows.size() == 1) {
        insert_one_by_one(rows, 0, 1);
        return;
    }
    // Each statement takes a run of rows; the statements go in one transaction that any failure
    // takes back whole.
    std::wstring batch = L"SET XACT_ABORT ON; BEGIN TRANSACTION;\n";
    for (std::size_t from = 0; from < rows.size(); from += rows_per_statement)
        batch += insert_statement(rows, from, std::min(rows.size(), from + rows_per_statement)) + L";\n";
    batch += L"COMMIT TRANSACTION; SET XACT_ABORT OFF;";
    if (try_run(batch, "A batch of rows", rows.front().number)) {
        report_changes(rows, 0, rows.size());
        return;
    }
    try {
        run(L"IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION; SET XACT_ABORT OFF;");
    } catch (const odb_exception& e) {
        tk_log_write(2, "Rollback: %s", e.what());
    }
    // Then each statement on its own (a statement that fails stores none of its rows), and the
    // rows of a failing one one by one.
    const bool one_statement = rows.size() <= rows_per_statement;
    for (std::size_t from = 0; from < rows.size(); from += rows_per_statement) {
        const std::size_t to = std::min(rows.size(), from + rows_per_statement);
        if (one_statement || !try_run(insert_statement(rows, from, to), "A statement of rows", rows[from].number))
            insert_one_by_one(rows, from, to);
        else
            report_changes(rows, from, to);
    }
}

void mss_table::insert_one_by_one(const std::vector<pending_row>& rows, std::size_t from, std::size_t to)
{
    // Each failing row is reported with its number, the others are stored.
    std::wstring table, owner;
    mss_split_tab_name(name, table, owner);
    for (std::size_t i = from; i < to; ++i) {
        try {
            run(insert_statement(rows, i, i + 1));
        } catch (const odb_exception& e) {
            end_if_lost(e, rows[i].number);
            if (record_count > 0)
                --record_count;   // counted when it was handed over
            mss_report_row_error(table, rows[i].number, e);
            continue;
        }
        report_changes(rows, i, i + 1);
    }
}

void mss_table::fast_append(udb_record& record)
{
    tk_log_write(1, "mss_table::fast_append");
    if (!fast_load.is_opened()) {
        DBID id{};
        id.eKind = DBKIND_NAME;
        id.pwszName = name.c_str();
        HRESULT hr = fast_load.open_table(session.get(), &id, schema);
        if (FAILED(hr)) {
            tk_log_write(2, "Failed to open table for fast_append, switch to slow_append");
            throw mss_fl_failed_exception();
        }
        std::wstring sql = L"SET QUOTED_IDENTIFIER OFF; ";
        if (b_identity)
            sql += L"SET IDENTITY_INSERT " + name + L" ON; ";
        run(sql);
        identity_sent = b_identity;
    }
    tk_log_write(1, "Record has %d fields", static_cast<int>(record.size()));
    for (std::size_t i = 0; i < record.size(); ++i)
        bind_field(record, i);
    fast_load.insert_data();
    tk_log_write(1, "mss_table::fast_append - END");
}

namespace {

// A stream for a value bound by reference. The holder owns the stream's first reference and gives
// it up when it goes; a binding that takes the stream keeps a reference of its own.
class stream_holder {
public:
    stream_holder() : stream_(new CSeqStream()) {}
    ~stream_holder() { stream_->Release(); }
    stream_holder(const stream_holder&) = delete;
    stream_holder& operator=(const stream_holder&) = delete;
    CSeqStream* operator->() const { return stream_; }

    // Binds the stream as the column's value; false when the column took nothing.
    bool bind(mss_fast_load& fl, DBORDINAL col)
    {
        stream_->AddRef();   // the binding's own reference
        bool ok = false;
        try {
            ISequentialStream* p = stream_;
            ok = fl.bind_data3(&p, sizeof p, stream_->Length(), col);
        } catch (...) {
            stream_->Release();
            throw;
        }
        if (!ok)
            stream_->Release();
        return ok;
    }

private:
    CSeqStream* stream_;
};

// A value the row does not have: NULL where the column allows it, else the column's default or
// the zero of its type (stored back into the field). False when NULL was bound and nothing is left to do.
bool fill_missing(mss_fast_load& fl, udb_field* fld, const t_ftd& ftd, DBORDINAL col, ole_variant& value)
{
    if (!ftd.b_not_null) {
        fl.bind_data2(nullptr, 0, col);
        return false;
    }
    if (!ftd.def_value.is_empty() && !ftd.def_value.is_null()) {
        value = ftd.def_value;
    } else if (ftd.vartype == VT_BSTR) {
        value = ole_variant(std::wstring());
    } else {
        try {
            value = ole_variant(0);
            value.change_type(ftd.vartype);
        } catch (const tk_exception&) {
            fl.bind_data2(nullptr, 0, col);
            return false;
        }
    }
    if (fld)
        fld->value() = value;
    return true;
}

// Dates: as a pure date or time where the column is bound (or, on SQL Server 2008 and later,
// declared) so, else as a timestamp; a day-0 date becomes 1899-12-30 and years past 9999 become 9999.
void bind_date(mss_fast_load& fl, const ole_variant& value, const t_ftd& ftd, DBTYPE bound, DBORDINAL col,
               unsigned server_version)
{
    tk_log_write_w(1, L"Processing date: %ls", value.to_wstring().c_str());
    SYSTEMTIME st = value.get_systemtime();
    int micro = value.get_type() == VT_DATE ? value.get_date().microseconds() : 0;
    mss_engine* engine = mss_engine::get();
    bool modern = server_version >= 5 && engine && engine->is_connected() && engine->is_native();
    const bool known = bound == DBTYPE_DBDATE || bound == DBTYPE_DBTIME2 || bound == DBTYPE_DBTIMESTAMP;
    if (bound == DBTYPE_DBDATE || (!known && modern && (ftd.dw_reserved & 3) == 2)) {
        tk_log_write(1, "Processing pure date in MS SQL 2008+ way");
        DBDATE d{static_cast<std::int16_t>(st.wYear), st.wMonth, st.wDay};
        if (!st.wYear || !st.wMonth || !st.wDay) {
            tk_log_write(2, "Found 0000-00-00 date, replace it");
            d = {1899, 12, 30};
        } else if (st.wYear > 9999) {
            tk_log_write(2, "Date is too much, truncating it");
            d.year = 9999;
        }
        fl.bind_data2(&d, sizeof d, col);
        return;
    }
    if (bound == DBTYPE_DBTIME2 || (!known && modern && (ftd.dw_reserved & 3) == 3)) {
        tk_log_write(1, "Processing pure time in MS SQL 2008+ way");
        DBTIME2 t{st.wHour, st.wMinute, st.wSecond, fraction_of(micro, st.wMilliseconds)};
        fl.bind_data2(&t, sizeof t, col);
        return;
    }
    tk_log_write(1, "Basic processing date/time value, microseconds=%d", micro);
    DBTIMESTAMP ts{static_cast<std::int16_t>(st.wYear), st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                   fraction_of(micro, st.wMilliseconds)};
    tk_log_write(1, "ts.fraction=%d", static_cast<int>(ts.fraction));
    if (!st.wYear || !st.wMonth || !st.wDay) {
        tk_log_write(2, "Found 0000-00-00 date, replace it");
        ts.year = 1899;
        ts.month = 12;
        ts.day = 30;
        tk_log_write(1, "ts.hour=%d, ts.minute=%d, ts.second=%d", ts.hour, ts.minute, ts.second);
    } else if (st.wYear > 9999) {
        tk_log_write(2, "Datetime is too much, truncating it");
        ts.year = 9999;
    }
    fl.bind_data2(&ts, sizeof ts, col);
}

// Decimals as DB_NUMERIC of precision 38 and the value's own scale.
void bind_decimal(mss_fast_load& fl, const ole_variant& value, const t_ftd& ftd, DBORDINAL col)
{
    tk_log_write_w(1, L"Got VT_DECIMAL: %ls", value.to_wstring().c_str());
    tk_log_write(1, "Schema prec/scale: %d/%d", static_cast<int>(ftd.precision), static_cast<int>(ftd.scale));
    DECIMAL dec{};
    value.to_decimal(&dec);
    DB_NUMERIC num{};
    num.precision = 38;
    num.scale = dec.scale;
    num.sign = (dec.sign & 0x80) ? 0 : 1;
    std::uint64_t lo = dec.Lo64;
    std::uint32_t hi = dec.Hi32;
    for (int b = 0; b < 8; ++b)
        num.val[b] = static_cast<std::uint8_t>(lo >> (8 * b));
    for (int b = 0; b < 4; ++b)
        num.val[8 + b] = static_cast<std::uint8_t>(hi >> (8 * b));
    fl.bind_data4(&num, col);
}

// Binary values: directly, or by stream into a stream-bound column.
void bind_bytes(mss_fast_load& fl, const ole_variant& value, DBORDINAL col)
{
    std::vector<unsigned char> bytes;
    if (value.is_binary())
        bytes.assign(value.binary_data(), value.binary_data() + value.binary_size());
    else
        value.get_bytes(bytes);
    tk_log_write(1, "Processing BLOB: size=%d", static_cast<int>(bytes.size()));
    // The column's binding decides: a pointer in a byte column would store the pointer.
    if (fl.GetColumnType(col) != DBTYPE_IUNKNOWN) {
        tk_log_write(1, "Direct binding");
        static const unsigned char none = 0;   // an empty value is not NULL
        fl.bind_data2(bytes.empty() ? &none : bytes.data(), bytes.size(), col);
    } else {
        tk_log_write(1, "Binding via CSeqStream");
        stream_holder stream;
        stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        stream.bind(fl, col);
    }
}

// Any other value as text: a GUID, a stream, narrow text in the code page or UTF-16, cut to the column's size.
void bind_text(mss_fast_load& fl, const ole_variant& value, const t_ftd& ftd, DBORDINAL col, bool unicode)
{
    tk_log_write(1, "Convert as a string");
    std::wstring str;
    if (udb_custom_conversion::is_acceptable2(value)) {
        tk_log_write(1, "Custom conversion is acceptable");
        str = udb_custom_conversion::handle2(value);
        str = str.size() >= 2 ? str.substr(1, str.size() - 2) : std::wstring();
    } else {
        str = value.to_wstring();
    }
    tk_log_write_w(1, L"str=%ls", str.c_str());
    DBTYPE type = fl.GetColumnType(col);
    tk_log_write_w(1, L"dbtype=%d, native_type='%ls'", static_cast<int>(type), ftd.native_type.c_str());
    const bool ansi_native = starts_with_ci(ftd.native_type, L"varchar") || starts_with_ci(ftd.native_type, L"char") ||
                             starts_with_ci(ftd.native_type, L"text");
    if (type == DBTYPE_GUID) {
        tk_log_write(2, "Binding GUID via binary array");
        ole_guid_extractor guid(str);
        if (!guid.found())
            throw tk_exception(L"'" + str + L"' is not a GUID (column " + ftd.name + L")", 0);
        uint8_t bytes[16];
        guid.get_bytes(bytes);
        fl.bind_data2(bytes, 16, col);
        return;
    }
    if (type == DBTYPE_IUNKNOWN) {
        tk_log_write(1, "Binding via CSeqStream");
        stream_holder stream;
        if (!unicode || ansi_native) {
            tk_log_write(1, "MAPPING WSTRING->STRING");
            std::string ansi = tk_to_string(str, CP_THREAD_ACP);
            stream->Write(ansi.data(), static_cast<ULONG>(ansi.size()), nullptr);
        } else {
            const std::u16string u16 = win_utf16_from_wide(str);
            stream->Write(u16.data(), static_cast<ULONG>(u16.size() * 2), nullptr);
        }
        tk_log_write(1, "%d bytes processed", static_cast<int>(stream->Length()));
        stream.bind(fl, col);
        return;
    }
    if (type == DBTYPE_STR || (!unicode && type == DBTYPE_WSTR) || ansi_native) {
        std::string ansi = tk_to_string(str, CP_ACP);
        tk_log_write(1, "Binding ANSI string: expected size=%d, actual size=%d", static_cast<int>(ftd.size),
                     static_cast<int>(ansi.size()));
        tk_log_write_w(1, L"String value=%ls", str.c_str());
        std::size_t n = ansi.size();
        if (ftd.size && n > ftd.size)
            n = ftd.size;
        fl.bind_data2(ansi.data(), n, col);
        return;
    }
    const std::u16string u16 = win_utf16_from_wide(str);
    tk_log_write(1, "Binding UNICODE string: expected size=%d, actual size=%d", static_cast<int>(ftd.size),
                 static_cast<int>(u16.size() * 2));
    tk_log_write_w(1, L"String value=%ls", str.c_str());
    std::size_t n = u16.size();
    if (ftd.size && n > ftd.size)
        n = ftd.size;
    fl.bind_data2(u16.data(), n * 2, col);
}

// Numbers, money and Yes/No in the binary form of their bound column; false for any other kind.
bool bind_number(mss_fast_load& fl, const ole_variant& value, VARTYPE vt, bool as_float, DBORDINAL col)
{
    switch (vt) {
    case VT_I2:
    case VT_I1: {
        std::int16_t v = static_cast<std::int16_t>(value.to_long());
        tk_log_write(1, "Got VT_I1/2: %d", static_cast<int>(v));
        fl.bind_data2(&v, sizeof v, col);
        return true;
    }
    case VT_I4:
    case VT_UI2:
    case VT_INT: {
        std::int32_t v = static_cast<std::int32_t>(value.to_i8());
        tk_log_write(1, "Got VT_UI2/I4: %d", static_cast<int>(v));
        fl.bind_data2(&v, sizeof v, col);
        return true;
    }
    case VT_R4:
    case VT_R8:
        if (as_float) {
            float v = value.to_float();
            tk_log_write(1, "Got VT_R4: %f", static_cast<double>(v));
            fl.bind_data2(&v, sizeof v, col);
        } else {
            double v = value.to_double();
            tk_log_write(1, "Got VT_R8: %lg", v);
            fl.bind_data2(&v, sizeof v, col);
        }
        return true;
    case VT_CY: {
        ole_variant cy = value;
        if (cy.get_type() != VT_CY)
            cy.change_type(VT_CY);
        std::int64_t v = cy.variant().cyVal.int64;
        fl.bind_data2(&v, sizeof v, col);
        return true;
    }
    case VT_BOOL: {
        unsigned char v = value.to_bool() ? 1 : 0;
        tk_log_write(1, "Got VT_BOOL: %d", static_cast<int>(v));
        fl.bind_data2(&v, 1, col);
        return true;
    }
    case VT_UI1: {
        unsigned char v = static_cast<unsigned char>(value.to_long());
        tk_log_write(1, "Got VT_UI1: %d", static_cast<int>(v));
        fl.bind_data2(&v, 1, col);
        return true;
    }
    case VT_UI4:
    case VT_I8:
    case VT_UINT: {
        std::int64_t v = value.to_i8();
        tk_log_write(1, "Got VT_I8: %lld", static_cast<long long>(v));
        fl.bind_data2(&v, sizeof v, col);
        return true;
    }
    case VT_UI8: {
        std::uint64_t v = value.to_ui8();
        tk_log_write(1, "Got VT_UI8: %llu", static_cast<unsigned long long>(v));
        fl.bind_data2(&v, sizeof v, col);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

// Binds one value of a bulk-loaded row: missing values first, then by the kind of binding the
// column has (dates, decimals, bytes, numbers and text each in their own step).
void mss_table::bind_field(udb_record& record, std::size_t i)
{
    const DBORDINAL col = i + 1;
    udb_field* fld = record[i];
    const t_ftd& ftd = *schema[i];
    tk_log_write(1, "Field %d has vartype=%d", static_cast<int>(i), fld ? static_cast<int>(fld->get_type()) : 0);
    ole_variant value = fld ? fld->value() : ole_variant();
    if ((value.is_empty() || value.is_null()) && !fill_missing(fast_load, fld, ftd, col, value))
        return;
    const auto engine_flags = mss_get_engine_flags();
    // The value goes the way its bound column takes it; the declared type only
    // decides where the binding does not (a stream, or a binding of no kind known here).
    const DBTYPE bound = fast_load.GetColumnType(col);
    VARTYPE vt = bound_vartype(bound, ftd.vartype);
    bool as_float = bound == DBTYPE_R4 || (bound != DBTYPE_R8 && ftd.dw_reserved == 1);
    if (vt == VT_DATE && value.get_type() != VT_DATE) {
        try {
            value.change_type(VT_DATE);
        } catch (const tk_exception&) {
            tk_log_write_w(2, L"'%ls' is not a date", value.to_wstring().c_str());
        }
    }
    switch (vt) {
    case VT_DATE:
        bind_date(fast_load, value, ftd, bound, col, engine_flags.version);
        return;
    case VT_DECIMAL:
        bind_decimal(fast_load, value, ftd, col);
        return;
    case VT_BLOB:
    case VT_BLOB_OBJECT:
    case VT_ARRAY | VT_UI1:
        bind_bytes(fast_load, value, col);
        return;
    default:
        if (bind_number(fast_load, value, vt, as_float, col))
            return;
        break;
    }
    bind_text(fast_load, value, ftd, col, engine_flags.unicode);
}

// ---------------------------------------------------------------- updates and deletes by key

std::wstring mss_table::update_statement(udb_record& record, const std::wstring& where, const udb_index* key)
{
    std::wstring sets;
    std::wstring conds;
    for (udb_field* fld : record) {
        if (!fld)
            continue;
        tk_log_write_w(1, L"Process field: %ls", fld->get_name().c_str());
        const t_ftd* ftd = schema.get_field(fld->get_name());
        if (!ftd) {
            tk_log_write_w(3, L"Cannot update '%ls': field '%ls' is not found in schema", name.c_str(),
                           fld->get_name().c_str());
            return std::wstring();
        }
        bool in_key = false;
        if (key)
            for (const auto& f : key->fields)
                if (udb_same_name(f, fld->get_name()))
                    in_key = true;
        std::wstring term = mss_quote_name(ftd->name) + L"=" + mss_get_fld_append_str(fld, ftd);
        if (in_key) {
            tk_log_write_w(1, L"Field %ls is a part of UKey", fld->get_name().c_str());
            conds += (conds.empty() ? L"" : L" AND ") + term;
        } else {
            tk_log_write_w(1, L"Field %ls is NOT a part of UKey", fld->get_name().c_str());
            sets += (sets.empty() ? L"" : L", ") + term;
        }
    }
    if (sets.empty())
        return std::wstring();
    std::wstring w = where.empty() ? conds : where;
    if (w.empty())
        return std::wstring();
    return L"UPDATE " + name + L" SET " + sets + L" WHERE " + w;
}

void mss_table::update(udb_record& record)
{
    flush_rows();
    tk_log_write(2, "mss_table::update(n_u_index=%d)", n_u_index);
    tk_log_write(2, "indexes.size=%d", static_cast<int>(indexes.size()));
    if (n_u_index < 0 || static_cast<std::size_t>(n_u_index) >= indexes.size()) {
        tk_log_write(2, "Missing primary/unique key");
        tk_log_write_w(3, L"ERROR: Cannot update '%ls', there's no primary/unique key", name.c_str());
        return;
    }
    std::wstring sql = update_statement(record, std::wstring(), &indexes[static_cast<std::size_t>(n_u_index)]);
    if (sql.empty())
        return;
    tk_log_write_w(2, L"UPDATE QUERY: %ls", sql.c_str());
    try {
        run(sql);
    } catch (const tk_exception& e) {
        tk_log_write(3, "ERROR on UPDATE1: %s", e.what());
    }
}

void mss_table::update(const std::wstring& key)
{
    flush_rows();
    if (key.empty()) {
        tk_log_write_w(3, L"ERROR: key for update cannot be empty (table '%ls')", name.c_str());
        return;
    }
    if (n_u_index < 0 || static_cast<std::size_t>(n_u_index) >= indexes.size()) {
        tk_log_write_w(3, L"ERROR: table '%ls' has no primary/unique key, update is not possible", name.c_str());
        return;
    }
    // The new values are the current row's.
    udb_record* row = nullptr;
    try {
        row = get_item();
    } catch (const tk_exception& e) {
        tk_log_write(3, "ERROR on UPDATE2: %s", e.what());
        return;
    }
    try {
        std::wstring sql = update_statement(*row, get_filter_subquery(key), &indexes[static_cast<std::size_t>(n_u_index)]);
        if (sql.empty())
            return;
        tk_log_write_w(2, L"UPDATE QUERY: %ls", sql.c_str());
        run(sql);
    } catch (const tk_exception& e) {
        tk_log_write(3, "ERROR on UPDATE2: %s", e.what());
    }
}

void mss_table::delete_key(const std::wstring& key)
{
    flush_rows();
    tk_log_write_w(2, L"mss_table::delete_key(%ls)", key.c_str());
    try {
        std::wstring where = get_filter_subquery(key);
        if (where.empty()) {
            tk_log_write(3, "ERROR on DELETE: empty key");
            return;
        }
        run(L"DELETE FROM " + name + L" WITH (ROWLOCK) WHERE " + where);
    } catch (const odb_exception& e) {
        tk_log_write(2, "ERROR on DELETE: %s", e.what());
    } catch (...) {
        tk_log_write(3, "Unknown exception");
    }
}

void mss_table::delete_key(udb_record& record)
{
    flush_rows();
    tk_log_write(1, "mss_table::delete_key");
    try {
        std::wstring where;
        for (udb_field* fld : record) {
            if (!fld)
                continue;
            const t_ftd* ftd = schema.get_field(fld->get_name());
            if (!ftd) {
                tk_log_write_w(1, L"Field '%ls' is not found in schema", fld->get_name().c_str());
                continue;
            }
            where += (where.empty() ? L"" : L" AND ") + mss_quote_name(ftd->name) + L"=" +
                     mss_get_fld_append_str(fld, ftd);
        }
        if (where.empty()) {
            // Without a condition every row of the table would go.
            tk_log_write(3, "ERROR on DELETE: no key field of the record is a column of the table");
            return;
        }
        run(L"DELETE FROM " + name + L" WITH (ROWLOCK) WHERE " + where);
    } catch (const odb_exception& e) {
        tk_log_write(2, "ERROR on DELETE: %s", e.what());
    } catch (...) {
        tk_log_write(3, "Unknown exception");
    }
}

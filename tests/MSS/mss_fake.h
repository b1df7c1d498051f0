// A stand-in SQL Server session for the destination tests: it records every
// statement and table opening, and answers from scripted results.
#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "MSS/mss_engi.h"
#include "MSS/mss_util.h"
#include "TK/tk_errco.h"
#include "TK/tk_errh.h"
#include "platform/oledb/oledb.h"
#include "platform/oledb/oledb_impl.h"
#include "tests/support/recording_handler.h"

namespace mss_fake {

using drav_test::recording_handler;

// One scripted result: columns and rows of text, or a failure.
struct result {
    std::vector<std::wstring> columns;
    std::vector<std::vector<std::wstring>> rows;   // L"\x1" stands for NULL
    HRESULT error = S_OK;
    std::wstring message;
    std::string sqlstate;        // of a failure; none: the provider's own error record alone
    std::vector<DBTYPE> types;   // optional, per column (text when absent)
    std::vector<std::uint64_t> sizes;   // optional, per column
};

inline result table(std::vector<std::wstring> cols, std::vector<std::vector<std::wstring>> rows = {})
{
    result r;
    r.columns = std::move(cols);
    r.rows = std::move(rows);
    return r;
}

inline result failure(HRESULT hr, const std::wstring& message)
{
    result r;
    r.error = hr;
    r.message = message;
    return r;
}

// A failure as the provider reports it: with the driver's SQLSTATE when one is given.
inline HRESULT report_failure(const result& r)
{
    if (r.sqlstate.empty())
        return oledb_impl::report(r.error, r.message, L"fake server");
    return oledb_impl::report(odbc::error(r.error, {odbc::diag_record{r.sqlstate, 0, r.message}}), L"fake server");
}

inline HRESULT hand_out(const result& r, REFIID riid, IUnknown** out)
{
    if (FAILED(r.error))
        return report_failure(r);
    std::vector<odbc::column_desc> cols;
    for (std::size_t i = 0; i < r.columns.size(); ++i) {
        DBTYPE t = DBTYPE_WSTR;
        if (i < r.types.size())
            t = r.types[i];
        if (t == DBTYPE_WSTR)
            cols.push_back(oledb_impl::text_column(r.columns[i].c_str()));
        else
            cols.push_back(oledb_impl::typed_column(r.columns[i].c_str(), t, t == DBTYPE_I4 ? 4u : 8u));
        if (i < r.sizes.size() && r.sizes[i])
            cols.back().db_size = r.sizes[i];
    }
    std::vector<odbc::row> rows;
    for (const auto& src : r.rows) {
        odbc::row row;
        for (const auto& v : src) {
            odbc::cell c;
            c.null = v == L"\x1";
            if (!c.null)
                c.text = odbc::to_utf16(v);
            row.push_back(std::move(c));
        }
        rows.push_back(std::move(row));
    }
    return oledb_impl::make_memory_rowset(std::move(cols), std::move(rows), riid, out);
}

class session;

class command : public com_object<ICommandText> {
public:
    explicit command(session* s) : s_(s) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && IsEqualIID(riid, IID_ICommand)) {
            *ppv = static_cast<ICommand*>(static_cast<ICommandText*>(this));
            AddRef();
            return S_OK;
        }
        return com_object<ICommandText>::QueryInterface(riid, ppv);
    }
    HRESULT SetCommandText(REFGUID, LPCOLESTR text) override
    {
        text_ = text ? text : L"";
        return S_OK;
    }
    HRESULT Execute(IUnknown*, REFIID riid, DBPARAMS*, DBROWCOUNT*, IUnknown** out) override;

private:
    session* s_;
    std::wstring text_;
};

// Every statement lands in `statements`; `answer` decides what it returns
// (a COUNT(*) gives 0 rows unless answered otherwise, other statements no rows).
class session : public com_object<IOpenRowset, IDBCreateCommand, IDBSchemaRowset> {
public:
    std::vector<std::wstring> statements;
    std::vector<std::wstring> opened;   // tables opened by name
    std::function<bool(const std::wstring&, result&)> answer;
    std::map<std::wstring, result> tables;   // name as opened -> its columns and rows
    std::map<int, result> schema_rows;       // 0 tables, 1 primary keys, 2 indexes, 3 foreign keys

    HRESULT CreateCommand(IUnknown*, REFIID riid, IUnknown** out) override
    {
        auto* c = new command(this);
        HRESULT hr = c->QueryInterface(riid, reinterpret_cast<void**>(out));
        c->Release();
        return hr;
    }

    HRESULT OpenRowset(IUnknown*, DBID* table, DBID*, REFIID riid, ULONG, DBPROPSET[], IUnknown** out) override
    {
        *out = nullptr;
        std::wstring name = table && table->pwszName ? table->pwszName : L"";
        opened.push_back(name);
        auto it = tables.find(name);
        if (it == tables.end())
            return oledb_impl::report(DB_E_NOTABLE, L"Invalid object name '" + name + L"'.", L"fake server");
        return hand_out(it->second, riid, out);
    }

    HRESULT GetRowset(IUnknown*, REFGUID schema, ULONG, const VARIANT[], REFIID riid, ULONG, DBPROPSET[],
                      IUnknown** out) override
    {
        int kind = IsEqualGUID(schema, DBSCHEMA_TABLES) ? 0
                   : IsEqualGUID(schema, DBSCHEMA_PRIMARY_KEYS) ? 1
                   : IsEqualGUID(schema, DBSCHEMA_INDEXES) ? 2 : 3;
        auto it = schema_rows.find(kind);
        if (it != schema_rows.end())
            return hand_out(it->second, riid, out);
        static const std::vector<std::wstring> cols[4] = {
            {L"TABLE_CATALOG", L"TABLE_SCHEMA", L"TABLE_NAME", L"TABLE_TYPE"},
            {L"TABLE_NAME", L"COLUMN_NAME", L"ORDINAL", L"PK_NAME"},
            {L"TABLE_NAME", L"INDEX_NAME", L"PRIMARY_KEY", L"UNIQUE", L"COLUMN_NAME"},
            {L"PK_TABLE_NAME", L"PK_COLUMN_NAME", L"FK_TABLE_NAME", L"FK_COLUMN_NAME", L"UPDATE_RULE",
             L"DELETE_RULE", L"FK_NAME"}};
        return hand_out(table(cols[kind]), riid, out);
    }

    // Statements that contain the text.
    std::vector<std::wstring> with(const std::wstring& part) const
    {
        std::vector<std::wstring> r;
        for (const auto& s : statements)
            if (s.find(part) != std::wstring::npos)
                r.push_back(s);
        return r;
    }
};

inline HRESULT command::Execute(IUnknown*, REFIID riid, DBPARAMS*, DBROWCOUNT*, IUnknown** out)
{
    if (out)
        *out = nullptr;
    s_->statements.push_back(text_);
    result r;
    bool answered = s_->answer && s_->answer(text_, r);
    if (!answered && text_.rfind(L"SELECT COUNT(*)", 0) == 0)
        r = table({L"n"}, {{L"0"}});
    if (FAILED(r.error))
        return report_failure(r);
    if (!out || IsEqualIID(riid, IID_NULL) || r.columns.empty())
        return S_OK;
    return hand_out(r, riid, out);
}

// A data source whose bulk-load property may be set or refused.
class data_source : public com_object<IDBInitialize, IDBProperties> {
public:
    bool refuse = false;
    int sets = 0;
    HRESULT Initialize() override { return S_OK; }
    HRESULT Uninitialize() override { return S_OK; }
    HRESULT SetProperties(ULONG, DBPROPSET[]) override
    {
        ++sets;
        return refuse ? DB_E_ERRORSOCCURRED : S_OK;
    }
};

// A process-wide engine with bulk load off and chosen T-SQL settings.
struct engine_scope {
    mss_engine engine{1};
    data_source* ds = new data_source();
    explicit engine_scope(unsigned version = 18, bool fast_load = false, bool unicode = true)
    {
        engine.enable_fast_load(static_cast<IDBInitialize*>(ds), fast_load);
        mss_set_engine_flags_source([version, unicode] {
            mss_engine_flags f;
            f.version = version;
            f.unicode = unicode;
            return f;
        });
    }
    ~engine_scope()
    {
        mss_set_engine_flags_source({});
        ds->Release();
    }
};

} // namespace mss_fake

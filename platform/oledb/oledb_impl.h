// Internals shared by the ODBC-backed OLE DB provider's source files.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/oledb/odbc_core.h"
#include "platform/oledb/oledb.h"

namespace oledb_impl {

// What a data source, its sessions and their rowsets share.
struct source_state {
    std::shared_ptr<odbc::connection> conn;
    bool fast_load = false;
    std::wstring source = L"SQL Server ODBC provider";
};

// The accessors one object has handed out, each a copy of its bindings under a handle of its
// own. A released handle is unknown from then on; handles are never used twice.
class accessor_table {
public:
    HACCESSOR add(const DBBINDING* b, DBCOUNTITEM n)
    {
        const HACCESSOR h = ++last_;
        list_[h].assign(b, b + n);
        return h;
    }
    // The bindings of a handle in use; null for an unknown or released one.
    const std::vector<DBBINDING>* find(HACCESSOR h) const
    {
        auto a = list_.find(h);
        return a == list_.end() ? nullptr : &a->second;
    }
    HRESULT release(HACCESSOR h, DBREFCOUNT* refs)
    {
        if (refs)
            *refs = 0;
        return list_.erase(h) ? S_OK : DB_E_BADACCESSORHANDLE;
    }

private:
    std::map<HACCESSOR, std::vector<DBBINDING>> list_;
    HACCESSOR last_ = DB_NULL_HACCESSOR;
};

// One identifier in brackets, "]" doubled inside.
std::wstring bracket_name(const std::wstring& name);

// Puts the failure into the calling thread's error object; returns its code.
HRESULT report(const odbc::error& e, const std::wstring& source);
HRESULT report(HRESULT hr, const std::wstring& message, const std::wstring& source);
// The message without the driver manager's and driver's "[...]" prefixes.
std::wstring strip_prefix(const std::wstring& msg);

// A rowset over a statement positioned on a result (re-executed on restart).
HRESULT make_statement_rowset(std::shared_ptr<source_state> st, std::unique_ptr<odbc::statement> stmt,
                              const std::wstring& sql, REFIID riid, IUnknown** out);
// A rowset over rows held in memory.
HRESULT make_memory_rowset(std::vector<odbc::column_desc> cols, std::vector<odbc::row> rows, REFIID riid,
                           IUnknown** out);
// Column description of a computed (catalogue) column.
odbc::column_desc text_column(const wchar_t* name);
odbc::column_desc typed_column(const wchar_t* name, DBTYPE type, std::uint64_t size);

// The catalogue rows of one schema rowset; restrictions are null when not given.
void schema_rows(odbc::connection& conn, REFGUID schema, const std::vector<const std::wstring*>& restrictions,
                 std::vector<odbc::column_desc>& cols, std::vector<odbc::row>& rows);

} // namespace oledb_impl

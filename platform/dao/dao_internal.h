// Shared pieces of the data access objects: engine state and errors, column descriptions, row sources.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dao/daoapi.h"
#include "platform/jet/jet_complex.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_props.h"
#include "platform/jet/jet_query.h"
#include "platform/jet/jet_writer.h"
#include "platform/win/win_utf.h"

namespace daoimpl {

// Which files an engine class serves.
enum class generation { jet35, jet36, ace };

// State shared by an engine and everything made from it: its generation and its error collection.
struct engine_ctx {
    generation gen = generation::ace;
    std::vector<std::pair<long, std::wstring>> errors;
    std::wstring system_db;
    std::wstring default_user = L"admin";
    std::wstring default_password;
    // The user of the last workspace made: the engine's own OpenDatabase opens as that user.
    std::wstring session_user;
    std::wstring session_password;
    bool has_session = false;

    // Replaces the errors with this one and returns its HRESULT.
    HRESULT fail(long number, const std::wstring& description);
    HRESULT fail(long number); // the standard text of the number
    // "Microsoft Access database engine" or "Microsoft Jet database engine".
    std::wstring engine_words() const;
};
using ctx_ptr = std::shared_ptr<engine_ctx>;

// An engine error raised inside the layer (turned into the Errors collection by fail_from_exception);
// `arg` fills the standard text of the number.
struct dao_failure : std::exception {
    long number;
    std::wstring arg;
    dao_failure(long n, std::wstring a) : number(n), arg(std::move(a)) {}
    const char* what() const noexcept override { return "engine error"; }
};

// A snapshot of the engine's errors as a collection.
DAOErrors* make_errors(const engine_ctx& ctx);

// The standard text of an error number, with %1 replaced by the argument.
std::wstring error_text(const engine_ctx& ctx, long number, const std::wstring& arg = {});

// A dual interface implementation: reference counting, QueryInterface for I, IDispatch and IUnknown.
template <class I>
class object : public com_object<I> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && IsEqualIID(riid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(static_cast<I*>(this));
            this->AddRef();
            return S_OK;
        }
        return com_object<I>::QueryInterface(riid, ppv);
    }
};

// Out-parameter helpers.
HRESULT put_bstr(BSTR* out, const std::wstring& s);
HRESULT put_bool(VARIANT_BOOL* out, bool b);
template <class T, class I>
HRESULT put_itf(I** out, T* obj) // takes over the one reference of a new object
{
    if (!out) {
        obj->Release();
        return E_POINTER;
    }
    *out = obj;
    return S_OK;
}

// Reads a collection index: a position (>= 0) or a name. Returns false for other variant types.
struct item_key {
    long position = -1;
    std::wstring name;
    bool by_name = false;
};
bool read_key(const VARIANT& v, item_key& key);
// A VARIANT argument as an integer (default when empty or missing), as text, as a boolean.
long arg_long(const VARIANT& v, long def);
std::wstring arg_text(const VARIANT& v);
bool arg_bool(const VARIANT& v, bool def);
std::wstring bstr_text(BSTR b);

// ---------------------------------------------------------------------------
// One named property.
struct prop {
    std::wstring name;
    short type = dbText;
    jet::value data;
    bool inherited = false;
};
using prop_list = std::vector<prop>;
// A new Properties collection over a list.
DAOProperties* make_properties(ctx_ptr ctx, prop_list props);
// A jet value as DAO gives it: text BSTR, VT_DATE, VT_CY, VT_DECIMAL, VT_BOOL, VT_ARRAY|VT_UI1,
// GUID "{guid {...}}", VT_NULL ...
void to_variant(const jet::value& v, short dao_type, VARIANT* out);
// The same over a VARIANT that holds an earlier value: a text into an earlier text's storage.
void to_variant_reusing(const jet::value& v, short dao_type, VARIANT* inout);
// The DAO type of a stored column type.
short dao_type_of(const jet::column_def& c, jet::complex_kind kind);
// DAO's size of a column of that type.
long dao_size_of(short dao_type, const jet::column_def* c, bool wide);

// ---------------------------------------------------------------------------
// A column as definitions and recordsets describe it.
struct column_info {
    std::wstring name;
    short type = dbText;
    long size = 0;
    long attributes = 0;
    short ordinal = 0;
    bool required = false;
    bool allow_zero_length = false;
    std::wstring default_value;
    std::wstring validation_rule;
    std::wstring source_table;
    std::wstring source_field;
    std::wstring foreign_name;  // relation fields
    prop_list custom;           // Description, Format, Caption ...
};
// The getters of a field that a column_info describes (definition, new and recordset fields):
// `Derived` gives it by `const column_info& info() const`.
template <class Derived>
class info_field : public object<_DAOField> {
public:
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, c().name); }
    HRESULT get_Type(short* p) override { if (!p) return E_POINTER; *p = c().type; return S_OK; }
    HRESULT get_Size(long* p) override { if (!p) return E_POINTER; *p = c().size; return S_OK; }
    HRESULT get_Attributes(long* p) override { if (!p) return E_POINTER; *p = c().attributes; return S_OK; }
    HRESULT get_OrdinalPosition(short* p) override { if (!p) return E_POINTER; *p = c().ordinal; return S_OK; }
    HRESULT get_Required(VARIANT_BOOL* p) override { return put_bool(p, c().required); }
    HRESULT get_AllowZeroLength(VARIANT_BOOL* p) override { return put_bool(p, c().allow_zero_length); }
    HRESULT get_DefaultValue(VARIANT* p) override
    {
        if (!p) return E_POINTER;
        to_variant(jet::value(c().default_value), dbText, p);
        return S_OK;
    }
    HRESULT get_ValidationRule(BSTR* p) override { return put_bstr(p, c().validation_rule); }
    HRESULT get_SourceTable(BSTR* p) override { return put_bstr(p, c().source_table); }
    HRESULT get_SourceField(BSTR* p) override { return put_bstr(p, c().source_field); }
    HRESULT get_ForeignName(BSTR* p) override { return put_bstr(p, c().foreign_name); }

private:
    const column_info& c() const { return static_cast<const Derived*>(this)->info(); }
};

// The columns of a table definition.
std::vector<column_info> table_columns(const jet::database& db, const jet::table_def& t,
                                       const jet::complex_columns* complex);

// A new definition field (Value fails with 3219).
_DAOField* make_def_field(ctx_ptr ctx, column_info c);
DAOFields* make_def_fields(ctx_ptr ctx, std::vector<column_info> cols);

// ---------------------------------------------------------------------------
// Rows behind a recordset: a table read in file order, or rows already computed (query results,
// attachment lists). Values are jet values in the column's DAO form.
class row_source {
public:
    virtual ~row_source() = default;
    virtual const std::vector<column_info>& columns() const = 0;
    // Moves to row n (0-based); false when there is none.
    virtual bool seek(long n) = 0;
    // Number of rows (may read the whole source once).
    virtual long count() = 0;
    // Value of column i of the current row, in DAO form, into out.
    virtual void value(std::size_t i, VARIANT* out) = 0;
    // The same into a VARIANT holding an earlier value, which is released or reused.
    virtual void value_into(std::size_t i, VARIANT* inout)
    {
        VariantClear(inout);
        value(i, inout);
    }
    // Whether the text of column i handed over last lost a byte the file holds (stored as UTF-16
    // of odd length).
    virtual bool text_cut_short(std::size_t) const { return false; }
};

// Rows held in memory.
class memory_source : public row_source {
public:
    memory_source(ctx_ptr ctx, std::vector<column_info> cols) : ctx_(std::move(ctx)), cols_(std::move(cols)) {}
    const std::vector<column_info>& columns() const override { return cols_; }
    bool seek(long n) override { cur_ = n; return n >= 0 && static_cast<std::size_t>(n) < rows_.size(); }
    long count() override { return static_cast<long>(rows_.size()); }
    void value(std::size_t i, VARIANT* out) override;
    std::vector<std::vector<jet::value>> rows_;
    // Child recordsets per column, then per row, when a column holds them.
    std::vector<std::vector<std::shared_ptr<memory_source>>> children_;

private:
    ctx_ptr ctx_;
    std::vector<column_info> cols_;
    long cur_ = -1;
};

// The rows of one local table, read forward; moving back restarts the read.
std::unique_ptr<row_source> make_table_source(ctx_ptr ctx, std::shared_ptr<const jet::database> db,
                                              std::shared_ptr<const jet::table_def> t);

// A new recordset over a source. type: dbOpenDynaset ...; name: the table or query text.
DAORecordset* make_recordset(ctx_ptr ctx, std::unique_ptr<row_source> src, short type, std::wstring name);
// The same for a COM out-parameter: a source that cannot be read gives the engine's error.
HRESULT open_recordset(const ctx_ptr& ctx, std::unique_ptr<row_source> src, short type, std::wstring name,
                       DAORecordset** out);
// Turns an exception from the reader or the library into the engine's error.
HRESULT fail_from_exception(engine_ctx& ctx);

// ---------------------------------------------------------------------------
// The open database shared by its objects.
struct db_state {
    ctx_ptr ctx;
    std::shared_ptr<const jet::database> db;
    std::wstring name;     // as given to OpenDatabase
    std::wstring connect;
    bool read_only = true;
    bool closed = false;
    std::vector<jet::saved_query> queries; // read on first use
    bool queries_read = false;
    std::shared_ptr<void> sql; // the SQLite connection that runs SELECT texts, made on first use
    // Databases made by CreateDatabase: the writer that changes the file; after a change the reader
    // is opened again over what was written (sync).
    std::shared_ptr<jet::database_writer> writer;
    bool stale = false;
    const std::vector<jet::saved_query>& saved_queries();
    // Writes pending changes and reopens the reader over them (nothing to do when none are pending).
    void sync();
};
using db_ptr = std::shared_ptr<db_state>;

// Runs a SELECT text (or opens a table or saved query by name) into a row source. On failure returns
// null after setting the engine's error (hr receives the HRESULT).
std::unique_ptr<row_source> run_select(const db_ptr& db, const std::wstring& sql, HRESULT& hr);
// The result columns of a SELECT text without reading its rows.
bool describe_select(const db_ptr& db, const std::wstring& sql, std::vector<column_info>& cols, HRESULT& hr);

DAODatabase* make_database(db_ptr db);

// ---------------------------------------------------------------------------
// Writing: new databases, table definitions, indexes, relations and appended rows.

// Makes a new database file for an engine: the Access 2000 engine class writes Jet4 (.mdb), the ACE
// class the Access 2007 format; the file must not exist (3204). Null with hr set on failure.
DAODatabase* create_database(const ctx_ptr& ctx, const std::wstring& path, const std::wstring& locale, long option,
                             HRESULT& hr);
// New definition objects, appended later to their collections.
_DAOTableDef* make_new_tabledef(ctx_ptr ctx, const std::wstring& name);
_DAORelation* make_new_relation(ctx_ptr ctx, const std::wstring& name, const std::wstring& table,
                                const std::wstring& foreign_table, long attributes);
_DAOIndex* make_new_index(ctx_ptr ctx, const std::wstring& name);
// The collection operations that change a writable database (3251 on a read-only one).
HRESULT append_tabledef(const db_ptr& db, IDispatch* obj);
HRESULT delete_tabledef(const db_ptr& db, const std::wstring& name);
HRESULT append_index(const db_ptr& db, const std::wstring& table, IDispatch* obj);
HRESULT append_relation(const db_ptr& db, IDispatch* obj);
// A recordset that appends rows to a table of a writable database (AddNew, fields, Update).
HRESULT open_append_recordset(const db_ptr& db, const std::wstring& table, DAORecordset** out);
// Whether a writable database holds a table of that name.
bool is_writable_table(const db_ptr& db, const std::wstring& name);
// Opens a database file for an engine (checks generation, password); null with hr set on failure.
DAODatabase* open_database(const ctx_ptr& ctx, const std::wstring& path, const std::wstring& connect,
                           bool read_only, HRESULT& hr);

} // namespace daoimpl

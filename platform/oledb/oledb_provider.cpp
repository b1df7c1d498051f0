// The SQL Server provider classes over ODBC drivers: data sources, sessions and
// commands, the data-initialisation service and the conversion library.
#include "platform/oledb/oledb_impl.h"

#include <cstring>
#include <cwctype>
#include <mutex>

namespace oledb_impl {

std::wstring bracket_name(const std::wstring& name)
{
    std::wstring r = L"[";
    for (wchar_t c : name) {
        r.push_back(c);
        if (c == L']')
            r.push_back(L']');
    }
    return r + L"]";
}

namespace {

bool iequal(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}

// Which drivers a provider class stands for.
enum class provider_kind { microsoft, freetds, any };

std::vector<std::wstring> drivers_for(provider_kind k)
{
    std::vector<std::wstring> out;
    for (const auto& d : odbc::installed_sqlserver_drivers()) {
        bool tds = odbc::is_freetds(d);
        if (k == provider_kind::any || (k == provider_kind::freetds) == tds)
            out.push_back(d);
    }
    return out;
}

std::wstring variant_text(const VARIANT& v)
{
    if (v.vt == VT_BSTR && v.bstrVal)
        return std::wstring(v.bstrVal, SysStringLen(v.bstrVal));
    return {};
}

class command;

// True for a well-formed bracketed name of one or more parts ([a].[b]); such a
// name is used as written, anything else is bracketed as one identifier.
bool is_bracketed_name(const std::wstring& s)
{
    std::size_t i = 0;
    if (s.empty())
        return false;
    for (;;) {
        if (i >= s.size() || s[i] != L'[')
            return false;
        ++i;
        bool closed = false;
        while (i < s.size()) {
            if (s[i] == L']') {
                if (i + 1 < s.size() && s[i + 1] == L']') {
                    i += 2;
                    continue;
                }
                ++i;
                closed = true;
                break;
            }
            ++i;
        }
        if (!closed)
            return false;
        if (i == s.size())
            return true;
        if (s[i] != L'.')
            return false;
        ++i;
    }
}

// The session: statements, catalogue rowsets and table rowsets on the data
// source's connection.
class session : public com_object<IOpenRowset, IDBCreateCommand, IDBSchemaRowset, IOdbcConnection> {
public:
    explicit session(std::shared_ptr<source_state> st) : state_(std::move(st)) {}

    HRESULT CreateCommand(IUnknown* outer, REFIID riid, IUnknown** out) override;

    HRESULT OpenRowset(IUnknown* outer, DBID* table, DBID* index, REFIID riid, ULONG, DBPROPSET[],
                       IUnknown** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!table || !table->pwszName || index)
            return E_INVALIDARG;
        std::wstring name = table->pwszName;
        std::wstring quoted = is_bracketed_name(name) ? name : bracket_name(name);
        std::wstring sql = L"SELECT * FROM " + quoted;
        try {
            state_->conn->claim(nullptr);
            auto stmt = std::make_unique<odbc::statement>(*state_->conn);
            if (!stmt->execute(sql))
                return report(DB_E_NOTABLE, L"The table has no columns.", state_->source);
            return make_statement_rowset(state_, std::move(stmt), sql, riid, out);
        } catch (const odbc::error& e) {
            return report(e, state_->source);
        }
    }

    HRESULT GetRowset(IUnknown* outer, REFGUID schema, ULONG n, const VARIANT r[], REFIID riid, ULONG, DBPROPSET[],
                      IUnknown** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        std::vector<std::wstring> texts(n);
        std::vector<const std::wstring*> ptrs(n, nullptr);
        for (ULONG i = 0; i < n; ++i) {
            if (r[i].vt == VT_BSTR) {
                texts[i] = variant_text(r[i]);
                ptrs[i] = &texts[i];
            } else if (r[i].vt != VT_EMPTY) {
                return report(E_INVALIDARG, L"A schema restriction must be text.", state_->source);
            }
        }
        try {
            std::vector<odbc::column_desc> cols;
            std::vector<odbc::row> rows;
            schema_rows(*state_->conn, schema, ptrs, cols, rows);
            return make_memory_rowset(std::move(cols), std::move(rows), riid, out);
        } catch (const odbc::error& e) {
            return report(e, state_->source);
        }
    }

    odbc::connection* Connection() override { return state_->conn.get(); }
    bool FastLoadEnabled() override { return state_->fast_load; }

    const std::shared_ptr<source_state>& state() const { return state_; }

private:
    std::shared_ptr<source_state> state_;
};

// One command object: a text, its parameter accessors and its execution. Parameters are long
// values bound by reference (DBTYPE_WSTR or DBTYPE_BYTES with DBTYPE_BYREF, the length in bytes),
// sent to the driver in pieces from where the caller holds them.
class command : public com_object<ICommandText, IAccessor> {
public:
    explicit command(std::shared_ptr<source_state> st) : state_(std::move(st)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && IsEqualIID(riid, IID_ICommand)) {
            *ppv = static_cast<ICommand*>(static_cast<ICommandText*>(this));
            AddRef();
            return S_OK;
        }
        return com_object<ICommandText, IAccessor>::QueryInterface(riid, ppv);
    }

    HRESULT SetCommandText(REFGUID, LPCOLESTR text) override
    {
        text_ = text ? std::wstring(text) : std::wstring();
        has_text_ = text != nullptr;
        return S_OK;
    }

    HRESULT CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM n, const DBBINDING b[], DBLENGTH, HACCESSOR* h,
                           DBBINDSTATUS status[]) override
    {
        if (!h || (n && !b) || !(flags & DBACCESSOR_PARAMETERDATA))
            return E_INVALIDARG;
        *h = DB_NULL_HACCESSOR;
        bool bad = false;
        for (DBCOUNTITEM i = 0; i < n; ++i) {
            const DBTYPE t = b[i].wType;
            const bool ordinal_ok = b[i].iOrdinal == i + 1;
            const bool type_ok = (t == (DBTYPE_WSTR | DBTYPE_BYREF) || t == (DBTYPE_BYTES | DBTYPE_BYREF)) &&
                                 (b[i].dwPart & DBPART_VALUE) && (b[i].dwPart & DBPART_LENGTH);
            if (status)
                status[i] = !ordinal_ok ? DBBINDSTATUS_BADORDINAL
                                        : type_ok ? DBBINDSTATUS_OK : DBBINDSTATUS_UNSUPPORTEDCONVERSION;
            bad = bad || !ordinal_ok || !type_ok;
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

    HRESULT Execute(IUnknown* outer, REFIID riid, DBPARAMS* params, DBROWCOUNT* affected, IUnknown** out) override
    {
        if (out)
            *out = nullptr;
        if (affected)
            *affected = -1;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!has_text_)
            return report(DB_E_NOCOMMAND, L"No command text was set.", state_->source);
        std::vector<odbc::long_param> values;
        if (params && !read_params(*params, values))
            return report(DB_E_BADACCESSORHANDLE, L"The parameter values do not match an accessor.", state_->source);
        try {
            state_->conn->claim(nullptr);
            auto stmt = std::make_unique<odbc::statement>(*state_->conn);
            if (params) {
                if (out && !IsEqualIID(riid, IID_NULL))
                    return report(DB_E_NOTSUPPORTED, L"A command with parameters gives no rowset.",
                                  state_->source);
                stmt->execute_streamed(text_, values);
                return S_OK;
            }
            if (!out || IsEqualIID(riid, IID_NULL)) {
                // Every result of the batch is drained so that a failing later
                // statement is reported.
                stmt->execute_all(text_);
                return S_OK;
            }
            if (!stmt->execute(text_))
                return S_OK;   // no result set: no rowset
            return make_statement_rowset(state_, std::move(stmt), text_, riid, out);
        } catch (const odbc::error& e) {
            return report(e, state_->source);
        }
    }

private:
    // The values of one parameter set as its accessor describes them; false for an unknown accessor.
    bool read_params(const DBPARAMS& params, std::vector<odbc::long_param>& values) const
    {
        const HACCESSOR h = params.hAccessor;
        const std::vector<DBBINDING>* bindings = accessors_.find(h);
        if (!bindings || params.cParamSets != 1 || !params.pData)
            return false;
        const auto* row = static_cast<const unsigned char*>(params.pData);
        for (const DBBINDING& b : *bindings) {
            odbc::long_param p;
            DBSTATUS status = DBSTATUS_S_OK;
            if (b.dwPart & DBPART_STATUS)
                std::memcpy(&status, row + b.obStatus, sizeof status);
            DBLENGTH length = 0;
            std::memcpy(&length, row + b.obLength, sizeof length);
            const void* data = nullptr;
            std::memcpy(&data, row + b.obValue, sizeof data);
            p.null = status == DBSTATUS_S_ISNULL;
            if (b.wType == (DBTYPE_WSTR | DBTYPE_BYREF)) {
                p.text = static_cast<const wchar_t*>(data);
                p.size = length / sizeof(wchar_t);
            } else {
                p.bytes = static_cast<const unsigned char*>(data);
                p.size = length;
            }
            if (!p.null && p.size && !data)
                return false;
            values.push_back(p);
        }
        return true;
    }

    std::shared_ptr<source_state> state_;
    std::wstring text_;
    bool has_text_ = false;
    accessor_table accessors_;
};

HRESULT session::CreateCommand(IUnknown* outer, REFIID riid, IUnknown** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* c = new command(state_);
    HRESULT hr = c->QueryInterface(riid, reinterpret_cast<void**>(out));
    c->Release();
    return hr;
}

// The data source: its initialisation properties and the one connection.
class data_source : public com_object<IDBInitialize, IDBProperties, IDBCreateSession, IOdbcConnection> {
public:
    explicit data_source(provider_kind k) : kind_(k), state_(std::make_shared<source_state>()) {}

    void set_login(const odbc::login& l, bool integrated)
    {
        login_ = l;
        integrated_ = integrated;
    }

    HRESULT SetProperties(ULONG n, DBPROPSET sets[]) override
    {
        if (n && !sets)
            return E_INVALIDARG;
        ULONG total = 0, failed = 0;
        for (ULONG s = 0; s < n; ++s) {
            DBPROPSET& set = sets[s];
            for (ULONG i = 0; i < set.cProperties; ++i) {
                DBPROP& p = set.rgProperties[i];
                ++total;
                p.dwStatus = apply(set.guidPropertySet, p);
                if (p.dwStatus != DBPROPSTATUS_OK)
                    ++failed;
            }
        }
        if (failed == 0)
            return S_OK;
        HRESULT hr = failed == total ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
        if (failed == total)
            report(hr, L"A property could not be set.", state_->source);
        return hr;
    }

    HRESULT Initialize() override
    {
        if (state_->conn)
            return DB_E_ALREADYINITIALIZED;
        odbc::login l = login_;
        if (integrated_) {
            // Integrated security never reuses a login given earlier.
            l.user.clear();
            l.password.clear();
        }
        std::vector<std::wstring> drivers;
        if (odbc::own_connection_text(l.server))
            drivers.push_back(std::wstring());
        else
            drivers = drivers_for(kind_);
        if (drivers.empty())
            return report(E_FAIL, L"No ODBC driver for SQL Server is installed.", state_->source);
        auto conn = std::make_shared<odbc::connection>();
        for (std::size_t i = 0; i < drivers.size(); ++i) {
            try {
                conn->open(drivers[i], l, 15, true);
                state_->conn = conn;
                std::wstring name = conn->driver_name();
                state_->source = drivers[i].empty() ? (name.empty() ? state_->source : name) : drivers[i];
                return S_OK;
            } catch (const odbc::error& e) {
                // Only a driver that cannot be loaded gives way to the next one.
                if (odbc::driver_missing(e) && i + 1 < drivers.size())
                    continue;
                return report(e, drivers[i].empty() ? state_->source : drivers[i]);
            }
        }
        return E_FAIL;
    }

    HRESULT Uninitialize() override
    {
        state_ = std::make_shared<source_state>();
        return S_OK;
    }

    HRESULT CreateSession(IUnknown* outer, REFIID riid, IUnknown** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!state_->conn)
            return report(E_UNEXPECTED, L"The data source is not initialized.", state_->source);
        auto* s = new session(state_);
        HRESULT hr = s->QueryInterface(riid, reinterpret_cast<void**>(out));
        s->Release();
        return hr;
    }

    odbc::connection* Connection() override { return state_->conn.get(); }
    bool FastLoadEnabled() override { return state_->fast_load; }

private:
    DBPROPSTATUS apply(const GUID& set, const DBPROP& p)
    {
        if (IsEqualGUID(set, DBPROPSET_SQLSERVERDATASOURCE)) {
            if (p.dwPropertyID != SSPROP_ENABLEFASTLOAD)
                return DBPROPSTATUS_NOTSUPPORTED;
            if (p.vValue.vt != VT_BOOL)
                return DBPROPSTATUS_BADVALUE;
            state_->fast_load = p.vValue.boolVal != 0;
            return DBPROPSTATUS_OK;
        }
        if (!IsEqualGUID(set, DBPROPSET_DBINIT))
            return DBPROPSTATUS_NOTSUPPORTED;
        if (state_->conn)
            return DBPROPSTATUS_NOTSETTABLE;
        if (p.vValue.vt != VT_BSTR && p.vValue.vt != VT_EMPTY)
            return DBPROPSTATUS_BADVALUE;
        std::wstring v = variant_text(p.vValue);
        switch (p.dwPropertyID) {
        case DBPROP_INIT_DATASOURCE: login_.server = v; break;
        case DBPROP_AUTH_USERID: login_.user = v; integrated_ = false; break;
        case DBPROP_AUTH_PASSWORD: login_.password = v; break;
        case DBPROP_AUTH_INTEGRATED: integrated_ = !v.empty(); break;
        case DBPROP_INIT_CATALOG: login_.database = v; break;
        default: return DBPROPSTATUS_NOTSUPPORTED;
        }
        return DBPROPSTATUS_OK;
    }

    provider_kind kind_;
    std::shared_ptr<source_state> state_;
    odbc::login login_;
    bool integrated_ = false;
};

// Splits an OLE DB initialisation string into its key/value pairs; values may
// be quoted with ' or " (the quote doubled inside).
std::vector<std::pair<std::wstring, std::wstring>> parse_init_string(const std::wstring& s)
{
    std::vector<std::pair<std::wstring, std::wstring>> out;
    std::size_t i = 0;
    auto trim = [](std::wstring t) {
        while (!t.empty() && std::iswspace(t.front())) t.erase(0, 1);
        while (!t.empty() && std::iswspace(t.back())) t.pop_back();
        return t;
    };
    while (i < s.size()) {
        std::size_t eq = s.find(L'=', i);
        if (eq == std::wstring::npos)
            break;
        std::wstring key = trim(s.substr(i, eq - i));
        std::size_t j = eq + 1;
        while (j < s.size() && s[j] == L' ')
            ++j;
        std::wstring value;
        if (j < s.size() && (s[j] == L'"' || s[j] == L'\'')) {
            wchar_t q = s[j++];
            while (j < s.size()) {
                if (s[j] == q) {
                    if (j + 1 < s.size() && s[j + 1] == q) { value.push_back(q); j += 2; continue; }
                    ++j;
                    break;
                }
                value.push_back(s[j++]);
            }
            std::size_t semi = s.find(L';', j);
            i = semi == std::wstring::npos ? s.size() : semi + 1;
        } else {
            std::size_t semi = s.find(L';', j);
            if (semi == std::wstring::npos)
                semi = s.size();
            value = trim(s.substr(j, semi - j));
            i = semi + 1;
        }
        if (!key.empty())
            out.emplace_back(key, value);
    }
    return out;
}

class data_initialize : public com_object<IDataInitialize> {
public:
    HRESULT GetDataSource(IUnknown* outer, std::uint32_t, LPCOLESTR init, REFIID riid, IUnknown** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        odbc::login l;
        bool integrated = false;
        for (const auto& [k, v] : parse_init_string(init ? init : L"")) {
            if (iequal(k, L"Data Source") || iequal(k, L"Server") || iequal(k, L"Address"))
                l.server = v;
            else if (iequal(k, L"Initial Catalog") || iequal(k, L"Database"))
                l.database = v;
            else if (iequal(k, L"User Id") || iequal(k, L"UID") || iequal(k, L"User"))
                l.user = v;
            else if (iequal(k, L"Password") || iequal(k, L"PWD"))
                l.password = v;
            else if (iequal(k, L"Integrated Security") || iequal(k, L"Trusted_Connection"))
                integrated = !v.empty() && !iequal(v, L"false") && !iequal(v, L"no");
        }
        auto* ds = new data_source(provider_kind::any);
        ds->set_login(l, integrated || l.user.empty());
        HRESULT hr = ds->QueryInterface(riid, reinterpret_cast<void**>(out));
        ds->Release();
        return hr;
    }
};

class data_convert : public com_object<IDataConvert> {};

com_class_factory provider_factory(provider_kind k)
{
    return [k](REFIID riid, void** ppv) -> HRESULT {
        if (ppv)
            *ppv = nullptr;
        if (drivers_for(k).empty())
            return REGDB_E_CLASSNOTREG;
        auto* ds = new data_source(k);
        HRESULT hr = ds->QueryInterface(riid, ppv);
        ds->Release();
        return hr;
    };
}

} // namespace
} // namespace oledb_impl

void OleDbRegisterProviders()
{
    using namespace oledb_impl;
    static std::once_flag once;
    std::call_once(once, [] {
        com_register_class(CLSID_SQLNCLI11, provider_factory(provider_kind::microsoft), L"SQLNCLI11");
        com_register_class(CLSID_SQLNCLI10, provider_factory(provider_kind::freetds), L"SQLNCLI10");
        com_register_class(
            CLSID_MSDAINITIALIZE,
            [](REFIID riid, void** ppv) -> HRESULT {
                if (ppv)
                    *ppv = nullptr;
                if (drivers_for(provider_kind::any).empty())
                    return REGDB_E_CLASSNOTREG;
                auto* o = new data_initialize();
                HRESULT hr = o->QueryInterface(riid, ppv);
                o->Release();
                return hr;
            },
            L"MSDAINITIALIZE");
        com_register_class_of<data_convert>(CLSID_OLEDB_CONVERSIONLIBRARY);
    });
}

int OleDbCancelPendingCommands(bool drop_connections) noexcept
{
    const int asked = odbc::cancel_statements();
    if (drop_connections)
        odbc::drop_server_connections();
    return asked;
}

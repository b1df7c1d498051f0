#include "MSS/odb_recs.h"

#include <cstddef>

#include "MSS/odb_exce.h"
#include "MSS/odb_rec.h"
#include "TK/tk_log.h"

namespace {
[[noreturn]] void fail(HRESULT hr)
{
    tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
    throw odb_exception(hr, 1);
}
} // namespace

// ---------------------------------------------------------------- odb_command

odb_command::odb_command(IUnknown* data_source)
{
    tk_log_write(1, "odb_command::ctor(2)");
    if (!data_source)
        TK_MAIL_ASSERT();
    ole_com_ptr<IDBCreateSession> create;
    HRESULT hr = data_source->QueryInterface(IID_IDBCreateSession, reinterpret_cast<void**>(&create));
    if (FAILED(hr))
        fail(hr);
    hr = create->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&session));
    if (FAILED(hr))
        fail(hr);
    create_command();
}

odb_command::odb_command(IOpenRowset* s)
{
    tk_log_write(1, "odb_command::ctor(1)");
    if (!s)
        TK_MAIL_ASSERT();
    s->AddRef();
    *&session = s;
    create_command();
}

void odb_command::create_command()
{
    ole_com_ptr<IDBCreateCommand> create;
    HRESULT hr = session->QueryInterface(IID_IDBCreateCommand, reinterpret_cast<void**>(&create));
    if (FAILED(hr))
        fail(hr);
    ole_com_ptr<ICommand> command;
    hr = create->CreateCommand(nullptr, IID_ICommand, reinterpret_cast<IUnknown**>(&command));
    if (FAILED(hr))
        fail(hr);
    hr = command->QueryInterface(IID_ICommandText, reinterpret_cast<void**>(&command_text));
    if (FAILED(hr))
        fail(hr);
}

void odb_command::execute(const std::wstring& sql, IRowset** result)
{
    tk_log_write_w(2, L"odb_command::execute(%s)", sql.c_str());
    HRESULT hr = command_text->SetCommandText(DBGUID_DBSQL, sql.c_str());
    if (FAILED(hr))
        fail(hr);
    tk_log_write(2, "Step #1, dest=%08X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(result)));
    if (result)
        *result = nullptr;
    hr = command_text->Execute(nullptr, result ? IID_IRowset : IID_NULL, nullptr, nullptr,
                               reinterpret_cast<IUnknown**>(result));
    if (FAILED(hr))
        fail(hr);
    tk_log_write(2, "Step #2");
}

void odb_command::execute(const std::wstring& sql, const std::vector<odb_long_value>& values)
{
    tk_log_write(2, "odb_command::execute with %d long values", static_cast<int>(values.size()));
    HRESULT hr = command_text->SetCommandText(DBGUID_DBSQL, sql.c_str());
    if (FAILED(hr))
        fail(hr);
    // One parameter set: for each value its address, its length in bytes and its status.
    struct slot {
        const void* data;
        DBLENGTH length;
        DBSTATUS status;
    };
    std::vector<slot> row(values.size());
    std::vector<DBBINDING> bindings(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const odb_long_value& v = values[i];
        row[i].data = v.text ? static_cast<const void*>(v.text) : static_cast<const void*>(v.bytes);
        row[i].length = v.text ? v.size * sizeof(wchar_t) : v.size;
        row[i].status = DBSTATUS_S_OK;
        DBBINDING& b = bindings[i];
        b = DBBINDING{};
        b.iOrdinal = i + 1;
        b.obValue = i * sizeof(slot) + offsetof(slot, data);
        b.obLength = i * sizeof(slot) + offsetof(slot, length);
        b.obStatus = i * sizeof(slot) + offsetof(slot, status);
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
        b.eParamIO = DBPARAMIO_INPUT;
        b.cbMaxLen = sizeof(void*);
        b.wType = static_cast<DBTYPE>((v.text ? DBTYPE_WSTR : DBTYPE_BYTES) | DBTYPE_BYREF);
    }
    ole_com_ptr<IAccessor> accessor;
    hr = command_text->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&accessor));
    if (FAILED(hr))
        fail(hr);
    HACCESSOR handle = DB_NULL_HACCESSOR;
    hr = accessor->CreateAccessor(DBACCESSOR_PARAMETERDATA, bindings.size(), bindings.data(),
                                  row.size() * sizeof(slot), &handle, nullptr);
    if (FAILED(hr))
        fail(hr);
    DBPARAMS params{row.data(), 1, handle};
    hr = command_text->Execute(nullptr, IID_NULL, &params, nullptr, nullptr);
    accessor->ReleaseAccessor(handle, nullptr);
    if (FAILED(hr))
        fail(hr);
}

// ---------------------------------------------------------------- odb_recordset

odb_recordset::odb_recordset(const std::wstring& name) : udb_recordset(name) {}

odb_recordset::odb_recordset(IRowset* rs) : udb_recordset(std::wstring())
{
    if (rs)
        rs->AddRef();
    *&rowset = rs;
    tk_log_write(1, "odb_recordset::ctor");
    try {
        initialize(true);
    } catch (...) {
        // The destructor does not run for a failed constructor.
        clean_cache();
        CoTaskMemFree(column_info);
        CoTaskMemFree(column_strings);
        column_info = nullptr;
        column_strings = nullptr;
        accessor.clean_everything();
        throw;
    }
}

odb_recordset::~odb_recordset()
{
    tk_log_write(1, "odb_recordset::dtor");
    clean_cache();
    CoTaskMemFree(column_info);
    CoTaskMemFree(column_strings);
    column_info = nullptr;
    column_strings = nullptr;
    tk_log_write(1, "odb_recordset::dtor - END");
    // The accessor goes before the rowset it was made on.
    accessor.clean_everything();
    rowset.reset();
}

void odb_recordset::initialize(bool with_schema)
{
    tk_log_write(1, "odb_recordset::initialize");
    if (!rowset) {
        tk_log_write(2, "Rowset isn't defined");
        return;
    }
    ole_com_ptr<IColumnsInfo> info;
    HRESULT hr = rowset->QueryInterface(IID_IColumnsInfo, reinterpret_cast<void**>(&info));
    if (FAILED(hr))
        fail(hr);
    CoTaskMemFree(column_info);
    CoTaskMemFree(column_strings);
    column_info = nullptr;
    column_strings = nullptr;
    hr = info->GetColumnInfo(&n_cols, &column_info, &column_strings);
    if (FAILED(hr))
        fail(hr);
    tk_log_write(1, "*** Got %d columns ***", static_cast<int>(n_cols));
    if (with_schema) {
        schema.reset();
        for (DBORDINAL i = 0; i < n_cols; ++i) {
            const DBCOLUMNINFO& c = column_info[i];
            std::wstring name = c.pwszName ? c.pwszName : L"";
            tk_log_write_w(2, L"Column '%s' (#%d) has type=%d, size=%d", name.c_str(), static_cast<int>(i),
                           static_cast<int>(c.wType), static_cast<int>(c.ulColumnSize));
            std::int32_t reserved = 0;
            VARTYPE vt = odb_record::get_vartype(c.wType, c.ulColumnSize, c.dwFlags, &reserved);
            std::uint64_t size = c.ulColumnSize;
            if (c.wType == DBTYPE_BYTES)
                size *= 2;
            if (c.wType == DBTYPE_GUID) {
                tk_log_write(2, "Update column size for DBTYPE_GUID");
                size = 36;
            }
            tk_log_write(2, "f_size=%d", static_cast<int>(size));
            if (vt == VT_DATE)
                reserved = 1;
            if (vt == VT_BSTR && c.wType == DBTYPE_GUID) {
                tk_log_write(2, "Set dw_reserved = 1 for DBTYPE_GUID");
                reserved = 1;
            }
            tk_log_write(1, ">>> reserved=%d", static_cast<int>(reserved));
            if (vt == VT_BLOB || vt == (VT_ARRAY | VT_UI1))
                size = 0;
            auto* ftd = new t_ftd(static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 0xFFFFFFFFu)), name, vt,
                                  (c.dwFlags & DBCOLUMNFLAGS_ISNULLABLE) == 0, false, ole_variant(), reserved);
            if (vt == VT_DECIMAL) {
                tk_log_write_w(2, L"Scale/precision for decimal column '%s': (%d, %d)", name.c_str(),
                               static_cast<int>(c.bScale), static_cast<int>(c.bPrecision));
                ftd->precision = c.bPrecision;
                ftd->scale = c.bScale;
            } else if (vt == VT_DATE) {
                tk_log_write_w(2, L"Scale for date column '%s': %d", name.c_str(), static_cast<int>(c.bScale));
                ftd->precision = 0;
                ftd->scale = c.bScale;
            }
            schema.push_back(ftd);
        }
    }
    clean_cache();
    accessor.bind(rowset.get(), n_cols, column_info);
}

void odb_recordset::append_record(udb_record&)
{
    throw tk_mail_assertion("odb_recs", 55);
}

odb_record* odb_recordset::get_item()
{
    tk_log_write(1, "odb_recordset::get_item(local_pos=%d, rows_obtaind=%d)", static_cast<int>(local_pos),
                 static_cast<int>(rows_obtaind));
    if (local_pos >= rows_obtaind)
        throw tk_mail_assertion("..\\MSS/odb_recs", 82);
    return cache[local_pos];
}

bool odb_recordset::is_eof()
{
    tk_log_write(1, "odb_recordset::is_eof(%d)", static_cast<int>(cur_pos));
    tk_log_write(1, "rows_obtaind=%d", static_cast<int>(rows_obtaind));
    return !rowset || rows_obtaind == 0;
}

void odb_recordset::fill_cache()
{
    tk_log_write(1, "odb_recordset::fill_cache");
    if (!rowset)
        throw tk_mail_assertion("odb_recs", 185);
    HROW handles[cache_size];
    HROW* p = handles;
    DBCOUNTITEM got = 0;
    HRESULT hr = rowset->GetNextRows(DB_NULL_HCHAPTER, 0, cache_size, &got, &p);
    if (FAILED(hr))
        fail(hr);
    tk_log_write(1, "GetNextRows extracts %d records", static_cast<int>(got));
    try {
        for (DBCOUNTITEM i = 0; i < got; ++i) {
            cache[i] = accessor.get_record(rowset.get(), handles[i]);
            rows_obtaind = static_cast<std::uint32_t>(i + 1);
        }
    } catch (...) {
        rowset->ReleaseRows(got, handles, nullptr, nullptr, nullptr);
        throw;
    }
    rows_obtaind = static_cast<std::uint32_t>(got);
    if (got) {
        hr = rowset->ReleaseRows(got, handles, nullptr, nullptr, nullptr);
        if (FAILED(hr))
            fail(hr);
    }
    tk_log_write(1, "End of odb_recordset::fill_cache");
}

void odb_recordset::clean_cache()
{
    tk_log_write(1, "odb_recordset::clean_cache(rows_obtaind=%d)", static_cast<int>(rows_obtaind));
    for (std::uint32_t i = 0; i < rows_obtaind && i < cache_size; ++i) {
        delete cache[i];
        cache[i] = nullptr;
    }
    rows_obtaind = 0;
    tk_log_write(1, "odb_recordset::clean_cache - END");
}

void odb_recordset::next()
{
    tk_log_write(1, "odb_recordset::next(%d)", static_cast<int>(cur_pos));
    tk_log_write(1, "local_pos=%d, rows_obtaind=%d", static_cast<int>(local_pos), static_cast<int>(rows_obtaind));
    if (!cache[0])
        throw tk_mail_assertion("odb_recs", 215);
    if (rows_obtaind > 0 && local_pos < rows_obtaind - 1) {
        ++local_pos;
    } else {
        clean_cache();
        fill_cache();
        local_pos = 0;
    }
    ++cur_pos;
}

void odb_recordset::prev() {}

void odb_recordset::reset()
{
    tk_log_write(1, "odb_recordset::reset");
    if (!rowset)
        return;
    tk_log_write(1, "cur_pos=%d, local_pos=%d", static_cast<int>(cur_pos), static_cast<int>(local_pos));
    HRESULT hr = rowset->RestartPosition(DB_NULL_HCHAPTER);
    if (FAILED(hr))
        fail(hr);
    clean_cache();
    cur_pos = 0;
    local_pos = 0;
    fill_cache();
}

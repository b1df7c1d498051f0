#include "MSS/mss_floa.h"

#include <cstring>

#include "MSS/mss_engi.h"
#include "MSS/mss_report.h"
#include "MSS/mss_util.h"
#include "MSS/odb_exce.h"
#include "TK/tk_log.h"

// ---------------------------------------------------------------- mss_fl_failed_exception

mss_fl_failed_exception::mss_fl_failed_exception() : tk_exception(1) {}

// ---------------------------------------------------------------- CSeqStream

CSeqStream::~CSeqStream()
{
    CoTaskMemFree(buffer);
}

HRESULT CSeqStream::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream)) {
        *ppv = static_cast<ISequentialStream*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG CSeqStream::AddRef()
{
    return ++refs;
}

ULONG CSeqStream::Release()
{
    if (--refs == 0) {
        delete this;
        return 0;
    }
    return refs;
}

HRESULT CSeqStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    if (pcbRead)
        *pcbRead = 0;
    if (!pv)
        return STG_E_INVALIDPOINTER;
    if (cb == 0)
        return S_OK;
    if (position >= length)
        return S_FALSE;
    ULONG n = std::min(length - position, cb);
    std::memcpy(pv, buffer + position, n);
    position += n;
    if (pcbRead)
        *pcbRead = n;
    return n < cb ? S_FALSE : S_OK;
}

HRESULT CSeqStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
{
    if (!pv)
        return STG_E_INVALIDPOINTER;
    if (pcbWritten)
        *pcbWritten = 0;
    if (cb == 0)
        return S_OK;
    // The bytes go at the read position; the stream never shrinks.
    ULONG end = position + cb;
    if (end < position)
        return E_OUTOFMEMORY;
    ULONG new_length = std::max(length + cb, end);
    void* grown = CoTaskMemRealloc(buffer, new_length);
    if (!grown)
        return E_OUTOFMEMORY;
    buffer = static_cast<unsigned char*>(grown);
    if (position > length)
        std::memset(buffer + length, 0, position - length);
    std::memcpy(buffer + position, pv, cb);
    length = new_length;
    if (pcbWritten)
        *pcbWritten = cb;
    return S_OK;
}

bool CSeqStream::Seek(ULONG pos)
{
    position = pos;
    return true;
}

bool CSeqStream::Clear()
{
    CoTaskMemFree(buffer);
    buffer = nullptr;
    length = 0;
    position = 0;
    return true;
}

bool CSeqStream::Compare(const void* other) const
{
    if (length == 0)
        return true;
    return other && std::memcmp(buffer, other, length) == 0;
}

// ---------------------------------------------------------------- CDynamicAccessorEx

namespace {

constexpr DBLENGTH align(DBLENGTH offset, DBLENGTH to)
{
    return (offset + to - 1) / to * to;
}

// Bytes of a fixed-size value; 0 for types whose size the column gives.
DBLENGTH fixed_size(DBTYPE type)
{
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1:
        return 1;
    case DBTYPE_I2:
    case DBTYPE_UI2:
    case DBTYPE_BOOL:
        return 2;
    case DBTYPE_I4:
    case DBTYPE_UI4:
    case DBTYPE_R4:
        return 4;
    case DBTYPE_I8:
    case DBTYPE_UI8:
    case DBTYPE_R8:
    case DBTYPE_CY:
    case DBTYPE_DATE:
    case DBTYPE_IUNKNOWN:
        return 8;
    case DBTYPE_DBDATE:
        return sizeof(DBDATE);
    case DBTYPE_DBTIME2:
        return sizeof(DBTIME2);
    case DBTYPE_DBTIMESTAMP:
        return sizeof(DBTIMESTAMP);
    case DBTYPE_NUMERIC:
        return sizeof(DB_NUMERIC);
    case DBTYPE_GUID:
        return 16;
    default:
        return 0;
    }
}

} // namespace

CDynamicAccessorEx::CDynamicAccessorEx()
{
    tk_log_write(2, "CDynamicAccessorEx::ctor");
}

CDynamicAccessorEx::~CDynamicAccessorEx()
{
    FreeRecordMemory();
    CoTaskMemFree(column_info);
    CoTaskMemFree(column_strings);
}

void CDynamicAccessorEx::Bind(DBORDINAL ordinal, DBTYPE type, DBLENGTH length, std::uint8_t precision,
                              std::uint8_t scale, DBBYTEOFFSET value, DBBYTEOFFSET length_offset,
                              DBBYTEOFFSET status_offset, DBOBJECT* object)
{
    tk_log_write(1, "CDynamicAccessorEx::Bind");
    tk_log_write(1, "nOrdinal=%d, wType=%d, nLength=%d, nPrecision=%d, nScale=%d, nDataOffset=%d",
                 static_cast<int>(ordinal), static_cast<int>(type), static_cast<int>(length),
                 static_cast<int>(precision), static_cast<int>(scale), static_cast<int>(value));
    DBBINDING b{};
    b.iOrdinal = ordinal;
    b.obValue = value;
    b.obLength = length_offset;
    b.obStatus = status_offset;
    b.pObject = object;
    b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
    tk_log_write(1, "Activate DBPART_LENGTH");
    tk_log_write(1, "Activate DBPART_STATUS");
    b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
    b.eParamIO = DBPARAMIO_NOTPARAM;
    b.cbMaxLen = length;
    b.wType = type;
    b.bPrecision = precision;
    b.bScale = scale;
    bindings.push_back(b);
}

namespace {

// On SQL Server 2008 and later a date column is bound as the kind its values are: date-time with
// milliseconds, a pure date or a pure time.
void adjust_date_column(DBCOLUMNINFO& c, const t_ftd& ftd)
{
    tk_log_write(1, "Adjusting date/time columns (schema[i]->dw_reserved=%d)", static_cast<int>(ftd.dw_reserved));
    tk_log_write(2, "ulColumnSize=%d", static_cast<int>(c.ulColumnSize));
    tk_log_write(2, "m_pColumnInfo[i].wType=%d", static_cast<int>(c.wType));
    switch (ftd.dw_reserved & 3) {
    case 1:
        tk_log_write(2, "Got DATETIME, bPrecision=%d", static_cast<int>(c.bPrecision));
        c.bScale = 3;
        break;
    case 2:
        tk_log_write(2, "Got pure DATE");
        c.wType = DBTYPE_DBDATE;
        c.ulColumnSize = 6;
        c.bPrecision = 0;
        c.bScale = 0;
        c.dwFlags = 0;
        break;
    case 3:
        tk_log_write(2, "Got pure TIME");
        c.wType = DBTYPE_DBTIME2;
        c.ulColumnSize = 12;
        c.bPrecision = 0;
        c.bScale = 4;
        c.dwFlags = 0;
        break;
    default:
        break;
    }
}

} // namespace

HRESULT CDynamicAccessorEx::BindColumns(IUnknown* rowset, const udb_schema& schema)
{
    tk_log_write(2, "CDynamicAccessorEx::BindColumns");
    if (!rowset)
        return E_INVALIDARG;
    ole_com_ptr<IColumnsInfo> info;
    HRESULT hr = rowset->QueryInterface(IID_IColumnsInfo, reinterpret_cast<void**>(&info));
    if (FAILED(hr))
        return hr;
    CoTaskMemFree(column_info);
    CoTaskMemFree(column_strings);
    column_info = nullptr;
    column_strings = nullptr;
    hr = info->GetColumnInfo(&column_count, &column_info, &column_strings);
    if (FAILED(hr))
        return hr;
    bindings.clear();
    objects.assign(column_count, DBOBJECT{});
    as_stream.assign(column_count, false);
    const auto flags = mss_get_engine_flags();
    mss_engine& engine = mss_engine::ref();
    bool streams_tested = false;
    DBLENGTH offset = 0;
    for (DBORDINAL i = 0; i < column_count; ++i) {
        DBCOLUMNINFO& c = column_info[i];
        const t_ftd* ftd = i < schema.size() ? schema[i] : nullptr;
        if (ftd && ftd->vartype == VT_DATE && engine.is_connected() && engine.is_native() && flags.version >= 5)
            adjust_date_column(c, *ftd);
        DBTYPE type = c.wType;
        DBLENGTH size = c.ulColumnSize;
        DBOBJECT* object = nullptr;
        if ((size > max_inline && type != DBTYPE_IUNKNOWN) || type == DBTYPE_IUNKNOWN) {
            if (type != DBTYPE_IUNKNOWN) {
                tk_log_write(2, "Binding BLOB (column #%d)", static_cast<int>(i));
                tk_log_write(2, "m_eBlobHandling == DBBLOBHANDLING_DEFAULT");
                if (!streams_tested) {
                    tk_log_write(2, "Testing streams support... ");
                    tk_log_write(2, "ISequentialStream is supported");
                    streams_tested = true;
                }
                tk_log_write(1, "%d. Column ordinal %d: Binding as an ISequentialStream object", static_cast<int>(i),
                             static_cast<int>(c.iOrdinal));
            } else {
                tk_log_write(1, "m_pColumnInfo[i].wType == DBTYPE_IUNKNOWN");
                tk_log_write(1, "%d. Column ordinal %d: Binding a COM object", static_cast<int>(i),
                             static_cast<int>(c.iOrdinal));
            }
            objects[i].dwFlags = STGM_READ;
            objects[i].iid = IID_ISequentialStream;
            object = &objects[i];
            as_stream[i] = true;
            type = DBTYPE_IUNKNOWN;
            size = sizeof(void*);
        } else {
            tk_log_write(1, "it's not a BLOB or COM object");
            if (type == DBTYPE_STR) {
                size += 1;
            } else if (type == DBTYPE_GUID) {
                tk_log_write(1, "Set column size for guid");
                size = 72;
            } else if (type == DBTYPE_WSTR) {
                tk_log_write(1, "Increase column size twice for wstring");
                size = size * 2 + 2;
            } else if (DBLENGTH f = fixed_size(type)) {
                size = std::max(size, f);
            }
            if (size == 0)
                size = 1;
            tk_log_write(1, "%d. Column ordinal %d: - Binding as native data type", static_cast<int>(i),
                         static_cast<int>(c.iOrdinal));
        }
        DBLENGTH value_at = align(offset, 8);
        DBLENGTH length_at = align(value_at + size, 8);
        DBLENGTH status_at = length_at + sizeof(DBLENGTH);
        offset = status_at + sizeof(DBSTATUS);
        tk_log_write(1, "nDataOffset=%d, nLengthOffset=%d, nStatusOffset=%d", static_cast<int>(value_at),
                     static_cast<int>(length_at), static_cast<int>(status_at));
        if (i > 0 && c.iOrdinal != column_info[i - 1].iOrdinal + 1)
            search_ordinals = true;
        Bind(c.iOrdinal, type, size, c.bPrecision, c.bScale, value_at, length_at, status_at, object);
    }
    row_buffer.assign(align(offset, 8), 0);
    // Every value starts as NULL until a row binds it.
    for (const DBBINDING& b : bindings)
        *reinterpret_cast<DBSTATUS*>(row_buffer.data() + b.obStatus) = DBSTATUS_S_ISNULL;
    tk_log_write(1, "m_pBuffer=%08X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(row_buffer.data())));
    ole_com_ptr<IAccessor> acc;
    hr = rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&acc));
    if (SUCCEEDED(hr))
        hr = acc->CreateAccessor(DBACCESSOR_ROWDATA, bindings.size(), bindings.data(), row_buffer.size(),
                                 &accessor_handle, nullptr);
    if (FAILED(hr)) {
        tk_log_write(1, "Failed to create Accessor!!!");
        return hr;
    }
    return S_OK;
}

DBBINDING* CDynamicAccessorEx::find_binding(DBORDINAL column)
{
    if (bindings.empty())
        return nullptr;
    if (search_ordinals) {
        for (auto& b : bindings)
            if (b.iOrdinal == column)
                return &b;
        return nullptr;
    }
    DBORDINAL first = bindings.front().iOrdinal;
    if (column < first || column - first >= bindings.size())
        return nullptr;
    return &bindings[column - first];
}

DBTYPE CDynamicAccessorEx::GetColumnType(DBORDINAL column) const
{
    for (const auto& b : bindings)
        if (b.iOrdinal == column)
            return b.wType;
    return DBTYPE_EMPTY;
}

void CDynamicAccessorEx::FreeRecordMemory()
{
    // The buffer owns one reference of every stream bound into it.
    for (const DBBINDING& b : bindings) {
        if (b.wType != DBTYPE_IUNKNOWN || row_buffer.size() < b.obValue + sizeof(void*))
            continue;
        IUnknown* p = nullptr;
        std::memcpy(&p, row_buffer.data() + b.obValue, sizeof p);
        if (p)
            p->Release();
        std::memset(row_buffer.data() + b.obValue, 0, sizeof p);
    }
}

HRESULT CDynamicAccessorEx::ReleaseAccessors(IUnknown* rowset)
{
    FreeRecordMemory();
    HRESULT hr = S_OK;
    if (rowset && accessor_handle != DB_NULL_HACCESSOR) {
        ole_com_ptr<IAccessor> acc;
        hr = rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&acc));
        if (SUCCEEDED(hr))
            hr = acc->ReleaseAccessor(accessor_handle, nullptr);
    }
    accessor_handle = DB_NULL_HACCESSOR;
    return hr;
}

// ---------------------------------------------------------------- mss_fast_load

mss_fast_load::mss_fast_load()
{
    tk_log_write(2, "mss_fast_load::ctor");
}

mss_fast_load::~mss_fast_load()
{
    tk_log_write(2, "mss_fast_load::dtor");
    accessor.ReleaseAccessors(fast_load.get());
    tk_log_write(1, "mss_fast_load::dtor - at the end");
    fast_load.reset();
}

HRESULT mss_fast_load::open_table(IOpenRowset* session, DBID* table, const udb_schema& schema)
{
    tk_log_write(2, "mss_fast_load::open_table");
    if (opened)
        throw tk_mail_assertion("mss_floa", 174);
    if (!table)
        throw tk_mail_assertion("mss_floa", 175);
    DBPROP props[2]{};
    props[0].dwPropertyID = SSPROP_IRowsetFastLoad;
    props[1].dwPropertyID = SSPROP_FASTLOADKEEPIDENTITY;
    for (auto& p : props) {
        p.dwOptions = DBPROPOPTIONS_REQUIRED;
        p.colid = DB_NULLID;
        p.vValue.vt = VT_BOOL;
        p.vValue.boolVal = VARIANT_TRUE;
    }
    DBPROPSET set{props, 2, DBPROPSET_SQLSERVERROWSET};
    HRESULT hr = OpenFastLoadRowset(session, table, 1, &set, IID_IRowsetFastLoad,
                                    reinterpret_cast<IUnknown**>(&fast_load));
    if (FAILED(hr)) {
        tk_log_write(2, "open_rowset->OpenRowset failed: %08X", static_cast<unsigned>(hr));
        return hr;
    }
    hr = accessor.BindColumns(fast_load.get(), schema);
    if (FAILED(hr)) {
        tk_log_write(2, "CDynamicAccessor::BindColumns failed: %08X", static_cast<unsigned>(hr));
        fast_load.reset();
        return hr;
    }
    tk_log_write(1, "b_open_table->true");
    opened = true;
    total = 0;
    return S_OK;
}

bool mss_fast_load::bind_data3(const void* data, DBLENGTH copy_length, DBLENGTH stored_length, DBORDINAL column)
{
    tk_log_write(2, "mss_fast_load::bind_data3(%d,%d,%d)", static_cast<int>(copy_length),
                 static_cast<int>(stored_length), static_cast<int>(column));
    if (!opened)
        throw tk_mail_assertion("mss_floa", 80);
    DBBINDING* b = accessor.find_binding(column);
    if (!b)
        return false;
    total += stored_length;
    unsigned char* buf = accessor.buffer();
    DBSTATUS status = DBSTATUS_S_OK;
    if (!data && copy_length == 0) {
        tk_log_write(1, "Setting NULL-flag");
        status = DBSTATUS_S_ISNULL;
    }
    tk_log_write(1, "pDataBuffer=%08X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(buf)));
    if (b->wType == DBTYPE_IUNKNOWN) {
        IUnknown* previous = nullptr;
        std::memcpy(&previous, buf + b->obValue, sizeof previous);
        if (previous)
            previous->Release();
        std::memset(buf + b->obValue, 0, sizeof previous);
    }
    if (copy_length > b->cbMaxLen) {
        // A value never runs past its column's place in the row buffer.
        tk_log_write(2, "Value of column %d cut from %d to %d bytes", static_cast<int>(column),
                     static_cast<int>(copy_length), static_cast<int>(b->cbMaxLen));
        copy_length = b->cbMaxLen;
        if (stored_length > copy_length && b->wType != DBTYPE_IUNKNOWN)
            stored_length = copy_length;
    }
    *reinterpret_cast<DBLENGTH*>(buf + b->obLength) = stored_length;
    *reinterpret_cast<DBSTATUS*>(buf + b->obStatus) = status;
    if (data && copy_length)
        std::memcpy(buf + b->obValue, data, copy_length);
    tk_log_write(1, "after memcpy, BindData: type=%d, prec=%d, scale=%d", static_cast<int>(b->wType),
                 static_cast<int>(b->bPrecision), static_cast<int>(b->bScale));
    tk_log_write(1, "mss_fast_load::bind_data3 - END");
    return true;
}

bool mss_fast_load::bind_data2(const void* data, DBLENGTH length, DBORDINAL column)
{
    tk_log_write(2, "mss_fast_load::bind_data2");
    return bind_data3(data, length, length, column);
}

bool mss_fast_load::bind_data4(const DB_NUMERIC* value, DBORDINAL column)
{
    tk_log_write(1, "mss_fast_load::bind_data4");
    if (!opened)
        throw tk_mail_assertion("mss_floa", 80);
    DBBINDING* b = accessor.find_binding(column);
    if (!b || !value || b->cbMaxLen < sizeof(DB_NUMERIC))
        return false;
    unsigned char* buf = accessor.buffer();
    std::memcpy(buf + b->obValue, value, sizeof(DB_NUMERIC));
    *reinterpret_cast<DBSTATUS*>(buf + b->obStatus) = DBSTATUS_S_OK;
    return true;
}

void mss_fast_load::insert_data()
{
    tk_log_write(1, "mss_fast_load::insert_data");
    if (!opened)
        throw tk_mail_assertion("mss_floa", 137);
    if (!fast_load)
        throw tk_mail_assertion("mss_floa", 138);
    HRESULT hr = fast_load->InsertRow(accessor.handle(), accessor.buffer());
    if (FAILED(hr)) {
        tk_log_write(2, "m_spFastLoad->InsertRow failed: %08X", static_cast<unsigned>(hr));
        throw odb_exception(hr, 0);
    }
    if (total >= commit_bytes) {
        total = 0;
        hr = fast_load->Commit(0);
        if (FAILED(hr)) {
            tk_log_write(2, "m_spFastLoad->Commit failed: %08X", static_cast<unsigned>(hr));
            throw odb_exception(hr, 0);
        }
    }
}

void mss_fast_load::close_table()
{
    tk_log_write(1, "mss_fast_load::close_table");
    if (!opened)
        throw tk_mail_assertion("mss_floa", 225);
    tk_log_write(1, "Right before m_spFastLoad->Commit");
    HRESULT hr = fast_load->Commit(1);
    std::wstring failure;
    if (FAILED(hr)) {
        tk_log_write(1, "m_spFastLoad->Commit failed: %08X", static_cast<unsigned>(hr));
        failure = odb_exception::GetErrorString();
        if (failure.empty())
            failure = L"The last rows of the table could not be stored.";
    }
    tk_log_write(1, "Right after m_spFastLoad->Commit");
    HRESULT release = accessor.ReleaseAccessors(fast_load.get());
    fast_load.reset();
    opened = false;
    if (!failure.empty())
        mss_report_error(std::wstring(), tk_exception(failure, 0), true);
    if (FAILED(release)) {
        tk_log_write(2, "Error code: %08X", static_cast<unsigned>(release));
        throw odb_exception(release, 1);
    }
    tk_log_write(1, "mss_fast_load::close_table - END");
}

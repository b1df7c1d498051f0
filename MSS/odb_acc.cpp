#include "MSS/odb_acc.h"

#include <algorithm>
#include <cstring>

#include "MSS/odb_exce.h"
#include "MSS/odb_rec.h"
#include "TK/tk_log.h"

namespace {
// Wide text is bound as wchar_t; the sizes below are in characters and turned into bytes.
constexpr std::uint64_t wchar_bytes = sizeof(wchar_t);
constexpr std::uint64_t max_column_chars = 10000000;   // about ten million characters per column
constexpr std::uint64_t max_row_chars = 100000000;     // about a hundred million per row
} // namespace

odb_accessor::odb_accessor()
{
    tk_log_write(2, "odb_accessor::ctor");
}

odb_accessor::~odb_accessor()
{
    tk_log_write(1, "odb_accessor::dtor");
    clean_everything();
    tk_log_write(1, "odb_accessor::dtor - END");
}

std::uint64_t odb_accessor::column_cap(DBORDINAL n)
{
    if (n == 0)
        n = 1;
    return std::min<std::uint64_t>(max_row_chars * wchar_bytes / n, max_column_chars * wchar_bytes);
}

std::uint64_t odb_accessor::get_bind_size(DBORDINAL i) const
{
    tk_log_write(1, "odb_accessor::get_bind_size(%d)", static_cast<int>(i));
    if (!columns)
        throw tk_mail_assertion("odb_acc", 207);
    const DBCOLUMNINFO& c = columns[i];
    std::uint64_t size = c.ulColumnSize;
    switch (c.wType) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 10: case 11:
    case 16: case 17: case 18: case 19: case 20: case 21:
        return 26 * wchar_bytes;
    case 7: case 14: case 131: case 133: case 135: case 145: case 146: case 212:
        return 51 * wchar_bytes;
    case 8: case 129: case 130:
        return std::min<std::uint64_t>(size + 1, max_column_chars) * wchar_bytes;
    case 72:
        return 39 * wchar_bytes;
    case 128:
        return size * 2 < 2 * max_column_chars ? (size * 2 + 1) * 2 : 4 * max_column_chars;
    default:
        return size == 0 ? max_column_chars * wchar_bytes
                         : std::min<std::uint64_t>(size + 1, max_column_chars) * wchar_bytes;
    }
}

void odb_accessor::bind(IRowset* rowset, DBORDINAL n_cols, DBCOLUMNINFO* cols)
{
    tk_log_write(2, "odb_accessor::bind(n_cols=%d)", static_cast<int>(n_cols));
    if (!cols)
        throw tk_mail_assertion("odb_acc", 111);
    clean_everything();
    columns = cols;
    count = n_cols;
    bindings = static_cast<DBBINDING*>(CoTaskMemAlloc(sizeof(DBBINDING) * std::max<DBORDINAL>(count, 1)));
    if (!bindings)
        throw tk_mail_assertion("odb_acc", 119);
    std::memset(bindings, 0, sizeof(DBBINDING) * count);
    const std::uint64_t cap = column_cap(count);
    std::uint64_t offset = 0;
    for (DBORDINAL i = 0; i < count; ++i) {
        DBBINDING& b = bindings[i];
        b.iOrdinal = i + 1;
        b.obStatus = offset;
        b.obLength = offset + 4;
        b.obValue = offset + 12;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
        b.eParamIO = DBPARAMIO_NOTPARAM;
        b.cbMaxLen = std::min(get_bind_size(i), cap);
        tk_log_write(1, "bindings[%d].cbMaxLen=%d", static_cast<int>(i), static_cast<int>(b.cbMaxLen));
        DBTYPE t = columns[i].wType;
        if (b.cbMaxLen == 0 && (t == DBTYPE_BSTR || t == DBTYPE_STR || t == DBTYPE_WSTR))
            b.cbMaxLen = cap;
        tk_log_write(1, "Bind column #%d, type=%d, size=%d", static_cast<int>(i), static_cast<int>(t),
                     static_cast<int>(b.cbMaxLen));
        b.wType = t == DBTYPE_BYTES ? DBTYPE_BYTES : DBTYPE_WSTR;
        b.bPrecision = columns[i].bPrecision;
        b.bScale = columns[i].bScale;
        // Keep every value area aligned for wide characters.
        offset = b.obValue + ((b.cbMaxLen + 7) / 8) * 8;
    }
    row_size = offset;
    tk_log_write(2, "Allocating bind-bufer, %d bytes", static_cast<int>(row_size));
    row_buffer = static_cast<unsigned char*>(CoTaskMemAlloc(std::max<std::uint64_t>(row_size, 1)));
    if (!row_buffer)
        throw tk_mail_assertion("odb_acc", 172);
    bind_status = static_cast<DBBINDSTATUS*>(CoTaskMemAlloc(sizeof(DBBINDSTATUS) * std::max<DBORDINAL>(count, 1)));
    if (!bind_status)
        throw tk_mail_assertion("odb_acc", 175);
    HRESULT hr = rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&accessor));
    if (FAILED(hr)) {
        tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
        throw odb_exception(hr, 1);
    }
    hr = accessor->CreateAccessor(DBACCESSOR_ROWDATA, count, bindings, 0, &handle, bind_status);
    tk_log_write(2, "bind_status[0]=%08X", count ? static_cast<unsigned>(bind_status[0]) : 0u);
    if (FAILED(hr)) {
        tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
        throw odb_exception(hr, 1);
    }
}

odb_record* odb_accessor::get_record(IRowset* rowset, HROW row)
{
    tk_log_write(1, "odb_accessor::get_record");
    if (handle == DB_NULL_HACCESSOR)
        throw tk_mail_assertion("odb_acc", 194);
    HRESULT hr = rowset->GetData(row, handle, row_buffer);
    if (FAILED(hr)) {
        tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
        throw odb_exception(hr, 1);
    }
    return new odb_record(count, row_buffer, columns, bindings);
}

void odb_accessor::clean_everything()
{
    tk_log_write(1, "odb_accessor::clean_everything");
    if (handle != DB_NULL_HACCESSOR && accessor)
        accessor->ReleaseAccessor(handle, nullptr);
    handle = DB_NULL_HACCESSOR;
    accessor.reset();
    CoTaskMemFree(row_buffer);
    CoTaskMemFree(bindings);
    CoTaskMemFree(bind_status);
    row_buffer = nullptr;
    bindings = nullptr;
    bind_status = nullptr;
    row_size = 0;
}

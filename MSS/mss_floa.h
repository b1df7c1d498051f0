// Bulk load of one table: the provider's fast-load rowset with one bound row
// buffer, sequential streams for long values, and the signal that bulk load
// cannot be used for a table.
#pragma once
#include <cstdint>
#include <vector>

#include "OLE/ole_ptr.h"
#include "TK/tk_excep.h"
#include "UDB/udb_db.h"
#include "platform/oledb/oledb.h"
#include "platform/oledb/oledb_fastload.h"

// Bulk load is not available for a table; its rows go by INSERT statements.
class mss_fl_failed_exception : public tk_exception {
public:
    mss_fl_failed_exception();
};

// A sequential stream over one task-memory buffer: how long text and binary
// values reach the provider.
class CSeqStream : public ISequentialStream {
public:
    CSeqStream() = default;
    CSeqStream(const CSeqStream&) = delete;
    CSeqStream& operator=(const CSeqStream&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;

    bool Seek(ULONG position);
    bool Clear();
    // True when the first Length() bytes of the buffer equal the stream's.
    bool Compare(const void* buffer) const;
    ULONG Length() const { return length; }
    const void* GetBuffer() const { return buffer; }

protected:
    ~CSeqStream() override;

private:
    ULONG refs = 1;
    unsigned char* buffer = nullptr;
    ULONG length = 0;
    ULONG position = 0;
};

// The column bindings of a fast-load rowset and its row buffer.
class CDynamicAccessorEx {
public:
    CDynamicAccessorEx();
    ~CDynamicAccessorEx();
    CDynamicAccessorEx(const CDynamicAccessorEx&) = delete;
    CDynamicAccessorEx& operator=(const CDynamicAccessorEx&) = delete;

    HRESULT BindColumns(IUnknown* rowset, const udb_schema& schema);
    // Releases stream references still in the buffer, the accessor and the memory.
    HRESULT ReleaseAccessors(IUnknown* rowset);
    void FreeRecordMemory();

    // The binding of a 1-based column ordinal; null when none.
    DBBINDING* find_binding(DBORDINAL column);
    DBTYPE GetColumnType(DBORDINAL column) const;
    DBORDINAL GetColumnCount() const { return column_count; }
    unsigned char* buffer() { return row_buffer.data(); }
    HACCESSOR handle() const { return accessor_handle; }

    static constexpr DBLENGTH max_inline = 8000;

private:
    void Bind(DBORDINAL ordinal, DBTYPE type, DBLENGTH length, std::uint8_t precision, std::uint8_t scale,
              DBBYTEOFFSET value, DBBYTEOFFSET length_offset, DBBYTEOFFSET status_offset, DBOBJECT* object);

    DBORDINAL column_count = 0;
    DBCOLUMNINFO* column_info = nullptr;
    OLECHAR* column_strings = nullptr;
    std::vector<unsigned char> row_buffer;
    std::vector<DBBINDING> bindings;
    std::vector<bool> as_stream;
    std::vector<DBOBJECT> objects;
    HACCESSOR accessor_handle = DB_NULL_HACCESSOR;
    bool search_ordinals = false;
};

// The bulk-load side of a table writer.
class mss_fast_load {
public:
    mss_fast_load();
    ~mss_fast_load();
    mss_fast_load(const mss_fast_load&) = delete;
    mss_fast_load& operator=(const mss_fast_load&) = delete;

    HRESULT open_table(IOpenRowset* session, DBID* table, const udb_schema& schema);
    // Copies copy_length bytes into the column's value and stores stored_length as its
    // length; no data and no length bind NULL. False for an unknown column.
    bool bind_data3(const void* data, DBLENGTH copy_length, DBLENGTH stored_length, DBORDINAL column);
    bool bind_data2(const void* data, DBLENGTH length, DBORDINAL column);
    bool bind_data4(const DB_NUMERIC* value, DBORDINAL column);
    DBTYPE GetColumnType(DBORDINAL column) const { return accessor.GetColumnType(column); }
    // Inserts the bound row; commits every 100,000 bound bytes.
    void insert_data();
    // Final commit; a failure is reported, not thrown.
    void close_table();
    bool is_opened() const { return opened; }

    static constexpr std::uint64_t commit_bytes = 100000;

private:
    bool opened = false;
    CDynamicAccessorEx accessor;
    ole_com_ptr<IRowsetFastLoad> fast_load;
    std::uint64_t total = 0;
};

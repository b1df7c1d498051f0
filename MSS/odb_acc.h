// Binds every column of a rowset into one row buffer and makes records from fetched rows.
#pragma once
#include <cstdint>

#include "OLE/ole_ptr.h"
#include "platform/oledb/oledb.h"

class odb_record;

class odb_accessor {
public:
    odb_accessor();
    ~odb_accessor();
    odb_accessor(const odb_accessor&) = delete;
    odb_accessor& operator=(const odb_accessor&) = delete;

    // Binds all columns: binary ones as bytes, every other one as wide text.
    void bind(IRowset* rowset, DBORDINAL n_cols, DBCOLUMNINFO* columns);
    // Buffer bytes for one column (before the per-column cap).
    std::uint64_t get_bind_size(DBORDINAL column) const;
    // The per-column cap of a rowset of `count` columns.
    static std::uint64_t column_cap(DBORDINAL count);
    // A new record of the row (owned by the caller).
    odb_record* get_record(IRowset* rowset, HROW row);
    // Releases the accessor handle and frees the buffers.
    void clean_everything();

    std::uint64_t get_row_size() const { return row_size; }
    const DBBINDING* get_bindings() const { return bindings; }

private:
    std::uint64_t row_size = 0;
    HACCESSOR handle = DB_NULL_HACCESSOR;
    DBCOLUMNINFO* columns = nullptr;
    unsigned char* row_buffer = nullptr;
    DBBINDING* bindings = nullptr;
    DBBINDSTATUS* bind_status = nullptr;
    ole_com_ptr<IAccessor> accessor;
    DBORDINAL count = 0;
};

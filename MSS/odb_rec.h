// Records and fields made from rowset rows, and the type mapping between
// provider types and variant types.
#pragma once
#include <cstdint>
#include <string>

#include "UDB/udb_db.h"
#include "platform/oledb/oledb.h"

// One value of a fetched row.
class odb_field : public udb_field {
public:
    odb_field(const std::wstring& name, std::uint32_t size, const ole_variant& value);
    ~odb_field() override;
    std::wstring to_wstring() const override;
};

// One fetched row: a field per column, owned by the record.
class odb_record : public udb_record {
public:
    odb_record(DBORDINAL count, const unsigned char* row_buffer, const DBCOLUMNINFO* columns,
               const DBBINDING* bindings);
    ~odb_record() override;

    using udb_record::get_field;

    // The variant type of a provider column; may refine `reserved` (date kinds, GUID, XML).
    static VARTYPE get_vartype(DBTYPE type, std::uint64_t size, DBCOLUMNFLAGS flags, std::int32_t* reserved);
    // The provider type a column descriptor is written with.
    static DBTYPE get_oledb_type(const t_ftd& ftd);

private:
    // The field value of one column's text.
    ole_variant get_field(const DBCOLUMNINFO& column, const std::wstring& text, std::uint64_t length);

    DBORDINAL count;
    const unsigned char* row_buffer;
    const DBCOLUMNINFO* columns;
    const DBBINDING* bindings;
};

// Turning a table description (columns, defaults, indexes) into Access definitions, and the value
// adjustments Access needs on the way in.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "OLE/ole_var.h"
#include "UDB/udb_db.h"
#include "UDB/udb_idx.h"
#include "dao/dao_vali.h"
#include "platform/dao/daoapi.h"

// The DAO field type of a column (dbText, dbLong ...); a type Access cannot hold is ole_type_exception.
short get_native_type(const t_ftd& column);

// A default text quoted for Access: in double quotes; in apostrophes when it holds a double quote;
// with both, its double quotes become apostrophes inside double quotes.
std::wstring quote_def_value(const std::wstring& text);

// Integer kinds Access has no column for, as a kind it has: VT_I1 to VT_I2, VT_UI2 to VT_I4, VT_UI4,
// VT_I8 and VT_UI8 to VT_R8. Any other type gives an empty value.
ole_variant dao_get_valid_variant(const ole_variant& value);

// The columns of a new table as they will be created: names made acceptable (and the map from the
// incoming names), then the fields of a table definition.
class dao_schema_initializer : public udb_schema {
public:
    explicit dao_schema_initializer(const udb_schema& schema);
    // Creates and appends one field per column to the table definition.
    void initialize(_DAOTableDef* table);

    const std::map<std::wstring, std::wstring>& names() const { return m_names; }
    dao_fn_validator& validator() { return m_validator; }

private:
    void put_default(_DAOField* field, const t_ftd& column, short type);

    dao_fn_validator m_validator;
    std::map<std::wstring, std::wstring> m_names;   // incoming column name -> created name
};

// The indexes of a new table as they will be created: columns renamed as the columns were, indexes
// over memo or binary columns left out, names made acceptable.
class dao_indexes_initializer : public udb_indexes {
public:
    dao_indexes_initializer(const udb_indexes& indexes, const dao_schema_initializer& schema);
    // Creates and appends the indexes (at most 32) to the table definition.
    void initialize(_DAOTableDef* table);

private:
    dao_in_validator m_validator;
};

// Access allows this many indexes on one table.
constexpr std::size_t dao_max_indexes = 32;

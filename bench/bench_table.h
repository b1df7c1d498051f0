// Column and key descriptions shared by the benchmarks that write tables with our Access writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/jet/jet_writer.h"

namespace bench {

inline jet::column_spec col(const wchar_t* name, jet::column_type t, std::uint16_t length = 0)
{
    jet::column_spec c;
    c.name = name;
    c.type = t;
    c.length = length;
    return c;
}

// The auto-number key column "ID".
inline jet::column_spec counter_id()
{
    auto id = col(L"ID", jet::column_type::long_integer);
    id.auto_number = true;
    return id;
}

// A decimal(18,4) column.
inline jet::column_spec decimal_18_4(const wchar_t* name)
{
    auto c = col(name, jet::column_type::numeric);
    c.precision = 18;
    c.scale = 4;
    return c;
}

// A new file (any old one removed) holding one table whose primary key is its "ID" column.
inline std::unique_ptr<jet::database_writer> new_keyed_table(const std::string& path, jet::file_format f,
                                                             const wchar_t* table,
                                                             std::vector<jet::column_spec> columns)
{
    std::filesystem::remove(path);
    auto w = jet::database_writer::create(path, f, 45000);
    jet::index_spec pk;
    pk.name = L"PrimaryKey";
    pk.columns = {{L"ID", true}};
    pk.primary = true;
    w->create_table(table, std::move(columns), {pk});
    return w;
}

} // namespace bench

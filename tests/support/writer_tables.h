// Columns, indexes and tables for files written with our Access writer: shared by the writer tests and
// the benchmarks that write tables.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/jet/jet_writer.h"

namespace drav_test {

inline jet::column_spec col(std::wstring name, jet::column_type t, std::uint16_t length = 0)
{
    jet::column_spec c;
    c.name = std::move(name);
    c.type = t;
    c.length = length;
    return c;
}

// n bytes that look random and are the same on every run (xorshift), for OLE values.
inline jet::bytes noise_bytes(std::size_t n)
{
    jet::bytes b(n);
    std::uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (auto& c : b) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<std::uint8_t>(x);
    }
    return b;
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

// A Yes/No property (Required, AllowZeroLength ...).
inline jet::property bool_property(const wchar_t* name, bool on)
{
    jet::property p;
    p.name = name;
    p.type = jet::column_type::boolean;
    p.data = jet::value(on);
    return p;
}

// A date/time column with the Format property that the user gave it ("Short Date", "Long Time" ...).
inline jet::column_spec formatted_date(const wchar_t* name, const wchar_t* format)
{
    auto c = col(name, jet::column_type::datetime);
    jet::property p;
    p.name = L"Format";
    p.type = jet::column_type::text;
    p.data = jet::value(std::wstring(format));
    c.properties.items.push_back(p);
    return c;
}

inline jet::index_spec index(const wchar_t* name, std::vector<std::pair<std::wstring, bool>> columns,
                             bool primary = false, bool unique = false)
{
    jet::index_spec x;
    x.name = name;
    x.columns = std::move(columns);
    x.primary = primary;
    x.unique = unique;
    return x;
}

// The primary key "PrimaryKey" over the "ID" column.
inline jet::index_spec primary_key_on_id() { return index(L"PrimaryKey", {{L"ID", true}}, true); }

// A new file (any old one removed) holding one table whose primary key is its "ID" column.
inline std::unique_ptr<jet::database_writer> new_keyed_table(const std::string& path, jet::file_format f,
                                                             const wchar_t* table,
                                                             std::vector<jet::column_spec> columns)
{
    std::filesystem::remove(path);
    auto w = jet::database_writer::create(path, f, 45000);
    w->create_table(table, std::move(columns), {primary_key_on_id()});
    return w;
}

// A Jet4 file (any old one removed) of one table "Flags" of 3 rows whose indexes the server cannot
// hold: "ByDone" on the Yes/No column "Done", the unique "LongKey" over four Text(255) columns
// (a key of up to 2,040 bytes), "ByBody" on the memo "Body"; and "ByName", on Text(50), that it can.
inline void write_unindexable_table(const std::filesystem::path& path)
{
    using T = jet::column_type;
    auto w = new_keyed_table(path.string(), jet::file_format::jet4, L"Flags",
                             {counter_id(), col(L"Done", T::boolean), col(L"Body", T::memo), col(L"A", T::text, 510),
                              col(L"B", T::text, 510), col(L"C", T::text, 510), col(L"D", T::text, 510),
                              col(L"Name", T::text, 100)});
    w->add_index(L"Flags", index(L"ByDone", {{L"Done", true}}));
    w->add_index(L"Flags", index(L"LongKey", {{L"A", true}, {L"B", true}, {L"C", true}, {L"D", true}}, false, true));
    w->add_index(L"Flags", index(L"ByBody", {{L"Body", true}}));
    w->add_index(L"Flags", index(L"ByName", {{L"Name", true}}));
    for (int i = 0; i < 3; ++i) {
        const std::wstring n = std::to_wstring(i);
        const std::wstring same(255, L'x');
        std::vector<jet::value> row{jet::value(), jet::value(i % 2 == 0), jet::value(L"body " + n),
                                    jet::value(L"a" + n), jet::value(same), jet::value(same), jet::value(same),
                                    jet::value(L"name " + n)};
        w->append(L"Flags", row);
    }
    w->flush();
}

} // namespace drav_test

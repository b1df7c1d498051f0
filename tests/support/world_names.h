// Names in the letters users write them in (accented Latin, Greek, Cyrillic, CJK, an emoji), and an
// Access file whose folder, file, table, columns and index are so named.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/jet/jet_database.h"
#include "platform/win/win_utf.h"
#include "tests/support/writer_tables.h"

namespace drav_test {

inline const std::string kWorldFolder = "\xC3\x9Cmlaut dir \xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1 "
                                        "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0 \xE6\x9D\xB1\xE4\xBA\xAC "
                                        "\xF0\x9F\x98\x80";
inline const std::string kWorldFile = "besch\xC3\xA4" "digt \xCE\x94 \xD0\x96 \xE8\xA1\xA8 \xF0\x9F\x93\x81.mdb";
inline const std::wstring kWorldTable = L"Ums\u00e4tze \u03a9\u03bc\u03ad\u03b3\u03b1 "
                                        L"\u0416\u0451\u043b\u0442\u044b\u0439 \u8868\u683c \U0001F600";
inline const std::wstring kWorldColumn = L"K\u00e4se \u03a8 \u0429 \u540d \U0001F9C0";
inline const std::wstring kWorldMemo = L"Notiz \u0391 \u0411 \u6ce8 \U0001F4DD";
inline const std::wstring kWorldIndex = L"\u00cdndice \u0396 \u0416 \u7d22\u5f15 \U0001F511";

inline std::string utf8(const std::wstring& w) { return win_utf8_from_wide(w); }

// A Jet4 file (any old one removed) of the table `table`, keyed on "ID", with the text column
// kWorldColumn ("été <n>"), the memo kWorldMemo ("memo <n>") and the index kWorldIndex on the memo,
// which the server cannot hold; `rows` rows.
inline void write_world_table(const std::filesystem::path& path, int rows, const std::wstring& table = kWorldTable)
{
    using T = jet::column_type;
    auto w = new_keyed_table(path.string(), jet::file_format::jet4, table.c_str(),
                             {counter_id(), col(kWorldColumn, T::text, 100), col(kWorldMemo, T::memo)});
    w->add_index(table, index(kWorldIndex.c_str(), {{kWorldMemo, true}}));
    for (int i = 0; i < rows; ++i) {
        std::vector<jet::value> row{jet::value(), jet::value(L"\u00e9t\u00e9 " + std::to_wstring(i)),
                                    jet::value(L"memo " + std::to_wstring(i))};
        w->append(table, row);
    }
    w->flush();
}

// Zeroes every data page of the file's table `table` (Jet4 pages of 4,096 bytes): its rows are lost.
inline void lose_world_rows(const std::filesystem::path& path, const std::wstring& table = kWorldTable)
{
    constexpr std::size_t page = 4096;
    std::uint32_t tdef = 0;
    {
        auto db = jet::database::open(path.string(), L"");
        tdef = db->table(table)->tdef_page;
    }
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
        return v;
    };
    for (std::size_t p = 1; p < bytes.size() / page; ++p)
        if (bytes[p * page] == 1 && u32(p * page + 4) == tdef)
            bytes.replace(p * page, page, page, '\0');
    std::ofstream(path, std::ios::binary) << bytes;
}

} // namespace drav_test

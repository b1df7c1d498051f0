// Index keys pinned to bytes Access wrote (taken from index pages of real files), so that the encoder is
// checked on a fresh clone too: every column type, both directions, and text in the three General orders
// (control characters, accents, compatibility forms, characters outside the BMP).
#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "platform/jet/jet_index_key.h"

namespace {

using jet::column_type;
using jet::text_order;
using jet::value;

std::string hex(const std::vector<std::uint8_t>& b)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (auto x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

std::string key_hex(column_type t, bool ascending, const value& v, text_order order = text_order::general)
{
    jet::key_column c;
    c.type = t;
    c.ascending = ascending;
    c.order = order;
    std::vector<std::uint8_t> out;
    jet::append_key_column(c, v, out);
    return hex(out);
}

value text(const std::wstring& s) { return value(s); }

TEST(IndexKnownKeys, NumbersDatesAndFlags)
{
    EXPECT_EQ(key_hex(column_type::long_integer, false, value(std::int32_t(4813))), "807FFFED32");
    EXPECT_EQ(key_hex(column_type::integer, true, value(std::int16_t(-32400))), "7F0170");
    EXPECT_EQ(key_hex(column_type::integer, false, value(std::int16_t(31045))), "8006BA");
    EXPECT_EQ(key_hex(column_type::double_, true, value(-8540982423.4499998)), "7F3E002EAF3688CCCC");
    EXPECT_EQ(key_hex(column_type::double_, false, value(309840983.0)), "803E4D8833A8FFFFFF");
    EXPECT_EQ(key_hex(column_type::single, true, value(-8.54098176e+09f)), "7F3001757A");
    EXPECT_EQ(key_hex(column_type::single, false, value(309840992.0f)), "80326C419C");
    EXPECT_EQ(key_hex(column_type::datetime, true, value(jet::date_time{std::bit_cast<double>(0x40E39585457FCF74ull)})),
              "7FC0E39585457FCF74");
    EXPECT_EQ(key_hex(column_type::datetime, false, value(jet::date_time{std::bit_cast<double>(0x412B950200000000ull)})),
              "803ED46AFDFFFFFFFF");
    EXPECT_EQ(key_hex(column_type::currency, true, value(jet::currency{-85409824234500})), "7F7FFFB251F9C423FC");
    EXPECT_EQ(key_hex(column_type::currency, false, value(jet::currency{3098409830000})), "807FFFFD2E9861F98F");
    EXPECT_EQ(key_hex(column_type::byte, true, value(std::uint8_t(0))), "7F00");
    EXPECT_EQ(key_hex(column_type::byte, false, value(std::uint8_t(255))), "8000");
    EXPECT_EQ(key_hex(column_type::boolean, true, value(true)), "7F00");
    EXPECT_EQ(key_hex(column_type::boolean, true, value(false)), "7FFF");
    EXPECT_EQ(key_hex(column_type::boolean, false, value(false)), "8000");
    // Decimals before Access 2007: the magnitude inverted where the direction asks, then the sign byte set
    // to 0x00 for a negative, 0xFF otherwise (no file of the test data has such an index; this is the
    // layout of the keys Access 2000-2003 write).
    auto legacy_decimal = [](bool ascending, bool negative) {
        jet::key_column c;
        c.type = column_type::numeric;
        c.ascending = ascending;
        c.scale = 2;
        c.legacy_numeric = true;
        std::vector<std::uint8_t> out;
        jet::append_key_column(c, value(jet::decimal{negative, 2, 18, 0, 125}), out);
        return hex(out);
    };
    EXPECT_EQ(legacy_decimal(true, false), "7FFF" + std::string(30, '0') + "7D");
    EXPECT_EQ(legacy_decimal(true, true), "7F00" + std::string(30, 'F') + "82");
    EXPECT_EQ(legacy_decimal(false, false), "80FF" + std::string(30, 'F') + "82");
    EXPECT_EQ(legacy_decimal(false, true), "8000" + std::string(30, '0') + "7D");
    EXPECT_EQ(key_hex(column_type::long_integer, true, value()), "00");
    EXPECT_EQ(key_hex(column_type::long_integer, false, value()), "FF");
}

TEST(IndexKnownKeys, GuidsBinaryAndExtendedDates)
{
    jet::guid a{{0x7B, 0x9B, 0xC4, 0x0F, 0x56, 0xE6, 0x28, 0x42, 0xAE, 0xDC, 0xDF, 0x8B, 0xDF, 0x4C, 0x4A, 0x64}};
    EXPECT_EQ(key_hex(column_type::guid, true, value(a)), "7F0FC49B7BE656422809AEDCDF8BDF4C4A6408");
    jet::guid d{{0x57, 0xA7, 0x18, 0xD0, 0xA6, 0x5D, 0x89, 0x41, 0x9E, 0x30, 0x48, 0x50, 0x31, 0xD4, 0xC2, 0x52}};
    EXPECT_EQ(key_hex(column_type::guid, false, value(d)), "802FE758A8A259BE760961CFB7AFCE2B3DADF7");
    EXPECT_EQ(key_hex(column_type::binary, true, value(jet::bytes{})), "7F");
    EXPECT_EQ(key_hex(column_type::binary, false, value(jet::bytes{})), "80");
    // The stored 42 bytes of two Date/Time Extended values.
    auto ext = [](const std::string& h) {
        jet::bytes b;
        for (std::size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<std::uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
        return value(b);
    };
    std::string asc = "303030303030303030303030303033363332333A303030303030303435393030313233343536373A3700";
    std::string desc = "303030303030303030303030303733373935343A303030303030303831393132333435363738393A3700";
    EXPECT_EQ(key_hex(column_type::ext_datetime, true, ext(asc)),
              "7F3030303030303030093030303030303336093332333A3030303009303030343539303009313233343536373A09370000000000000002");
    EXPECT_EQ(key_hex(column_type::ext_datetime, false, ext(desc)),
              "80CFCFCFCFCFCFCFCF09CFCFCFCFCFC8CCC809C6CACBC5CFCFCFCF09CFCFCFC7CEC6CECD09CCCBCAC9C8C7C6C509C8FFFFFFFFFFFFFFFD");
}

TEST(IndexKnownKeys, TextInTheGeneralOrders)
{
    // Access 2010 and later: characters outside the BMP as surrogate pairs.
    EXPECT_EQ(key_hex(column_type::text, true, text(L"a\U0001F600a"), text_order::general),
              "7F0E02B03FB6FC0E0201023F3F00");
    EXPECT_EQ(key_hex(column_type::text, true, text(L"a\U0001F602a"), text_order::general),
              "7F0E02B03FB6FE0E0201023F3F00");
    // Access 2000-2007: control characters, accents, compatibility forms.
    EXPECT_EQ(key_hex(column_type::text, true, text(L"3L9\x1D" L"52\x02_AB(\xA5\x05!!V"), text_order::general_legacy),
              "7F3C5E48403A2B034A4C1434A9090971010101018013061A801B0604802F060700");
    EXPECT_EQ(key_hex(column_type::text, true, text(L"\xE4\xE4kk\xF6si\xE4"), text_order::general_legacy),
              "7F4A4A5C5C646B594A01131302021302021300");
    EXPECT_EQ(key_hex(column_type::text, true, text(L"\xFCmlaut"), text_order::general_legacy), "7F6F605E4A6F6D011300");
    // Access 97: extra codes as nibbles; descending inverts everything after the flag.
    EXPECT_EQ(key_hex(column_type::text, true, text(L"-\xA0\xC1--\xC1\xA0-"), text_order::general_97),
              "7F1E11601E1E60111E0440");
    EXPECT_EQ(key_hex(column_type::text, true, text(L"-\xC1" L"A-\xC1"), text_order::general_97), "7F1E60601E60042400");
    EXPECT_EQ(key_hex(column_type::text, false, text(L"a\xD3" L"a"), text_order::general_97), "809F8D9FFDBF");
}

// Every character from U+0001 to U+00FF in one value, as Access 2003 keyed it.
TEST(IndexKnownKeys, EveryLatin1CharacterInTheLegacyOrder)
{
    std::wstring all;
    for (wchar_t c = 1; c <= 0xFF; ++c) all += c;
    EXPECT_EQ(key_hex(column_type::text, true, text(all), text_order::general_legacy),
              "7F0803080408050806080707090A0C0E10121416182C1A1C1E36383A3C3E404244464820222E303224264A4C4D4F51535557"
              "595B5C5E6062646668696B6D6F717375767827292A2B022B032B074A4C4D4F51535557595B5C5E6062646668696B6D6F7173"
              "7576782B092B0B2B0D2B0F08022B1034A634A734A834A92B1134AA2B1234AB4A330534AC34AD2B1334AE33043A3C2B1434AF"
              "34B034B12B153864330737123716371A2B164A4A4A4A4A4A4A514D51515151595959594F6264646464643309646F6F6F6F76"
              "6D576B6B4A4A4A4A4A4A4A514D51515151595959594F626464646464330A646F6F6F6F766D57760102020202020202020202"
              "0202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020202"
              "0202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020302"
              "020202020202020202020202020302020202020F0E1219131A021C0F0E12130F0E121368190F0E12191302210F0E12130E02"
              "020F0E1219131A021C0F0E12130F0E121368190F0E12191302210F0E12130E02130101018007060380070604800706058007"
              "06068007060780070608800706098007060A801B060B801B060C801B060D801B060E801B060F801B0610801B0611801B0612"
              "801B0613801B0614801B0615801B0616801B0617801B0618801B0619801B061A801B061B801B061C80370680804B0682818F"
              "061D818F061E818F061F818F0620818F0621818F0622818F0623818F0624818F0625818F0626818F0627818F0628818F0629"
              "818F062A818F062B818F062C818F062D818F062E818F062F818F0630818F0631818F0632818F0633818F0634818F0635818F"
              "0636818F0637818F0638818F0639818F063A818F063B818F063C818F063D81C3068300");
}

} // namespace

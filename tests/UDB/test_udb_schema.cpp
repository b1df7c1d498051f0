#include <gtest/gtest.h>

#include "UDB/udb_db.h"

namespace {

t_ftd col(const std::wstring& name, VARTYPE vt, uint32_t size = 0)
{
    return t_ftd(size, name, vt, false, false);
}

bool conforms(const t_ftd& src, const t_ftd& dst) { return src.conform_to(dst); }

TEST(UdbConformity, Columns)
{
    // Currency and decimal stand for each other.
    EXPECT_TRUE(conforms(col(L"a", VT_CY), col(L"a", VT_DECIMAL)));
    EXPECT_TRUE(conforms(col(L"a", VT_DECIMAL), col(L"a", VT_CY)));
    // Dates from text only in the 19-character form.
    EXPECT_TRUE(conforms(col(L"a", VT_BSTR, 19), col(L"a", VT_DATE)));
    EXPECT_FALSE(conforms(col(L"a", VT_BSTR, 20), col(L"a", VT_DATE)));
    // Text sizes: 0 and 65535 or more are unlimited.
    EXPECT_FALSE(conforms(col(L"a", VT_BSTR, 100), col(L"a", VT_BSTR, 50)));
    EXPECT_TRUE(conforms(col(L"a", VT_BSTR, 100), col(L"a", VT_BSTR, 0)));
    EXPECT_TRUE(conforms(col(L"a", VT_BSTR, 100), col(L"a", VT_BSTR, 65535)));
    EXPECT_TRUE(conforms(col(L"a", VT_I4), col(L"a", VT_BSTR, 10)));
    EXPECT_FALSE(conforms(col(L"a", VT_BLOB, 10), col(L"a", VT_BSTR, 0)));
    // VT_INT is a destination type only.
    EXPECT_FALSE(conforms(col(L"a", VT_INT), col(L"a", VT_I4)));
    EXPECT_TRUE(conforms(col(L"a", VT_I4), col(L"a", VT_INT)));
    EXPECT_FALSE(conforms(col(L"a", VT_BSTR, 5), col(L"a", VT_I4)));
}

TEST(UdbConformity, GuidColumns)
{
    // Access's GUID column (text of 38 characters, with braces) into the server's uniqueidentifier
    // column (read back as 36): every GUID fits.
    t_ftd access = t_ftd(38, L"g", VT_BSTR, false, false, ole_variant(), 1);
    t_ftd server = t_ftd(36, L"g", VT_BSTR, false, false, ole_variant(), 1);
    EXPECT_TRUE(conforms(access, server));
    EXPECT_TRUE(conforms(server, access));
    // Into plain text the size rule holds as for any text.
    EXPECT_FALSE(conforms(access, col(L"g", VT_BSTR, 36)));
    EXPECT_TRUE(conforms(access, col(L"g", VT_BSTR, 38)));
    // Plain text is no GUID.
    EXPECT_FALSE(conforms(col(L"g", VT_BSTR, 38), server));
}

TEST(UdbConformity, SameTypeDifferentSizes)
{
    // Two columns of one type are not identical whatever their sizes.
    EXPECT_FALSE(col(L"a", VT_ARRAY | VT_UI1, 100) == col(L"a", VT_ARRAY | VT_UI1, 10));
    EXPECT_FALSE(conforms(col(L"a", VT_ARRAY | VT_UI1, 100), col(L"a", VT_ARRAY | VT_UI1, 10)));
    EXPECT_TRUE(conforms(col(L"a", VT_ARRAY | VT_UI1, 10), col(L"a", VT_ARRAY | VT_UI1, 100)));
    EXPECT_TRUE(conforms(col(L"a", VT_ARRAY | VT_UI1, 100), col(L"a", VT_ARRAY | VT_UI1, 0)));

    t_ftd wide = col(L"d", VT_DECIMAL);
    wide.precision = 18;
    wide.scale = 4;
    t_ftd narrow = col(L"d", VT_DECIMAL);
    narrow.precision = 6;
    narrow.scale = 2;
    EXPECT_FALSE(wide == narrow);
    EXPECT_FALSE(conforms(wide, narrow));
    EXPECT_TRUE(conforms(narrow, wide));
    t_ftd fewer_fraction = col(L"d", VT_DECIMAL);
    fewer_fraction.precision = 18;
    fewer_fraction.scale = 0;
    EXPECT_FALSE(conforms(narrow, fewer_fraction));
    EXPECT_TRUE(col(L"a", VT_I4, 4) == col(L"b", VT_I4, 8));
}

udb_schema make(std::initializer_list<t_ftd> cols)
{
    udb_schema s;
    for (const auto& c : cols)
        s.push_back(new t_ftd(c));
    return s;
}

TEST(UdbConformity, SchemasByNameAndByPosition)
{
    const udb_schema src = make({col(L"id", VT_I4), col(L"name", VT_BSTR, 50)});
    const udb_schema swapped = make({col(L"NAME", VT_BSTR, 50), col(L"ID", VT_I4)});
    const udb_schema same = make({col(L"id", VT_I4), col(L"name", VT_BSTR, 80)});
    const udb_schema shorter = make({col(L"id", VT_I4)});
    const udb_schema other = make({col(L"id", VT_I4), col(L"title", VT_BSTR, 50)});

    EXPECT_TRUE(src.conform_to(swapped, true));
    EXPECT_FALSE(src.conform_to(swapped, false));
    EXPECT_TRUE(src.conform_to(same, true));
    EXPECT_TRUE(src.conform_to(same, false));
    EXPECT_FALSE(src.conform_to(shorter, true));
    EXPECT_FALSE(src.conform_to(shorter, false));
    EXPECT_FALSE(src.conform_to(other, true));
    EXPECT_TRUE(src.conform_to(other, false));
}

TEST(UdbSchema, Lookups)
{
    udb_schema s = make({col(L"Id", VT_I4, 4), col(L"Name", VT_BSTR, 50)});
    s.push_back(nullptr);  // readers may leave holes; lookups skip them
    EXPECT_TRUE(s.find_field(L"name"));
    EXPECT_FALSE(s.find_field(L"missing"));
    EXPECT_EQ(s.get_field_idx(L"NAME"), 1);
    EXPECT_EQ(s.get_field_idx(L"x"), -1);
    EXPECT_EQ(s.get_field_size(L"name"), 50u);
    EXPECT_EQ(s.get_field_size(L"x"), 0xFFFFFFFFu);
    EXPECT_EQ(s.get_field_type(L"id"), VT_I4);
    EXPECT_EQ(s.get_field_type(L"x"), VT_NULL);
    ASSERT_NE(s.get_field(L"ID"), nullptr);
    EXPECT_EQ(s.get_field(L"ID")->name, L"Id");
    EXPECT_EQ(s.get_field(L"x"), nullptr);
}

TEST(UdbSchema, OwnershipAndCopies)
{
    // An owning schema frees its descriptors (the sanitizer build checks for leaks).
    udb_schema owner = make({col(L"a", VT_I4), col(L"b", VT_BSTR, 5)});
    owner.auto_seed = 100;

    udb_schema deep(owner);
    ASSERT_EQ(deep.size(), 2u);
    EXPECT_NE(deep[0], owner[0]);
    EXPECT_EQ(deep[1]->name, L"b");
    EXPECT_EQ(deep.auto_seed, 100);

    udb_schema borrowed(false);
    for (t_ftd* f : owner)
        borrowed.push_back(f);
    {
        udb_schema copy_of_borrowed(borrowed);
        EXPECT_EQ(copy_of_borrowed[0], owner[0]);
    }
    borrowed.reset();
    EXPECT_TRUE(borrowed.empty());
    EXPECT_EQ(owner[0]->name, L"a");  // still alive

    udb_schema moved(std::move(deep));
    EXPECT_EQ(moved.size(), 2u);
    owner = moved;
    EXPECT_EQ(owner.size(), 2u);
    EXPECT_NE(owner[0], moved[0]);
    owner.reset();
    EXPECT_TRUE(owner.empty());
}

} // namespace

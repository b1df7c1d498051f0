// ole_guid_extractor and ole_com_ptr.
#include "OLE/ole_guid.h"
#include "OLE/ole_misc.h"
#include "OLE/ole_ptr.h"

#include <gtest/gtest.h>

#include <cstring>

#include "TK/tk_excep.h"

TEST(OleGuid, Forms)
{
    ole_guid_extractor word(std::wstring(L"{guid {00112233-4455-6677-8899-AABBCCDDEEFF}}"));
    ASSERT_TRUE(word.found());
    EXPECT_EQ(L"00112233-4455-6677-8899-AABBCCDDEEFF", word.get_guid_text());
    EXPECT_EQ(L"00112233445566778899AABBCCDDEEFF", word.get_guid_wstr());
    uint8_t b[16];
    word.get_bytes(b);
    const uint8_t want[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(0, std::memcmp(want, b, 16));

    ole_guid_extractor braced(std::string("{00112233-4455-6677-8899-aabbccddeeff}"));
    ASSERT_TRUE(braced.found());
    EXPECT_EQ(L"00112233-4455-6677-8899-aabbccddeeff", braced.get_guid_text());
    ole_guid_extractor plain(std::string("  00112233-4455-6677-8899-aabbccddeeff "));
    ASSERT_TRUE(plain.found());
    EXPECT_EQ(0, plain.position());
}

TEST(OleGuid, RefusedTexts)
{
    const char* bad[] = {
        "0123456789abcdef0123456789abcdef0123",     // digits without dashes: pieces would drop digits
        "001122334-455-6677-8899-AABBCCDDEEFF",     // dash out of place
        "00112233-4455-6677-8899-AABBCCDDEEFG",     // not hexadecimal
        "{00112233-4455-6677-8899-AABBCCDDEEFF",    // 37 characters, no word guid
        "{guid {00112233-4455-6677-8899-AABBCCDDEE}}", // too short after the brace
        "{guid {00112233-4455-6677-8899-AABBCCDDEEFF",  // no closing brace
        "short",
        "00112233-4455-6677-8899-AABBCCDDEEFF-and-some-more-text",
    };
    for (const char* t : bad) {
        ole_guid_extractor g{std::string(t)};
        EXPECT_FALSE(g.found()) << t;
        EXPECT_EQ(L"", g.get_guid_text()) << t;
        uint8_t b[16];
        EXPECT_THROW(g.get_bytes(b), tk_mail_assertion) << t;
    }
    EXPECT_FALSE(ole_guid_extractor(std::wstring(100, L'a')).found());
}

namespace {

constexpr IID IID_IThing = {0x1a2b3c4d, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
struct IThing : IUnknown {
    virtual int value() = 0;
};

int g_alive = 0;
class thing : public com_object<IThing> {
public:
    thing() { ++g_alive; }
    int value() override { return 42; }

protected:
    ~thing() override { --g_alive; }
};

} // namespace

template <> struct com_iid_of<IThing> { static constexpr const IID& value = IID_IThing; };

TEST(OleComPtr, ReleasesOnceAndChecksEmptyUse)
{
    {
        ole_com_ptr<IThing> empty;
        EXPECT_TRUE(empty.is_empty());
        EXPECT_THROW(empty->value(), tk_mail_assertion);
    }
    {
        ole_com_ptr<IThing> p;
        *&p = new thing();
        EXPECT_EQ(1, g_alive);
        EXPECT_EQ(42, p->value());
        EXPECT_EQ(1, ole_get_ref_count(p.get()));
        // Handing the holder to another out-parameter call releases the old interface first.
        *&p = new thing();
        EXPECT_EQ(1, g_alive);
        ole_com_ptr<IThing> moved(std::move(p));
        EXPECT_TRUE(p.is_empty());
        EXPECT_EQ(1, g_alive);
        // Move assignment releases what the target held and takes the source's reference.
        ole_com_ptr<IThing> other;
        *&other = new thing();
        EXPECT_EQ(2, g_alive);
        other = std::move(moved);
        EXPECT_EQ(1, g_alive);
        EXPECT_TRUE(moved.is_empty());
        ole_com_ptr<IThing>& same = other;
        other = std::move(same);
        EXPECT_FALSE(other.is_empty());
        EXPECT_EQ(1, g_alive);
    }
    EXPECT_EQ(0, g_alive);
    EXPECT_THROW(ole_get_ref_count(nullptr), tk_mail_assertion);
    EXPECT_TRUE(ole_is_date_or_bstr(VT_DATE));
    EXPECT_TRUE(ole_is_date_or_bstr(VT_BSTR));
    EXPECT_FALSE(ole_is_date_or_bstr(VT_I4));
}

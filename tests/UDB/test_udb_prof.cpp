#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "UDB/udb_conv.h"
#include "UDB/udb_prof.h"
#include "UDB/udb_rule.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;

class UdbProfile : public ::testing::Test {
protected:
    std::wstring path(const char* name) const { return (dir / name).wstring(); }

    void write(const char* name, const std::string& bytes) const
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }
    std::string read(const char* name) const
    {
        std::ifstream in(dir / name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    const drav_test::scratch_dir scratch{"udb-prof", drav_test::scratch_dir::plain_folder};
    const fs::path dir = scratch.path();
};

TEST_F(UdbProfile, EmptyProfileStoresTheStandardSections)
{
    udb_profile p;
    p.store(path("p.qel"));
    EXPECT_EQ(read("p.qel"),
              "[Available Queries]\r\n\r\n[Generic settings]\r\n\r\n"
              "[Selected Tables]\r\n\r\n[Selected Views]\r\n\r\n");
}

TEST_F(UdbProfile, ParsesLines)
{
    write("p.qel",
          "ignored=before any section\n"
          "[Generic settings]\r\n"
          "  mode = 2  \r\n"
          "a=b=c\r\n"
          "\r\n"
          "bare\r\n"
          "[generic settings]\n"
          "mode=3\n"
          "[Selected Tables]\n"
          "Orders\n"
          "Q1=SELECT [a] FROM [t] WHERE x='='\n");
    udb_profile p;
    p.load(path("p.qel"));
    EXPECT_EQ(p.get_value(L"Generic settings", L"mode "), L" 2");
    EXPECT_EQ(p.get_value(L"Generic settings", L"mode"), L"");
    EXPECT_EQ(p.get_value(L"Generic settings", L"a"), L"b=c");
    EXPECT_TRUE(p.has_value(L"Generic settings", L"bare"));
    EXPECT_EQ(p.get_value(L"generic settings", L"mode"), L"3");
    EXPECT_FALSE(p.has_value(L"Generic settings", L"ignored"));
    const auto& t = p.get_selected_tables();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], (std::pair<std::wstring, std::wstring>{L"Orders", L""}));
    EXPECT_EQ(t[1].second, L"SELECT [a] FROM [t] WHERE x='='");
}

TEST_F(UdbProfile, RoundTripOfOddValues)
{
    const std::wstring long_query = L"SELECT " + std::wstring(20000, L'x') + L" FROM t";
    const std::vector<std::pair<std::wstring, std::wstring>> entries = {
        {L"plain", L"value"},
        {L"multi", L"SELECT *\r\nFROM t\nWHERE a=1"},
        {L"brackets", L"[not a section]"},
        {L"[key]", L"x]"},
        {L"a=b", L"c=d"},
        {L"blanks", L"  padded  "},
        {L" lead", L""},
        {L"unicode \u00e9\u4e2d", L"\u0416\u00fc\U0001F600"},
        {L"path", L"C:\\Data\\new\\base.mdb"},
        {L"\\start", L"\\n"},
        {L"long", long_query},
        {L"", L"empty key"},
    };
    udb_profile p;
    for (const auto& [k, v] : entries)
        p.add_value(L"MS SQL Server settings", k, v);
    for (const auto& [k, v] : entries)
        p.add_value(udb_profile::selected_tables, k, v);
    p.add_value(udb_profile::selected_tables, L"[Order Details]", L"");
    p.add_value(udb_profile::selected_tables, L"Trailing ", L"");
    p.add_value(udb_profile::selected_tables, L"", L"");
    p.store(path("p.qel"));

    udb_profile q;
    q.load(path("p.qel"));
    EXPECT_EQ(q.get_sections(), p.get_sections());
    // Plain entries stay plain in the file.
    const std::string text = read("p.qel");
    EXPECT_NE(text.find("\r\nplain=value\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\npath=C:\\Data\\new\\base.mdb\r\n"), std::string::npos);
}

TEST_F(UdbProfile, LongLinesByteOrderMarkAndAppending)
{
    const std::string value(5000, 'v');
    write("p.qel", "\xEF\xBB\xBF[Available Queries]\r\nq=" + value + "\r\n");
    udb_profile p;
    p.load(path("p.qel"));
    EXPECT_EQ(p.get_value(udb_profile::available_queries, L"q"), std::wstring(5000, L'v'));
    p.load(path("p.qel"));
    EXPECT_EQ(p.get_available_queries().size(), 2u);  // the container appends
}

TEST_F(UdbProfile, Failures)
{
    udb_profile p;
    try {
        p.load(path("missing.qel"));
        FAIL() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_STREQ(e.what(), "Profile does not exist. Please verify the correct path/name was given.");
        EXPECT_EQ(e.level(), 1);
    }
    EXPECT_THROW(p.load(dir.wstring()), tk_exception);
    EXPECT_THROW(p.store((dir / "no" / "such" / "dir.qel").wstring()), tk_exception);
    EXPECT_THROW(p.store(dir.wstring()), tk_exception);
    write("bad.qel", "[Generic settings]\nsrc=\xFF\xFE\n");
    EXPECT_THROW(p.load(path("bad.qel")), std::exception);

    // A file without any of the standard sections is no profile (a database given by mistake).
    for (const std::string& text : {std::string(), std::string("src=a.mdb\n"), std::string("[Other]\nx=1\n"),
                                     std::string("\0\x01Standard Jet DB\0[x]\n", 22)}) {
        write("not.qel", text);
        try {
            udb_profile q;
            q.load(path("not.qel"));
            ADD_FAILURE() << "accepted " << text;
        } catch (const tk_exception& e) {
            EXPECT_EQ(std::string(e.what()), "The file '" + tk_to_string(path("not.qel")) + "' is not a settings profile.");
            EXPECT_EQ(e.level(), 1);
        }
    }
}

// A profile holds the server password: readable by its owner only, also over an older file.
TEST_F(UdbProfile, StoredForTheOwnerOnly)
{
    const mode_t old_mask = ::umask(0);
    write("old.qel", "[Generic settings]\r\n");
    fs::permissions(dir / "old.qel", fs::perms(0666));
    udb_profile p;
    p.store(path("new.qel"));
    p.store(path("old.qel"));
    ::umask(old_mask);
    EXPECT_EQ(fs::status(dir / "new.qel").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(dir / "old.qel").permissions(), fs::perms(0600));
    EXPECT_NE(read("old.qel").find("[Selected Views]"), std::string::npos);
}

class converter : public udb_converter {};

TEST_F(UdbProfile, GenericSettings)
{
    write("p.qel",
          "[Selected Tables]\r\nOrders\r\nBig=SELECT * FROM Orders WHERE a>1\r\n\r\n"
          "[Available Queries]\r\nBig=SELECT * FROM Orders WHERE a>1\r\n\r\n"
          "[Selected Views]\r\nv=SELECT 1\r\n\r\n"
          "[Generic settings]\r\nsrc=C:\\a.mdb\r\ndest=target\r\nonly definitions=yes\r\n"
          "mode=3\r\nskip indexes=0\r\n\r\n");
    udb_profile p;
    p.load(path("p.qel"));
    converter c;
    c.skip_indexes = true;
    c.load_profile(p);
    ASSERT_EQ(c.selected_queries.size(), 2u);
    EXPECT_EQ(c.selected_queries[0].first, L"Orders");
    EXPECT_TRUE(c.selected_queries[0].second.empty());
    EXPECT_EQ(c.selected_queries[1].second, L"SELECT * FROM Orders WHERE a>1");
    EXPECT_EQ(c.available_queries.size(), 1u);
    EXPECT_EQ(c.selected_views.size(), 1u);
    EXPECT_EQ(c.source, L"C:\\a.mdb");
    EXPECT_EQ(c.destination, L"target");
    EXPECT_TRUE(c.only_definitions);
    EXPECT_FALSE(c.skip_indexes);
    EXPECT_EQ(c.mode, 3);

    // Loading again does not double the lists.
    c.load_profile(p);
    EXPECT_EQ(c.selected_queries.size(), 2u);
    EXPECT_EQ(c.available_queries.size(), 1u);
    EXPECT_EQ(c.selected_views.size(), 1u);

    // A mode outside 0-3 is refused before anything is taken over.
    for (const wchar_t* bad : {L"12", L"7", L"x", L"-1"}) {
        udb_profile odd;
        odd.add_value(udb_profile::generic_settings, L"mode", bad);
        odd.add_value(udb_profile::generic_settings, L"only definitions", L"0");
        try {
            c.load_profile(odd);
            ADD_FAILURE() << "accepted mode " << tk_to_string(bad);
        } catch (const tk_exception& e) {
            EXPECT_STREQ(e.what(), "Invalid merge/overwrite mode");
            EXPECT_EQ(e.level(), 1);
        }
        EXPECT_EQ(c.mode, 3);
        EXPECT_TRUE(c.only_definitions);
    }
    // Empty values keep the settings.
    udb_profile odd;
    odd.add_value(udb_profile::generic_settings, L"mode", L"");
    odd.add_value(udb_profile::generic_settings, L"only definitions", L"0");
    c.load_profile(odd);
    EXPECT_EQ(c.mode, 3);
    EXPECT_FALSE(c.only_definitions);
    EXPECT_EQ(c.source, L"C:\\a.mdb");

    udb_profile out;
    c.store_profile(out);
    out.store(path("out.qel"));
    const std::string text = read("out.qel");
    EXPECT_NE(text.find("[Generic settings]\r\nsrc=C:\\a.mdb\r\ndest=target\r\nlogfile=\r\n"
                        "skip indexes=0\r\nonly definitions=0\r\nmode=3\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("[Selected Tables]\r\nOrders\r\nBig=SELECT * FROM Orders WHERE a>1\r\n\r\n"),
              std::string::npos);

    converter back;
    udb_profile in;
    in.load(path("out.qel"));
    back.load_profile(in);
    EXPECT_EQ(back.selected_queries, c.selected_queries);
    EXPECT_EQ(back.available_queries, c.available_queries);
    EXPECT_EQ(back.selected_views, c.selected_views);
    EXPECT_EQ(back.mode, 3);
}

// The conversion-rule registry answers no until a registry with rules exists.
class upper_rule : public udb_conversion_rule {
public:
    bool accepts_value(const ole_variant& v) const override { return v.get_type() == VT_BSTR; }
    bool accepts_column(const t_ftd&) const override { return false; }
    std::wstring convert(const ole_variant& v) const override { return L"<" + v.to_wstring() + L">"; }
    void handle_column(const t_ftd&, void*) const override {}
};

TEST(UdbCustomConversion, Registry)
{
    const ole_variant text(std::wstring(L"a"));
    EXPECT_FALSE(udb_custom_conversion::is_acceptable2(text));
    EXPECT_EQ(udb_custom_conversion::handle2(text), L"");
    {
        udb_custom_conversion registry;
        EXPECT_EQ(udb_custom_conversion::handle2(text), L"");
        upper_rule rule;
        registry.add_rule(&rule);
        EXPECT_TRUE(udb_custom_conversion::is_acceptable2(text));
        EXPECT_EQ(udb_custom_conversion::handle2(text), L"<a>");
        EXPECT_FALSE(udb_custom_conversion::is_acceptable2(ole_variant(1)));
        EXPECT_THROW(udb_custom_conversion::handle2(ole_variant(1)), tk_exception);
    }
    EXPECT_FALSE(udb_custom_conversion::is_acceptable2(text));
}

} // namespace

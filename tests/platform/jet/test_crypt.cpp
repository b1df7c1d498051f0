// Whole-file encrypted ACE databases: password checks and page decryption against the real files.
#include "platform/jet/jet_cipher.h"
#include "platform/jet/jet_crypt.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_error.h"
#include "tests/support/complex_expected.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <set>

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr std::size_t page_size = 4096;

bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Page 0 with its fixed-key scramble undone (the page reader does this before asking for a cipher).
bytes header_of(const bytes& file)
{
    bytes h(file.begin(), file.begin() + page_size);
    const std::uint8_t key[] = {0xC7, 0xDA, 0x39, 0x6B};
    jet::crypt::rc4(key, std::span(h).subspan(0x18, 128));
    return h;
}

bytes page_of(const bytes& file, std::uint32_t n)
{
    return bytes(file.begin() + n * page_size, file.begin() + (n + 1) * page_size);
}

// A page that plainly is a database page: a known type byte with the second byte of its kind.
bool looks_like_page(const bytes& p)
{
    switch (p[0]) {
    case 0x01: return p[1] == 0x01;                                // data page
    case 0x02: return p[1] == 0x01;                                // table definition
    case 0x03: case 0x04: return p[1] == 0x01;                     // index pages
    case 0x05: return p[1] == 0x01;                                // usage map
    case 0x00: return std::all_of(p.begin(), p.end(), [](std::uint8_t b) { return b == 0; });
    default: return false;
    }
}

int error_code_of(const bytes& header, const std::wstring& password)
{
    try {
        jet::make_page_cipher(header, password);
    } catch (const jet::error& e) {
        return e.code();
    }
    return 0;
}

struct encrypted_case {
    const char* name;
    const char* file;
    jet::crypt::method kind;
};

class EncryptedFile : public ::testing::TestWithParam<encrypted_case> {};

TEST_P(EncryptedFile, RightPasswordDecryptsEveryPage)
{
    DRAV_TESTDATA_OR_SKIP(path, GetParam().file);
    const bytes file = read_file(path);
    ASSERT_EQ(file.size() % page_size, 0u);
    const bytes header = header_of(file);
    EXPECT_EQ(jet::crypt::describe(header).kind, GetParam().kind);

    auto cipher = jet::make_page_cipher(header, L"password");
    ASSERT_NE(cipher, nullptr);
    const std::uint32_t pages = static_cast<std::uint32_t>(file.size() / page_size);
    int plain = 0;
    for (std::uint32_t n = 1; n < pages; ++n) {
        bytes p = page_of(file, n);
        if (looks_like_page(p)) ++plain;   // stored pages that happen to look plain would hide a fault
        cipher->decrypt(n, p);
        EXPECT_TRUE(looks_like_page(p)) << "page " << n << " type " << int(p[0]) << "," << int(p[1]);
    }
    EXPECT_EQ(plain, 0);
    // Page 2 of an ACE file is the catalogue's table definition.
    bytes p2 = page_of(file, 2);
    cipher->decrypt(2, p2);
    EXPECT_EQ(p2[0], 0x02);
}

TEST_P(EncryptedFile, WrongOrMissingPasswordIsRefused)
{
    DRAV_TESTDATA_OR_SKIP(path, GetParam().file);
    const bytes header = header_of(read_file(path));
    try {
        jet::make_page_cipher(header, L"Password");
        FAIL() << "a wrong password opened the file";
    } catch (const jet::error& e) {
        EXPECT_EQ(e.code(), jet::err_bad_password);
        EXPECT_STREQ(e.what(), "Not a valid password.");
    }
    try {
        jet::make_page_cipher(header, L"");
        FAIL() << "no password opened the file";
    } catch (const jet::error& e) {
        EXPECT_EQ(e.code(), jet::err_password_required);
        EXPECT_NE(std::string(e.what()).find("password"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("encrypted"), std::string::npos);
    }
    // The password is compared whole, not as a prefix.
    EXPECT_EQ(error_code_of(header, L"password "), jet::err_bad_password);
    EXPECT_EQ(error_code_of(header, L"passwor"), jet::err_bad_password);
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, EncryptedFile,
    ::testing::Values(
        encrypted_case{"Agile", "mdb-reader/encryption/data/office-agile-4.4.accdb", jet::crypt::method::agile},
        encrypted_case{"RC4CryptoAPI", "mdb-reader/encryption/data/office-agile-4.2.accdb",
                       jet::crypt::method::rc4_cryptoapi},
        encrypted_case{"V2010Password", "mdb-reader/password/data/V2010_with-password.accdb",
                       jet::crypt::method::agile}),
    [](const ::testing::TestParamInfo<encrypted_case>& i) { return std::string(i.param.name); });

TEST(PageCipher, PlainFilesNeedNoCipher)
{
    for (const char* rel : {"mdb-reader/password/data/V2010_no-password.accdb", "mdb-reader/data/V2010/test.accdb",
                            "mdb-reader/password/data/V2003_with-password.mdb", "jackcess/V1997/testV1997.mdb"}) {
        DRAV_TESTDATA_OR_SKIP(path, rel);
        bytes file = read_file(path);
        // Jet3 pages are 2 KiB; only the first 2 KiB of the header matter for the question asked.
        file.resize(std::max<std::size_t>(file.size(), page_size));
        const bytes header = header_of(file);
        EXPECT_EQ(jet::make_page_cipher(header, L""), nullptr) << rel;
        EXPECT_EQ(jet::make_page_cipher(header, L"password"), nullptr) << rel;
    }
}

TEST(PageCipher, DamagedProviderRecordIsAnErrorNotACrash)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/encryption/data/office-agile-4.4.accdb");
    const bytes good = header_of(read_file(path));

    bytes h = good;   // length running past the page
    h[jet::crypt::provider_length_offset] = 0xFF;
    h[jet::crypt::provider_length_offset + 1] = 0xFF;
    EXPECT_EQ(error_code_of(h, L"password"), jet::err_corrupt);

    h = good;   // truncated page
    h.resize(0x2A0);
    EXPECT_EQ(error_code_of(h, L"password"), jet::err_corrupt);

    h = good;   // descriptor without its key encryptor
    const std::string xml(h.begin() + jet::crypt::provider_offset, h.end());
    const auto at = xml.find("encryptedKey");
    ASSERT_NE(at, std::string::npos);
    h[jet::crypt::provider_offset + at] = 'X';
    EXPECT_EQ(error_code_of(h, L"password"), jet::err_corrupt);

    h = good;   // unknown provider version
    h[jet::crypt::provider_offset + 2] = 9;
    EXPECT_EQ(error_code_of(h, L"password"), jet::err_unrecognized_format);
}

TEST(PageCipher, RC4FileKeySizeAndDatabaseKeyMatter)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/encryption/data/office-agile-4.2.accdb");
    const bytes file = read_file(path);
    bytes header = header_of(file);
    // Another database key still verifies (the verifier uses block 0) but must decrypt pages differently.
    header[jet::crypt::database_key_offset] ^= 0x01;
    auto cipher = jet::make_page_cipher(header, L"password");
    ASSERT_NE(cipher, nullptr);
    bytes p = page_of(file, 2);
    cipher->decrypt(2, p);
    EXPECT_FALSE(looks_like_page(p));
}

bytes from_hex(const std::string& h)
{
    bytes out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

// No shared file uses the Standard (AES, CryptoAPI) method, so this provider record and the first two
// blocks of page 2 were made apart from this code: password "secret", database key 11 22 33 44, salt 10..1F,
// AES-128, the plain page being page 2 of the unencrypted V2010 file.
TEST(PageCipher, StandardAesMadeElsewhereDecrypts)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/password/data/V2010_no-password.accdb");
    const bytes file = read_file(path);
    bytes header = header_of(file);
    const bytes record = from_hex(
        "04000200240000008c00000024000000000000000e6600000480000080000000180000000000000000000000"
        "4d006900630072006f0073006f0066007400200045006e00680061006e006300650064002000520053004100"
        "200061006e00640020004100450053002000430072007900700074006f006700720061007000680069006300"
        "2000500072006f0076006900640065007200000010000000101112131415161718191a1b1c1d1e1f40902a2c"
        "8d4796e792d67f8f93c346af1400000039eb728c64032fe4678af18bd27a9a55fdde972f8daed10e6fe99098"
        "6208c120");
    ASSERT_EQ(record.size(), 224u);
    const std::uint8_t key[] = {0x11, 0x22, 0x33, 0x44};
    std::copy(key, key + 4, header.begin() + jet::crypt::database_key_offset);
    header[jet::crypt::provider_length_offset] = static_cast<std::uint8_t>(record.size());
    header[jet::crypt::provider_length_offset + 1] = 0;
    std::copy(record.begin(), record.end(), header.begin() + jet::crypt::provider_offset);
    EXPECT_EQ(jet::crypt::describe(header).kind, jet::crypt::method::standard);

    EXPECT_EQ(error_code_of(header, L"Secret"), jet::err_bad_password);
    auto cipher = jet::make_page_cipher(header, L"secret");
    ASSERT_NE(cipher, nullptr);
    bytes blocks = from_hex("0c9467c9c02552100661c65497d2a2f9041ea6432013603b2e5e1ab5ba361926");
    cipher->decrypt(2, blocks);
    EXPECT_EQ(blocks, bytes(file.begin() + 2 * page_size, file.begin() + 2 * page_size + 32));
}

// Damaged provider records, byte by byte: each attempt either gives a cipher or a jet::error, never
// anything else (and, under the sanitizers, no read outside the page).
TEST(PageCipher, MutatedProviderRecordsFailCleanly)
{
    for (const auto& [rel, rounds] : {std::pair<const char*, int>{"mdb-reader/encryption/data/office-agile-4.2.accdb", 400},
                                      std::pair<const char*, int>{"mdb-reader/encryption/data/office-agile-4.4.accdb", 25}}) {
        DRAV_TESTDATA_OR_SKIP(path, rel);
        const bytes good = header_of(read_file(path));
        const std::size_t len = good[jet::crypt::provider_length_offset] | (good[jet::crypt::provider_length_offset + 1] << 8);
        std::mt19937 next(12345);
        for (int i = 0; i < rounds; ++i) {
            bytes h = good;
            for (int k = 0; k < 3; ++k) {
                // Mostly the record itself, sometimes its length or the database key.
                const std::uint32_t r = next();
                const std::size_t at = r % 32 == 0 ? jet::crypt::provider_length_offset + (r >> 8) % 2
                                       : r % 32 == 1 ? jet::crypt::database_key_offset + (r >> 8) % 4
                                                     : jet::crypt::provider_offset + (r >> 8) % len;
                h[at] = static_cast<std::uint8_t>(next() >> 16);
            }
            try {
                auto c = jet::make_page_cipher(h, L"password");
                if (c) {
                    bytes p(page_size, 0xAB);
                    c->decrypt(1, p);
                }
            } catch (const jet::error&) {
            } catch (const std::exception& e) {
                ADD_FAILURE() << rel << " round " << i << ": " << e.what();
            }
        }
    }
}

TEST(CryptPrimitives, PasswordBytesAreUtf16AndCapped)
{
    using jet::crypt::password_bytes;
    EXPECT_EQ(password_bytes(L"ab"), (bytes{'a', 0, 'b', 0}));
    EXPECT_EQ(password_bytes(std::wstring(1, wchar_t(0x1F600))), (bytes{0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(password_bytes(std::wstring(300, L'x')).size(), 510u);
}

TEST(CryptPrimitives, Base64)
{
    using jet::crypt::base64_decode;
    EXPECT_EQ(base64_decode("TWFu"), (bytes{'M', 'a', 'n'}));
    EXPECT_EQ(base64_decode("TWE="), (bytes{'M', 'a'}));
    EXPECT_EQ(base64_decode("TQ=="), (bytes{'M'}));
    EXPECT_EQ(base64_decode(" TW\r\nE= "), (bytes{'M', 'a'}));
    EXPECT_THROW(base64_decode("TWF"), jet::error);
    EXPECT_THROW(base64_decode("T!F="), jet::error);
}

// All user tables of a database, every row as text.
std::map<std::wstring, std::vector<std::vector<std::wstring>>> all_rows(const jet::database& db)
{
    std::map<std::wstring, std::vector<std::vector<std::wstring>>> out;
    for (const jet::catalog_entry* t : db.tables()) {
        auto cur = db.rows(t->name);
        auto& rows = out[t->name];
        while (cur.next()) {
            std::vector<std::wstring> row;
            for (const jet::value& v : cur.values()) row.push_back(expected::text_of(v));
            rows.push_back(std::move(row));
        }
    }
    return out;
}

TEST(EncryptedDatabase, OpensWithItsPasswordAndReadsLikeItsPlainTwin)
{
    DRAV_TESTDATA_OR_SKIP(locked, "mdb-reader/password/data/V2010_with-password.accdb");
    DRAV_TESTDATA_OR_SKIP(plain, "mdb-reader/password/data/V2010_no-password.accdb");
    DRAV_TESTDATA_OR_SKIP(values, "expected/values/mdb-reader/password/data/V2010_no-password.accdb.jsonl");
    auto db = jet::database::open(locked, L"password");
    EXPECT_TRUE(db->header().encrypted);
    const auto ours = all_rows(*db);
    EXPECT_EQ(ours, all_rows(*jet::database::open(plain)));

    // And value by value against the expected rows of the twin.
    const auto lines = expected::read_lines(values);
    const auto want = expected::table_rows(lines, L"Table1");
    ASSERT_EQ(ours.count(L"Table1"), 1u);
    const auto& got = ours.at(L"Table1");
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r)
        for (std::size_t c = 0; c < want[r].size(); ++c) EXPECT_EQ(got[r][c], want[r][c].text) << r << "," << c;
}

TEST(EncryptedDatabase, AgileAndRC4CopiesHoldTheSameTable)
{
    DRAV_TESTDATA_OR_SKIP(agile, "mdb-reader/encryption/data/office-agile-4.4.accdb");
    DRAV_TESTDATA_OR_SKIP(rc4, "mdb-reader/encryption/data/office-agile-4.2.accdb");
    auto a = jet::database::open(agile, L"password");
    auto r = jet::database::open(rc4, L"password");
    std::vector<std::wstring> names;
    for (const jet::catalog_entry* t : r->tables()) names.push_back(t->name);
    EXPECT_EQ(names, std::vector<std::wstring>{L"Table1"});
    const auto rows = all_rows(*r);
    EXPECT_FALSE(rows.at(L"Table1").empty());
    EXPECT_EQ(rows, all_rows(*a));
}

TEST(EncryptedDatabase, WrongOrMissingPasswordFailsTheOpen)
{
    DRAV_TESTDATA_OR_SKIP(locked, "mdb-reader/encryption/data/office-agile-4.2.accdb");
    try {
        jet::database::open(locked, L"nope");
        FAIL() << "opened with a wrong password";
    } catch (const jet::error& e) {
        EXPECT_EQ(e.code(), jet::err_bad_password);
    }
    try {
        jet::database::open(locked);
        FAIL() << "opened without a password";
    } catch (const jet::error& e) {
        EXPECT_EQ(e.code(), jet::err_password_required);
        EXPECT_NE(std::string(e.what()).find("password"), std::string::npos);
    }
}

} // namespace


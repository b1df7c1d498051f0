// The corpus files under a database password, their unprotected twins, and script comparison.
#pragma once
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/jet/jet_rc4.h"

namespace drav_test {

// Every password-protected or encrypted file of the corpus opens with this password.
inline const char* const corpus_db_password = "password";

struct protected_file {
    const char* path;   // below the test data folder
    const char* twin;   // the same database without a password, or null
};

inline const protected_file protected_files[] = {
    {"mdb-reader/password/data/V2000_with-password.mdb", "mdb-reader/password/data/V2000_no-password.mdb"},
    {"mdb-reader/password/data/V2003_with-password.mdb", "mdb-reader/password/data/V2003_no-password.mdb"},
    {"mdb-reader/password/data/V2010_with-password.accdb", "mdb-reader/password/data/V2010_no-password.accdb"},
    {"mdb-reader/encryption/data/office-agile-4.4.accdb", nullptr},
    {"mdb-reader/encryption/data/office-agile-4.2.accdb", nullptr},
};

// A script without its opening comment, which names the file and the day it was written.
inline std::string script_body(const std::string& script)
{
    if (script.rfind("/*", 0) != 0)
        return script;
    const std::size_t end = script.find("*/");
    return end == std::string::npos ? script : script.substr(end + 2);
}

// The image of a Jet4 file (Access 2000-2003) with its database password set: the header's
// scrambled part holds it at 0x42 as UTF-16 (at most 20 characters), masked by the whole days
// of the creation date. Lets a test make passwords that no corpus file has.
inline std::vector<std::uint8_t> with_jet4_password(std::vector<std::uint8_t> image, const std::u16string& password)
{
    constexpr std::size_t scrambled_at = 0x18, scrambled = 128, at = 0x42, room = 40;
    if (image.size() < 4096 || image[20] != 1 || password.size() * 2 > room)
        throw std::invalid_argument("with_jet4_password: not a Jet4 image, or the password is too long");
    const std::uint8_t header_key[4] = {0xC7, 0xDA, 0x39, 0x6B};
    jet::rc4(header_key, 4).apply(image.data() + scrambled_at, scrambled);
    double created = 0;
    std::memcpy(&created, image.data() + 0x72, 8);
    const auto days = static_cast<std::int32_t>(created);
    std::uint8_t mask[4];
    std::memcpy(mask, &days, 4);
    for (std::size_t i = 0; i < room; ++i) {
        const char16_t c = i / 2 < password.size() ? password[i / 2] : u'\0';
        const auto byte = static_cast<std::uint8_t>(i % 2 == 0 ? c & 0xFF : c >> 8);
        image[at + i] = static_cast<std::uint8_t>(byte ^ mask[i % 4]);
    }
    jet::rc4(header_key, 4).apply(image.data() + scrambled_at, scrambled);
    return image;
}

} // namespace drav_test

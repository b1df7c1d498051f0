// Whole-file encryption of ACE databases: what the header page says about it, and the primitives behind the page ciphers.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jet::crypt {

using bytes = std::vector<std::uint8_t>;

// Offsets in the (unscrambled) header page of an ACE file.
inline constexpr std::size_t database_key_offset = 0x3E;    // 4 bytes; all zero when the file is not encrypted
inline constexpr std::size_t provider_length_offset = 0x299; // 16-bit length of the encryption provider record
inline constexpr std::size_t provider_offset = 0x29B;

// The ways an ACE file can be encrypted as a whole.
enum class method {
    none,          // no database key: pages are stored plain
    agile,         // provider 4.4: AES (or another block cipher) with an XML descriptor, salted and spun hash
    rc4_cryptoapi, // provider 2.2/3.2/4.2 with the CryptoAPI flag and RC4
    standard,      // provider 3.2/4.2 with the CryptoAPI and AES flags: AES-ECB, SHA-1 key derivation
    unsupported,   // extensible (x.3), binary RC4 (1.1) or anything unknown
};

// What the header page announces, before any password is tried.
struct encryption_info {
    method kind = method::none;
    std::uint16_t version_major = 0;
    std::uint16_t version_minor = 0;
    std::uint8_t database_key[4] = {};
};

// Reads the encryption facts of an ACE header page (already freed of its fixed scramble).
// Throws jet::error (err_corrupt) when the provider record does not fit the page.
encryption_info describe(std::span<const std::uint8_t> header_page);

// The password as the file format hashes it: UTF-16LE, at most 255 code units.
bytes password_bytes(const std::wstring& password);

// Message digest of the concatenated parts; algorithm by its OpenSSL name ("SHA1", "SHA512", ...).
bytes digest(const std::string& algorithm, std::initializer_list<std::span<const std::uint8_t>> parts);

// Cuts or pads (with `pad`) to exactly n bytes.
bytes fit(bytes b, std::size_t n, std::uint8_t pad = 0);

// Decodes standard base64 (whitespace ignored); throws jet::error (err_corrupt) on bad input.
bytes base64_decode(std::string_view text);

// RC4 keystream applied in place (the same call encrypts and decrypts).
void rc4(std::span<const std::uint8_t> key, std::span<std::uint8_t> data);

// The database key mixed with a page number, the per-page input of every page cipher.
std::array<std::uint8_t, 4> page_key(const std::uint8_t (&database_key)[4], std::uint32_t page_number);

} // namespace jet::crypt

// Whole-file encryption of ACE databases: reading the provider record of the header page, checking the
// password against its verifier and decrypting pages with OpenSSL's libcrypto.
#include "platform/jet/jet_crypt.h"

#include "platform/jet/jet_cipher.h"
#include "platform/jet/jet_error.h"
#include "platform/win/win_utf.h"

// The RC4 of the CryptoAPI method is only reachable through the low-level interface without loading
// OpenSSL's legacy provider; it is still part of libcrypto 3.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rc4.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

namespace jet::crypt {
namespace {

constexpr std::uint32_t flag_cryptoapi = 0x04;
constexpr std::uint32_t flag_external = 0x10;
constexpr std::uint32_t flag_aes = 0x20;

constexpr std::uint32_t alg_rc4 = 0x6801;
constexpr std::uint32_t alg_aes128 = 0x660E;
constexpr std::uint32_t alg_aes192 = 0x660F;
constexpr std::uint32_t alg_aes256 = 0x6610;
constexpr std::uint32_t alg_hash_sha1 = 0x8004;

constexpr std::size_t max_password_units = 255;
constexpr int standard_spin_count = 50000;

const char* const msg_bad_password = "Not a valid password.";
const char* const msg_password_needed =
    "Not a valid password. The database is encrypted and opens only with its password.";

[[noreturn]] void corrupt(const std::string& what)
{
    throw jet::error(err_corrupt, "The database header is damaged: " + what + ".");
}

[[noreturn]] void unsupported(const std::string& what)
{
    throw jet::error(err_unrecognized_format,
                     "The database is encrypted with a method that cannot be read (" + what + ").");
}

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at)
{
    if (at + 2 > b.size()) corrupt("the encryption record is cut short");
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at)
{
    if (at + 4 > b.size()) corrupt("the encryption record is cut short");
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

bytes slice(std::span<const std::uint8_t> b, std::size_t at, std::size_t n)
{
    if (at > b.size() || n > b.size() - at) corrupt("the encryption record is cut short");
    return bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

std::array<std::uint8_t, 4> le32_bytes(std::uint32_t v)
{
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

struct md_ctx_free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct cipher_ctx_free {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

const EVP_MD* find_digest(const std::string& name)
{
    const EVP_MD* md = EVP_get_digestbyname(name.c_str());
    if (!md) unsupported("hash algorithm " + name);
    return md;
}

// One block-cipher pass over data in place, without padding.
void block_decrypt(const EVP_CIPHER* cipher, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                   std::span<std::uint8_t> data)
{
    std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_free> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) throw std::bad_alloc();
    if (static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher)) != key.size())
        corrupt("the encryption key has the wrong length");
    const std::size_t iv_len = static_cast<std::size_t>(EVP_CIPHER_get_iv_length(cipher));
    if (iv_len > iv.size()) corrupt("the encryption salt is too short");
    if (EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv_len ? iv.data() : nullptr) != 1)
        throw jet::error(err_io, "The cipher of the encrypted database could not be started.");
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    const std::size_t block = static_cast<std::size_t>(EVP_CIPHER_get_block_size(cipher));
    const std::size_t n = block > 1 ? data.size() - data.size() % block : data.size();
    int out = 0;
    if (n && EVP_DecryptUpdate(ctx.get(), data.data(), &out, data.data(), static_cast<int>(n)) != 1)
        throw jet::error(err_io, "A page of the encrypted database could not be decrypted.");
}

const EVP_CIPHER* aes_cipher(std::size_t key_bits, std::string_view chaining)
{
    const bool cbc = chaining == "ChainingModeCBC";
    const bool cfb = chaining == "ChainingModeCFB";
    const bool ecb = chaining == "ECB";
    switch (key_bits) {
    case 128: return cbc ? EVP_aes_128_cbc() : cfb ? EVP_aes_128_cfb8() : ecb ? EVP_aes_128_ecb() : nullptr;
    case 192: return cbc ? EVP_aes_192_cbc() : cfb ? EVP_aes_192_cfb8() : ecb ? EVP_aes_192_ecb() : nullptr;
    case 256: return cbc ? EVP_aes_256_cbc() : cfb ? EVP_aes_256_cfb8() : ecb ? EVP_aes_256_ecb() : nullptr;
    default: return nullptr;
    }
}

// H(salt + password), then `spins` rounds of H(round number + previous hash).
bytes spun_hash(const std::string& algorithm, const bytes& salt, const bytes& password, int spins)
{
    const EVP_MD* md = find_digest(algorithm);
    std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
    if (!ctx) throw std::bad_alloc();
    bytes h = digest(algorithm, {salt, password});
    unsigned len = 0;
    for (int i = 0; i < spins; ++i) {
        const auto n = le32_bytes(static_cast<std::uint32_t>(i));
        EVP_DigestInit_ex(ctx.get(), md, nullptr);
        EVP_DigestUpdate(ctx.get(), n.data(), n.size());
        EVP_DigestUpdate(ctx.get(), h.data(), h.size());
        EVP_DigestFinal_ex(ctx.get(), h.data(), &len);
    }
    return h;
}

// ---- Agile (4.4) ------------------------------------------------------------------------------------------

// Attributes of the first element with the given local name that carries `required`.
std::map<std::string, std::string> xml_element(std::string_view xml, std::string_view local_name,
                                               std::string_view required)
{
    std::size_t pos = 0;
    while ((pos = xml.find('<', pos)) != std::string_view::npos) {
        ++pos;
        std::size_t end = pos;
        while (end < xml.size() && !std::isspace(static_cast<unsigned char>(xml[end])) && xml[end] != '>' &&
               xml[end] != '/')
            ++end;
        std::string_view tag = xml.substr(pos, end - pos);
        if (auto colon = tag.rfind(':'); colon != std::string_view::npos) tag.remove_prefix(colon + 1);
        if (tag != local_name) continue;
        std::map<std::string, std::string> attrs;
        std::size_t i = end;
        while (i < xml.size() && xml[i] != '>') {
            while (i < xml.size() && std::isspace(static_cast<unsigned char>(xml[i]))) ++i;
            if (i >= xml.size() || xml[i] == '>' || xml[i] == '/') break;
            const std::size_t name_start = i;
            while (i < xml.size() && xml[i] != '=' && xml[i] != '>' && !std::isspace(static_cast<unsigned char>(xml[i])))
                ++i;
            std::string name(xml.substr(name_start, i - name_start));
            while (i < xml.size() && std::isspace(static_cast<unsigned char>(xml[i]))) ++i;
            if (i >= xml.size() || xml[i] != '=') break;
            ++i;
            while (i < xml.size() && std::isspace(static_cast<unsigned char>(xml[i]))) ++i;
            if (i >= xml.size() || (xml[i] != '"' && xml[i] != '\'')) break;
            const char quote = xml[i++];
            const std::size_t value_end = xml.find(quote, i);
            if (value_end == std::string_view::npos) break;
            attrs.emplace(std::move(name), std::string(xml.substr(i, value_end - i)));
            i = value_end + 1;
        }
        if (required.empty() || attrs.count(std::string(required))) return attrs;
    }
    corrupt("the encryption descriptor has no " + std::string(local_name) + " element");
}

const std::string& attr(const std::map<std::string, std::string>& a, const char* name)
{
    auto it = a.find(name);
    if (it == a.end()) corrupt(std::string("the encryption descriptor lacks ") + name);
    return it->second;
}

std::size_t attr_number(const std::map<std::string, std::string>& a, const char* name, std::size_t max)
{
    const std::string& v = attr(a, name);
    std::size_t n = 0;
    if (v.empty() || v.size() > 9) corrupt(std::string("the encryption descriptor has a bad ") + name);
    for (char c : v) {
        if (c < '0' || c > '9') corrupt(std::string("the encryption descriptor has a bad ") + name);
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    if (n > max) corrupt(std::string("the encryption descriptor has a bad ") + name);
    return n;
}

// Hash names of the descriptor ("SHA512") as OpenSSL knows them.
std::string digest_name(const std::string& descriptor_name)
{
    static const std::map<std::string, std::string> names = {
        {"SHA1", "SHA1"}, {"SHA256", "SHA256"}, {"SHA384", "SHA384"}, {"SHA512", "SHA512"}, {"MD5", "MD5"}};
    auto it = names.find(descriptor_name);
    if (it == names.end()) unsupported("hash algorithm " + descriptor_name);
    return it->second;
}

struct agile_params {
    const EVP_CIPHER* cipher = nullptr;
    std::size_t key_bytes = 0;
    std::size_t block_size = 0;
    std::size_t hash_size = 0;
    std::size_t salt_size = 0;
    std::string hash;
    bytes salt;
};

agile_params read_agile_params(const std::map<std::string, std::string>& a)
{
    agile_params p;
    p.key_bytes = attr_number(a, "keyBits", 4096) / 8;
    p.block_size = attr_number(a, "blockSize", 1024);
    p.hash_size = attr_number(a, "hashSize", 1024);
    p.salt_size = attr_number(a, "saltSize", 1024);
    p.hash = digest_name(attr(a, "hashAlgorithm"));
    p.salt = base64_decode(attr(a, "saltValue"));
    const std::string& alg = attr(a, "cipherAlgorithm");
    if (alg != "AES") unsupported("cipher " + alg);
    p.cipher = aes_cipher(p.key_bytes * 8, attr(a, "cipherChaining"));
    if (!p.cipher) unsupported("cipher " + alg + " " + attr(a, "cipherChaining"));
    if (p.block_size != 16 || p.salt.size() < p.salt_size) corrupt("the encryption descriptor is inconsistent");
    return p;
}

class agile_page_cipher final : public page_cipher {
public:
    agile_page_cipher(agile_params data, bytes key, const std::uint8_t (&db_key)[4])
        : data_(std::move(data)), key_(std::move(key))
    {
        std::memcpy(db_key_, db_key, 4);
    }

    void decrypt(std::uint32_t page_number, std::span<std::uint8_t> page) const override
    {
        const auto pk = page_key(db_key_, page_number);
        const bytes iv = fit(digest(data_.hash, {data_.salt, pk}), data_.block_size, 0x36);
        block_decrypt(data_.cipher, key_, iv, page);
    }

private:
    agile_params data_;
    bytes key_;
    std::uint8_t db_key_[4];
};

std::unique_ptr<page_cipher> make_agile(std::span<const std::uint8_t> provider, const encryption_info& info,
                                        const bytes& password, bool password_given)
{
    if (le32(provider, 4) != 0x40) corrupt("the agile encryption record has an unknown layout");
    std::string_view xml(reinterpret_cast<const char*>(provider.data()) + 8, provider.size() - 8);

    agile_params data = read_agile_params(xml_element(xml, "keyData", "saltValue"));
    const auto enc = xml_element(xml, "encryptedKey", "spinCount");
    agile_params pw = read_agile_params(enc);
    const std::size_t spins = attr_number(enc, "spinCount", 10'000'000);
    const bytes verifier_input = base64_decode(attr(enc, "encryptedVerifierHashInput"));
    const bytes verifier_value = base64_decode(attr(enc, "encryptedVerifierHashValue"));
    bytes key_value = base64_decode(attr(enc, "encryptedKeyValue"));

    const bytes spun = spun_hash(pw.hash, pw.salt, password, static_cast<int>(spins));
    const bytes iv = fit(pw.salt, pw.block_size, 0x36);
    auto decrypt_with = [&](std::initializer_list<std::uint8_t> block, bytes value) {
        const bytes block_bytes(block);
        const bytes key = fit(digest(pw.hash, {spun, block_bytes}), pw.key_bytes, 0x36);
        block_decrypt(pw.cipher, key, iv, value);
        return value;
    };

    bytes input = decrypt_with({0xfe, 0xa7, 0xd2, 0x76, 0x3b, 0x4b, 0x9e, 0x79}, verifier_input);
    bytes value = decrypt_with({0xd7, 0xaa, 0x0f, 0x6d, 0x30, 0x61, 0x34, 0x4e}, verifier_value);
    if (input.size() > pw.salt_size) input.resize(pw.salt_size);
    const bytes expected = digest(pw.hash, {input});
    if (value.size() < expected.size() || !same(std::span(value).first(expected.size()), expected))
        throw jet::error(password_given ? err_bad_password : err_password_required,
                         password_given ? msg_bad_password : msg_password_needed);

    key_value = decrypt_with({0x14, 0x6e, 0x0b, 0xe7, 0xab, 0xac, 0xd0, 0xd6}, key_value);
    if (key_value.size() < data.key_bytes) corrupt("the encrypted database key is too short");
    key_value.resize(data.key_bytes);
    return std::make_unique<agile_page_cipher>(std::move(data), std::move(key_value), info.database_key);
}

// ---- CryptoAPI (x.2): RC4 and Standard AES ----------------------------------------------------------------

struct cryptoapi_header {
    std::uint32_t flags = 0;
    std::uint32_t algorithm = 0;
    std::uint32_t hash_algorithm = 0;
    std::uint32_t key_bits = 0;
    bytes salt;
    bytes verifier;
    std::uint32_t verifier_hash_size = 0;
    bytes verifier_hash;
};

// Layout after the version: flags, header size, header (flags, extra size, algorithm, hash algorithm, key
// size, provider type, two reserved words, provider name), then the verifier (salt size, salt, encrypted
// verifier, hash size, encrypted hash).
cryptoapi_header read_cryptoapi(std::span<const std::uint8_t> provider)
{
    cryptoapi_header h;
    const std::uint32_t header_size = le32(provider, 8);
    if (header_size < 32 || header_size > provider.size()) corrupt("the encryption header has a bad size");
    const auto header = provider.subspan(12, header_size);
    h.flags = le32(header, 0);
    h.algorithm = le32(header, 8);
    h.hash_algorithm = le32(header, 12);
    h.key_bits = le32(header, 16);

    std::u16string csp;
    for (std::size_t i = 32; i + 1 < header.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(header[i] | (header[i + 1] << 8));
        if (!c) break;
        csp += c;
    }

    if (h.algorithm == 0) {
        if (h.flags & flag_external) unsupported("external cipher");
        if (!(h.flags & flag_cryptoapi)) unsupported("unknown cipher");
        h.algorithm = (h.flags & flag_aes) ? alg_aes128 : alg_rc4;
    }
    if (h.hash_algorithm == 0) {
        if (h.flags & flag_external) unsupported("external hash");
        h.hash_algorithm = alg_hash_sha1;
    }
    if (h.hash_algorithm != alg_hash_sha1) unsupported("hash algorithm " + std::to_string(h.hash_algorithm));
    if (h.key_bits == 0) {
        if (h.algorithm == alg_rc4) {
            // The provider's default: 40 bits for the base providers (or none named), 128 for the others.
            std::string lower;
            for (char16_t c : csp) lower += static_cast<char>(c < 128 ? std::tolower(static_cast<int>(c)) : '?');
            const auto b = lower.find_first_not_of(' ');
            const auto e = lower.find_last_not_of(' ');
            lower = b == std::string::npos ? std::string() : lower.substr(b, e - b + 1);
            h.key_bits = (lower.empty() || lower.find(" base ") != std::string::npos) ? 40 : 128;
        } else {
            h.key_bits = h.algorithm == alg_aes256 ? 256 : h.algorithm == alg_aes192 ? 192 : 128;
        }
    }
    if (h.key_bits % 8) corrupt("the encryption key size is not whole bytes");

    std::size_t at = 12 + header_size;
    const std::uint32_t salt_size = le32(provider, at);
    if (salt_size != 16) corrupt("the encryption salt has a bad size");
    h.salt = slice(provider, at + 4, 16);
    h.verifier = slice(provider, at + 20, 16);
    h.verifier_hash_size = le32(provider, at + 36);
    const std::size_t hash_len = h.algorithm == alg_rc4 ? 20 : 32;
    if (h.verifier_hash_size > hash_len) corrupt("the password verifier has a bad size");
    h.verifier_hash = slice(provider, at + 40, hash_len);
    return h;
}

class rc4_page_cipher final : public page_cipher {
public:
    rc4_page_cipher(bytes base, std::size_t key_bytes, bool pad_to_128, const std::uint8_t (&db_key)[4])
        : base_(std::move(base)), key_bytes_(key_bytes), pad_(pad_to_128)
    {
        std::memcpy(db_key_, db_key, 4);
    }

    bytes key_for(std::span<const std::uint8_t> block) const
    {
        bytes k = fit(digest("SHA1", {base_, block}), key_bytes_);
        if (pad_) k = fit(std::move(k), 16);
        return k;
    }

    void decrypt(std::uint32_t page_number, std::span<std::uint8_t> page) const override
    {
        rc4(key_for(page_key(db_key_, page_number)), page);
    }

private:
    bytes base_;
    std::size_t key_bytes_;
    bool pad_;
    std::uint8_t db_key_[4];
};

class standard_page_cipher final : public page_cipher {
public:
    standard_page_cipher(bytes spun, std::size_t key_bytes, const std::uint8_t (&db_key)[4])
        : spun_(std::move(spun)), key_bytes_(key_bytes)
    {
        std::memcpy(db_key_, db_key, 4);
    }

    // Final hash with the block, then the two padded hashes of the CryptoAPI key derivation.
    bytes key_for(std::span<const std::uint8_t> block) const
    {
        const bytes final_hash = digest("SHA1", {spun_, block});
        bytes x1(64, 0x36), x2(64, 0x5C);
        for (std::size_t i = 0; i < final_hash.size(); ++i) {
            x1[i] ^= final_hash[i];
            x2[i] ^= final_hash[i];
        }
        bytes key = digest("SHA1", {x1});
        const bytes h2 = digest("SHA1", {x2});
        key.insert(key.end(), h2.begin(), h2.end());
        return fit(std::move(key), key_bytes_);
    }

    const EVP_CIPHER* cipher() const { return aes_cipher(key_bytes_ * 8, "ECB"); }

    void decrypt(std::uint32_t page_number, std::span<std::uint8_t> page) const override
    {
        block_decrypt(cipher(), key_for(page_key(db_key_, page_number)), {}, page);
    }

private:
    bytes spun_;
    std::size_t key_bytes_;
    std::uint8_t db_key_[4];
};

std::unique_ptr<page_cipher> make_standard(const cryptoapi_header& h, const encryption_info& info,
                                           const bytes& password, bool password_given, int spins)
{
    if (h.algorithm != alg_aes128 && h.algorithm != alg_aes192 && h.algorithm != alg_aes256)
        unsupported("cipher " + std::to_string(h.algorithm));
    const std::size_t key_bytes = h.key_bits / 8;
    if (!aes_cipher(h.key_bits, "ECB")) corrupt("the encryption key size does not fit AES");
    auto c = std::make_unique<standard_page_cipher>(spun_hash("SHA1", h.salt, password, spins), key_bytes,
                                                    info.database_key);
    const auto zero = le32_bytes(0);
    const bytes key = c->key_for(zero);
    bytes verifier = h.verifier;
    bytes verifier_hash = h.verifier_hash;
    block_decrypt(c->cipher(), key, {}, verifier);
    block_decrypt(c->cipher(), key, {}, verifier_hash);
    const bytes expected = fit(digest("SHA1", {verifier}), h.verifier_hash_size);
    if (!same(fit(verifier_hash, h.verifier_hash_size), expected))
        throw jet::error(password_given ? err_bad_password : err_password_required,
                         password_given ? msg_bad_password : msg_password_needed);
    return c;
}

std::unique_ptr<page_cipher> make_rc4(const cryptoapi_header& h, const encryption_info& info, const bytes& password,
                                      bool password_given)
{
    if (h.key_bits < 40 || h.key_bits > 512) corrupt("the RC4 key size is out of range");
    auto c = std::make_unique<rc4_page_cipher>(digest("SHA1", {h.salt, password}), h.key_bits / 8, h.key_bits == 40,
                                               info.database_key);
    // The verifier and its hash are one RC4 stream under the key of block 0.
    bytes stream = h.verifier;
    stream.insert(stream.end(), h.verifier_hash.begin(), h.verifier_hash.end());
    const auto zero = le32_bytes(0);
    rc4(c->key_for(zero), stream);
    const bytes verifier(stream.begin(), stream.begin() + 16);
    const bytes verifier_hash = fit(bytes(stream.begin() + 16, stream.end()), h.verifier_hash_size);
    if (!same(verifier_hash, fit(digest("SHA1", {verifier}), h.verifier_hash_size)))
        throw jet::error(password_given ? err_bad_password : err_password_required,
                         password_given ? msg_bad_password : msg_password_needed);
    return c;
}

} // namespace

encryption_info describe(std::span<const std::uint8_t> header_page)
{
    encryption_info info;
    if (header_page.size() < provider_offset) corrupt("the header page is too short");
    std::memcpy(info.database_key, header_page.data() + database_key_offset, 4);
    if (!info.database_key[0] && !info.database_key[1] && !info.database_key[2] && !info.database_key[3])
        return info;
    const std::size_t len = le16(header_page, provider_length_offset);
    if (len < 8 || provider_offset + len > header_page.size())
        corrupt("its encryption record does not fit the header page");
    const auto provider = header_page.subspan(provider_offset, len);
    info.version_major = le16(provider, 0);
    info.version_minor = le16(provider, 2);
    const auto major = info.version_major, minor = info.version_minor;
    if (major == 4 && minor == 4) {
        info.kind = method::agile;
    } else if ((major == 2 || major == 3 || major == 4) && minor == 2) {
        const std::uint32_t flags = le32(provider, 4);
        if (!(flags & flag_cryptoapi))
            info.kind = method::unsupported;
        else
            info.kind = (flags & flag_aes) ? method::standard : method::rc4_cryptoapi;
    } else {
        info.kind = method::unsupported;
    }
    return info;
}

bytes password_bytes(const std::wstring& password)
{
    bytes out;
    std::size_t units = 0;
    for (wchar_t wc : password) {
        char16_t u16[2];
        const auto n = static_cast<std::size_t>(win_utf16_put(static_cast<char32_t>(wc), u16));
        if (units + n > max_password_units) break;
        for (std::size_t k = 0; k < n; ++k) {
            out.push_back(static_cast<std::uint8_t>(u16[k]));
            out.push_back(static_cast<std::uint8_t>(u16[k] >> 8));
        }
        units += n;
    }
    return out;
}

bytes digest(const std::string& algorithm, std::initializer_list<std::span<const std::uint8_t>> parts)
{
    const EVP_MD* md = find_digest(algorithm);
    std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
    if (!ctx) throw std::bad_alloc();
    bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
    unsigned len = 0;
    EVP_DigestInit_ex(ctx.get(), md, nullptr);
    for (auto p : parts) EVP_DigestUpdate(ctx.get(), p.data(), p.size());
    EVP_DigestFinal_ex(ctx.get(), out.data(), &len);
    out.resize(len);
    return out;
}

bytes fit(bytes b, std::size_t n, std::uint8_t pad)
{
    b.resize(n, pad);
    return b;
}

bytes base64_decode(std::string_view text)
{
    std::string clean;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) clean += c;
    if (clean.size() % 4) corrupt("a base64 value has a bad length");
    bytes out(clean.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) corrupt("a base64 value is malformed");
    std::size_t len = static_cast<std::size_t>(n);
    if (!clean.empty() && clean.back() == '=') --len;
    if (clean.size() > 1 && clean[clean.size() - 2] == '=') --len;
    out.resize(len);
    return out;
}

void rc4(std::span<const std::uint8_t> key, std::span<std::uint8_t> data)
{
    RC4_KEY k;
    RC4_set_key(&k, static_cast<int>(key.size()), key.data());
    if (!data.empty()) RC4(&k, data.size(), data.data(), data.data());
    OPENSSL_cleanse(&k, sizeof k);
}

std::array<std::uint8_t, 4> page_key(const std::uint8_t (&database_key)[4], std::uint32_t page_number)
{
    auto n = le32_bytes(page_number);
    for (int i = 0; i < 4; ++i) n[i] ^= database_key[i];
    return n;
}

} // namespace jet::crypt

namespace jet {

std::unique_ptr<page_cipher> make_page_cipher(std::span<const std::uint8_t> header_page, const std::wstring& password)
{
    using namespace crypt;
    // Jet3 and Jet4 files have their own page encoding, handled by the page reader itself.
    if (header_page.size() <= 0x14 || header_page[0x14] < 2) return nullptr;
    const encryption_info info = describe(header_page);
    if (info.kind == method::none) return nullptr;
    const auto provider = header_page.subspan(provider_offset, le16(header_page, provider_length_offset));
    const bytes pwd = password_bytes(password);
    const bool given = !password.empty();

    switch (info.kind) {
    case method::agile:
        return make_agile(provider, info, pwd, given);
    case method::standard:
        return make_standard(read_cryptoapi(provider), info, pwd, given, standard_spin_count);
    case method::rc4_cryptoapi: {
        const cryptoapi_header h = read_cryptoapi(provider);
        // Some writers put AES under the RC4 flags; they derive the key without spinning.
        if (h.algorithm == alg_aes128 || h.algorithm == alg_aes192 || h.algorithm == alg_aes256)
            return make_standard(h, info, pwd, given, 0);
        if (h.algorithm != alg_rc4) unsupported("cipher " + std::to_string(h.algorithm));
        return make_rc4(h, info, pwd, given);
    }
    default:
        unsupported("provider version " + std::to_string(info.version_major) + "." +
                    std::to_string(info.version_minor));
    }
}

} // namespace jet

// Decryption of the pages of a whole-file encrypted database, plugged into the page reader.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace jet {

// Turns one stored page back into plain bytes; page 0 (the header) is never passed in.
class page_cipher {
public:
    virtual ~page_cipher() = default;
    virtual void decrypt(std::uint32_t page_number, std::span<std::uint8_t> page) const = 0;
};

// For an ACE file whose header page announces whole-file encryption: checks the password against the
// stored verifier and returns the matching cipher. Returns nullptr when the file is not encrypted.
// Throws jet::error (err_bad_password) for a wrong or missing password.
std::unique_ptr<page_cipher> make_page_cipher(std::span<const std::uint8_t> header_page,
                                              const std::wstring& password);

} // namespace jet

// RC4 stream cipher, used for the scrambled header and the page encoding of Jet3/Jet4 files.
#pragma once
#include <cstddef>
#include <cstdint>

namespace jet {

class rc4 {
public:
    rc4(const std::uint8_t* key, std::size_t key_len);
    // XORs the key stream into the bytes in place.
    void apply(std::uint8_t* data, std::size_t n);

private:
    std::uint8_t s_[256];
    std::uint8_t i_ = 0, j_ = 0;
};

} // namespace jet

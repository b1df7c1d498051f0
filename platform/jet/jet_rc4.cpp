#include "platform/jet/jet_rc4.h"

#include <utility>

namespace jet {

rc4::rc4(const std::uint8_t* key, std::size_t key_len)
{
    for (int k = 0; k < 256; ++k) s_[k] = static_cast<std::uint8_t>(k);
    std::uint8_t j = 0;
    for (int k = 0; k < 256; ++k) {
        j = static_cast<std::uint8_t>(j + s_[k] + (key_len ? key[k % key_len] : 0));
        std::swap(s_[k], s_[j]);
    }
}

void rc4::apply(std::uint8_t* data, std::size_t n)
{
    std::uint8_t i = i_, j = j_;
    for (std::size_t k = 0; k < n; ++k) {
        i = static_cast<std::uint8_t>(i + 1);
        j = static_cast<std::uint8_t>(j + s_[i]);
        std::swap(s_[i], s_[j]);
        data[k] ^= s_[static_cast<std::uint8_t>(s_[i] + s_[j])];
    }
    i_ = i;
    j_ = j;
}

} // namespace jet

#include <cstring>

#include "platform/jet/jet_rc4.h"
#include "platform/jet/jet_write3.h"

namespace jet {

std::vector<std::uint8_t> jet3_header_page(int code_page)
{
    std::vector<std::uint8_t> h(2048, 0);
    h[1] = 0x01;
    std::memcpy(h.data() + 4, "Standard Jet DB", 15);
    h[20] = 0x00;
    // The scrambled part, in the clear: a fixed preamble, then the General sort order (legacy, as
    // Access 97 writes it), the code page, no page key and an empty password. Jet3 keeps no creation date.
    std::uint8_t* s = h.data() + 0x18;
    const std::uint8_t preamble[24] = {0, 1, 0, 0, 1, 1, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
    std::memcpy(s, preamble, sizeof preamble);
    h[0x38] = 0x01;
    h[0x3A] = 0x09;
    h[0x3B] = 0x04;
    h[0x3C] = static_cast<std::uint8_t>(code_page);
    h[0x3D] = static_cast<std::uint8_t>(code_page >> 8);
    h[0x56] = 0x1E;
    h[0x57] = 0x25;
    const std::uint8_t key[4] = {0xC7, 0xDA, 0x39, 0x6B};
    rc4 r(key, 4);
    r.apply(s, 126);
    // The trailing block of the page as Access 97 leaves it in a new database.
    h[0x600] = 0x01;
    h[0x601] = 0x01;
    h[0x602] = 0x14;
    for (std::size_t i = 0x603; i < h.size(); i += 2) h[i] = 0x01;
    return h;
}

} // namespace jet

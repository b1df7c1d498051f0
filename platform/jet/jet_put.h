// Little-endian numbers written into file bytes: the mirror of rd16/rd32 for the writer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

// Into memory the caller has sized.
inline void put16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

// Appended to a buffer.
inline void put8(bytes& b, std::uint8_t v) { b.push_back(v); }
inline void put16(bytes& b, std::uint32_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put32(bytes& b, std::uint32_t v)
{
    put16(b, v);
    put16(b, v >> 16);
}
// A row pointer as stored: the row number, then the page in three bytes.
inline void put_pointer(bytes& b, row_pointer p)
{
    put8(b, p.row);
    put8(b, static_cast<std::uint8_t>(p.page));
    put16(b, p.page >> 8);
}

} // namespace jet

// Fixed-width Windows data types as the system code names them (LONG is 32 bits here too).
#pragma once
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using LCID = DWORD;
using HMODULE = void*;
using FARPROC = void (*)();

// Traditional path limit; our own code does not rely on it for buffers.
constexpr DWORD MAX_PATH = 260;

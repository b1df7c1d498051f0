// Text values as index-key bytes in the General sort orders.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/jet/jet_sort_codes.h"

namespace jet {

// Characters of a text (UTF-16 units) that take part in its key: Access keys at most this many.
inline constexpr std::size_t max_key_text_units = 255;

// Appends the key bytes of a non-null text (the flag byte before it is the caller's). The text is cut
// to its first 255 UTF-16 units and its trailing spaces dropped; descending keys are the ascending
// bytes inverted.
void append_text_key(std::wstring_view text, text_order order, bool ascending, std::vector<std::uint8_t>& out);

} // namespace jet

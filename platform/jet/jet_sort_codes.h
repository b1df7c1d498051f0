// Per-character key codes of the General sort orders (the generated tables and their lookup).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace jet {

// The three General sort orders text keys are built in: Access 2010 and later ("general"), Access
// 2000-2007 ("general_legacy", also the default of Jet4 files) and Access 97 ("general_97", Jet3 files).
enum class text_order { general, general_legacy, general_97 };

// How one UTF-16 unit takes part in a text key.
enum class code_kind : std::uint8_t {
    ignored = 0,      // leaves no trace in the key
    plain = 1,        // inline code only
    accented = 2,     // inline code, plus an extra code after the text (accents, case)
    unprintable = 3,  // no inline code; recorded with its position after the text
    modifier = 4,     // adds to the previous extra code
    compat = 5,       // inline code, optional extra code, and a compatibility flag 3
    significant = 6,  // inline code; in the 97 order it counts in the extra-code positions
    compat_1 = 7,     // as compat, with compatibility flag 2
};

// The codes of one UTF-16 unit in one order.
struct char_code {
    code_kind kind = code_kind::ignored;
    std::uint8_t code[8] = {};     // inline code (or the unprintable bytes, or the modifier byte)
    std::uint8_t code_len = 0;
    std::span<const std::uint8_t> extra; // the extra code (accented/compat), empty when none
};

// Looks up `unit` (surrogates are computed, not tabled; the 97 order maps a few characters beyond
// 0xFF onto their single-byte equivalents and ignores the rest).
char_code code_of(text_order order, char16_t unit);

namespace sort_codes {

// A run of consecutive units of one kind whose inline codes step evenly. Tables are generated.
struct sort_run {
    std::uint16_t first;
    std::uint16_t count;
    std::uint8_t kind;
    std::uint8_t step;      // added per unit; 0x80 set: the last code byte counts 0x02..0xFF only
    std::uint8_t code_len;
    std::uint8_t extra_len;
    std::uint32_t pool_at;  // code bytes then extra bytes in `pool`
};

extern const sort_run general_runs[];
extern const std::size_t general_runs_count;
extern const sort_run legacy_runs[];
extern const std::size_t legacy_runs_count;
extern const sort_run general97_runs[];
extern const std::size_t general97_runs_count;
extern const std::pair<char16_t, std::uint8_t> general97_mappings[];
extern const std::size_t general97_mappings_count;
extern const std::uint8_t pool[];
extern const std::size_t pool_size;

} // namespace sort_codes
} // namespace jet

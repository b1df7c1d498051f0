#include "platform/jet/jet_text.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/win/win_utf.h"

namespace jet {

namespace {

// Writes UTF-16 code units as UTF-32 characters straight into a buffer, joining surrogate pairs
// (also across the runs of a compressed text); an unpaired surrogate is kept as it stands, so
// that the text is given back as the file holds it.
class utf16_sink {
public:
    explicit utf16_sink(wchar_t* out) : o_(out) {}

    void put(char32_t u)
    {
        if (high_) {
            if (win_utf16_is_tail(u)) {
                *o_++ = static_cast<wchar_t>(win_utf16_join(high_, u));
                high_ = 0;
                return;
            }
            *o_++ = static_cast<wchar_t>(high_);
            high_ = 0;
        }
        if (win_utf16_is_lead(u))
            high_ = u;
        else
            *o_++ = static_cast<wchar_t>(u);
    }
    // A one-byte character: never part of a pair.
    void put_byte(std::uint8_t b)
    {
        if (high_) {
            *o_++ = static_cast<wchar_t>(high_);
            high_ = 0;
        }
        *o_++ = static_cast<wchar_t>(b);
    }
    // A run of one-byte characters, widened 16 at a time where the processor allows.
    void put_bytes(const std::uint8_t* b, std::size_t n)
    {
        if (n == 0)
            return;
        put_byte(*b++);
        --n;
        std::size_t k = 0;
#if defined(__SSE2__)
        static_assert(sizeof(wchar_t) == 4, "wide characters are UTF-32");
        const __m128i zero = _mm_setzero_si128();
        for (; k + 16 <= n; k += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
            const __m128i lo = _mm_unpacklo_epi8(v, zero);
            const __m128i hi = _mm_unpackhi_epi8(v, zero);
            __m128i* o = reinterpret_cast<__m128i*>(o_ + k);
            _mm_storeu_si128(o, _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(hi, zero));
        }
#endif
        for (; k < n; ++k)
            o_[k] = static_cast<wchar_t>(b[k]);
        o_ += n;
    }
    // count UTF-16 code units, little-endian; eight at a time while none is a surrogate.
    void put_units(const std::uint8_t* p, std::size_t count)
    {
        std::size_t k = 0;
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        const __m128i mask = _mm_set1_epi16(static_cast<short>(0xF800));
        const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
        while (!high_ && k + 8 <= count) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * k));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, mask), surrogate)) != 0)
                break;
            __m128i* o = reinterpret_cast<__m128i*>(o_);
            _mm_storeu_si128(o, _mm_unpacklo_epi16(v, zero));
            _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(v, zero));
            o_ += 8;
            k += 8;
        }
#endif
        for (; k < count; ++k)
            put(static_cast<char32_t>(p[2 * k] | (p[2 * k + 1] << 8)));
    }
    wchar_t* finish()
    {
        if (high_)
            *o_++ = static_cast<wchar_t>(high_);
        high_ = 0;
        return o_;
    }

private:
    wchar_t* o_;
    char32_t high_ = 0;
};

// Runs the decoder over room for max_chars more characters at the end of out, then trims out to
// what was written.
template <class Decode>
void decode_into(std::wstring& out, std::size_t max_chars, Decode decode)
{
    const std::size_t base = out.size();
    out.resize(base + max_chars);
    utf16_sink sink(out.data() + base);
    decode(sink);
    out.resize(static_cast<std::size_t>(sink.finish() - out.data()));
}

} // namespace

void append_utf16le(const std::uint8_t* p, std::size_t n, std::wstring& out)
{
    decode_into(out, n / 2, [&](utf16_sink& sink) { sink.put_units(p, n / 2); });
}

static bool compressed_text(const std::uint8_t* p, std::size_t n)
{
    return n >= 2 && p[0] == 0xFF && p[1] == 0xFE;
}

bool unicode_text_cut_short(const std::uint8_t* p, std::size_t n)
{
    return n % 2 == 1 && !compressed_text(p, n);
}

std::size_t unicode_text_room(const std::uint8_t* p, std::size_t n)
{
    return compressed_text(p, n) ? n : n / 2;
}

std::size_t decode_unicode_text(const std::uint8_t* p, std::size_t n, wchar_t* out)
{
    utf16_sink sink(out);
    if (!compressed_text(p, n)) {
        sink.put_units(p, n / 2);
        return static_cast<std::size_t>(sink.finish() - out);
    }
    // Compressed form: runs of one-byte characters (high byte zero) and of plain UTF-16 units,
    // switched by a zero byte. At most one character per byte.
    bool compressed = true;
    std::size_t i = 2;
    while (i < n) {
        if (p[i] == 0) {
            compressed = !compressed;
            ++i;
        } else if (compressed) {
            const void* zero = std::memchr(p + i, 0, n - i);
            const std::size_t end = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - p) : n;
            sink.put_bytes(p + i, end - i);
            i = end;
        } else {
            if (i + 1 >= n) break;
            sink.put(static_cast<char32_t>(p[i] | (p[i + 1] << 8)));
            i += 2;
        }
    }
    return static_cast<std::size_t>(sink.finish() - out);
}

void decode_unicode_text(const std::uint8_t* p, std::size_t n, std::wstring& out)
{
    const std::size_t base = out.size();
    out.resize(base + unicode_text_room(p, n));
    out.resize(base + decode_unicode_text(p, n, out.data() + base));
}

namespace {

// The upper half of Windows-1252 (0x80-0x9F differ from Latin-1; unassigned bytes map to themselves).
const char16_t cp1252_80_9f[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                   0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool is_double_byte(int cp) { return cp == 932 || cp == 936 || cp == 949 || cp == 950 || cp == 1361; }

} // namespace

code_page_text::code_page_text(int code_page) : code_page_(code_page)
{
    for (int b = 0; b < 256; ++b) table_[b] = static_cast<char32_t>(b);
    if (code_page == 0 || code_page == 1252 || code_page == 28591) {
        if (code_page != 28591)
            for (int b = 0; b < 32; ++b) table_[0x80 + b] = cp1252_80_9f[b];
        return;
    }
    iconv_name_ = "CP" + std::to_string(code_page);
    if (is_double_byte(code_page)) {
        double_byte_ = true;
        return;
    }
    iconv_t cd = iconv_open("UTF-32LE", iconv_name_.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // Unknown code page: fall back to Windows-1252, the most common one.
        for (int b = 0; b < 32; ++b) table_[0x80 + b] = cp1252_80_9f[b];
        iconv_name_.clear();
        return;
    }
    for (int b = 0x80; b < 256; ++b) {
        char in = static_cast<char>(b);
        std::uint8_t outb[8] = {};
        char* ip = &in;
        char* op = reinterpret_cast<char*>(outb);
        std::size_t il = 1, ol = sizeof outb;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && ol == 4)
            table_[b] = static_cast<char32_t>(outb[0] | (outb[1] << 8) | (outb[2] << 16) | (outb[3] << 24));
    }
    iconv_close(cd);
}

code_page_text::~code_page_text() = default;

void code_page_text::decode(const std::uint8_t* p, std::size_t n, std::wstring& out) const
{
    const std::size_t base = out.size();
    out.resize(base + n);
    out.resize(base + decode(p, n, out.data() + base));
}

std::size_t code_page_text::decode(const std::uint8_t* p, std::size_t n, wchar_t* out) const
{
    static_assert(sizeof(wchar_t) == 4 && std::endian::native == std::endian::little,
                  "wide characters are UTF-32LE in memory");
    iconv_t cd = double_byte_ ? iconv_open("UTF-32LE", iconv_name_.c_str()) : reinterpret_cast<iconv_t>(-1);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<wchar_t>(table_[p[i]]);
        return n;
    }
    char* ip = const_cast<char*>(reinterpret_cast<const char*>(p));
    char* op = reinterpret_cast<char*>(out);
    std::size_t il = n, ol = 4 * n;
    while (il > 0) {
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) || errno == E2BIG || ol < 4)
            break;   // all read, or no room (a byte gives at most one character: not to be)
        // An invalid or cut-off sequence: keep the byte as the replacement character and go on.
        const wchar_t replacement = L'\uFFFD';
        std::memcpy(op, &replacement, 4);
        op += 4;
        ol -= 4;
        ++ip;
        --il;
    }
    iconv_close(cd);
    return (4 * n - ol) / 4;
}

} // namespace jet

#include "platform/jet/jet_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cwchar>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/jet/jet_cipher.h"
#include "platform/jet/jet_page_owners.h"
#include "platform/jet/jet_rc4.h"
#include "platform/jet/jet_text.h"

namespace jet {

namespace {

const format_layout jet3_layout = {
    2048, false,
    8, 10,                      // data page: row count, offsets
    12, 16, 20, 21, 23, 25, 27, 31, 35, 39, 43,
    8,                          // real index count block
    18, 39, 20,                 // column, real index, logical index definitions
    1, 1,                       // name length, row column count
    64,
};

const format_layout jet4_layout = {
    4096, true,
    12, 14,
    16, 20, 40, 41, 43, 45, 47, 51, 55, 59, 63,
    12,
    25, 52, 28,
    2, 2,
    64,
};

// Key of the fixed scramble over part of the header page.
const std::uint8_t header_key[4] = {0xC7, 0xDA, 0x39, 0x6B};

// Jet3/Jet4 page encoding: RC4 keyed by the database key XOR the page number.
class jet_page_cipher : public page_cipher {
public:
    explicit jet_page_cipher(std::uint32_t key) : key_(key) {}
    void decrypt(std::uint32_t page_number, std::span<std::uint8_t> page) const override
    {
        std::uint32_t k = key_ ^ page_number;
        std::uint8_t kb[4] = {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k >> 8),
                              static_cast<std::uint8_t>(k >> 16), static_cast<std::uint8_t>(k >> 24)};
        rc4 r(kb, 4);
        r.apply(page.data(), page.size());
    }

private:
    std::uint32_t key_;
};

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Whether the text of the header's password field can be a password that was set: no control
// character (a NUL before its end among them) and no code unit that is no character.
bool could_be_password(const std::wstring& text)
{
    for (wchar_t c : text) {
        const auto u = static_cast<std::uint32_t>(c);
        if (u < 0x20 || (u >= 0x7F && u < 0xA0) || (u >= 0xD800 && u < 0xE000) || (u >= 0xFFFD && u <= 0xFFFF))
            return false;
    }
    return true;
}

} // namespace

const format_layout& layout_for(file_format f) { return f == file_format::jet3 ? jet3_layout : jet4_layout; }

page_file::page_file(const std::string& path, const std::wstring& password) : path_(path)
{
    // Not blocking: a FIFO must be refused below, not waited on.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        int e = errno;
        if (e == ENOENT || e == ENOTDIR)
            throw error(err_file_not_found, "Could not find file " + quoted(path) + ".");
        throw error(err_io, "Cannot open file " + quoted(path) + ": " + std::strerror(e) + ".");
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw error(err_io, "Cannot open file " + quoted(path) + ": not a regular file.");
    }
    size_ = static_cast<std::size_t>(st.st_size);
    try {
        read_header(password);
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

page_file::page_file(std::vector<std::uint8_t> image, const std::string& name, const std::wstring& password)
    : path_(name), image_(std::move(image))
{
    map_ = image_.data();
    size_ = image_.size();
    read_header(password);
}

page_file::~page_file()
{
    if (fd_ >= 0) ::close(fd_);
}

void page_file::read_raw(std::size_t offset, std::size_t n, std::uint8_t* out) const
{
    if (map_) {
        if (offset > size_ || n > size_ - offset) corrupt("a read runs past the end of the file");
        std::memcpy(out, map_ + offset, n);
        return;
    }
    // Reads with pread rather than a mapping: a file cut short while open gives an error, not a signal.
    std::size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw error(err_io, "Cannot read file " + quoted(path_) + ": " + std::strerror(errno) + ".");
        if (r == 0) corrupt("the file ended early (was it changed while open?)");
        done += static_cast<std::size_t>(r);
    }
}

const page_owners& page_file::owners() const
{
    std::call_once(owners_once_, [this] { owners_ = std::make_unique<page_owners>(*this); });
    return *owners_;
}

void page_file::corrupt(const std::string& what) const
{
    throw error(err_corrupt, damaged(what));
}

std::string page_file::damaged(const std::string& what) const
{
    return "The database file " + quoted(path_) + " is damaged or not readable: " + what + ".";
}

std::string page_file::what_is_wrong(const error& x) const
{
    const std::string prefix = damaged(""), message = x.what();
    const std::string head = prefix.substr(0, prefix.size() - 1);
    if (message.size() > prefix.size() && message.compare(0, head.size(), head) == 0 && message.back() == '.')
        return message.substr(head.size(), message.size() - prefix.size());
    return message;
}

void page_file::read_header(const std::wstring& password)
{
    const std::string unrecognized = "Unrecognized database format " + quoted(path_) + ".";
    if (size_ < 0x80 + 0x18) throw error(err_unrecognized_format, unrecognized);
    std::vector<std::uint8_t> first(std::min<std::size_t>(size_, 4096));
    read_raw(0, first.size(), first.data());
    if (first[0] != 0 || first[1] != 1) throw error(err_unrecognized_format, unrecognized);
    header_.version_byte = first[20];
    header_.format = header_.version_byte == 0 ? file_format::jet3
                   : header_.version_byte == 1 ? file_format::jet4
                                               : file_format::ace;
    layout_ = layout_for(header_.format);
    if (size_ < layout_.page_size)
        throw error(err_unrecognized_format, unrecognized + " The file is too short");
    // The engine name: "Standard Jet DB", "Standard ACE DB" or a workgroup file's "Jet System DB".
    for (int i = 4; i < 19 && first[i]; ++i) header_.engine_name.push_back(static_cast<char>(first[i]));
    while (!header_.engine_name.empty() && header_.engine_name.back() == ' ') header_.engine_name.pop_back();
    if (header_.engine_name != "Standard Jet DB" && header_.engine_name != "Standard ACE DB" &&
        header_.engine_name != "Jet System DB")
        throw error(err_unrecognized_format, unrecognized);
    // A whole header that names the format, without the pages every database has after it: the
    // file is one of ours, cut short.
    if (size_ < layout_.page_size * 3u) {
        const std::size_t whole = size_ / layout_.page_size;
        corrupt("it is cut short: it holds " + std::to_string(size_) + " bytes (" + std::to_string(whole) +
                (whole == 1 ? " whole page" : " whole pages") + " of " + std::to_string(layout_.page_size) +
                " bytes), fewer than the 3 pages of the smallest database");
    }
    page_count_ = static_cast<std::uint32_t>(std::min<std::size_t>(size_ / layout_.page_size, 0xFFFFFFu + 1));

    header_page_.assign(first.begin(), first.begin() + layout_.page_size);
    std::size_t scrambled = header_.format == file_format::jet3 ? 126 : 128;
    rc4 r(header_key, 4);
    r.apply(header_page_.data() + 0x18, scrambled);
    const std::uint8_t* h = header_page_.data();

    header_.code_page = rd16(h + 0x3C);
    header_.database_key = rd32(h + 0x3E);
    if (header_.format == file_format::jet3) {
        header_.sort_order = rd16(h + 0x3A);
    } else {
        header_.sort_order = rd32(h + 0x6E);
        std::uint64_t bits = rd64(h + 0x72);
        std::memcpy(&header_.creation_date, &bits, 8);
    }
    if (header_.format == file_format::jet3) jet3_text_ = std::make_unique<code_page_text>(header_.code_page);

    if (header_.format == file_format::ace) {
        cipher_ = make_page_cipher(std::span<const std::uint8_t>(header_page_.data(), header_page_.size()), password);
        header_.encrypted = cipher_ != nullptr;
        return;
    }

    // Jet3/Jet4 database password: stored in the header, masked in Jet4 by the creation date.
    std::size_t pw_len = header_.format == file_format::jet3 ? 20 : 40;
    std::uint8_t pw[40];
    std::memcpy(pw, h + 0x42, pw_len);
    if (header_.format != file_format::jet3) {
        double d = header_.creation_date;
        std::int32_t m = (std::isfinite(d) && d > -2147483648.0 && d < 2147483648.0) ? static_cast<std::int32_t>(d) : 0;
        std::uint8_t mask[4];
        std::memcpy(mask, &m, 4);
        for (std::size_t i = 0; i < pw_len; ++i) pw[i] ^= mask[i % 4];
    }
    std::wstring stored;
    if (header_.format == file_format::jet3)
        jet3_text_->decode(pw, pw_len, stored);
    else
        append_utf16le(pw, pw_len, stored);
    while (!stored.empty() && stored.back() == 0) stored.pop_back();
    header_.has_password = !stored.empty();
    // Bytes that no password leaves there (the field, or the creation date that masks it, damaged):
    // the file is damaged, not protected.
    if (header_.has_password && !could_be_password(stored))
        corrupt("the database password field of its header holds no password");
    if (header_.has_password && stored != password) throw error(err_bad_password, "Not a valid password.");

    if (header_.database_key != 0) {
        cipher_ = std::make_unique<jet_page_cipher>(header_.database_key);
        header_.encrypted = true;
    }
}

const std::uint8_t* page_file::page(std::uint32_t n, std::vector<std::uint8_t>& scratch) const
{
    if (n >= page_count_) corrupt("page " + std::to_string(n) + " lies past the end of the file");
    if (n == 0) return header_page_.data();
    std::size_t offset = static_cast<std::size_t>(n) * layout_.page_size;
    if (map_ && !cipher_) return map_ + offset;
    scratch.resize(layout_.page_size);
    read_raw(offset, layout_.page_size, scratch.data());
    if (cipher_) cipher_->decrypt(n, std::span<std::uint8_t>(scratch.data(), scratch.size()));
    return scratch.data();
}

const std::uint8_t* page_file::pages(std::uint32_t first, std::uint32_t& count, std::vector<std::uint8_t>& scratch) const
{
    if (first >= page_count_) corrupt("page " + std::to_string(first) + " lies past the end of the file");
    count = std::max<std::uint32_t>(1, std::min(count, page_count_ - first));
    if (first == 0) {
        count = 1;
        return header_page_.data();
    }
    const std::size_t size = layout_.page_size;
    const std::size_t offset = static_cast<std::size_t>(first) * size;
    if (map_ && !cipher_) return map_ + offset;
    scratch.resize(size * count);
    read_raw(offset, size * count, scratch.data());
    if (cipher_)
        for (std::uint32_t i = 0; i < count; ++i)
            cipher_->decrypt(first + i, std::span<std::uint8_t>(scratch.data() + i * size, size));
    return scratch.data();
}

void page_file::decode_text(const std::uint8_t* p, std::size_t n, std::wstring& out) const
{
    if (jet3_text_)
        jet3_text_->decode(p, n, out);
    else
        decode_unicode_text(p, n, out);
}

std::size_t page_file::text_room(const std::uint8_t* p, std::size_t n) const
{
    return jet3_text_ ? n : unicode_text_room(p, n);   // a code page gives at most a character a byte
}

std::size_t page_file::decode_text(const std::uint8_t* p, std::size_t n, wchar_t* out) const
{
    return jet3_text_ ? jet3_text_->decode(p, n, out) : decode_unicode_text(p, n, out);
}

} // namespace jet

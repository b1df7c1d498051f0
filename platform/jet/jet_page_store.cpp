#include "platform/jet/jet_page_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace jet {

page_store::page_store(const std::string& path, const format_layout& layout) : path_(path), layout_(layout)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("cannot create it");
}

page_store::~page_store()
{
    if (fd_ >= 0) ::close(fd_);
}

void page_store::fail(const std::string& what) const
{
    throw error(err_io, "Cannot write file '" + path_ + "': " + what + " (" + std::strerror(errno) + ").");
}

std::uint32_t page_store::allocate()
{
    if (page_count_ >= 0xFFFFFFu) throw error(err_io, "Cannot write file '" + path_ + "': the database is full.");
    std::uint32_t n = page_count_++;
    cache_[n].assign(layout_.page_size, 0);
    return n;
}

std::vector<std::uint8_t>& page_store::page(std::uint32_t n)
{
    auto it = cache_.find(n);
    if (it != cache_.end()) return it->second;
    if (n >= page_count_) throw error(err_corrupt, "Page " + std::to_string(n) + " of '" + path_ + "' does not exist.");
    std::vector<std::uint8_t> buf(layout_.page_size);
    if (!read_at(n, buf.data())) fail("cannot read page " + std::to_string(n));
    return cache_.emplace(n, std::move(buf)).first->second;
}

bool page_store::read_at(std::uint32_t n, std::uint8_t* p) noexcept
{
    const std::size_t size = layout_.page_size;
    std::size_t done = 0;
    while (done < size) {
        ssize_t r = ::pread(fd_, p + done, size - done, static_cast<off_t>(static_cast<std::uint64_t>(n) * size + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) break; // a page allocated but never written reads as zeros
        done += static_cast<std::size_t>(r);
    }
    std::fill(p + done, p + size, std::uint8_t{0});
    return true;
}

void page_store::keep_before(std::uint32_t n)
{
    if (n >= saved_count_ || before_.count(n)) return;
    std::vector<std::uint8_t> old(layout_.page_size);
    if (!read_at(n, old.data())) fail("cannot read page " + std::to_string(n));
    before_.emplace(n, std::move(old));
}

bool page_store::put_at(std::uint32_t n, const std::uint8_t* p) noexcept
{
    const std::size_t size = layout_.page_size;
    std::size_t done = 0;
    while (done < size) {
        ssize_t w = ::pwrite(fd_, p + done, size - done, static_cast<off_t>(static_cast<std::uint64_t>(n) * size + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

void page_store::write_at(std::uint32_t n, const std::uint8_t* p)
{
    keep_before(n);
    if (!put_at(n, p)) fail("cannot write page " + std::to_string(n));
}

void page_store::retire(std::uint32_t n)
{
    auto it = cache_.find(n);
    if (it == cache_.end()) return;
    write_at(n, it->second.data());
    cache_.erase(it);
}

void page_store::write_now(std::uint32_t n, const std::vector<std::uint8_t>& bytes)
{
    write_at(n, bytes.data());
    auto it = cache_.find(n);
    if (it != cache_.end()) it->second = bytes;
}

void page_store::flush()
{
    // Page 0 is written by the caller after everything it describes is in place.
    for (auto& [n, bytes] : cache_)
        if (n != 0) write_at(n, bytes.data());
    for (auto it = cache_.begin(); it != cache_.end();) {
        if (it->first != 0) it = cache_.erase(it);
        else ++it;
    }
    if (::ftruncate(fd_, static_cast<off_t>(static_cast<std::uint64_t>(page_count_) * layout_.page_size)) != 0)
        fail("cannot set its length");
}

void page_store::trim(std::size_t max_pages)
{
    if (cache_.size() <= max_pages) return;
    for (auto it = cache_.begin(); it != cache_.end();) {
        if (it->first != 0) {
            write_at(it->first, it->second.data());
            it = cache_.erase(it);
        } else {
            ++it;
        }
    }
}

void page_store::mark_saved()
{
    saved_count_ = page_count_;
    before_.clear();
}

bool page_store::restore_saved() noexcept
{
    if (fd_ < 0) return false;
    cache_.clear();
    bool ok = saved_count_ > 0;
    for (const auto& [n, bytes] : before_) ok = ok && put_at(n, bytes.data());
    before_.clear();
    if (ok) ok = ::ftruncate(fd_, static_cast<off_t>(static_cast<std::uint64_t>(saved_count_) * layout_.page_size)) == 0;
    page_count_ = saved_count_;
    if (!ok) spoil();
    return ok;
}

void page_store::spoil() noexcept
{
    if (fd_ < 0) return;
    static const std::uint8_t zeros[32] = {};
    ssize_t w = ::pwrite(fd_, zeros, sizeof zeros, 0);
    (void)w;
}

} // namespace jet

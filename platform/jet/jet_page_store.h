// Page-level writing of a new Access file: page allocation, a small cache of changed pages, write-back.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/jet/jet_error.h"
#include "platform/jet/jet_file.h"

namespace jet {

// A file being written page by page. Pages live in a cache until written back; pages that will not
// change again (full data pages) can be written and dropped at once, so memory stays flat.
class page_store {
public:
    // Creates `path` (it must not exist). Throws jet::error (err_io) naming the file.
    page_store(const std::string& path, const format_layout& layout);
    ~page_store();
    page_store(const page_store&) = delete;
    page_store& operator=(const page_store&) = delete;

    const std::string& path() const { return path_; }
    const format_layout& layout() const { return layout_; }
    std::uint32_t page_size() const { return layout_.page_size; }
    std::uint32_t page_count() const { return page_count_; }

    // A new page of zeros at the end of the file, held in the cache.
    std::uint32_t allocate();
    // The bytes of page `n` for reading and changing (read from the file when not cached).
    std::vector<std::uint8_t>& page(std::uint32_t n);
    // Writes page `n` now and drops it from the cache.
    void retire(std::uint32_t n);
    // Writes every cached page (but the header) and sets the file's length.
    void flush();
    // Writes back and drops the cached pages once there are more than `max_pages` of them, so that
    // memory stays flat however much is written.
    void trim(std::size_t max_pages);
    // Writes the bytes of page 0 last of all (the header decides whether the file opens).
    void write_now(std::uint32_t n, const std::vector<std::uint8_t>& bytes);
    // Takes the file as it stands now as the state a failed write returns to (after a whole flush).
    void mark_saved();
    // Puts back the pages as they were at the last mark_saved() and cuts the file to that length, so
    // that a failed write loses only what came after it. When that cannot be done (or nothing was ever
    // saved), overwrites the start of the header so that no reader takes a half-written file for a
    // database. False then.
    bool restore_saved() noexcept;

private:
    void write_at(std::uint32_t n, const std::uint8_t* p);
    void keep_before(std::uint32_t n);
    bool read_at(std::uint32_t n, std::uint8_t* p) noexcept;
    bool put_at(std::uint32_t n, const std::uint8_t* p) noexcept;
    void spoil() noexcept;
    [[noreturn]] void fail(const std::string& what) const;

    std::string path_;
    format_layout layout_;
    int fd_ = -1;
    std::uint32_t page_count_ = 0;
    std::unordered_map<std::uint32_t, std::vector<std::uint8_t>> cache_;
    std::uint32_t saved_count_ = 0;
    // The saved bytes of each saved page overwritten since: what restore_saved() writes back.
    std::unordered_map<std::uint32_t, std::vector<std::uint8_t>> before_;
};

} // namespace jet

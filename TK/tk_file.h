// Binary files read and written at absolute 64-bit offsets (tk_file), over stdio (tk_stdio_file).
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// Open flags of tk_file.
constexpr int tk_file_update = 1;  // the file may be missing (it is then created); open for update
constexpr int tk_file_create = 3;  // create the file or empty an existing one

// A binary file read and written at absolute offsets. Every failure is a
// level-1 tk_exception with one of the file texts of the message table; the
// file stays open and usable after it.
class tk_file {
public:
    // Makes the name canonical (absolute). Without tk_file_update the file
    // must exist and not be a directory ("Bad path or busy with another
    // process"). An empty name is an internal error.
    tk_file(const std::string& name, int flags);
    virtual ~tk_file();
    tk_file(const tk_file&) = delete;
    tk_file& operator=(const tk_file&) = delete;

    // Reads length bytes at offset into buffer and returns buffer; a range
    // that does not lie wholly inside the file fails ("Error reading from file").
    virtual void* get_at(std::uint64_t offset, std::size_t length, void* buffer) = 0;
    virtual std::uint8_t get_byte_at(std::uint64_t offset);
    // Little-endian values.
    virtual std::uint16_t get_word_at(std::uint64_t offset);
    virtual std::uint32_t get_dword_at(std::uint64_t offset);
    // The stream's end-of-file indicator.
    virtual bool is_eof();
    // Writes length bytes at offset; a gap past the end is filled with NUL bytes.
    virtual void put_at(std::uint64_t offset, const void* bytes, std::size_t length) = 0;
    virtual std::uint64_t get_length() = 0;

    const std::string& name() const { return m_name; }
    int flags() const { return m_flags; }

protected:
    std::FILE* m_stream = nullptr;
    int m_flags;
    std::string m_name;
};

// tk_file over a buffered stdio stream, opened in binary mode: "w+b" for
// tk_file_create, read and write for tk_file_update, else read only.
class tk_stdio_file : public tk_file {
public:
    tk_stdio_file(const std::string& name, int flags);

    void* get_at(std::uint64_t offset, std::size_t length, void* buffer) override;
    void put_at(std::uint64_t offset, const void* bytes, std::size_t length) override;
    std::uint64_t get_length() override;

private:
    void seek(std::uint64_t offset, int whence, int failure_row);
    void write_block(const void* bytes, std::size_t length);
};

// Writes all bytes to a file descriptor, again after an interrupted or short write;
// false (errno set) on a failure.
bool tk_write_all(int fd, const void* bytes, std::size_t length);

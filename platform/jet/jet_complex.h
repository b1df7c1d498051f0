// ACE column kinds beyond plain values: complex columns (attachments, multi-value, version history) read
// through MSysComplexColumns and their hidden tables, and Date/Time Extended values.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

class database;
class page_file;

// What a complex column holds.
enum class complex_kind { none, attachment, multi_value, version_history, unsupported };

// One attached file.
struct attachment {
    std::wstring name;
    std::wstring type;        // the file's extension as Access records it ("txt")
    std::wstring url;         // usually null in the file: empty here
    value time_stamp;         // date_time or null
    value flags;              // int32 or null
    bytes data;               // the file's bytes, unpacked
    bytes file_data;          // FileData as the engine's field gives it: unpacked, the header still before the file
};

// One entry of a version-history (append-only memo) column.
struct version {
    std::wstring text;
    date_time modified;
};

// A Date/Time Extended value: days since 0001-01-01 and the time of day in 100-nanosecond ticks.
struct ext_date_time {
    std::int64_t days = 0;
    std::int64_t ticks = 0;

    // "yyyy-MM-ddTHH:mm:ss.fffffff"
    std::string to_string() const;
    // The nearest automation date (days since 1899-12-30, time as the fraction's magnitude).
    double to_ole_date() const;
    bool operator==(const ext_date_time&) const = default;
};

// Decodes a stored Date/Time Extended value (42 ASCII bytes). Throws jet::error (err_corrupt) when malformed.
ext_date_time decode_ext_datetime(std::span<const std::uint8_t> stored);

// The file bytes of a stored attachment (FileData): an 8-byte wrapper (packing kind, unpacked length), the
// content deflated (zlib) or plain, and inside it a header (its own length first, then a flag and the
// extension) before the bytes. Throws jet::error (err_corrupt).
bytes decode_attachment_data(std::span<const std::uint8_t> stored);
// The unpacked content, header included.
bytes unpack_attachment(std::span<const std::uint8_t> stored);
// The file bytes behind the header of unpacked content.
bytes attachment_file(std::span<const std::uint8_t> content);

// The complex columns of one table and the values behind their keys. Each column's hidden table is read
// once, on first use. Safe to share between threads.
class complex_columns {
public:
    // Reads MSysComplexColumns and the definitions of the type and hidden tables of `table`'s complex
    // columns. Throws jet::error (err_corrupt) when they are missing.
    complex_columns(std::shared_ptr<const database> db, std::shared_ptr<const table_def> table);
    ~complex_columns();

    // The kind of a column (by its index in table_def::columns); none for plain columns.
    complex_kind kind(std::size_t column) const;

    // The values behind the key a row holds in a complex column, in stored order (versions newest first).
    // The call must match the column's kind (jet::error err_corrupt otherwise).
    std::vector<attachment> attachments(std::size_t column, std::int32_t key) const;
    std::vector<value> multi_values(std::size_t column, std::int32_t key) const;
    std::vector<version> versions(std::size_t column, std::int32_t key) const;

    // The properties a multi-value column's values carry (Required, AllowZeroLength, RowSource, ...):
    // those of the value column of its hidden table. Null for other columns.
    const property_map* value_properties(std::size_t column) const;

private:
    struct column_info;
    const column_info& info(std::size_t column, complex_kind expected) const;
    void load(const column_info& c) const;

    std::shared_ptr<const database> db_;
    std::shared_ptr<const table_def> table_;
    std::vector<std::unique_ptr<column_info>> columns_;
    mutable std::mutex mutex_;
};

} // namespace jet

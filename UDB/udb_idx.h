// Indexes of a table: primary key, unique constraints and plain indexes,
// merged by name as they arrive from a reader.
#pragma once
#include <string>
#include <vector>

// One index of a table.
struct udb_index {
    std::wstring name;
    bool unique = false;             // a unique index
    bool primary_key = false;        // the table's primary key
    bool unique_constraint = false;  // a unique constraint (not an index as such)
    std::vector<std::wstring> fields;     // indexed columns in key order
    std::vector<std::wstring> included;   // included (non-key) columns, when a reader knows them

    udb_index() = default;
    udb_index(const std::wstring& name, const std::vector<std::wstring>& fields,
              bool unique, bool primary_key);

    // True when the index's leading columns are the given ones (names ignore
    // case); an empty list starts every index.
    bool starts_with_fields(const std::vector<std::wstring>& names) const;
};

// The index list of one table, in insertion order; positions in it are what
// a recordset's key index number holds.
class udb_indexes : public std::vector<udb_index> {
public:
    // Inserts with the merge rules for an entry of the same name (ignoring
    // case): a primary key wins over anything, a unique constraint over unique
    // and plain indexes, a unique index over a plain one; a plain index never
    // replaces an entry. Returns the position of the entry of that name.
    int push_back(const udb_index& index);

    // Appends unless an entry of the same name exists. Returns its position.
    int push_back_direct(const udb_index& index);

    // The entry of that name; an absent name is an internal error.
    udb_index& get_index(const std::wstring& name);
    const udb_index& get_index(const std::wstring& name) const;

    // Position of the entry of that name, or -1.
    int find(const std::wstring& name) const;

    // False when an entry of that name exists.
    bool is_acceptable_name(const std::wstring& name) const;

    // True when the column is part of the primary key (names ignore case).
    bool is_idx_field(const std::wstring& column) const;

    // True when a unique index or key covers exactly these columns (in any
    // order; names ignore case), so that they identify a row.
    bool has_index_on_fields(const std::vector<std::wstring>& columns) const;
};

// Foreign keys (relationships) and sequences of a database.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One foreign key: the child table's columns refer to the parent's.
struct udb_relationship {
    std::wstring name;
    std::wstring alt_name;        // a second name as a reader gives it; empty when generated
    std::wstring fk_table;        // referencing (child) table
    std::wstring pk_table;        // referenced (parent) table
    std::wstring properties;      // key properties text (cascade rules)
    std::vector<std::wstring> fk_fields;
    std::vector<std::wstring> pk_fields;

    udb_relationship() = default;
    udb_relationship(const std::wstring& name, const std::wstring& alt_name,
                     const std::wstring& fk_table, const std::wstring& pk_table,
                     const std::vector<std::wstring>& fk_fields,
                     const std::vector<std::wstring>& pk_fields,
                     const std::wstring& properties);
    // Generates the name "FK_<parent>_<child>", blanks in the names as "_".
    udb_relationship(const std::wstring& fk_table, const std::wstring& pk_table,
                     const std::vector<std::wstring>& fk_fields,
                     const std::vector<std::wstring>& pk_fields,
                     const std::wstring& properties);
};

// The foreign keys of a database, in insertion order.
class udb_relationships : public std::vector<udb_relationship> {
public:
    // Entry matching name, parent and child table (all ignoring case)?
    bool find(const std::wstring& name, const std::wstring& pk_table,
              const std::wstring& fk_table) const;
    // That entry; none is an internal error.
    udb_relationship& get(const std::wstring& name, const std::wstring& pk_table,
                          const std::wstring& fk_table);
    // The first entry of that name; none is an internal error.
    udb_relationship& get_index(const std::wstring& name);
    // False when an entry has that name (ignoring case).
    bool is_acceptable_name(const std::wstring& name) const;
    // A name "FK_<parent>_<child>" not used in the list, with a suffix when taken.
    std::wstring gen_relship_name(const udb_relationship& rel) const;
};

// One sequence object of a database.
struct udb_sequence {
    std::wstring name;
    int32_t increment = 1;
    int32_t start = 1;
    int32_t minimum = 0;
    int32_t maximum = 0;
    bool cycle = false;

    udb_sequence(const std::wstring& name, int32_t start, int32_t increment,
                 int32_t minimum, int32_t maximum, bool cycle);
};

// Name validation for a destination (length, restricted words, illegal
// characters, names in use) and the map of changed table and field names.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Decides whether a name is acceptable to one kind of object of one database
// and turns any name into a safe, unused one. Destinations derive their own.
class udb_validator {
public:
    explicit udb_validator(uint32_t max_length = 0);
    virtual ~udb_validator() = default;

    void add_existing_name(const std::wstring& name);
    void add_mapped_pair(const std::wstring& source, const std::wstring& safe);
    void add_restricted_name(const std::wstring& name) { restricted.push_back(name); }

    // Length limit, restricted words (ignoring case) and illegal characters.
    virtual bool is_acceptable(const std::wstring& name);
    // Is the name among the names in use (ignoring case)?
    virtual bool is_duplicated(const std::wstring& name);
    // A shortened, cleaned name, numbered with five digits when it is still
    // not acceptable or in use. The result is not recorded as in use.
    virtual std::wstring get_safe_name(const std::wstring& name);

    const std::map<std::wstring, std::wstring>& get_mapped_pairs() const { return mapped; }

    uint32_t max_length;                          // 0: no limit
    std::map<std::wstring, std::wstring> mapped;  // source name -> safe name
    std::vector<wchar_t> illegal;                 // characters the destination refuses
    std::vector<std::wstring> restricted;         // names the destination refuses
    std::vector<std::wstring> existing;           // names in use
};

// Source-to-destination names of tables and, per table, of fields.
class udb_names_map {
public:
    using field_map = std::map<std::wstring, std::wstring>;

    void add_tn_mapping(const std::wstring& source_table, const std::wstring& mapped_table);
    void add_fn_map(const std::wstring& table, const field_map& fields);

    // The mapped name, or the given one when none is recorded.
    std::wstring get_tn_mapped_name(const std::wstring& table, bool case_sensitive) const;
    std::wstring get_fn_mapped_name(const std::wstring& table, const std::wstring& field,
                                    bool case_sensitive) const;
    // The source name of a mapped field, or the given name.
    std::wstring get_fn_orig_name(const std::wstring& table, const std::wstring& mapped_field) const;

    const std::map<std::wstring, std::wstring>& get_tn_map() const { return tables; }
    const std::map<std::wstring, field_map>& get_fn_maps() const { return fields; }

private:
    std::map<std::wstring, std::wstring> tables;
    std::map<std::wstring, field_map> fields;
};

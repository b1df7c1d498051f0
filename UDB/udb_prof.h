// Settings profile: sections of key/value pairs, read from and written to a
// UTF-8 text file of "[section]" headers and "key=value" lines.
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

class udb_profile {
public:
    using section = std::vector<std::pair<std::wstring, std::wstring>>;

    static constexpr const wchar_t* available_queries = L"Available Queries";
    static constexpr const wchar_t* selected_tables = L"Selected Tables";
    static constexpr const wchar_t* selected_views = L"Selected Views";
    static constexpr const wchar_t* generic_settings = L"Generic settings";

    // A new profile holds the four standard sections, empty.
    udb_profile();

    void add_section(const std::wstring& name);
    // Appends the pair, creating the section when it is missing.
    void add_value(const std::wstring& section_name, const std::wstring& key,
                   const std::wstring& value);
    // The value of the first pair of that key (exact comparison); empty when
    // the section or the key is missing.
    std::wstring get_value(const std::wstring& section_name, const std::wstring& key) const;
    // Is there such a key in that section?
    bool has_value(const std::wstring& section_name, const std::wstring& key) const;

    section& get_available_queries() { return sections[available_queries]; }
    section& get_selected_tables() { return sections[selected_tables]; }
    section& get_selected_views() { return sections[selected_views]; }
    // The section of that name, or null.
    const section* find_section(const std::wstring& name) const;
    const std::map<std::wstring, section>& get_sections() const { return sections; }

    // Reads a profile file; its pairs are appended to those already held.
    // A missing file, and a file with none of the four standard sections, is an
    // error (level 1).
    void load(const std::wstring& path);
    // Writes the profile; a file that cannot be written is an error (level 1).
    void store(const std::wstring& path) const;

private:
    std::map<std::wstring, section> sections;
};

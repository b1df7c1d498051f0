// Object properties stored in MSysObjects.LvProp (DefaultValue, Required, Format, Description, ...).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/jet/jet_value.h"

namespace jet {

class code_page_encoder;

class page_file;

// One named, typed property.
struct property {
    std::wstring name;
    column_type type = column_type::text;
    bool ddl = false;   // set through data definition (cannot be changed by users of the object)
    value data;
};

// The properties of one object (the table itself, or one of its columns), by name.
struct property_map {
    std::wstring name;            // empty for the object itself, else the column name
    std::uint16_t block_type = 0; // 0 the object, 1 a column
    std::vector<property> items;

    // Case-insensitive lookup; nullptr when absent.
    const property* find(std::wstring_view prop_name) const;
    // The value, or a null value when absent.
    const value& get(std::wstring_view prop_name) const;
};

// All property maps of one object.
struct property_maps {
    std::vector<property_map> maps;

    // The object's own map (named ""), or an empty one.
    const property_map& object() const;
    // The map of a column by name (case-insensitive), or an empty one.
    const property_map& column(std::wstring_view column_name) const;
};

// Decodes an LvProp blob. Malformed input throws jet::error (err_corrupt) naming the file.
property_maps parse_properties(const page_file& file, std::span<const std::uint8_t> blob);

// Case-insensitive equality of two names (Access names ignore case).
bool same_name(std::wstring_view a, std::wstring_view b);

} // namespace jet

namespace jet {

// Encodes property maps as a Jet4/ACE LvProp blob ("MR2"): the name pool, then one block per map (the
// object's own map as block type 0, columns as type 1). Texts are stored as UTF-16LE; booleans, bytes,
// integers as their stored forms; other values as their bytes.
bytes encode_properties(const property_maps& maps, const code_page_encoder* jet3_text = nullptr);

} // namespace jet

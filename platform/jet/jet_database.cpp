#include "platform/jet/jet_database.h"

#include <unordered_map>

#include "platform/win/win_utf.h"

namespace jet {

namespace {

constexpr std::uint32_t catalogue_page = 2;

std::wstring text_or_empty(const value& v) { return v.type() == value::text_k ? v.as_text() : std::wstring(); }

// Only the ACE format has calculated columns, and each names the type of its result: without
// one, its values cannot be told from bytes.
void check_calculated(const page_file& f, const table_def& t, const column_def& c)
{
    const std::string where = "column '" + win_utf8_from_wide(c.name) + "' of table '" + win_utf8_from_wide(t.name) + "'";
    if (f.format() != file_format::ace)
        f.corrupt(where + " is marked as calculated, which this file's format does not have");
    const value& rt = c.properties.get(L"ResultType");
    std::int64_t code = 0;
    if (rt.type() == value::byte_k || rt.type() == value::int16_k || rt.type() == value::int32_k) code = rt.to_int64();
    if (code <= 0 || code > 0xFF || !known_column_type(static_cast<std::uint8_t>(code)))
        f.corrupt(where + " is calculated but names no type for its result");
}

// A table of any kind: local, linked or reached through ODBC.
bool a_table(const catalog_entry& e)
{
    const object_kind k = e.kind();
    return k == object_kind::table || k == object_kind::linked_table || k == object_kind::odbc_table;
}

} // namespace

object_kind catalog_entry::kind() const
{
    switch (type) {
    case 1: return object_kind::table;
    case 4: return object_kind::odbc_table;
    case 5: return object_kind::query;
    case 6: return object_kind::linked_table;
    default: return object_kind::other;
    }
}

std::shared_ptr<database> database::open(const std::string& path, const std::wstring& password)
{
    auto file = std::make_shared<page_file>(path, password);
    std::shared_ptr<database> db(new database(std::move(file)));
    db->read_catalogue();
    return db;
}

std::shared_ptr<database> database::open_image(std::vector<std::uint8_t> image, const std::string& name,
                                               const std::wstring& password)
{
    auto file = std::make_shared<page_file>(std::move(image), name, password);
    std::shared_ptr<database> db(new database(std::move(file)));
    db->read_catalogue();
    return db;
}

database::database(std::shared_ptr<page_file> file) : file_(std::move(file)) {}

void database::read_catalogue()
{
    auto def = std::make_shared<table_def>(read_table_def(*file_, catalogue_page, L"MSysObjects"));
    int c_id = def->find_column(L"Id"), c_parent = def->find_column(L"ParentId"), c_name = def->find_column(L"Name"),
        c_type = def->find_column(L"Type"), c_flags = def->find_column(L"Flags"),
        c_db = def->find_column(L"Database"), c_foreign = def->find_column(L"ForeignName"),
        c_connect = def->find_column(L"Connect"), c_created = def->find_column(L"DateCreate"),
        c_updated = def->find_column(L"DateUpdate"), c_props = def->find_column(L"LvProp");
    if (c_id < 0 || c_name < 0 || c_type < 0 || c_parent < 0)
        file_->corrupt("the catalogue (MSysObjects) lacks its key columns");

    // Without LvProp every column would lose its properties (defaults, Required, Format) unseen.
    if (c_props < 0) file_->corrupt("the catalogue (MSysObjects) lacks its LvProp column of properties");
    // Without Flags the system's own tables would pass for the user's.
    if (c_flags < 0) file_->corrupt("the catalogue (MSysObjects) lacks its Flags column");

    row_cursor cur(file_, def);
    cur.report_losses(true);
    while (cur.next()) {
        // An object that cannot be read is lost whatever the stored counts say: the file is refused.
        if (!cur.damage().empty()) file_->corrupt("the catalogue (MSysObjects) cannot be read whole: " + cur.damage());
        catalog_entry e;
        // A number column that holds anything but a number (or nothing) is a damaged catalogue.
        auto num = [&](int col) -> std::int64_t {
            if (col < 0) return 0;
            const value& v = cur[static_cast<std::size_t>(col)];
            switch (v.type()) {
            case value::byte_k: case value::int16_k: case value::int32_k: case value::int64_k: case value::boolean_k:
                return v.to_int64();
            case value::null_k: return 0;
            default:
                file_->corrupt("the catalogue (MSysObjects) column '" +
                               win_utf8_from_wide(def->columns[static_cast<std::size_t>(col)].name) +
                               "' does not hold integers");
            }
        };
        auto text = [&](int col) { return col < 0 ? std::wstring() : text_or_empty(cur[static_cast<std::size_t>(col)]); };
        auto date = [&](int col) {
            if (col < 0) return 0.0;
            const value& v = cur[static_cast<std::size_t>(col)];
            return v.type() == value::datetime_k ? v.as_datetime().days : 0.0;
        };
        e.id = static_cast<std::int32_t>(num(c_id));
        e.parent_id = static_cast<std::int32_t>(num(c_parent));
        e.name = text(c_name);
        e.type = static_cast<std::int16_t>(num(c_type));
        e.flags = static_cast<std::uint32_t>(num(c_flags));
        e.database = text(c_db);
        e.foreign_name = text(c_foreign);
        e.connect = text(c_connect);
        e.date_create = date(c_created);
        e.date_update = date(c_updated);
        const value& props = cur[static_cast<std::size_t>(c_props)];
        if (props.type() == value::binary_k) {
            try {
                e.properties = parse_properties(*file_, props.as_binary());
            } catch (const error& x) {
                e.properties_error = x.what();
            }
        } else if (props.type() != value::null_k) {
            e.properties_error = file_->damaged("the catalogue (MSysObjects) column 'LvProp' does not hold properties");
        }
        catalogue_.push_back(std::move(e));
    }
    refuse_shared_ids();
    // Tables hang below the "Tables" container, itself a child of the root (0x0F000000).
    for (const auto& e : catalogue_)
        if (e.parent_id == 0x0F000000 && e.name == L"Tables") tables_parent_ = e.id;
    if (tables_parent_ == -1) file_->corrupt("the catalogue (MSysObjects) has no Tables container");
    place_tables();
}

// Id is the catalogue's key, and a table's Id names its definition: a table that shares its Id
// with another object is read from another's definition, or its own Id was lost.
void database::refuse_shared_ids() const
{
    std::unordered_map<std::int32_t, const catalog_entry*> by_id;
    for (const auto& e : catalogue_) {
        const auto [at, fresh] = by_id.emplace(e.id, &e);
        if (!fresh && (a_table(e) || a_table(*at->second)))
            file_->corrupt("the catalogue (MSysObjects) gives the objects '" + win_utf8_from_wide(at->second->name) +
                           "' and '" + win_utf8_from_wide(e.name) + "' the same Id " + std::to_string(e.id));
    }
}

// Every table hangs below the Tables container. One whose ParentId names anything else cannot be
// placed: it is kept among the tables, so that it is seen, and refuses to open with a message
// that names it.
void database::place_tables()
{
    for (auto& e : catalogue_) {
        if (!a_table(e) || e.parent_id == tables_parent_) continue;
        e.placement_error = file_->damaged("the catalogue (MSysObjects) places table '" + win_utf8_from_wide(e.name) +
                                           "' below ParentId " + std::to_string(e.parent_id) + ", not below the Tables container");
        e.parent_id = tables_parent_;
    }
}

std::vector<const catalog_entry*> database::tables(bool include_system) const
{
    std::vector<const catalog_entry*> out;
    for (const auto& e : catalogue_) {
        if (!a_table(e)) continue;
        if (tables_parent_ != -1 && e.parent_id != tables_parent_) continue;
        if (!include_system && e.system()) continue;
        out.push_back(&e);
    }
    return out;
}

std::vector<const catalog_entry*> database::queries() const
{
    std::vector<const catalog_entry*> out;
    for (const auto& e : catalogue_)
        if (e.kind() == object_kind::query) out.push_back(&e);
    return out;
}

const catalog_entry* database::find(std::wstring_view name) const
{
    for (const auto& e : catalogue_) {
        object_kind k = e.kind();
        if (k == object_kind::other) continue;
        if (k != object_kind::query && tables_parent_ != -1 && e.parent_id != tables_parent_) continue;
        if (same_name(e.name, name)) return &e;
    }
    return nullptr;
}

const catalog_entry* database::find_by_page(std::uint32_t tdef_page) const
{
    for (const auto& e : catalogue_)
        if (e.kind() == object_kind::table && e.tdef_page() == tdef_page) return &e;
    return nullptr;
}

std::shared_ptr<const table_def> database::load(const catalog_entry* entry, std::uint32_t page,
                                                const std::wstring& name) const
{
    {
        std::lock_guard lock(mutex_);
        auto it = defs_.find(page);
        if (it != defs_.end()) return it->second;
    }
    if (entry && !entry->placement_error.empty()) throw error(err_corrupt, entry->placement_error);
    if (entry && !entry->properties_error.empty()) throw error(err_corrupt, entry->properties_error);
    auto def = std::make_shared<table_def>(read_table_def(*file_, page, name));
    if (entry) {
        def->name = entry->name;
        def->properties = entry->properties.object();
        for (auto& c : def->columns) {
            c.properties = entry->properties.column(c.name);
            // A calculated column stores its result in the type its ResultType property names.
            if (c.calculated()) {
                check_calculated(*file_, *def, c);
                const value& rt = c.properties.get(L"ResultType");
                if (rt.type() == value::byte_k && rt.as_byte() != 0) c.type = static_cast<column_type>(rt.as_byte());
                // Its decimals carry their own scale; the column allows the widest precision.
                if (c.type == column_type::numeric) {
                    c.precision = 28;
                    c.scale = 0;
                }
            }
        }
    }
    for (auto& x : def->indexes) {
        if (x.foreign() && x.ref_table_page) {
            if (x.ref_table_page == page)
                x.ref_table = def->name;
            else if (const catalog_entry* other = find_by_page(x.ref_table_page))
                x.ref_table = other->name;
        }
    }
    std::lock_guard lock(mutex_);
    auto [it, inserted] = defs_.insert_or_assign(page, def);
    (void)inserted;
    return it->second;
}

std::shared_ptr<const table_def> database::table(std::wstring_view name) const
{
    const catalog_entry* e = find(name);
    if (!e || e->kind() == object_kind::query)
        throw error(err_object_not_found, "Cannot find the table '" + win_utf8_from_wide(name) + "' in " + path() + ".");
    if (e->kind() != object_kind::table)
        throw error(err_object_not_found, "The table '" + win_utf8_from_wide(name) + "' in " + path() +
                                              " is linked to another database; it has no rows here.");
    return load(e, e->tdef_page(), e->name);
}

std::shared_ptr<const table_def> database::table_at(std::uint32_t tdef_page) const
{
    const catalog_entry* e = find_by_page(tdef_page);
    if (!e) throw error(err_object_not_found, "No table has its definition at page " + std::to_string(tdef_page) + " of " + path() + ".");
    return load(e, tdef_page, e->name);
}

row_cursor database::rows(std::wstring_view table_name) const { return row_cursor(file_, table(table_name)); }

row_cursor database::rows(std::shared_ptr<const table_def> t) const { return row_cursor(file_, std::move(t)); }

std::uint64_t database::count_rows(std::wstring_view table_name) const
{
    row_cursor c(file_, table(table_name));
    return c.count_rows();
}

} // namespace jet

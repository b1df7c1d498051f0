#include "platform/jet/jet_writer.h"
#include "platform/jet/jet_writer_state.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <unistd.h>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_put.h"
#include "platform/jet/jet_rc4.h"
#include "platform/jet/jet_write3.h"

namespace jet {

namespace {

constexpr std::size_t map_row_size = 69;           // one usage map: type byte, start page, 64 bytes of map
constexpr std::size_t map_bitmap_bytes = map_row_size - 5;
constexpr std::size_t max_rows_per_page = 255;
constexpr std::size_t long_value_inline = 64;
constexpr std::int32_t root_id = 0x0F000000;
constexpr std::int32_t tables_id = 0x0F000001;
constexpr std::int32_t databases_id = 0x0F000002;
constexpr std::size_t max_indexes = 32;
constexpr std::size_t cache_pages = 2048;          // changed pages kept in memory between writes

// Names Access accepts for tables, columns and indexes: 1 to 64 characters, no leading blank, no
// control character and none of . ! ` [ ] (relationship names may be longer).
void check_name(const std::wstring& name, const char* what)
{
    const std::size_t longest = std::string_view(what) == "relationship" ? 255 : longest_object_name;
    bool ok = !name.empty() && name.size() <= longest && name.front() != L' ';
    for (wchar_t c : name)
        if (c < 0x20 || c == L'.' || c == L'!' || c == L'`' || c == L'[' || c == L']') ok = false;
    if (!ok) throw error(err_invalid_name, std::string("'") + message_text(name) + "' is not a valid " + what + " name.");
}

column_spec col(const wchar_t* name, column_type t, std::uint16_t length = 0)
{
    column_spec c;
    c.name = name;
    c.type = t;
    c.length = length;
    return c;
}

index_spec idx(const wchar_t* name, std::vector<std::wstring> cols, bool primary, bool unique, bool ignore_nulls = false)
{
    index_spec x;
    x.name = name;
    for (auto& c : cols) x.columns.emplace_back(std::move(c), true);
    x.primary = primary;
    x.unique = unique;
    x.ignore_nulls = ignore_nulls;
    return x;
}

// A fresh data page (owner: a table definition page, or "LVAL" for long values, or 0 for usage maps).
// Where a data page keeps its row count and where its row offsets start: the page size tells the layout
// (2 KiB pages are Jet3's).
const format_layout& data_layout(const std::vector<std::uint8_t>& pg)
{
    return layout_for(pg.size() == layout_for(file_format::jet3).page_size ? file_format::jet3 : file_format::jet4);
}
std::size_t rows_at(const std::vector<std::uint8_t>& pg) { return data_layout(pg).data_rows_at; }
std::size_t offsets_at(const std::vector<std::uint8_t>& pg) { return data_layout(pg).data_offsets_at; }

void init_data_page(std::vector<std::uint8_t>& pg, std::uint32_t owner)
{
    std::fill(pg.begin(), pg.end(), 0);
    pg[0] = 0x01;
    pg[1] = 0x01;
    put16(pg.data() + 2, static_cast<std::uint32_t>(pg.size() - offsets_at(pg)));
    put32(pg.data() + 4, owner);
}

constexpr std::uint32_t lval_owner = 0x4C41564Cu; // "LVAL"

std::size_t free_space(const std::vector<std::uint8_t>& pg) { return rd16(pg.data() + 2); }

bool is_long(column_type t) { return t == column_type::memo || t == column_type::ole; }

std::size_t fixed_width(const column_def& c)
{
    if (c.type == column_type::boolean) return 0;
    std::size_t n = stored_fixed_size(c.type);
    return n ? n : c.length;
}

// A column of an Access 97 file: text one byte a character in the file's code page; no decimal, large
// number or complex types.
void narrow_column(column_def& c, const code_page_encoder& text)
{
    if (c.type == column_type::numeric || c.type == column_type::big_int || c.type == column_type::complex)
        throw error(err_type_conversion, std::string("An Access 97 database has no ") + type_name(c.type) + " columns ('" +
                                             message_text(c.name) + "').");
    if (c.type == column_type::text) c.length = static_cast<std::uint16_t>((c.length + 1) / 2);
    c.code_page = static_cast<std::uint16_t>(text.code_page());
    c.ext_flags = 0;
    c.sort_version = 0;
}

// Names and property texts of an Access 97 file are kept in its code page: one it cannot hold is refused
// before anything is written (`text` is null for the other formats, which take any text).
void check_narrow(const code_page_encoder* text, const std::wstring& s)
{
    bytes b;
    if (text) text->encode_or_throw(s, "the name or text '" + message_text(s) + "'", b);
}

bool fixed_type(column_type t)
{
    switch (t) {
    case column_type::text: case column_type::memo: case column_type::ole: case column_type::binary: return false;
    default: return true;
    }
}

} // namespace

database_writer::database_writer(const std::string& path, file_format format, double created, int code_page)
    : format_(format), created_(created), store_(path, layout_for(format))
{
    if (format == file_format::jet3) narrow_text_ = std::make_unique<code_page_encoder>(code_page);
}

std::unique_ptr<database_writer> database_writer::create(const std::string& path, file_format format, double created,
                                                         int code_page)
{
    if (format == file_format::jet3) code_page_encoder check(code_page); // refused before the file is made
    std::unique_ptr<database_writer> w(new database_writer(path, format, created, code_page));
    try {
        w->build_system();
        w->flush();
    } catch (...) {
        w.reset();
        ::unlink(path.c_str());
        throw;
    }
    return w;
}

database_writer::~database_writer()
{
    if (broken_ || !dirty_) return;
    try {
        flush();
    } catch (...) {
        // A destructor cannot report; the failed flush has put the file back as the last one left it.
    }
}

template <class F>
void database_writer::guarded(F&& f)
{
    if (broken_) throw error(err_io, "The database '" + path() + "' could not be written completely and is closed.");
    try {
        f();
    } catch (const error& e) {
        if (e.code() == err_io || e.code() == err_corrupt) {
            broken_ = true;
            store_.restore_saved();
        }
        throw;
    }
    dirty_ = true;
}

void database_writer::build_system()
{
    std::uint32_t header = store_.allocate();      // page 0: written last, at each flush
    std::uint32_t global = store_.allocate();      // page 1: the map of free pages
    (void)header;
    const std::uint32_t catalogue = 2;             // MSysObjects' definition: the next page, where readers look
    init_data_page(store_.page(global), 1);
    {
        auto& pg = store_.page(global);
        // Two map rows: free pages, and an empty one.
        std::size_t end = pg.size();
        for (int r = 0; r < 2; ++r) {
            end -= map_row_size;
            put16(pg.data() + offsets_at(pg) + 2 * r, static_cast<std::uint32_t>(end));
        }
        put16(pg.data() + rows_at(pg), 2);
        put16(pg.data() + 2, static_cast<std::uint32_t>(pg.size() - offsets_at(pg) - 2 * (2 + map_row_size)));
    }

    using T = column_type;
    std::vector<column_spec> objects = {
        col(L"Id", T::long_integer), col(L"ParentId", T::long_integer), col(L"Name", T::text, 510),
        col(L"Type", T::integer), col(L"DateCreate", T::datetime), col(L"DateUpdate", T::datetime),
        col(L"Owner", T::binary, 510), col(L"Flags", T::long_integer), col(L"Database", T::memo),
        col(L"Connect", T::memo), col(L"ForeignName", T::text, 510), col(L"RmtInfoShort", T::binary, 510),
        col(L"RmtInfoLong", T::ole), col(L"Lv", T::ole), col(L"LvProp", T::ole), col(L"LvModule", T::ole),
        col(L"LvExtra", T::ole)};
    table_state& o = add_table(L"MSysObjects", objects,
                               {idx(L"Id", {L"Id"}, true, true), idx(L"ParentIdName", {L"ParentId", L"Name"}, false, true)},
                               true, 0x80000000u);
    if (o.def.tdef_page != catalogue) throw error(err_corrupt, "the catalogue must start at page 2");

    add_table(L"MSysACEs",
              {col(L"ObjectId", T::long_integer), col(L"SID", T::binary, 510), col(L"ACM", T::long_integer),
               col(L"FInheritable", T::boolean)},
              {idx(L"ObjectId", {L"ObjectId"}, false, false)}, true, 0x80000000u);
    add_table(L"MSysQueries",
              {col(L"ObjectId", T::long_integer), col(L"Attribute", T::byte), col(L"Order", T::binary, 510),
               col(L"Name1", T::text, 510), col(L"Name2", T::text, 510), col(L"Expression", T::memo),
               col(L"Flag", T::integer), col(L"LvExtra", T::long_integer)},
              {idx(L"ObjectIdAttribute", {L"ObjectId", L"Attribute", L"Order"}, true, true)}, true, 0x80000000u);
    add_table(L"MSysRelationships",
              {col(L"szRelationship", T::text, 510), col(L"grbit", T::long_integer), col(L"ccolumn", T::long_integer),
               col(L"icolumn", T::long_integer), col(L"szObject", T::text, 510), col(L"szColumn", T::text, 510),
               col(L"szReferencedObject", T::text, 510), col(L"szReferencedColumn", T::text, 510)},
              {idx(L"szObject", {L"szObject"}, false, false, true),
               idx(L"szReferencedObject", {L"szReferencedObject"}, false, false, true),
               idx(L"szRelationship", {L"szRelationship"}, false, false, true)},
              true, 0x80000000u);
    if (format_ == file_format::ace) {
        column_spec complex_id = col(L"ComplexID", T::long_integer);
        complex_id.auto_number = true;
        add_table(L"MSysComplexColumns",
                  {col(L"ColumnName", T::text, 510), col(L"ComplexTypeObjectID", T::long_integer),
                   col(L"FlatTableID", T::long_integer), col(L"ConceptualTableID", T::long_integer), complex_id},
                  {idx(L"IdxConceptualTableID", {L"ConceptualTableID"}, false, false),
                   idx(L"IdxFlatTableID", {L"FlatTableID"}, false, false), idx(L"IdxID", {L"ComplexID"}, true, true)},
                  true, 0x80000000u);
        column_spec id = col(L"Id", T::long_integer);
        id.auto_number = true;
        add_table(L"MSysAccessStorage",
                  {id, col(L"Name", T::text, 256), col(L"ParentId", T::long_integer), col(L"Type", T::long_integer),
                   col(L"DateCreate", T::datetime), col(L"DateUpdate", T::datetime), col(L"Lv", T::ole)},
                  {idx(L"Id", {L"Id"}, true, true), idx(L"ParentIdId", {L"ParentId", L"Id"}, false, true),
                   idx(L"ParentIdName", {L"ParentId", L"Name"}, false, true)},
                  true, 0x0000000Au);
    } else if (format_ == file_format::jet4) {
        column_spec data = col(L"Data", T::unknown_11, 3992);
        add_table(L"MSysAccessObjects", {data, col(L"ID", T::long_integer)}, {idx(L"AOIndex", {L"ID"}, true, true)},
                  true, 0x00000002u);
    }

    auto container = [&](std::int32_t id, std::int32_t parent, const wchar_t* name, std::int16_t type, std::uint32_t flags) {
        catalog_row r;
        r.id = id;
        r.parent = parent;
        r.name = name;
        r.type = type;
        r.flags = flags;
        containers_.push_back(std::move(r));
    };
    container(tables_id, root_id, L"Tables", 3, 0x80000000u);
    container(databases_id, root_id, L"Databases", 3, 0x80000000u);
    container(0x0F000003, root_id, L"Relationships", 3, 0x80000000u);
    container(0x10000000, databases_id, L"MSysDb", 2, 0x80000000u);
    {
        property_maps db_props;
        property_map m;
        property p;
        p.name = L"AccessVersion";
        p.type = column_type::text;
        p.data = value(std::wstring(format_ == file_format::ace ? L"12.0" : format_ == file_format::jet4 ? L"09.50" : L"07.53"));
        m.items.push_back(p);
        db_props.maps.push_back(m);
        containers_.back().lvprop = encode_properties(db_props, narrow_text_.get());
    }
    const wchar_t* access_containers[] = {L"DataAccessPages", L"Forms", L"Modules", L"Reports", L"Scripts", L"SysRel"};
    std::int32_t next = static_cast<std::int32_t>(0x80000000u);
    for (const wchar_t* name : access_containers) container(next++, root_id, name, 3, 0);
    container(next++, databases_id, L"SummaryInfo", -32757, 0);
    container(next++, databases_id, L"UserDefined", -32757, 0);
}

const database_writer::table_state* database_writer::find_or_null(std::wstring_view name) const
{
    for (const auto& t : tables_)
        if (same_name(t->def.name, name)) return t.get();
    return nullptr;
}

database_writer::table_state& database_writer::find(std::wstring_view name)
{
    const table_state* t = find_or_null(name);
    if (!t) throw error(err_object_not_found, "Cannot find the table '" + message_text(name) + "' in " + path() + ".");
    return const_cast<table_state&>(*t);
}

bool database_writer::has_table(std::wstring_view name) const { return find_or_null(name) != nullptr; }

std::vector<std::wstring> database_writer::table_names() const
{
    std::vector<std::wstring> out;
    for (const auto& t : tables_)
        if (!t->system) out.push_back(t->def.name);
    return out;
}

const table_def& database_writer::table(std::wstring_view name) const
{
    return const_cast<database_writer*>(this)->find(name).def;
}

row_pointer database_writer::new_map_row()
{
    std::vector<std::uint8_t>* pg = map_page_ ? &store_.page(map_page_) : nullptr;
    if (!pg || free_space(*pg) < map_row_size + 2 || rd16(pg->data() + rows_at(*pg)) >= max_rows_per_page) {
        map_page_ = store_.allocate();
        pg = &store_.page(map_page_);
        init_data_page(*pg, 0);
    }
    std::uint16_t n = rd16(pg->data() + rows_at(*pg));
    std::size_t end = n == 0 ? pg->size() : (rd16(pg->data() + offsets_at(*pg) + 2 * (n - 1)) & 0x1FFF);
    std::size_t start = end - map_row_size;
    put16(pg->data() + offsets_at(*pg) + 2 * n, static_cast<std::uint32_t>(start));
    put16(pg->data() + rows_at(*pg), n + 1u);
    put16(pg->data() + 2, static_cast<std::uint32_t>(free_space(*pg) - map_row_size - 2));
    return {map_page_, static_cast<std::uint8_t>(n)};
}

void database_writer::write_map_row(row_pointer at, const std::vector<std::uint32_t>& pages,
                                    std::vector<std::uint32_t>& map_pages)
{
    std::uint8_t row[map_row_size] = {};
    std::uint32_t lo = 0, hi = 0;
    if (!pages.empty()) {
        lo = *std::min_element(pages.begin(), pages.end());
        hi = *std::max_element(pages.begin(), pages.end());
    }
    std::uint32_t start = lo & ~7u;
    if (pages.empty() || hi - start < map_bitmap_bytes * 8) {
        // An inline map: a start page and one bit a page after it.
        row[0] = 0;
        put32(row + 1, start);
        for (std::uint32_t p : pages) row[5 + (p - start) / 8] |= static_cast<std::uint8_t>(1u << ((p - start) % 8));
    } else {
        // A map of map pages: each covers (page size - 4) * 8 pages from its slot's base.
        row[0] = 1;
        const std::size_t per = (store_.page_size() - 4) * 8;
        std::size_t slots = hi / per + 1;
        if (slots > map_bitmap_bytes / 4) throw error(err_io, "Cannot write file '" + path() + "': the database is full.");
        if (map_pages.size() < slots) map_pages.resize(slots, 0);
        for (std::size_t s = 0; s < slots; ++s) {
            if (!map_pages[s]) map_pages[s] = store_.allocate();
            auto& mp = store_.page(map_pages[s]);
            std::fill(mp.begin(), mp.end(), 0);
            mp[0] = 0x05;
            mp[1] = 0x01;
            put32(row + 1 + 4 * s, map_pages[s]);
        }
        for (std::uint32_t p : pages) {
            auto& mp = store_.page(map_pages[p / per]);
            std::size_t b = p % per;
            mp[4 + b / 8] |= static_cast<std::uint8_t>(1u << (b % 8));
        }
    }
    auto& pg = store_.page(at.page);
    std::size_t off = rd16(pg.data() + offsets_at(pg) + 2 * at.row) & 0x1FFF;
    std::memcpy(pg.data() + off, row, map_row_size);
}

void database_writer::add_real_index(table_state& t, index_def& x)
{
    // Logical indexes over the same columns (same order and direction) share one real index.
    for (std::size_t i = 0; i < t.reals.size(); ++i) {
        const auto& r = t.reals[i];
        bool same = r.columns.size() == x.columns.size();
        for (std::size_t k = 0; same && k < r.columns.size(); ++k)
            same = r.columns[k].number == x.columns[k].number && r.columns[k].ascending == x.columns[k].ascending;
        if (same && (r.flags & 0x01) == (x.real_flags & 0x01)) {
            t.reals[i].flags |= x.real_flags;
            x.real_index = static_cast<std::int32_t>(i);
            return;
        }
    }
    real_index_image r;
    r.columns = x.columns;
    r.flags = x.real_flags;
    r.map = new_map_row();
    const std::size_t i = t.reals.size();
    x.real_index = static_cast<std::int32_t>(i);
    t.reals.push_back(r);
    t.real_pages.emplace_back();
    t.real_map_pages.emplace_back();
    prepare_keys(t, i);
    build_tree(t, i, {}); // an empty leaf as its root
}

database_writer::table_state& database_writer::add_table(const std::wstring& name,
                                                         const std::vector<column_spec>& columns,
                                                         const std::vector<index_spec>& indexes, bool system,
                                                         std::uint32_t flags)
{
    check_name(name, "table");
    for (const auto& c : columns) check_name(c.name, "field");
    for (const auto& x : indexes) check_name(x.name, "index");
    if (find_or_null(name)) throw error(err_table_exists, "Table '" + message_text(name) + "' already exists.");
    check_narrow(narrow_text_.get(), name);
    for (const auto& c : columns) check_narrow(narrow_text_.get(), c.name);
    for (const auto& x : indexes) check_narrow(narrow_text_.get(), x.name);
    if (indexes.size() > max_indexes)
        throw error(err_too_many_indexes, "Too many indexes on table '" + message_text(name) + "'.");
    if (columns.empty() || columns.size() > 255)
        throw error(err_field_too_small, "A table needs 1 to 255 columns ('" + message_text(name) + "').");

    auto t = std::make_unique<table_state>();
    t->def.name = name;
    t->system = system;
    t->flags = flags;
    t->created = created_;
    t->def.table_type = system ? 0x53 : 0x4E;
    std::uint16_t fixed_at = 0, var_at = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const column_spec& s = columns[i];
        for (std::size_t k = 0; k < i; ++k)
            if (same_name(columns[k].name, s.name))
                throw error(err_table_exists, "Field '" + message_text(s.name) + "' already exists in table '" + message_text(name) + "'.");
        column_def c;
        c.name = s.name;
        c.type = s.type;
        c.raw_type = static_cast<std::uint8_t>(s.type);
        c.number = static_cast<std::uint16_t>(i);
        c.position = static_cast<std::uint16_t>(i);
        c.precision = s.precision;
        c.scale = s.scale;
        c.properties = s.properties;
        c.properties.name = s.name;
        c.properties.block_type = 1;
        c.flags = 0x02 | 0x10;
        if (fixed_type(s.type)) c.flags |= 0x01;
        if (s.auto_number) c.flags |= s.type == column_type::guid ? 0x40 : 0x04;
        if (s.hyperlink) c.flags |= 0x80;
        if (s.type == column_type::text && !system) c.ext_flags = 0x01;
        if (s.type == column_type::text || s.type == column_type::memo) {
            c.sort_order = 0x0409;
            c.sort_version = format_ == file_format::ace ? 1 : 0;
        }
        switch (s.type) {
        case column_type::text: case column_type::binary: c.length = s.length ? s.length : 510; break;
        case column_type::memo: case column_type::ole: c.length = 0; break;
        case column_type::boolean: c.length = 1; break;
        default: c.length = static_cast<std::uint16_t>(stored_fixed_size(s.type) ? stored_fixed_size(s.type) : s.length);
        }
        if (narrow_text_) narrow_column(c, *narrow_text_);
        if (c.fixed()) {
            c.fixed_offset = fixed_at;
            fixed_at = static_cast<std::uint16_t>(fixed_at + fixed_width(c));
        } else {
            c.var_index = var_at++;
        }
        t->def.columns.push_back(std::move(c));
    }
    t->def.max_columns = static_cast<std::uint16_t>(columns.size());
    t->def.var_columns = var_at;

    // Resolve the indexes before anything is allocated, so a refused definition writes nothing.
    std::vector<index_def> logical;
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        const index_spec& s = indexes[i];
        index_def x;
        x.name = s.name;
        x.number = static_cast<std::int32_t>(i);
        x.kind = s.primary ? 1 : 0;
        x.real_flags = static_cast<std::uint8_t>(((s.unique || s.primary) ? 0x01 : 0) | (s.ignore_nulls ? 0x02 : 0) |
                                                 ((s.required || s.primary) ? 0x08 : 0));
        if (s.columns.empty() || s.columns.size() > 10)
            throw error(err_field_too_small, "Index '" + message_text(s.name) + "' needs 1 to 10 columns.");
        for (const auto& [cn, asc] : s.columns) {
            int c = t->def.find_column(cn);
            if (c < 0)
                throw error(err_object_not_found, "Index '" + message_text(s.name) + "' names the missing column '" + message_text(cn) + "'.");
            if (is_long(t->def.columns[c].type))
                throw error(err_type_conversion, "Column '" + message_text(cn) + "' cannot be part of an index.");
            index_column ic;
            ic.name = t->def.columns[c].name;
            ic.number = t->def.columns[c].number;
            ic.ascending = asc;
            x.columns.push_back(ic);
        }
        for (const auto& other : logical)
            if (same_name(other.name, x.name))
                throw error(err_table_exists, "Index '" + message_text(x.name) + "' already exists.");
        logical.push_back(std::move(x));
    }

    t->def.tdef_page = store_.allocate();
    t->tdef_pages.push_back(t->def.tdef_page);
    t->def.owned_pages = new_map_row();
    t->def.free_pages = new_map_row();
    for (auto& x : logical) {
        add_real_index(*t, x);
        t->def.indexes.push_back(x);
    }
    for (const auto& c : t->def.columns)
        if (is_long(c.type)) {
            long_value_maps m;
            m.column_number = c.number;
            m.owned = new_map_row();
            m.free = new_map_row();
            t->lv_maps.push_back(m);
            t->lv_pages.emplace_back();
            t->lv_map_pages.emplace_back();
        }
    tables_.push_back(std::move(t));
    return *tables_.back();
}

void database_writer::create_table(const std::wstring& name, const std::vector<column_spec>& columns,
                                   const std::vector<index_spec>& indexes, const property_map& table_properties)
{
    guarded([&] {
        if (narrow_text_) {
            property_maps texts;
            texts.maps.push_back(table_properties);
            for (const auto& c : columns) texts.maps.push_back(c.properties);
            (void)encode_properties(texts, narrow_text_.get());
        }
        table_state& t = add_table(name, columns, indexes, false, 0);
        property_map own = table_properties;
        own.name.clear();
        own.block_type = 0;
        if (!own.items.empty()) t.props.maps.push_back(own);
        for (const auto& c : t.def.columns)
            if (!c.properties.items.empty()) t.props.maps.push_back(c.properties);
        t.def.properties = own;
    });
}

void database_writer::add_index(const std::wstring& table, const index_spec& s)
{
    guarded([&] {
        table_state& t = find(table);
        check_name(s.name, "index");
        check_narrow(narrow_text_.get(), s.name);
        if (t.def.indexes.size() >= max_indexes)
            throw error(err_too_many_indexes, "Too many indexes on table '" + message_text(table) + "'.");
        for (const auto& x : t.def.indexes)
            if (same_name(x.name, s.name)) throw error(err_table_exists, "Index '" + message_text(s.name) + "' already exists.");
        index_def x;
        x.name = s.name;
        x.number = static_cast<std::int32_t>(t.def.indexes.size());
        x.kind = s.primary ? 1 : 0;
        x.real_flags = static_cast<std::uint8_t>(((s.unique || s.primary) ? 0x01 : 0) | (s.ignore_nulls ? 0x02 : 0) |
                                                 ((s.required || s.primary) ? 0x08 : 0));
        for (const auto& [cn, asc] : s.columns) {
            int c = t.def.find_column(cn);
            if (c < 0) throw error(err_object_not_found, "Index '" + message_text(s.name) + "' names the missing column '" + message_text(cn) + "'.");
            index_column ic;
            ic.name = t.def.columns[c].name;
            ic.number = t.def.columns[c].number;
            ic.ascending = asc;
            x.columns.push_back(ic);
        }
        // Its entries come from the rows as the reader finds them in the file: the file is made whole
        // for that before the index is declared, so that no state of it declares an empty index.
        if (t.rows > 0) write_whole(false);
        const std::size_t reals = t.reals.size();
        add_real_index(t, x);
        t.def.indexes.push_back(x);
        if (t.reals.size() == reals) return; // it shares a real index that already holds the rows
        try {
            fill_index(t, reals);
        } catch (const error& e) {
            if (e.code() != err_duplicate_key) throw;
            // The rows refuse the index: it goes again, its pages freed.
            t.def.indexes.pop_back();
            for (std::uint32_t p : t.real_pages.back()) free_page(p);
            t.reals.pop_back();
            t.real_pages.pop_back();
            t.real_map_pages.pop_back();
            t.key_layouts.pop_back();
            t.streams.pop_back();
            t.pending.pop_back();
            t.tree_entries.pop_back();
            t.pending_keys.pop_back();
            dirty_ = true;
            throw;
        }
    });
}

std::uint32_t database_writer::place_on_page(std::uint32_t& current, std::vector<std::uint32_t>& owned, const bytes& row,
                                             std::uint32_t owner_field, std::uint8_t& row_number,
                                             std::vector<std::uint32_t>* spare)
{
    const std::size_t need = row.size() + 2;
    if (need > store_.page_size() - store_.layout().data_offsets_at) throw error(err_record_too_large, "Record is too large.");
    std::vector<std::uint8_t>* pg = current ? &store_.page(current) : nullptr;
    if (!pg || free_space(*pg) < need || rd16(pg->data() + rows_at(*pg)) >= max_rows_per_page) {
        if (current && (!spare)) store_.retire(current);
        if (spare && !spare->empty()) {
            current = spare->front();
            spare->erase(spare->begin());
        } else {
            current = store_.allocate();
        }
        owned.push_back(current);
        pg = &store_.page(current);
        init_data_page(*pg, owner_field);
    }
    std::uint16_t n = rd16(pg->data() + rows_at(*pg));
    std::size_t end = n == 0 ? pg->size() : (rd16(pg->data() + offsets_at(*pg) + 2 * (n - 1)) & 0x1FFF);
    std::size_t start = end - row.size();
    std::memcpy(pg->data() + start, row.data(), row.size());
    put16(pg->data() + offsets_at(*pg) + 2 * n, static_cast<std::uint32_t>(start));
    put16(pg->data() + rows_at(*pg), n + 1u);
    put16(pg->data() + 2, static_cast<std::uint32_t>(free_space(*pg) - need));
    row_number = static_cast<std::uint8_t>(n);
    return current;
}

row_pointer database_writer::place_row(table_state& t, const bytes& row)
{
    std::uint8_t r = 0;
    std::uint32_t p = place_on_page(t.cur_data, t.data_pages, row, t.def.tdef_page, r, nullptr);
    return {p, r};
}

void database_writer::store_long_value(table_state& t, const column_def& c, std::span<const std::uint8_t> data,
                                       std::uint8_t ref[12])
{
    std::size_t slot = 0;
    while (slot < t.lv_maps.size() && t.lv_maps[slot].column_number != c.number) ++slot;
    if (slot == t.lv_maps.size()) throw error(err_corrupt, "a long value for a column without long-value maps");
    auto place = [&](const bytes& row) {
        std::uint8_t r = 0;
        std::vector<std::uint32_t> owned;
        std::uint32_t p = place_on_page(t.cur_lval, owned, row, lval_owner, r, t.system ? &t.lv_spare : nullptr);
        for (std::uint32_t o : owned) t.lv_pages[slot].push_back(o);
        if (std::find(t.lv_pages[slot].begin(), t.lv_pages[slot].end(), p) == t.lv_pages[slot].end())
            t.lv_pages[slot].push_back(p);
        return row_pointer{p, r};
    };
    const std::size_t single_max = store_.page_size() - store_.layout().data_offsets_at - 2;
    std::uint32_t length = static_cast<std::uint32_t>(data.size());
    if (data.size() <= single_max) {
        row_pointer at = place(bytes(data.begin(), data.end()));
        put32(ref, length | 0x40000000u);
        ref[4] = at.row;
        ref[5] = static_cast<std::uint8_t>(at.page);
        put16(ref + 6, at.page >> 8);
        return;
    }
    // A chain: each piece starts with the location of the next; written from the last piece back.
    const std::size_t piece = single_max - 4;
    std::size_t pieces = (data.size() + piece - 1) / piece;
    row_pointer next{0, 0};
    for (std::size_t i = pieces; i-- > 0;) {
        std::size_t from = i * piece, n = std::min(piece, data.size() - from);
        bytes row(4 + n);
        row[0] = next.row;
        row[1] = static_cast<std::uint8_t>(next.page);
        put16(row.data() + 2, next.page >> 8);
        std::memcpy(row.data() + 4, data.data() + from, n);
        next = place(row);
    }
    put32(ref, length);
    ref[4] = next.row;
    ref[5] = static_cast<std::uint8_t>(next.page);
    put16(ref + 6, next.page >> 8);
}

std::vector<bool> database_writer::check_row(table_state& t, std::vector<value>& row)
{
    std::vector<bool> generated(row.size(), false);
    if (row.size() != t.def.columns.size())
        throw error(err_type_conversion, "A row of table '" + message_text(t.def.name) + "' needs " +
                                             std::to_string(t.def.columns.size()) + " values.");
    for (std::size_t i = 0; i < row.size(); ++i) {
        const column_def& c = t.def.columns[i];
        value& v = row[i];
        if (v.is_null() && c.auto_number()) {
            generated[i] = true;
            if (c.type == column_type::long_integer) {
                v = value(static_cast<std::int32_t>(t.next_auto));
            } else if (c.type == column_type::guid) {
                static thread_local std::mt19937_64 rng{std::random_device{}()};
                guid g;
                for (auto& b : g.bytes) b = static_cast<std::uint8_t>(rng());
                g.bytes[7] = static_cast<std::uint8_t>((g.bytes[7] & 0x0F) | 0x40);
                g.bytes[8] = static_cast<std::uint8_t>((g.bytes[8] & 0x3F) | 0x80);
                v = value(g);
            }
        }
        const value& req = c.properties.get(L"Required");
        bool required = req.type() == value::boolean_k && req.as_bool();
        if (required && v.is_null())
            throw error(err_required_null, "You must enter a value in the '" + message_text(t.def.name) + "." + message_text(c.name) + "' field.");
        if ((c.type == column_type::text || c.type == column_type::memo) && v.type() == value::text_k &&
            v.as_text().empty()) {
            const value& azl = c.properties.get(L"AllowZeroLength");
            if (azl.type() == value::boolean_k && !azl.as_bool())
                throw error(3315, "Field '" + message_text(t.def.name) + "." + message_text(c.name) + "' cannot be a zero-length string.");
        }
    }
    for (const auto& x : t.def.indexes)
        if (x.required() || x.primary())
            for (const auto& ic : x.columns)
                if (row[static_cast<std::size_t>(t.def.find_column(ic.name))].is_null())
                    throw error(3058, "Index or primary key cannot contain a Null value.");
    return generated;
}

void database_writer::append(const std::wstring& table, std::vector<value>& row)
{
    guarded([&] {
        table_state& t = find(table);
        std::vector<bool> generated = check_row(t, row);
        check_unique(t, row, generated);
        bytes encoded;
        try {
            encode_row(t.def, row, long_value_inline,
                       [&](const column_def& c, std::span<const std::uint8_t> data, std::uint8_t ref[12]) {
                           store_long_value(t, c, data, ref);
                       },
                       encoded, narrow_text_.get());
        } catch (const error& e) {
            // A value an Access 97 file cannot take (text outside its code page): say which row.
            if (!narrow_text_ || e.code() != err_type_conversion) throw;
            throw error(e.code(), std::string(e.what()) + " (row " + std::to_string(t.rows + 1) + ")");
        }
        row_pointer at = place_row(t, encoded);
        index_row(t, row, at);
        store_.trim(cache_pages);
        ++t.rows;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const column_def& c = t.def.columns[i];
            if (!c.auto_number() || c.type != column_type::long_integer || row[i].type() != value::int32_k) continue;
            const std::int32_t v = row[i].as_int32();
            if (!t.counter_taken(v)) t.take_counter(v);
            if (v >= static_cast<std::int32_t>(t.next_auto)) t.next_auto = static_cast<std::uint32_t>(v) + 1;
        }
    });
}

void database_writer::rewrite_rows(table_state& t, const std::vector<std::vector<value>>& rows)
{
    std::vector<std::uint32_t> spare = t.data_pages;
    std::vector<row_pointer> where;
    t.data_pages.clear();
    t.cur_data = 0;
    for (auto& pages : t.lv_pages) {
        for (std::uint32_t p : pages)
            if (std::find(t.lv_spare.begin(), t.lv_spare.end(), p) == t.lv_spare.end()) t.lv_spare.push_back(p);
        pages.clear();
    }
    t.cur_lval = 0;
    for (const auto& r : rows) {
        bytes encoded;
        encode_row(t.def, r, long_value_inline,
                   [&](const column_def& c, std::span<const std::uint8_t> data, std::uint8_t ref[12]) {
                       store_long_value(t, c, data, ref);
                   },
                   encoded, narrow_text_.get());
        std::uint8_t rn = 0;
        std::uint32_t p = place_on_page(t.cur_data, t.data_pages, encoded, t.def.tdef_page, rn, &spare);
        where.push_back({p, rn});
    }
    rebuild_indexes(t, rows, where);
    // Pages no longer needed stay with the table, empty.
    for (std::uint32_t p : spare) {
        init_data_page(store_.page(p), t.def.tdef_page);
        t.data_pages.push_back(p);
    }
    for (std::uint32_t p : t.lv_spare) {
        init_data_page(store_.page(p), lval_owner);
        if (!t.lv_pages.empty()) t.lv_pages[0].push_back(p);
    }
    t.lv_spare.clear();
    t.rows = static_cast<std::uint32_t>(rows.size());
}

void database_writer::free_page(std::uint32_t page)
{
    auto& pg = store_.page(page);
    std::fill(pg.begin(), pg.end(), 0);
    free_pages_.push_back(page);
}

void database_writer::delete_table(const std::wstring& name)
{
    guarded([&] {
        table_state& t = find(name);
        if (t.system) throw error(err_object_not_found, "The system table '" + message_text(name) + "' cannot be deleted.");
        for (std::uint32_t p : t.data_pages) free_page(p);
        for (std::uint32_t p : t.tdef_pages) free_page(p);
        for (const auto& v : t.real_pages)
            for (std::uint32_t p : v) free_page(p);
        for (const auto& v : t.lv_pages)
            for (std::uint32_t p : v) free_page(p);
        for (auto* maps : {&t.owned_map_pages, &t.free_map_pages})
            for (std::uint32_t p : *maps)
                if (p) free_page(p);
        // Its usage map rows are emptied (they stay, unreferenced, on their shared page).
        std::vector<std::uint32_t> none, scratch;
        write_map_row(t.def.owned_pages, none, scratch);
        write_map_row(t.def.free_pages, none, scratch);
        for (const auto& r : t.reals) write_map_row(r.map, none, scratch);
        for (const auto& m : t.lv_maps) {
            write_map_row(m.owned, none, scratch);
            write_map_row(m.free, none, scratch);
        }
        // Relationships that name it go, and the foreign-key indexes on the other side with them.
        std::wstring gone = t.def.name;
        std::uint32_t gone_page = t.def.tdef_page;
        relationships_.erase(std::remove_if(relationships_.begin(), relationships_.end(),
                                            [&](const relationship_def& r) {
                                                return same_name(r.table, gone) || same_name(r.ref_table, gone);
                                            }),
                             relationships_.end());
        tables_.erase(std::find_if(tables_.begin(), tables_.end(), [&](const auto& p) { return p.get() == &t; }));
        for (auto& other : tables_) {
            auto& xs = other->def.indexes;
            bool changed = false;
            for (auto it = xs.begin(); it != xs.end();) {
                if (it->foreign() && it->ref_table_page == gone_page) {
                    it = xs.erase(it);
                    changed = true;
                } else {
                    ++it;
                }
            }
            if (changed)
                for (std::size_t i = 0; i < xs.size(); ++i) xs[i].number = static_cast<std::int32_t>(i);
        }
    });
}

void database_writer::add_relationship(const relationship_def& r)
{
    guarded([&] {
        table_state& child = find(r.table);
        table_state& parent = find(r.ref_table);
        check_narrow(narrow_text_.get(), r.name);
        if (r.columns.empty() || r.columns.size() != r.ref_columns.size() || r.columns.size() > 10)
            throw error(err_type_conversion, "Relationship '" + message_text(r.name) + "' needs matching columns.");
        check_name(r.name, "relationship");
        for (const auto& x : relationships_)
            if (same_name(x.name, r.name)) throw error(err_table_exists, "Relationship '" + message_text(r.name) + "' already exists.");
        auto columns_of = [](table_state& t, const std::vector<std::wstring>& names) {
            std::vector<index_column> out;
            for (const auto& n : names) {
                int c = t.def.find_column(n);
                if (c < 0)
                    throw error(err_object_not_found, "Relationship column '" + message_text(n) + "' is not in table '" + message_text(t.def.name) + "'.");
                index_column ic;
                ic.name = t.def.columns[c].name;
                ic.number = t.def.columns[c].number;
                out.push_back(ic);
            }
            return out;
        };
        std::vector<index_column> pcols = columns_of(parent, r.ref_columns), ccols = columns_of(child, r.columns);
        // The referenced side needs a unique index on exactly its columns.
        const index_def* unique = nullptr;
        for (const auto& x : parent.def.indexes) {
            if (!x.unique() || x.foreign() || x.columns.size() != pcols.size()) continue;
            bool same = true;
            for (std::size_t k = 0; k < pcols.size(); ++k) same = same && x.columns[k].number == pcols[k].number;
            if (same) unique = &x;
        }
        if (!unique)
            throw error(3368, "No unique index found for the referenced field of the primary table '" + message_text(parent.def.name) + "'.");
        bool enforced = (r.grbit & 0x2) == 0;
        if (enforced) {
            if (child.def.indexes.size() >= max_indexes || parent.def.indexes.size() >= max_indexes)
                throw error(err_too_many_indexes, "Too many indexes for relationship '" + message_text(r.name) + "'.");
            index_def fk;
            fk.name = r.name;
            fk.number = static_cast<std::int32_t>(child.def.indexes.size());
            fk.kind = 2;
            fk.columns = ccols;
            fk.ref_table_type = 0;
            fk.ref_table_page = parent.def.tdef_page;
            fk.ref_index = static_cast<std::int32_t>(parent.def.indexes.size());
            fk.cascade_updates = (r.grbit & 0x100) != 0;
            fk.cascade_deletes = (r.grbit & 0x1000) != 0;
            index_def pk;
            pk.name = L".r" + r.name;
            pk.number = fk.ref_index;
            pk.kind = 2;
            pk.columns = unique->columns;
            pk.real_index = unique->real_index;
            pk.real_flags = unique->real_flags;
            pk.ref_table_type = 1;
            pk.ref_table_page = child.def.tdef_page;
            pk.ref_index = fk.number;
            pk.cascade_updates = fk.cascade_updates;
            pk.cascade_deletes = fk.cascade_deletes;
            if (&child == &parent) pk.number = fk.number + 1, fk.ref_index = pk.number;
            if (child.rows > 0) write_whole(false); // made whole for fill_index, as in add_index
            const std::size_t reals = child.reals.size();
            add_real_index(child, fk);
            child.def.indexes.push_back(fk);
            parent.def.indexes.push_back(pk);
            if (child.reals.size() > reals) fill_index(child, reals);
        }
        relationship_def stored = r;
        stored.table = child.def.name;
        stored.ref_table = parent.def.name;
        for (std::size_t k = 0; k < ccols.size(); ++k) {
            stored.columns[k] = ccols[k].name;
            stored.ref_columns[k] = pcols[k].name;
        }
        relationships_.push_back(stored);
    });
}

void database_writer::write_tdef(table_state& t)
{
    tdef_image img;
    img.def = &t.def;
    img.reals = t.reals;
    img.long_values = t.lv_maps;
    img.rows = t.rows;
    img.next_auto_number = t.next_auto > 1 ? t.next_auto - 1 : 0;
    img.table_type = t.def.table_type;
    img.format = format_;
    img.text = narrow_text_.get();
    bytes b = build_tdef(img);
    const std::size_t ps = store_.page_size();
    std::size_t pages = b.size() <= ps ? 1 : 1 + (b.size() - ps + (ps - 8) - 1) / (ps - 8);
    while (t.tdef_pages.size() < pages) t.tdef_pages.push_back(store_.allocate());
    std::size_t pos = 0;
    for (std::size_t i = 0; i < t.tdef_pages.size(); ++i) {
        auto& pg = store_.page(t.tdef_pages[i]);
        std::fill(pg.begin(), pg.end(), 0);
        if (i >= pages) {
            // A page the definition no longer needs: an empty continuation page that nothing links to.
            continue;
        }
        std::size_t n;
        if (i == 0) {
            n = std::min(ps, b.size());
            std::memcpy(pg.data(), b.data(), n);
            if (format_ != file_format::jet3) // Jet3 keeps "VC" there
                put16(pg.data() + 2, static_cast<std::uint32_t>(b.size() + 8 <= ps ? ps - b.size() : 0));
        } else {
            pg[0] = 0x02;
            pg[1] = 0x01;
            n = std::min(ps - 8, b.size() - pos);
            std::memcpy(pg.data() + 8, b.data() + pos, n);
        }
        pos += n;
        put32(pg.data() + 4, i + 1 < pages ? t.tdef_pages[i + 1] : 0);
    }
}

void database_writer::write_header()
{
    if (narrow_text_) {
        store_.write_now(0, jet3_header_page(narrow_text_->code_page()));
        return;
    }
    std::vector<std::uint8_t> h(store_.page_size(), 0);
    h[1] = 0x01;
    std::memcpy(h.data() + 4, format_ == file_format::ace ? "Standard ACE DB" : "Standard Jet DB", 15);
    h[20] = format_ == file_format::ace ? 0x02 : 0x01;
    std::uint8_t* s = h.data() + 0x18;
    // The scrambled part, in the clear: a fixed preamble, code page, key, password, sort order, creation date.
    const std::uint8_t preamble[24] = {0, 1, 0, 0, 1, 1, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
    std::memcpy(s, preamble, sizeof preamble);
    put16(h.data() + 0x3C, 1252);
    put32(h.data() + 0x3E, 0);
    // No password: the stored bytes are the mask itself (the creation date's whole days).
    std::int32_t m = static_cast<std::int32_t>(created_);
    std::uint8_t mask[4];
    std::memcpy(mask, &m, 4);
    for (int i = 0; i < 40; ++i) h[0x42 + i] = mask[i % 4];
    // General sort order: the legacy version in Jet4, the current one in ACE.
    put16(h.data() + 0x6E, 0x0409);
    h[0x71] = format_ == file_format::ace ? 1 : 0;
    std::memcpy(h.data() + 0x72, &created_, 8);
    const std::uint8_t key[4] = {0xC7, 0xDA, 0x39, 0x6B};
    rc4 r(key, 4);
    r.apply(s, 128);
    store_.write_now(0, h);
}

void database_writer::flush()
{
    write_whole(true);
}

void database_writer::write_whole(bool restore_point)
{
    if (broken_) throw error(err_io, "The database '" + path() + "' could not be written completely and is closed.");
    if (!dirty_) return;
    try {
        // The catalogue: containers, then every table.
        table_state& objects = find(L"MSysObjects");
        std::vector<std::vector<value>> rows;
        auto add = [&](std::int32_t id, std::int32_t parent, const std::wstring& name, std::int16_t type,
                       std::uint32_t flags, const bytes& props, double when) {
            std::vector<value> r(objects.def.columns.size());
            r[0] = value(id);
            r[1] = value(parent);
            r[2] = value(name);
            r[3] = value(type);
            r[4] = value(date_time{when});
            r[5] = value(date_time{when});
            r[7] = value(static_cast<std::int32_t>(flags));
            if (!props.empty()) r[14] = value(props);
            rows.push_back(std::move(r));
        };
        for (const auto& c : containers_) add(c.id, c.parent, c.name, c.type, c.flags, c.lvprop, created_);
        for (const auto& t : tables_)
            add(static_cast<std::int32_t>(t->def.tdef_page), tables_id, t->def.name, 1, t->flags,
                t->props.maps.empty() ? bytes() : encode_properties(t->props, narrow_text_.get()), t->created);
        rewrite_rows(objects, rows);

        table_state& rels = find(L"MSysRelationships");
        rows.clear();
        for (const auto& r : relationships_)
            for (std::size_t k = 0; k < r.columns.size(); ++k) {
                std::vector<value> row(rels.def.columns.size());
                row[0] = value(r.name);
                row[1] = value(static_cast<std::int32_t>(r.grbit));
                row[2] = value(static_cast<std::int32_t>(r.columns.size()));
                row[3] = value(static_cast<std::int32_t>(k));
                row[4] = value(r.table);
                row[5] = value(r.columns[k]);
                row[6] = value(r.ref_table);
                row[7] = value(r.ref_columns[k]);
                rows.push_back(std::move(row));
            }
        rewrite_rows(rels, rows);

        for (auto& t : tables_) {
            apply_pending(*t);
            write_map_row(t->def.owned_pages, t->data_pages, t->owned_map_pages);
            std::vector<std::uint32_t> none;
            write_map_row(t->def.free_pages, none, t->free_map_pages);
            for (std::size_t i = 0; i < t->reals.size(); ++i)
                write_map_row(t->reals[i].map, t->real_pages[i], t->real_map_pages[i]);
            for (std::size_t i = 0; i < t->lv_maps.size(); ++i) {
                write_map_row(t->lv_maps[i].owned, t->lv_pages[i], t->lv_map_pages[i]);
                write_map_row(t->lv_maps[i].free, none, t->lv_map_pages[i]);
            }
            write_tdef(*t);
        }
        write_map_row(row_pointer{1, 0}, free_pages_, global_map_pages_);
        store_.flush();
        write_header();
        if (restore_point) store_.mark_saved();
    } catch (...) {
        broken_ = true;
        store_.restore_saved();
        throw;
    }
    dirty_ = false;
}

} // namespace jet

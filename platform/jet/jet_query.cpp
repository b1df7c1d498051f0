// Saved queries: rebuilding the SQL text from the rows that describe a query.
#include "platform/jet/jet_query.h"

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_error.h"
#include "platform/win/win_utf.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>

namespace jet {
namespace {

// Flag bits of the flags row.
constexpr int sel_star = 0x01;
constexpr int sel_distinct = 0x02;
constexpr int sel_owner_access = 0x04;
constexpr int sel_distinct_row = 0x08;
constexpr int sel_top = 0x10;
constexpr int sel_percent = 0x20;
constexpr int union_distinct = 0x02;   // plain UNION; without it UNION ALL

constexpr int column_value = 0x8000;   // append query: a VALUES item, not a selected column
constexpr int crosstab_pivot = 0x01;
constexpr int crosstab_row_heading = 0x02;

bool equal_nocase(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
           });
}

bool is_word_char(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_';
}

bool is_bracketed(const std::wstring& s)
{
    return s.size() >= 2 && s.front() == L'[' && s.back() == L']';
}

// A name part in brackets when it holds anything but letters, digits and underscores.
void append_name_part(std::wstring& out, const std::wstring& part)
{
    if (is_bracketed(part) || std::all_of(part.begin(), part.end(), is_word_char)) {
        out += part;
    } else {
        out += L'[';
        out += part;
        out += L']';
    }
}

// A possibly qualified name ("db.table", "[a b].[c]"), each part bracketed as needed.
void append_identifier(std::wstring& out, const std::wstring& name)
{
    std::wstring part;
    bool in_brackets = false;
    for (wchar_t c : name) {
        if (c == L'[') in_brackets = true;
        if (c == L']') in_brackets = false;
        if (c == L'.' && !in_brackets) {
            append_name_part(out, part);
            out += L'.';
            part.clear();
        } else {
            part += c;
        }
    }
    append_name_part(out, part);
}

void append_alias(std::wstring& out, const std::optional<std::wstring>& alias)
{
    if (!alias) return;
    out += L" AS ";
    append_name_part(out, *alias);
}

std::wstring join_list(const std::vector<std::wstring>& items, const wchar_t* sep = L", ")
{
    std::wstring out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += sep;
        out += items[i];
    }
    return out;
}

// Statement texts may carry the terminating zero of the stored string.
std::wstring without_terminator(std::wstring s)
{
    while (!s.empty() && s.back() == L'\0') s.pop_back();
    return s;
}

// One item of the FROM list: a table, or tables joined.
struct source {
    std::wstring table_key;   // for a table: its alias or name
    std::wstring text;        // for a table: how it is written
    std::unique_ptr<source> left, right;
    int join_kind = 0;
    std::vector<std::wstring> on;   // conditions, joined with AND

    bool is_join() const { return left != nullptr; }

    bool contains(const std::wstring& table) const
    {
        return is_join() ? left->contains(table) || right->contains(table) : equal_nocase(table_key, table);
    }
};

class query_writer {
public:
    query_writer(const std::wstring& name, const std::vector<query_row>& rows, const std::wstring& newline)
        : name_(name), rows_(rows), nl_(newline)
    {
    }

    std::wstring write(query_kind kind)
    {
        std::wstring out;
        switch (kind) {
        case query_kind::select:
            out = parameters() + select_statement(columns(), true, {});
            break;
        case query_kind::make_table: {
            const query_row& t = only(qa_type);
            std::wstring into = L" INTO ";
            append_identifier(into, t.name1.value_or(L""));
            into += remote(t.name2, t.expression);
            out = parameters() + select_statement(columns(), true, into);
            break;
        }
        case query_kind::append:
            out = parameters() + append_statement();
            break;
        case query_kind::update:
            out = parameters() + update_statement();
            break;
        case query_kind::delete_:
            out = parameters() + L"DELETE " + select_statement(columns(), false, {});
            break;
        case query_kind::crosstab:
            out = parameters() + crosstab_statement();
            break;
        case query_kind::union_:
            out = parameters() + union_statement();
            break;
        case query_kind::data_definition:
        case query_kind::pass_through:
            // Sent as written: no parameters, no closing semicolon of ours.
            return without_terminator(only(qa_type).expression.value_or(L""));
        case query_kind::unknown:
            fail("its kind is unknown");
        }
        if (has_flag(sel_owner_access)) out += nl_ + L"WITH OWNERACCESS OPTION";
        out += L';';
        return out;
    }

private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw jet::error(err_corrupt, "The saved query '" + win_utf8_from_wide(name_) + "' cannot be read: " + what + ".");
    }

    std::vector<const query_row*> all(int attribute) const
    {
        std::vector<const query_row*> out;
        for (const query_row& r : rows_)
            if (r.attribute == attribute) out.push_back(&r);
        return out;
    }

    // The single row of an attribute; an empty row when there is none.
    const query_row& only(int attribute) const
    {
        static const query_row none;
        const query_row* found = nullptr;
        for (const query_row& r : rows_) {
            if (r.attribute != attribute) continue;
            if (found) fail("it has more than one row of kind " + std::to_string(attribute));
            found = &r;
        }
        return found ? *found : none;
    }

    bool has_flag(int bit) const { return only(qa_flags).flag.value_or(0) & bit; }

    std::vector<const query_row*> columns() const { return all(qa_column); }

    std::wstring parameters() const
    {
        std::vector<std::wstring> items;
        for (const query_row* p : all(qa_parameter)) {
            std::wstring item;
            append_name_part(item, p->name1.value_or(L""));
            item += L' ';
            const int type = p->flag.value_or(0);
            item += parameter_type(type);
            if (type == 10 && p->extra.value_or(0) > 0) item += L'(' + std::to_wstring(*p->extra) + L')';
            items.push_back(std::move(item));
        }
        if (items.empty()) return {};
        return L"PARAMETERS " + join_list(items) + L";" + nl_;
    }

    static const wchar_t* parameter_type(int type)
    {
        switch (type) {
        case 1: return L"Bit";
        case 2: return L"Byte";
        case 3: return L"Short";
        case 4: return L"Long";
        case 5: return L"Currency";
        case 6: return L"IEEESingle";
        case 7: return L"IEEEDouble";
        case 8: return L"DateTime";
        case 9: return L"Binary";
        case 10: return L"Text";
        case 11: return L"LongBinary";
        case 12: return L"Memo";
        case 15: return L"Guid";
        case 16: return L"Decimal";
        case 19: return L"BigInt";
        default: return L"Value";
        }
    }

    static std::wstring remote(const std::optional<std::wstring>& path, const std::optional<std::wstring>& type)
    {
        if (!path && !type) return {};
        std::wstring out = L" IN '" + path.value_or(L"") + L"'";
        if (type) out += L" [" + *type + L"]";
        return out;
    }

    std::wstring select_kind() const
    {
        std::wstring out;
        if (has_flag(sel_distinct))
            out = L"DISTINCT";
        else if (has_flag(sel_distinct_row))
            out = L"DISTINCTROW";
        if (has_flag(sel_top)) {
            if (!out.empty()) out += L' ';
            out += L"TOP " + only(qa_flags).name1.value_or(L"");
            if (has_flag(sel_percent)) out += L" PERCENT";
        }
        return out;
    }

    std::wstring from_list() const
    {
        std::vector<std::unique_ptr<source>> list;
        for (const query_row* t : all(qa_table)) {
            auto s = std::make_unique<source>();
            if (t->expression) {
                if (is_bracketed(*t->expression))
                    s->text += *t->expression;
                else
                    s->text += L'[' + *t->expression + L']';
                s->text += L'.';
            }
            if (t->name1) append_identifier(s->text, *t->name1);
            append_alias(s->text, t->name2);
            s->table_key = t->name2 ? *t->name2 : t->name1.value_or(L"");
            list.push_back(std::move(s));
        }

        for (const query_row* j : all(qa_join)) {
            const std::wstring from = j->name1.value_or(L""), to = j->name2.value_or(L"");
            const int kind = j->flag.value_or(0);
            if (kind < 1 || kind > 3) fail("a join has the unknown kind " + std::to_string(kind));
            auto find = [&](const std::wstring& table) {
                return std::find_if(list.begin(), list.end(), [&](const auto& s) { return s->contains(table); });
            };
            auto from_it = find(from);
            if (from_it != list.end() && (*from_it)->contains(to)) {
                // A further condition between tables already joined: it goes first.
                source& s = **from_it;
                if (s.is_join() && s.join_kind != kind) fail("two tables are joined in two different ways");
                if (!s.is_join()) fail("a table is joined to itself");
                s.on.insert(s.on.begin(), j->expression.value_or(L""));
                continue;
            }
            auto take = [&](const std::wstring& table) {
                auto it = find(table);
                if (it == list.end()) {
                    auto s = std::make_unique<source>();
                    s->table_key = table;
                    append_identifier(s->text, table);
                    return s;
                }
                auto s = std::move(*it);
                list.erase(it);
                return s;
            };
            auto join = std::make_unique<source>();
            join->left = take(from);
            join->right = take(to);
            join->join_kind = kind;
            join->on.push_back(j->expression.value_or(L""));
            list.push_back(std::move(join));
        }

        std::vector<std::wstring> items;
        for (const auto& s : list) items.push_back(render(*s, true));
        return join_list(items);
    }

    static std::wstring render(const source& s, bool top)
    {
        if (!s.is_join()) return s.text;
        static const wchar_t* const kinds[] = {L"", L" INNER JOIN ", L" LEFT JOIN ", L" RIGHT JOIN "};
        std::wstring out = top ? L"" : L"(";
        out += render(*s.left, false) + kinds[s.join_kind] + render(*s.right, false) + L" ON ";
        if (s.on.size() > 1)
            out += L"(" + join_list(s.on, L") AND (") + L")";
        else
            out += s.on.front();
        if (!top) out += L')';
        return out;
    }

    std::wstring orderings() const
    {
        std::vector<std::wstring> items;
        for (const query_row* o : all(qa_order_by)) {
            std::wstring item = o->expression.value_or(L"");
            if (o->name1 && (*o->name1 == L"D" || *o->name1 == L"d")) item += L" DESC";
            items.push_back(std::move(item));
        }
        return join_list(items);
    }

    // SELECT [kind] columns [INTO ...] FROM ... WHERE ... GROUP BY ... HAVING ... ORDER BY ...
    std::wstring select_statement(const std::vector<const query_row*>& cols, bool with_select,
                                  const std::wstring& into,
                                  const std::vector<const query_row*>* groups = nullptr) const
    {
        std::wstring out;
        if (with_select) {
            out = L"SELECT ";
            const std::wstring kind = select_kind();
            if (!kind.empty()) out += kind + L" ";
        }
        std::vector<std::wstring> items;
        for (const query_row* c : cols) {
            std::wstring item = c->expression.value_or(L"");
            append_alias(item, c->name1);
            items.push_back(std::move(item));
        }
        if (has_flag(sel_star)) items.push_back(L"*");
        out += join_list(items);
        out += into;

        const std::wstring from = from_list();
        if (!from.empty()) {
            const query_row& r = only(qa_remote_db);
            out += nl_ + L"FROM " + from + remote(r.name1, r.expression);
        }
        if (const auto& w = only(qa_where).expression) out += nl_ + L"WHERE " + *w;

        std::vector<std::wstring> group_items;
        for (const query_row* g : groups ? *groups : all(qa_group_by)) group_items.push_back(g->expression.value_or(L""));
        if (!group_items.empty()) out += nl_ + L"GROUP BY " + join_list(group_items);
        if (const auto& h = only(qa_having).expression) out += nl_ + L"HAVING " + *h;
        const std::wstring order = orderings();
        if (!order.empty()) out += nl_ + L"ORDER BY " + order;
        return out;
    }

    std::wstring append_statement() const
    {
        const query_row& t = only(qa_type);
        std::wstring out = L"INSERT INTO ";
        append_identifier(out, t.name1.value_or(L""));
        std::vector<std::wstring> targets;
        std::vector<const query_row*> selected;
        std::vector<std::wstring> values;
        for (const query_row* c : columns()) {
            if (c->name2) {
                std::wstring target;
                append_identifier(target, *c->name2);
                targets.push_back(std::move(target));
            }
            if (c->flag.value_or(0) & column_value)
                values.push_back(c->expression.value_or(L""));
            else
                selected.push_back(c);
        }
        if (!targets.empty()) out += L" (" + join_list(targets) + L")";
        out += remote(t.name2, t.expression);
        out += nl_;
        if (!values.empty())
            out += L"VALUES (" + join_list(values) + L")";
        else
            out += select_statement(selected, true, {});
        return out;
    }

    std::wstring update_statement() const
    {
        const query_row& r = only(qa_remote_db);
        std::wstring out = L"UPDATE " + from_list() + remote(r.name1, r.expression);
        std::vector<std::wstring> sets;
        for (const query_row* c : columns()) {
            std::wstring item;
            append_identifier(item, c->name2.value_or(L""));
            item += L" = " + c->expression.value_or(L"");
            sets.push_back(std::move(item));
        }
        out += nl_ + L"SET " + join_list(sets);
        if (const auto& w = only(qa_where).expression) out += nl_ + L"WHERE " + *w;
        return out;
    }

    std::wstring crosstab_statement() const
    {
        std::vector<const query_row*> headings, groups;
        const query_row* transform = nullptr;
        const query_row* pivot = nullptr;
        for (const query_row* c : columns()) {
            const int f = c->flag.value_or(0);
            if (f & crosstab_row_heading) headings.push_back(c);
            if (f & crosstab_pivot) {
                if (pivot) fail("it has two PIVOT columns");
                pivot = c;
            }
            if (!(f & (crosstab_pivot | crosstab_row_heading))) {
                if (transform) fail("it has two TRANSFORM values");
                transform = c;
            }
        }
        for (const query_row* g : all(qa_group_by))
            if (g->flag.value_or(0) & crosstab_row_heading) groups.push_back(g);

        std::wstring out;
        if (transform && transform->expression) {
            out = L"TRANSFORM " + *transform->expression;
            append_alias(out, transform->name1);
            out += nl_;
        }
        out += select_statement(headings, true, {}, &groups);
        out += nl_ + L"PIVOT " + (pivot ? pivot->expression.value_or(L"") : std::wstring());
        return out;
    }

    // The two stored parts, trimmed, with their line breaks made uniform.
    std::wstring union_part(const wchar_t* id) const
    {
        for (const query_row* t : all(qa_table)) {
            if (!t->name2 || *t->name2 != id) continue;
            const std::wstring& s = t->expression.value_or(L"");
            auto first = s.find_first_not_of(L" \t\r\n");
            auto last = s.find_last_not_of(L" \t\r\n");
            if (first == std::wstring::npos) return {};
            std::wstring out;
            for (std::size_t i = first; i <= last; ++i) {
                if (s[i] == L'\r' || s[i] == L'\n') {
                    while (i + 1 <= last && (s[i + 1] == L'\r' || s[i + 1] == L'\n')) ++i;
                    out += nl_;
                } else {
                    out += s[i];
                }
            }
            return out;
        }
        fail("a part of the union is missing");
    }

    std::wstring union_statement() const
    {
        std::wstring out = union_part(L"X7YZ_____1") + nl_ + L"UNION ";
        if (!has_flag(union_distinct)) out += L"ALL ";
        out += union_part(L"X7YZ_____2");
        const std::wstring order = orderings();
        if (!order.empty()) out += nl_ + L"ORDER BY " + order;
        return out;
    }

    const std::wstring& name_;
    const std::vector<query_row>& rows_;
    const std::wstring& nl_;
};

} // namespace

const char* query_kind_name(query_kind k)
{
    switch (k) {
    case query_kind::select: return "SELECT";
    case query_kind::make_table: return "MAKE_TABLE";
    case query_kind::append: return "APPEND";
    case query_kind::update: return "UPDATE";
    case query_kind::delete_: return "DELETE";
    case query_kind::crosstab: return "CROSS_TAB";
    case query_kind::data_definition: return "DATA_DEFINITION";
    case query_kind::pass_through: return "PASSTHROUGH";
    case query_kind::union_: return "UNION";
    case query_kind::unknown: break;
    }
    return "UNKNOWN";
}

query_kind query_kind_of(const std::vector<query_row>& rows, int object_flags)
{
    for (const query_row& r : rows) {
        if (r.attribute != qa_type || !r.flag) continue;
        if (*r.flag >= 1 && *r.flag <= 9) return static_cast<query_kind>(*r.flag);
        break;
    }
    // The catalogue's flags in steps of 16: select 0, crosstab 16, delete 32, update 48, append 64,
    // make-table 80, data definition 96, pass-through 112, union 128.
    if (object_flags < 0) return query_kind::unknown;
    switch (object_flags & 0xF0) {
    case 0: return query_kind::select;
    case 16: return query_kind::crosstab;
    case 32: return query_kind::delete_;
    case 48: return query_kind::update;
    case 64: return query_kind::append;
    case 80: return query_kind::make_table;
    case 96: return query_kind::data_definition;
    case 112: return query_kind::pass_through;
    case 128: return query_kind::union_;
    default: return query_kind::unknown;
    }
}

std::wstring query_sql(const std::wstring& query_name, const std::vector<query_row>& rows, int object_flags,
                       const std::wstring& newline)
{
    return query_writer(query_name, rows, newline).write(query_kind_of(rows, object_flags));
}

namespace {

std::optional<std::wstring> text_cell(const value& v)
{
    if (v.is_null()) return std::nullopt;
    if (v.type() == value::text_k) return v.as_text();
    return v.to_wstring();
}

std::int64_t whole(const value& v)
{
    switch (v.type()) {
    case value::boolean_k: case value::byte_k: case value::int16_k: case value::int32_k: case value::int64_k:
        return v.to_int64();
    default:
        throw jet::error(err_corrupt, "The database is damaged: MSysQueries holds a number that is not one.");
    }
}

template <class T>
std::optional<T> int_cell(const value& v)
{
    if (v.is_null()) return std::nullopt;
    return static_cast<T>(whole(v));
}

} // namespace

std::vector<saved_query> read_queries(const database& db, const std::wstring& newline)
{
    std::vector<saved_query> out;
    const auto entries = db.queries();
    if (entries.empty()) return out;

    std::map<std::int32_t, std::vector<query_row>> rows_by_id;
    row_cursor cur = db.rows(L"MSysQueries");
    const table_def& t = cur.table();
    const int attribute = t.find_column(L"Attribute"), expression = t.find_column(L"Expression"),
              flag = t.find_column(L"Flag"), extra = t.find_column(L"LvExtra"), name1 = t.find_column(L"Name1"),
              name2 = t.find_column(L"Name2"), object_id = t.find_column(L"ObjectId");
    if (attribute < 0 || expression < 0 || flag < 0 || name1 < 0 || name2 < 0 || object_id < 0)
        throw jet::error(err_corrupt, "The database is damaged: MSysQueries lacks its columns.");
    while (cur.next()) {
        const auto& v = cur.values();
        if (v[static_cast<std::size_t>(object_id)].is_null() || v[static_cast<std::size_t>(attribute)].is_null())
            continue;
        query_row r;
        r.object_id = static_cast<std::int32_t>(whole(v[static_cast<std::size_t>(object_id)]));
        r.attribute = static_cast<int>(whole(v[static_cast<std::size_t>(attribute)]));
        r.expression = text_cell(v[static_cast<std::size_t>(expression)]);
        r.flag = int_cell<int>(v[static_cast<std::size_t>(flag)]);
        if (extra >= 0) r.extra = int_cell<std::int32_t>(v[static_cast<std::size_t>(extra)]);
        r.name1 = text_cell(v[static_cast<std::size_t>(name1)]);
        r.name2 = text_cell(v[static_cast<std::size_t>(name2)]);
        rows_by_id[r.object_id].push_back(std::move(r));
    }

    for (const catalog_entry* e : entries) {
        saved_query q;
        q.name = e->name;
        q.flags = e->flags;
        const auto& rows = rows_by_id[e->id];
        q.kind = query_kind_of(rows, static_cast<int>(e->flags));
        if (rows.empty()) {
            q.error = "The saved query '" + win_utf8_from_wide(e->name) + "' has no definition in MSysQueries.";
            out.push_back(std::move(q));
            continue;
        }
        try {
            q.sql = query_sql(e->name, rows, static_cast<int>(e->flags), newline);
        } catch (const jet::error& x) {
            q.error = x.what();
        }
        out.push_back(std::move(q));
    }
    return out;
}

} // namespace jet

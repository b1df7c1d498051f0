// Running SELECT texts: tables and saved queries by name, SELECT * over one table read straight from the file.
#include <cwctype>

#include "platform/dao/dao_internal.h"

namespace daoimpl {

namespace {

std::wstring trim(const std::wstring& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && (std::iswspace(s[b]) || s[b] == L';')) ++b;
    while (e > b && (std::iswspace(s[e - 1]) || s[e - 1] == L';')) --e;
    return s.substr(b, e - b);
}

std::wstring unbracket(const std::wstring& s)
{
    if (s.size() >= 2 && s.front() == L'[' && s.back() == L']') return s.substr(1, s.size() - 2);
    return s;
}

bool starts_word(const std::wstring& s, const wchar_t* w)
{
    std::size_t n = std::wcslen(w);
    if (s.size() < n || !jet::same_name(s.substr(0, n), w)) return false;
    return s.size() == n || !std::iswalnum(s[n]);
}

// "SELECT * FROM name" or "SELECT * FROM [name]" ("]]" inside for "]"): the table name, else empty.
std::wstring star_table(const std::wstring& sql)
{
    std::wstring s = trim(sql);
    if (!starts_word(s, L"SELECT")) return {};
    s = trim(s.substr(6));
    if (s.empty() || s[0] != L'*') return {};
    s = trim(s.substr(1));
    if (!starts_word(s, L"FROM")) return {};
    s = trim(s.substr(4));
    if (s.empty()) return {};
    if (s[0] == L'[') {
        // Inside the brackets "]]" stands for "]".
        std::wstring name;
        for (std::size_t i = 1; i < s.size(); ++i) {
            if (s[i] != L']') {
                name += s[i];
            } else if (i + 1 < s.size() && s[i + 1] == L']') {
                name += L']';
                ++i;
            } else {
                return i + 1 == s.size() ? name : std::wstring();
            }
        }
        return {};
    }
    for (wchar_t c : s)
        if (!(std::iswalnum(c) || c == L'_')) return {};
    return s;
}

// A statement rather than the name of a table or query: it starts with a statement word.
bool looks_like_statement(const std::wstring& s)
{
    for (const wchar_t* w : {L"SELECT", L"TRANSFORM", L"PARAMETERS", L"INSERT", L"UPDATE", L"DELETE", L"DROP", L"CREATE",
                             L"ALTER", L"PROCEDURE", L"EXECUTE", L"EXEC", L"GRANT", L"REVOKE", L"WITH"})
        if (starts_word(s, w)) return true;
    return !s.empty() && s[0] == L'(';
}

} // namespace

std::unique_ptr<row_source> sqlite_select(const db_ptr& db, const std::wstring& sql, bool rows, std::vector<column_info>* cols, HRESULT& hr);

std::unique_ptr<row_source> run_select(const db_ptr& db, const std::wstring& text, HRESULT& hr)
{
    std::wstring s = trim(text);
    std::wstring name = star_table(s);
    if (name.empty() && !looks_like_statement(s)) name = unbracket(s);
    if (!name.empty()) {
        const jet::catalog_entry* e = db->db->find(name);
        if (e && e->kind() == jet::object_kind::table) {
            try {
                return make_table_source(db->ctx, db->db, db->db->table(e->name));
            } catch (const jet::error& x) {
                hr = db->ctx->fail(x.code(), win_wide_from_utf8(x.what()));
                return nullptr;
            }
        }
        if (e && e->kind() == jet::object_kind::query) {
            for (const auto& q : db->saved_queries())
                if (jet::same_name(q.name, name)) {
                    if (q.sql.empty()) {
                        // The query's definition could not be read back from the file.
                        hr = db->ctx->fail(daoErrCorrupt, win_wide_from_utf8(q.error));
                        return nullptr;
                    }
                    return run_select(db, q.sql, hr);
                }
        }
        // A linked table is read from where it lives.
        if (e && (e->kind() == jet::object_kind::linked_table || e->kind() == jet::object_kind::odbc_table))
            return sqlite_select(db, L"SELECT * FROM [" + e->name + L"]", true, nullptr, hr);
        if (!e && !looks_like_statement(s)) {
            hr = db->ctx->fail(daoErrInputNotFound, error_text(*db->ctx, daoErrInputNotFound, name));
            return nullptr;
        }
    }
    return sqlite_select(db, s, true, nullptr, hr);
}

bool describe_select(const db_ptr& db, const std::wstring& text, std::vector<column_info>& cols, HRESULT& hr)
{
    std::wstring s = trim(text);
    std::wstring name = star_table(s);
    if (name.empty() && !looks_like_statement(s)) name = unbracket(s);
    if (!name.empty()) {
        const jet::catalog_entry* e = db->db->find(name);
        if (e && e->kind() == jet::object_kind::table) {
            try {
                auto t = db->db->table(e->name);
                std::unique_ptr<jet::complex_columns> cx;
                for (const auto& c : t->columns)
                    if (c.type == jet::column_type::complex) {
                        cx = std::make_unique<jet::complex_columns>(db->db, t);
                        break;
                    }
                cols = table_columns(*db->db, *t, cx.get());
                return true;
            } catch (const jet::error& x) {
                hr = db->ctx->fail(x.code(), win_wide_from_utf8(x.what()));
                return false;
            }
        }
        if (e && e->kind() == jet::object_kind::query) {
            for (const auto& q : db->saved_queries())
                if (jet::same_name(q.name, name)) {
                    if (q.sql.empty()) {
                        hr = db->ctx->fail(daoErrCorrupt, win_wide_from_utf8(q.error));
                        return false;
                    }
                    return describe_select(db, q.sql, cols, hr);
                }
        }
        if (e && (e->kind() == jet::object_kind::linked_table || e->kind() == jet::object_kind::odbc_table))
            return sqlite_select(db, L"SELECT * FROM [" + e->name + L"]", false, &cols, hr) != nullptr || SUCCEEDED(hr);
        if (!e && !looks_like_statement(s)) {
            hr = db->ctx->fail(daoErrInputNotFound, error_text(*db->ctx, daoErrInputNotFound, name));
            return false;
        }
    }
    return sqlite_select(db, s, false, &cols, hr) != nullptr || SUCCEEDED(hr);
}

} // namespace daoimpl

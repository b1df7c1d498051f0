// The engine classes, workspaces, workgroup checks, blank workgroup images and opening databases.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <utility>
#include <sys/stat.h>

#include "platform/dao/dao_accsql.h"
#include "platform/dao/dao_internal.h"

namespace daoimpl {

namespace {

bool is_file(const std::string& p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A value of a connect text in braces ("{a;b}}c}" is "a;b}c") and where the text goes on after
// it; nothing when the braces do not close just before a ";" or the end.
std::optional<std::pair<std::wstring, std::size_t>> braced_value(const std::wstring& connect, std::size_t open)
{
    std::wstring value;
    for (std::size_t j = open + 1; j < connect.size(); ++j) {
        if (connect[j] != L'}') {
            value += connect[j];
        } else if (j + 1 < connect.size() && connect[j + 1] == L'}') {
            value += L'}';
            ++j;
        } else if (j + 1 == connect.size() || connect[j + 1] == L';') {
            return std::make_pair(std::move(value), j + 1);
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The value of one key of a connect text (";pwd=..."), case ignored. A value ends at the next
// ";" unless it is in braces, which let it hold ";", "=" and braces ("}}" for a "}" inside).
std::wstring connect_value(const std::wstring& connect, const std::wstring& key)
{
    std::size_t i = 0;
    while (i < connect.size()) {
        std::size_t semi = std::min(connect.find(L';', i), connect.size());
        std::size_t eq = connect.find(L'=', i);
        if (eq == std::wstring::npos) break;
        if (semi < eq) {   // a part without a key, like the leading one of ";pwd=..."
            i = semi + 1;
            continue;
        }
        std::wstring value = connect.substr(eq + 1, semi - eq - 1);
        std::size_t end = semi;
        if (eq + 1 < connect.size() && connect[eq + 1] == L'{') {
            if (auto b = braced_value(connect, eq + 1)) {
                value = std::move(b->first);
                end = b->second;
            }
        }
        if (jet::same_name(connect.substr(i, eq - i), key)) return value;
        i = end + 1;
    }
    return {};
}

constexpr char workgroup_magic[] = "Jet System DB  ";

// Reads the first bytes of a file.
std::vector<uint8_t> head_of(const std::string& path, std::size_t n)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> b(n);
    f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    b.resize(static_cast<std::size_t>(f.gcount()));
    return b;
}

// A workgroup file whose pages after the header page hold nothing (the generated blank images).
bool is_blank_workgroup(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<char> all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (all.size() != 131072 && all.size() != 143360) return false;
    if (std::memcmp(all.data() + 4, workgroup_magic, 16) != 0) return false;
    return std::all_of(all.begin() + 2048, all.end(), [](char c) { return c == 0; });
}

bool looks_like_workgroup(const std::vector<uint8_t>& h)
{
    if (h.size() >= 1040) {
        if (std::memcmp(h.data() + 1030, "Rich", 4) == 0 && h[0] == 1 && h[1] == 0 && h[1038] == 0 && h[1039] == 0)
            return true;
        if (jet::rd32(h.data()) == 0x20532C77u) return true;
    }
    return h.size() > 20 && std::memcmp(h.data() + 4, workgroup_magic, 16) == 0;
}

// Checks a user against the workgroup file named by SystemDB (empty: the built-in default workgroup,
// which knows the one account "admin" with an empty password).
HRESULT check_account(engine_ctx& ctx, const std::wstring& user, const std::wstring& password)
{
    if (ctx.system_db.empty()) {
        if (jet::same_name(user, L"admin") && password.empty()) return S_OK;
        return ctx.fail(daoErrBadAccount);
    }
    std::string path = to_utf8(ctx.system_db);
    if (!is_file(path) || !looks_like_workgroup(head_of(path, 2048)))
        return ctx.fail(daoErrBadWorkgroup, error_text(ctx, daoErrBadWorkgroup, ctx.system_db));
    if (is_blank_workgroup(path)) {
        if (jet::same_name(user, L"admin") && password.empty()) return S_OK;
        return ctx.fail(daoErrBadAccount);
    }
    try {
        auto db = jet::database::open(path);
        auto def = db->table(L"MSysAccounts");
        int c_name = def->find_column(L"Name"), c_group = def->find_column(L"FGroup");
        if (c_name < 0) return ctx.fail(daoErrBadWorkgroup, error_text(ctx, daoErrBadWorkgroup, ctx.system_db));
        auto rows = db->rows(def);
        while (rows.next()) {
            const jet::value& n = rows[c_name];
            if (n.type() != jet::value::text_k || !jet::same_name(n.as_text(), user)) continue;
            bool group = c_group >= 0 && !rows[c_group].is_null() && rows[c_group].to_int64() != 0;
            if (!group) return S_OK; // stored passwords are not verified (see the workspace notes)
        }
        return ctx.fail(daoErrBadAccount);
    } catch (const jet::error&) {
        return ctx.fail(daoErrBadWorkgroup, error_text(ctx, daoErrBadWorkgroup, ctx.system_db));
    }
}

class workspace_obj : public object<DAOWorkspace> {
public:
    workspace_obj(ctx_ptr ctx, std::wstring name, std::wstring user) : ctx_(std::move(ctx)), name_(std::move(name)), user_(std::move(user)) {}
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, name_); }
    HRESULT get_UserName(BSTR* p) override { return put_bstr(p, user_); }
    HRESULT OpenDatabase(BSTR Name, VARIANT, VARIANT ReadOnly, VARIANT Connect, DAODatabase** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr = S_OK;
        DAODatabase* db = open_database(ctx_, bstr_text(Name), arg_text(Connect), arg_bool(ReadOnly, false), hr);
        if (!db) return hr;
        *pp = db;
        return S_OK;
    }
    HRESULT CreateDatabase(BSTR Name, BSTR Locale, VARIANT Option, DAODatabase** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr = S_OK;
        DAODatabase* db = create_database(ctx_, bstr_text(Name), bstr_text(Locale), arg_long(Option, 0), hr);
        if (!db) return hr;
        *pp = db;
        return S_OK;
    }
    HRESULT Close() override { return S_OK; }

private:
    ctx_ptr ctx_;
    std::wstring name_, user_;
};

class engine_obj : public object<DAODBEngine> {
public:
    explicit engine_obj(generation g) : ctx_(std::make_shared<engine_ctx>()) { ctx_->gen = g; }
    HRESULT get_Version(BSTR* p) override
    {
        return put_bstr(p, ctx_->gen == generation::jet35 ? L"3.5" : ctx_->gen == generation::jet36 ? L"3.6" : L"12.0");
    }
    HRESULT get_SystemDB(BSTR* p) override { return put_bstr(p, ctx_->system_db); }
    HRESULT put_SystemDB(BSTR b) override
    {
        ctx_->system_db = bstr_text(b);
        ctx_->has_session = false;
        return S_OK;
    }
    HRESULT get_DefaultUser(BSTR* p) override { return put_bstr(p, ctx_->default_user); }
    HRESULT put_DefaultUser(BSTR b) override
    {
        ctx_->default_user = bstr_text(b);
        return S_OK;
    }
    HRESULT put_DefaultPassword(BSTR b) override
    {
        ctx_->default_password = bstr_text(b);
        return S_OK;
    }
    HRESULT get_Errors(DAOErrors** pp) override { return put_itf(pp, make_errors(*ctx_)); }
    HRESULT CreateWorkspace(BSTR Name, BSTR UserName, BSTR Password, VARIANT, DAOWorkspace** pp) override
    {
        return _30_CreateWorkspace(Name, UserName, Password, pp);
    }
    HRESULT _30_CreateWorkspace(BSTR Name, BSTR UserName, BSTR Password, DAOWorkspace** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        std::wstring user = bstr_text(UserName);
        HRESULT hr = check_account(*ctx_, user, bstr_text(Password));
        if (FAILED(hr)) return hr;
        ctx_->session_user = user;
        ctx_->session_password = bstr_text(Password);
        ctx_->has_session = true;
        *pp = new workspace_obj(ctx_, bstr_text(Name), user);
        return S_OK;
    }
    HRESULT OpenDatabase(BSTR Name, VARIANT, VARIANT ReadOnly, VARIANT Connect, DAODatabase** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        // The default workspace logs on the user of the last workspace made, else the default user.
        HRESULT hr = ctx_->has_session ? check_account(*ctx_, ctx_->session_user, ctx_->session_password)
                                       : check_account(*ctx_, ctx_->default_user, ctx_->default_password);
        if (FAILED(hr)) return hr;
        DAODatabase* db = open_database(ctx_, bstr_text(Name), arg_text(Connect), arg_bool(ReadOnly, false), hr);
        if (!db) return hr;
        *pp = db;
        return S_OK;
    }
    HRESULT CreateDatabase(BSTR Name, BSTR Locale, VARIANT Option, DAODatabase** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr = S_OK;
        DAODatabase* db = create_database(ctx_, bstr_text(Name), bstr_text(Locale), arg_long(Option, 0), hr);
        if (!db) return hr;
        *pp = db;
        return S_OK;
    }

private:
    ctx_ptr ctx_;
};

void register_one(REFCLSID clsid, generation g)
{
    com_register_class(clsid, [g](REFIID riid, void** ppv) -> HRESULT {
        auto* e = new engine_obj(g);
        HRESULT hr = e->QueryInterface(riid, ppv);
        e->Release();
        return hr;
    });
}

} // namespace

DAODatabase* open_database(const ctx_ptr& ctx, const std::wstring& path, const std::wstring& connect,
                           bool read_only, HRESULT& hr)
{
    std::string p = to_utf8(path);
    if (!is_file(p)) {
        hr = ctx->fail(daoErrFileNotFound, error_text(*ctx, daoErrFileNotFound, path));
        return nullptr;
    }
    std::vector<uint8_t> h = head_of(p, 21);
    if (h.size() < 21) {
        hr = ctx->fail(daoErrUnrecognizedFormat, error_text(*ctx, daoErrUnrecognizedFormat, path));
        return nullptr;
    }
    // Older engine generations do not know the later formats.
    uint8_t v = h[20];
    if ((ctx->gen == generation::jet35 && v > 0) || (ctx->gen == generation::jet36 && v > 1)) {
        hr = ctx->fail(daoErrUnrecognizedFormat, error_text(*ctx, daoErrUnrecognizedFormat, path));
        return nullptr;
    }
    try {
        auto st = std::make_shared<db_state>();
        st->ctx = ctx;
        st->db = jet::database::open(p, connect_value(connect, L"pwd"));
        st->name = path;
        st->connect = connect;
        st->read_only = true;
        (void)read_only;
        return make_database(std::move(st));
    } catch (const jet::error& x) {
        long n = x.code();
        std::wstring text;
        if (n == daoErrFileNotFound || n == daoErrUnrecognizedFormat) text = error_text(*ctx, n, path);
        else if (n == daoErrBadPassword) text = error_text(*ctx, n);
        else text = win_wide_from_utf8(x.what());
        hr = ctx->fail(n, text);
        return nullptr;
    }
}

} // namespace daoimpl

bool dao_register_engines()
{
    static const bool done = [] {
        daoimpl::register_one(CLSID_DAODBEngine35, daoimpl::generation::jet35);
        daoimpl::register_one(CLSID_DAODBEngine36, daoimpl::generation::jet36);
        daoimpl::register_one(CLSID_DAODBEngine120, daoimpl::generation::ace);
        return true;
    }();
    return done;
}

void dao_set_engine_available(REFCLSID clsid, bool available)
{
    if (!available) {
        com_unregister_class(clsid);
        return;
    }
    if (IsEqualCLSID(clsid, CLSID_DAODBEngine35)) daoimpl::register_one(clsid, daoimpl::generation::jet35);
    else if (IsEqualCLSID(clsid, CLSID_DAODBEngine36)) daoimpl::register_one(clsid, daoimpl::generation::jet36);
    else if (IsEqualCLSID(clsid, CLSID_DAODBEngine120)) daoimpl::register_one(clsid, daoimpl::generation::ace);
}

std::vector<uint8_t> dao_blank_workgroup_image(bool jet3)
{
    std::vector<uint8_t> img(jet3 ? 131072 : 143360, 0);
    img[1] = 0x01; // page 0: the file header
    std::memcpy(img.data() + 4, "Jet System DB  ", 16);
    img[20] = jet3 ? 0 : 1;
    return img;
}

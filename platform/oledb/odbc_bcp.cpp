#include "platform/oledb/odbc_bcp.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <cstring>

namespace odbc {

namespace {

// Host variable types of the bulk-copy functions.
constexpr int type_char = 47;
constexpr int type_binary = 45;
constexpr int varlen_data = -10;   // the length is in the value's prefix
constexpr int keep_identity_option = 8;
constexpr int direction_in = 1;
constexpr int succeed = 1;

// FreeTDS: every function is a connection attribute whose value points at its arguments.
class attribute_api : public bulk_api {
public:
    bool init(void* dbc, const std::u16string& table) override
    {
        init_args a{table.c_str(), nullptr, nullptr, direction_in};
        return set(dbc, base + 7, &a);
    }
    bool keep_identity(void* dbc) override
    {
        // Releases before 1.4 take the option under base + 1, later ones under base + 8.
        control_args a{keep_identity_option, reinterpret_cast<void*>(1)};
        return set(dbc, base + 8, &a) || set(dbc, base + 1, &a);
    }
    bool bind(void* dbc, const void* data, int type, int column) override
    {
        bind_args a{data, 4, varlen_data, nullptr, 0, type, column};
        return set(dbc, base + 6, &a);
    }
    bool colptr(void* dbc, const void* data, int column) override
    {
        colptr_args a{data, column};
        return set(dbc, base + 2, &a);
    }
    bool sendrow(void* dbc) override { return set(dbc, base + 3, nullptr); }
    int batch(void* dbc) override
    {
        int rows = -1;
        return set(dbc, base + 4, &rows) ? rows : -1;
    }
    int done(void* dbc) override
    {
        int rows = -1;
        return set(dbc, base + 5, &rows) ? rows : -1;
    }
    // FreeTDS (1.3) keeps a (MAX) column's value in a 4096-byte buffer and writes past it for a
    // longer one: such values must not travel this way.
    std::size_t value_limit() const override { return 4000; }

private:
    static constexpr SQLINTEGER base = 1500;
    struct init_args {
        const void* table;
        const void* file;
        const void* error_file;
        int direction;
    };
    struct control_args {
        int field;
        void* value;
    };
    struct colptr_args {
        const void* data;
        int column;
    };
    struct bind_args {
        const void* data;
        int prefix_length;
        int length;
        const void* terminator;
        int terminator_length;
        int type;
        int column;
    };
    static bool set(void* dbc, SQLINTEGER attr, void* args)
    {
        return SQL_SUCCEEDED(SQLSetConnectAttr(dbc, attr, args, SQL_IS_POINTER));
    }
};

// Microsoft's drivers: the functions are exported by the driver's library.
class exported_api : public bulk_api {
public:
    static std::unique_ptr<bulk_api> load(const std::wstring& library)
    {
        void* lib = ::dlopen(to_utf8(library).c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (!lib)
            return nullptr;
        auto api = std::make_unique<exported_api>();
        api->lib_ = lib;
        bool all = api->find(api->init_, "bcp_initW") && api->find(api->control_, "bcp_control") &&
                   api->find(api->bind_, "bcp_bind") && api->find(api->colptr_, "bcp_colptr") &&
                   api->find(api->sendrow_, "bcp_sendrow") && api->find(api->batch_, "bcp_batch") &&
                   api->find(api->done_, "bcp_done");
        return all ? std::move(api) : nullptr;
    }
    ~exported_api() override
    {
        if (lib_)
            ::dlclose(lib_);
    }
    bool init(void* dbc, const std::u16string& table) override
    {
        return init_(dbc, table.c_str(), nullptr, nullptr, direction_in) == succeed;
    }
    bool keep_identity(void* dbc) override
    {
        return control_(dbc, keep_identity_option, reinterpret_cast<void*>(1)) == succeed;
    }
    bool bind(void* dbc, const void* data, int type, int column) override
    {
        return bind_(dbc, data, 4, varlen_data, nullptr, 0, type, column) == succeed;
    }
    bool colptr(void* dbc, const void* data, int column) override { return colptr_(dbc, data, column) == succeed; }
    bool sendrow(void* dbc) override { return sendrow_(dbc) == succeed; }
    int batch(void* dbc) override { return batch_(dbc); }
    int done(void* dbc) override { return done_(dbc); }
    std::size_t value_limit() const override { return static_cast<std::size_t>(-1); }

private:
    template <typename F> bool find(F& f, const char* name)
    {
        f = reinterpret_cast<F>(::dlsym(lib_, name));
        return f != nullptr;
    }
    void* lib_ = nullptr;
    short (*init_)(void*, const char16_t*, const char16_t*, const char16_t*, int) = nullptr;
    short (*control_)(void*, int, void*) = nullptr;
    short (*bind_)(void*, const void*, int, int, const void*, int, int, int) = nullptr;
    short (*colptr_)(void*, const void*, int) = nullptr;
    short (*sendrow_)(void*) = nullptr;
    int (*batch_)(void*) = nullptr;
    int (*done_)(void*) = nullptr;
};

} // namespace

std::unique_ptr<bulk_api> bulk_api_for(connection& c)
{
    const std::wstring driver = c.driver_name();
    if (is_freetds(driver))
        return std::make_unique<attribute_api>();
    if (driver.find(L"msodbcsql") != std::wstring::npos)
        return exported_api::load(driver);
    return nullptr;
}

// ---------------------------------------------------------------- bulk_copy

bulk_copy::bulk_copy(connection& c, bulk_api& api, const std::wstring& table, const std::vector<bool>& binary_columns,
                     bool keep_identity)
    : conn_(c), api_(api), binary_(binary_columns), cells_(binary_columns.size()), at_(binary_columns.size())
{
    if (!api_.init(conn_.handle(), to_utf16(table)))
        fail("bcp_init");
    if (keep_identity && !api_.keep_identity(conn_.handle()))
        fail("bcp_control");
}

bulk_copy::~bulk_copy()
{
    if (!done_)
        api_.done(conn_.handle());   // a load left open would hold the connection
}

void bulk_copy::fail(const char* what)
{
    auto recs = read_diagnostics(SQL_HANDLE_DBC, conn_.handle());
    note_lost_connection(conn_.handle(), recs);
    if (recs.empty())
        throw error(hr::fail, from_utf8(std::string(what) + " failed"));
    const std::int32_t code = hresult_for(recs);
    throw error(code, std::move(recs));
}

void bulk_copy::send_row(const std::vector<bulk_value>& row)
{
    if (row.size() != cells_.size())
        throw error(hr::invalid_arg, L"A bulk-copied row has another number of values than the table has columns.");
    for (std::size_t i = 0; i < row.size(); ++i) {
        const bulk_value& v = row[i];
        std::vector<unsigned char>& cell = cells_[i];
        const std::int32_t length = v.null ? -1 : static_cast<std::int32_t>(v.bytes.size());
        cell.resize(4 + (v.null ? 0 : v.bytes.size()));
        std::memcpy(cell.data(), &length, 4);
        if (!v.null && !v.bytes.empty())
            std::memcpy(cell.data() + 4, v.bytes.data(), v.bytes.size());
        const int column = static_cast<int>(i + 1);
        if (!bound_) {
            if (!api_.bind(conn_.handle(), cell.data(), binary_[i] ? type_binary : type_char, column))
                fail("bcp_bind");
        } else if (cell.data() != at_[i] && !api_.colptr(conn_.handle(), cell.data(), column)) {
            fail("bcp_colptr");
        }
        at_[i] = cell.data();   // the driver reads the value there until told otherwise
    }
    bound_ = true;
    if (!api_.sendrow(conn_.handle()))
        fail("bcp_sendrow");
}

int bulk_copy::batch()
{
    const int rows = api_.batch(conn_.handle());
    if (rows < 0)
        fail("bcp_batch");
    return rows;
}

int bulk_copy::done()
{
    done_ = true;
    const int rows = api_.done(conn_.handle());
    if (rows < 0)
        fail("bcp_done");
    return rows;
}

} // namespace odbc

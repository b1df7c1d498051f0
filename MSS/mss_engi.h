// The process-wide SQL Server engine: connection, server version, database list,
// creating, dropping, testing and opening databases, and the T-SQL flags.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "OLE/ole_ptr.h"
#include "TK/tk_singl.h"
#include "platform/oledb/oledb.h"

class mss_database;

// Server version codes.
enum mss_version : unsigned {
    mss_ver_unknown = 1,
    mss_ver_7 = 2,
    mss_ver_2000 = 3,
    mss_ver_2005 = 4,
    mss_ver_2008 = 5,
    mss_ver_2022 = 18,
    mss_ver_newest = 18,
    mss_ver_azure = 100,
};

// Turns a server name, a login and a database into an initialised data source,
// trying the native providers first and the generic one last.
class odb_initializer {
public:
    odb_initializer();
    // Fills ds with an initialised data source or throws; sets `native`.
    void test_connection(ole_com_ptr<IDBInitialize>& ds, const std::wstring& server, const std::wstring& user,
                         const std::wstring& password, const std::wstring& database);
    // The generic provider's initialisation string; values that hold separators are quoted.
    static std::wstring make_connection_string(const std::wstring& server, const std::wstring& user,
                                               const std::wstring& password, const std::wstring& database);

    bool native = false;

private:
    bool test_native_connection(ole_com_ptr<IDBInitialize>& ds, const CLSID& provider, const std::wstring& server,
                                const std::wstring& user, const std::wstring& password,
                                const std::wstring& database);
    bool test_generic_connection(ole_com_ptr<IDBInitialize>& ds, const std::wstring& connection_string);
};

class mss_engine : public tk_singleton<mss_engine> {
public:
    explicit mss_engine(int no_com_init = 0);
    ~mss_engine() override;

    // SQL login to a given database / to the login's default database.
    void connect(const std::wstring& server, const std::wstring& user, const std::wstring& password,
                 const std::wstring& database, bool fast_load);
    void connect(const std::wstring& server, const std::wstring& user, const std::wstring& password, bool fast_load);
    // Windows (integrated) login.
    void connect(const std::wstring& server, bool fast_load);

    mss_database* create_db(const std::wstring& name);
    void delete_db(const std::wstring& name);
    // mode: the open-mode bits of the server database; schema: empty for the default.
    mss_database* open_db(const std::wstring& name, int mode, const std::wstring& schema);
    // Throws mss_no_perm_exception when the database exists but the login may not open it.
    bool is_db_exist(const std::wstring& name);

    bool enable_fast_load(IUnknown* data_source, bool flag);
    unsigned get_version(IUnknown* data_source);
    void init_db_contents(IUnknown* data_source);

    // Cancels what every statement of the process is doing on its server; safe from any thread.
    // With drop_connections the connections are cut as well (a server that does not answer).
    // Returns how many statements were asked to cancel.
    static int cancel_statements(bool drop_connections);

    // The version code of an @@VERSION text.
    static unsigned parse_version(const std::wstring& text);

    unsigned get_version() const { return version; }
    // The server's own version text (@@VERSION) of the last connect.
    const std::wstring& get_version_text() const { return version_text; }
    bool is_unicode() const { return unicode; }
    bool is_as_dbo() const { return as_dbo; }
    void set_as_dbo(bool flag) { as_dbo = flag; }
    bool get_is_view_owned() const { return is_view_owned; }
    void set_view_owned(bool flag) { is_view_owned = flag; }
    bool is_fast_load() const { return fast_load; }
    bool is_connected() const { return connected; }
    bool is_windows_auth() const { return windows_auth; }
    bool is_native() const { return initializer.native; }
    const std::wstring& get_server() const { return server; }
    const std::wstring& get_user() const { return user; }
    // The login's default schema in the database opened last (empty before one is opened).
    const std::wstring& get_default_schema() const { return default_schema; }
    const std::wstring& get_password() const { return password; }
    const std::vector<std::wstring>& get_databases() const { return databases; }
    odb_initializer& get_initializer() { return initializer; }

private:
    void connect_steps(const std::wstring& server, const std::wstring& user, const std::wstring& password,
                       const std::wstring& database, bool fast_load, bool windows);
    // Opens a data source on the named database and a session on it.
    void open_session(const std::wstring& name, ole_com_ptr<IDBInitialize>& ds, ole_com_ptr<IOpenRowset>& session);
    // Asks the server for the login's default schema in the session's database.
    void read_default_schema(IOpenRowset* session);

    ole_com_ptr<IDataConvert> data_convert;
    unsigned version = 0;
    std::wstring server;
    std::wstring user;
    std::wstring password;
    bool connected = false;
    bool fast_load = true;
    bool windows_auth = false;
    bool unicode = true;
    int no_com_init;
    odb_initializer initializer;
    std::vector<std::wstring> databases;
    bool as_dbo = false;
    bool is_view_owned = true;
    std::wstring default_schema;
    std::wstring version_text;
};

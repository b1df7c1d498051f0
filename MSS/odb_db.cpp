#include "MSS/odb_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_util.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "TK/tk_log.h"

odb_database::odb_database(const std::wstring& name, IDBInitialize* ds, IOpenRowset* s, int mode)
    : udb_database(name, mode, 0)
{
    if (ds)
        ds->AddRef();
    *&data_source = ds;
    if (s)
        s->AddRef();
    *&session = s;
    tk_log_write(2, "odb_database::ctor");
}

odb_database::~odb_database()
{
    session.reset();
    data_source.reset();
}

std::unique_ptr<udb_recordset> odb_database::query(const std::wstring& sql)
{
    tk_log_write_w(1, L"odb_database::query(%ls)", sql.c_str());
    if (!session)
        TK_MAIL_ASSERT();
    odb_command command(session.get());
    IRowset* rowset = nullptr;
    command.execute(sql, &rowset);
    ole_com_ptr<IRowset> holder(rowset);   // the recordset takes its own reference
    return std::make_unique<odb_recordset>(rowset);
}

bool odb_database::test_query(const std::wstring& sql)
{
    tk_log_write_w(2, L"odb_database::test_query(%ls)", sql.c_str());
    try {
        query(sql);
    } catch (const tk_exception& e) {
        tk_log_write(1, "Query failed");
        tk_log_write(2, "%s", e.what());
        return false;
    } catch (const std::exception& e) {
        tk_log_write(1, "Query failed");
        tk_log_write(2, "%s", e.what());
        return false;
    }
    tk_log_write(1, "Query succeeded");
    return true;
}

bool odb_database::delete_tab(const std::wstring& name)
{
    tk_log_write_w(2, L"odb_database::delete_tab(%ls)", name.c_str());
    mss_engine::ref();
    const std::wstring safe = mss_get_safe_tname(name);
    query(L"DROP TABLE " + safe);
    // The list holds owner.table; a bare name means the table of the default owner.
    return udb_database::delete_tab(mss_simplify_tab_name(safe, L"."));
}

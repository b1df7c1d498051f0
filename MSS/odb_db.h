// A database reached through the OLE DB-shaped client: its data source and session,
// statements run into recordsets, statement tests and dropping tables.
#pragma once
#include <memory>
#include <string>

#include "OLE/ole_ptr.h"
#include "UDB/udb_db.h"
#include "platform/oledb/oledb.h"

class odb_database : public udb_database {
public:
    // Both interfaces are AddRef'ed and held for the database's life.
    odb_database(const std::wstring& name, IDBInitialize* data_source, IOpenRowset* session, int mode);
    ~odb_database() override;

    // Runs the statement; the result (no rows when it gave none) belongs to the caller.
    std::unique_ptr<udb_recordset> query(const std::wstring& sql) override;
    // Does the statement run? Every failure is logged and answers false.
    bool test_query(const std::wstring& sql) override;
    // DROP TABLE, then the name leaves the table list.
    bool delete_tab(const std::wstring& name) override;

    IOpenRowset* get_session() const { return session.get(); }
    IDBInitialize* get_data_source() const { return data_source.get(); }

protected:
    ole_com_ptr<IOpenRowset> session;
    ole_com_ptr<IDBInitialize> data_source;
};

// An Access table or SELECT result as a udb_recordset: its columns, keys and rows.
#pragma once
#include <memory>
#include <string>

#include "OLE/ole_ptr.h"
#include "UDB/udb_db.h"
#include "dao/dao_rec.h"
#include "platform/dao/daoapi.h"

// Reads the column definitions (and, for a table, the primary and unique indexes) when it is
// made, then walks the rows of the engine's recordset.
class dao_recordset : public udb_recordset {
public:
    // Over a table; takes its own references to the recordset and the definition.
    dao_recordset(udb_database* db, const std::wstring& name, DAORecordset* rs,
                  _DAOTableDef* table);
    // Over a SELECT text with the number of rows it yields.
    dao_recordset(udb_database* db, const std::wstring& name, const std::wstring& sql,
                  DAORecordset* rs, _DAOQueryDef* query, unsigned record_count);
    ~dao_recordset() override;

    void append_record(udb_record& record) override;
    // The current row, owned by the recordset and valid until the next call.
    udb_record* get_item() override;
    bool is_eof() override;
    void next() override;
    void prev() override;
    void reset() override;

private:
    void init_schema(_DAOTableDef* table);
    void init_schema(_DAOQueryDef* query);
    void init_indexes(_DAOTableDef* table);
    void read_eof();

    short m_eof = 0;
    std::unique_ptr<dao_record> m_record;
    ole_com_ptr<DAORecordset> m_rs;
    ole_com_ptr<_DAOTableDef> m_table;
    ole_com_ptr<_DAOQueryDef> m_query;
    std::vector<std::wstring> m_complex_columns;
};

// The default text of a table column after the Access expression rules, and the type
// refinement those rules imply (see dao_recordset). Exposed for tests.
struct dao_default_rules {
    std::wstring text;
    int dw_reserved = 0;
    bool on_off_default = false;  // a Yes/No column formatted On/Off whose default is On
};
dao_default_rules dao_apply_default_rules(int dao_type, long size, const std::wstring& default_text,
                                          const std::wstring& format, int field_no);

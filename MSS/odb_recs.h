// Statements on a provider session and read-only recordsets over their rowsets.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "MSS/odb_acc.h"
#include "MSS/odb_rec.h"
#include "OLE/ole_ptr.h"
#include "UDB/udb_db.h"
#include "platform/oledb/oledb.h"

// A long value for a statement's parameter marker, bound where it lies: text or bytes.
struct odb_long_value {
    const wchar_t* text = nullptr;          // text when set, else bytes
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;                   // characters or bytes
};

// Runs T-SQL statements on one session.
class odb_command {
public:
    // A new session on the data source (IDBInitialize or any interface of it).
    explicit odb_command(IUnknown* data_source);
    // Statements on an existing session.
    explicit odb_command(IOpenRowset* session);
    odb_command(const odb_command&) = delete;
    odb_command& operator=(const odb_command&) = delete;

    // Runs the statement; with a result pointer, hands back its rowset (owned
    // by the caller; null when the statement gave no result set).
    void execute(const std::wstring& sql, IRowset** result = nullptr);
    // Runs a statement whose parameter markers ("?") take the values in order; the provider sends
    // each from where it lies, in pieces, without a copy of the whole.
    void execute(const std::wstring& sql, const std::vector<odb_long_value>& values);

private:
    void create_command();

    ole_com_ptr<IOpenRowset> session;
    ole_com_ptr<ICommandText> command_text;
};

// A forward-reading recordset over a rowset, fetched 100 rows at a time.
class odb_recordset : public udb_recordset {
public:
    static constexpr int cache_size = 100;

    explicit odb_recordset(const std::wstring& name);
    explicit odb_recordset(IRowset* rowset);
    ~odb_recordset() override;

    // Learns the columns (into the schema when asked) and binds them.
    void initialize(bool with_schema);

    void append_record(udb_record& record) override;
    odb_record* get_item() override;
    bool is_eof() override;
    void next() override;
    void prev() override;
    void reset() override;

    DBORDINAL get_n_cols() const { return n_cols; }
    std::uint32_t get_cur_pos() const { return cur_pos; }

protected:
    void fill_cache();
    void clean_cache();

    DBORDINAL n_cols = 0;
    std::uint32_t cur_pos = 0;
    odb_accessor accessor;
    ole_com_ptr<IRowset> rowset;
    DBCOLUMNINFO* column_info = nullptr;
    OLECHAR* column_strings = nullptr;
    std::uint32_t local_pos = 0;
    std::uint32_t rows_obtaind = 0;
    odb_record* cache[cache_size] = {};
};

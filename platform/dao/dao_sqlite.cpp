// Access SELECT statements run through SQLite over the file reader.
#include "platform/dao/dao_internal.h"

namespace daoimpl {

std::unique_ptr<row_source> sqlite_select(const db_ptr& db, const std::wstring& sql, bool, std::vector<column_info>*, HRESULT& hr)
{
    (void)sql;
    hr = db->ctx->fail(daoErrInvalidSQL);
    return nullptr;
}

} // namespace daoimpl

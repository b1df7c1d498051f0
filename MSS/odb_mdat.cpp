#include "MSS/odb_mdat.h"

odb_pk_meta_data::odb_pk_meta_data(IUnknown* session, const std::wstring& table, const std::wstring& schema)
    : odb_meta_data<3>(session)
{
    tk_log_write_w(1, L"odb_pk_meta_data::ctor(%s)", table.c_str());
    if (!schema.empty())
        set_restriction(1, schema);
    set_restriction(2, table);
    internal_initialize(DBSCHEMA_PRIMARY_KEYS);
}

odb_tl_meta_data::odb_tl_meta_data(IUnknown* session, const std::wstring& schema) : odb_meta_data<4>(session)
{
    tk_log_write(1, "odb_tl_meta_data::ctor");
    if (!schema.empty())
        set_restriction(1, schema);
    set_restriction(3, L"TABLE");
    internal_initialize(DBSCHEMA_TABLES);
}

odb_id_meta_data::odb_id_meta_data(IUnknown* session, const std::wstring& table, const std::wstring& schema)
    : odb_meta_data<5>(session)
{
    tk_log_write_w(1, L"odb_id_meta_data::ctor(%s)", table.c_str());
    if (!schema.empty())
        set_restriction(1, schema);
    set_restriction(4, table);
    internal_initialize(DBSCHEMA_INDEXES);
}

odb_fk_meta_data::odb_fk_meta_data(IUnknown* session, const std::wstring& table, const std::wstring& schema)
    : odb_meta_data<6>(session)
{
    tk_log_write_w(1, L"odb_fk_meta_data::ctor(%s)", table.c_str());
    if (!schema.empty())
        set_restriction(1, schema);
    set_restriction(2, table);
    internal_initialize(DBSCHEMA_FOREIGN_KEYS);
}

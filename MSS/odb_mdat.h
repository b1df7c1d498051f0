// Catalogue (schema) rowsets read as recordsets: primary keys, tables, indexes, foreign keys.
#pragma once
#include <string>

#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "TK/tk_log.h"

// A schema rowset with N restrictions, all empty unless set.
template <int N>
class odb_meta_data : public odb_recordset {
public:
    explicit odb_meta_data(IUnknown* session) : odb_recordset(std::wstring())
    {
        tk_log_write(1, "odb_meta_data::ctor");
        if (!session)
            throw tk_mail_assertion("..\\MSS/odb_mdat", 38);
        for (auto& r : restrictions)
            VariantInit(&r);
        HRESULT hr = session->QueryInterface(IID_IDBSchemaRowset, reinterpret_cast<void**>(&schema_rowset));
        if (FAILED(hr)) {
            tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
            throw odb_exception(hr, 1);
        }
    }

    ~odb_meta_data() override
    {
        for (auto& r : restrictions)
            VariantClear(&r);
        schema_rowset.reset();
    }

protected:
    void set_restriction(int index, const std::wstring& value)
    {
        VariantClear(&restrictions[index]);
        restrictions[index].vt = VT_BSTR;
        restrictions[index].bstrVal = SysAllocString(value.c_str());
    }

    void internal_initialize(const GUID& schema)
    {
        tk_log_write(1, "odb_meta_data::internal_initialize");
        if (!schema_rowset)
            throw tk_mail_assertion("..\\MSS/odb_mdat", 62);
        HRESULT hr = schema_rowset->GetRowset(nullptr, schema, N, restrictions, IID_IRowset, 0, nullptr,
                                              reinterpret_cast<IUnknown**>(&rowset));
        if (FAILED(hr)) {
            tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
            throw odb_exception(hr, 1);
        }
        initialize(true);
    }

    ole_com_ptr<IDBSchemaRowset> schema_rowset;
    VARIANT restrictions[N];
};

// The primary key columns of one table.
class odb_pk_meta_data : public odb_meta_data<3> {
public:
    odb_pk_meta_data(IUnknown* session, const std::wstring& table, const std::wstring& schema);
};

// The tables (type "TABLE") of a schema, or of all schemas.
class odb_tl_meta_data : public odb_meta_data<4> {
public:
    odb_tl_meta_data(IUnknown* session, const std::wstring& schema);
};

// The index columns of one table.
class odb_id_meta_data : public odb_meta_data<5> {
public:
    odb_id_meta_data(IUnknown* session, const std::wstring& table, const std::wstring& schema);
};

// The foreign keys that refer to one (primary-key) table.
class odb_fk_meta_data : public odb_meta_data<6> {
public:
    odb_fk_meta_data(IUnknown* session, const std::wstring& table, const std::wstring& schema);
};

// Provider errors as exceptions: codes, messages, records and the plain text form.
#include "MSS/odb_exce.h"
#include "platform/oledb/oledb.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct rec {
    HRESULT hr;
    std::uint32_t native;
    std::wstring text;
    std::wstring state = L"23000";
};

// An error object with records of our choosing, as a provider would leave it.
class record_info : public com_object<IErrorInfo> {
public:
    explicit record_info(std::wstring t) : text(std::move(t)) {}
    HRESULT GetSource(BSTR* out) override { *out = SysAllocString(L"test provider"); return S_OK; }
    HRESULT GetDescription(BSTR* out) override
    {
        *out = text.empty() ? nullptr : SysAllocString(text.c_str());
        return S_OK;
    }
    std::wstring text;
};

class sql_info : public com_object<ISQLErrorInfo> {
public:
    sql_info(LONG n, std::wstring s) : native(n), state_text(std::move(s)) {}
    HRESULT GetSQLInfo(BSTR* state, LONG* n) override
    {
        *state = SysAllocString(state_text.c_str());
        *n = native;
        return S_OK;
    }
    LONG native;
    std::wstring state_text;
};

class records : public com_object<IErrorInfo, IErrorRecords> {
public:
    explicit records(std::vector<rec> r) : recs(std::move(r)) {}
    HRESULT GetSource(BSTR* out) override { *out = nullptr; return S_OK; }
    HRESULT GetDescription(BSTR* out) override { *out = nullptr; return S_OK; }
    HRESULT GetRecordCount(ULONG* n) override { *n = static_cast<ULONG>(recs.size()); return S_OK; }
    HRESULT GetBasicErrorInfo(ULONG i, ERRORINFO* info) override
    {
        *info = ERRORINFO{recs[i].hr, recs[i].native, GUID_NULL, GUID_NULL, 0};
        return S_OK;
    }
    HRESULT GetCustomErrorObject(ULONG i, REFIID, IUnknown** out) override
    {
        *out = recs[i].native ? new sql_info(static_cast<LONG>(recs[i].native), recs[i].state) : nullptr;
        return S_OK;
    }
    HRESULT GetErrorInfo(ULONG i, LCID, IErrorInfo** out) override
    {
        *out = new record_info(recs[i].text);
        return S_OK;
    }
    std::vector<rec> recs;
};

void leave_error(std::vector<rec> r)
{
    auto* obj = new records(std::move(r));
    SetErrorInfo(0, obj);
    obj->Release();
}

void clear_error()
{
    IErrorInfo* e = nullptr;
    GetErrorInfo(0, &e);
    if (e)
        e->Release();
}

} // namespace

TEST(OdbException, WithoutErrorObjectTheMessageIsUnknown)
{
    clear_error();
    odb_exception e(static_cast<HRESULT>(0x80040E37u));
    EXPECT_EQ(e.code(), 0x80E37);
    EXPECT_EQ((e.code() & 0xFFFF), 0x0E37);
    EXPECT_STREQ(e.what(), "Unknown exception");
    EXPECT_EQ(e.level(), 0);
    EXPECT_EQ(e.get_native_error(), 0);
    // Caught as a member of the family.
    try {
        throw odb_exception(static_cast<HRESULT>(0x80040E2Fu));
    } catch (const tk_exception& t) {
        EXPECT_EQ(t.code(), 0x80E2F);
    }
}

TEST(OdbException, TakesTheFirstRecordThatHasText)
{
    leave_error({{static_cast<HRESULT>(0x80040E2Fu), 5701, L""},
                 {static_cast<HRESULT>(0x80040E2Fu), 2627, L"Violation of PRIMARY KEY constraint 'pk'."},
                 {static_cast<HRESULT>(0x80040E2Fu), 3621, L"The statement has been terminated."}});
    odb_exception e(static_cast<HRESULT>(0x80040E2Fu));
    EXPECT_STREQ(e.what(), "Violation of PRIMARY KEY constraint 'pk'.");
    EXPECT_EQ(e.get_native_error(), 2627);
    EXPECT_EQ(e.get_source(), L"test provider");
    // The thread's error object was taken.
    IErrorInfo* none = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
}

TEST(OdbException, RecordsWithoutTextGiveTheGenericMessage)
{
    leave_error({{E_FAIL, 0, L""}});
    odb_exception e(E_FAIL);
    EXPECT_EQ(std::string(e.what()).rfind("Generic error occurred while migrating the data.\n", 0), 0u);
    EXPECT_EQ(e.code(), 0x84005);
}

// A connection that went away is told by its SQLSTATE class (08) or by the driver's own text; a
// refused row is not. The run-ending error names the table and the record and what is left.
TEST(OdbException, ALostConnectionIsToldApartFromARefusedRow)
{
    leave_error({{E_FAIL, 20004, L"Read from the server failed", L"08S01"}});
    const odb_exception by_state(E_FAIL);
    EXPECT_TRUE(by_state.connection_lost());
    EXPECT_FALSE(by_state.cancelled());
    leave_error({{E_FAIL, 1, L"Operation canceled", L"HY008"}});
    const odb_exception cancelled(E_FAIL);
    EXPECT_TRUE(cancelled.cancelled());
    EXPECT_FALSE(cancelled.connection_lost());
    leave_error({{E_FAIL, 0, L"Communication link failure"}});
    EXPECT_TRUE(odb_exception(E_FAIL).connection_lost());
    leave_error({{static_cast<HRESULT>(0x80040E2Fu), 2627, L"Violation of PRIMARY KEY constraint 'pk'."}});
    EXPECT_FALSE(odb_exception(static_cast<HRESULT>(0x80040E2Fu)).connection_lost());
    EXPECT_FALSE(odb_exception(std::wstring(L"The specified table already exists")).connection_lost());

    const mss_connection_lost_exception at_row(by_state, L"Big", 33001);
    EXPECT_EQ(at_row.level(), 1);
    EXPECT_STREQ(at_row.what(), "The connection to the server was lost at table Big, record #33001 (Read from the "
                                "server failed). The destination holds only part of the database.");
    const mss_connection_lost_exception at_table(by_state, L"Big", 0);
    EXPECT_STREQ(at_table.what(), "The connection to the server was lost at table Big (Read from the server "
                                  "failed). The destination holds only part of the database.");
}

TEST(OdbException, OwnTextAndNoPermission)
{
    odb_exception own(std::wstring(L"The specified table already exists"));
    EXPECT_STREQ(own.what(), "The specified table already exists");
    EXPECT_EQ(own.code(), 0);
    EXPECT_EQ(own.level(), 0);

    mss_no_perm_exception p(L"bob", L"Sales");
    EXPECT_STREQ(p.what(), "User 'bob' does not have permission to access database 'Sales'");
    EXPECT_EQ(p.code(), 0);
    EXPECT_EQ(p.level(), 0);
    mss_no_perm_exception longer(std::wstring(300, L'u'), L"db");
    EXPECT_EQ(std::string(longer.what()).size(), 255u);
}

TEST(OdbException, ErrorStringJoinsRecordsOrNamesTheKeyViolation)
{
    leave_error({{E_FAIL, 0, L"first"}, {E_FAIL, 0, L"second"}});
    EXPECT_EQ(odb_exception::GetErrorString(), L"first\nsecond");

    leave_error({{E_FAIL, 2627, L""}});
    EXPECT_EQ(odb_exception::GetErrorString(),
              L"Violation of PRIMARY KEY constraint.\nCannot insert duplicate key in the table.");

    clear_error();
    EXPECT_EQ(odb_exception::GetErrorString().rfind(L"Generic error occurred while migrating the data.", 0), 0u);
}

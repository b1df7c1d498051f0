#include "MSS/odb_exce.h"

#include <cwchar>

#include "TK/tk_errco.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/oledb/oledb.h"

namespace {

std::wstring take_bstr(BSTR b)
{
    std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return s;
}

// Releases an interface when the scope ends.
template <class I>
struct released {
    I* p = nullptr;
    ~released() { if (p) p->Release(); }
};

} // namespace

std::string odb_exception::generic_text()
{
    return std::string("Generic error occurred while migrating the data.\nPlease write to ") +
           tk_message(tk_msg_contact_mail) + " for a solution.";
}

odb_exception::error_info_dispatcher::error_info_dispatcher(IErrorInfo* info)
{
    tk_log_write(1, "odb_exception::error_info_dispatcher::ctor");
    if (!info)
        return;
    BSTR src = nullptr;
    BSTR desc = nullptr;
    info->GetSource(&src);
    info->GetDescription(&desc);
    if (src) {
        tk_log_write(1, "Processing source");
        source = take_bstr(src);
        tk_log_write_w(2, L"Source:\t\t%s\n", source.c_str());
    }
    if (desc) {
        tk_log_write(1, "Processing description");
        description = take_bstr(desc);
        tk_log_write_w(2, L"Error message:\t%s", description.c_str());
    }
}

odb_exception::odb_exception(HRESULT hr, int flag) : tk_exception(0)
{
    set_code(0x80000 + (static_cast<std::uint32_t>(hr) & 0xFFFF));
    tk_log_write(1, "odb_exception::odb_exception(%08X)", static_cast<unsigned>(hr));
    released<IErrorInfo> info;
    if (GetErrorInfo(0, &info.p) != S_OK || !info.p) {
        tk_log_write(2, "dump_error: GetErrorInfo failed");
        return;
    }
    released<IErrorRecords> records;
    if (FAILED(info.p->QueryInterface(IID_IErrorRecords, reinterpret_cast<void**>(&records.p))) || !records.p) {
        error_info_dispatcher d(info.p);
        set_message(tk_to_ansi_text(d.description));
        source = d.source;
        return;
    }
    tk_log_write(2, "Got IErrorRecords");
    extract_from_records2(records.p, flag);
}

void odb_exception::extract_from_records2(IUnknown* unk, int flag)
{
    auto* records = static_cast<IErrorRecords*>(unk);
    tk_log_write(2, "odb_exception::extract_from_records2(%d)", flag);
    ULONG count = 0;
    records->GetRecordCount(&count);
    tk_log_write(1, "Got %d record(s)", static_cast<int>(count));
    std::string message;
    for (ULONG i = 0; i < count; ++i) {
        ERRORINFO basic{};
        records->GetBasicErrorInfo(i, &basic);
        released<ISQLErrorInfo> sql;
        records->GetCustomErrorObject(i, IID_ISQLErrorInfo, reinterpret_cast<IUnknown**>(&sql.p));
        tk_log_write(2, "HRESULT:\t0x%08X", static_cast<unsigned>(basic.hrError));
        if (sql.p) {
            BSTR state = nullptr;
            LONG native = 0;
            sql.p->GetSQLInfo(&state, &native);
            native_error = native;
            std::wstring wstate = take_bstr(state);
            lost = lost || wstate.rfind(L"08", 0) == 0;
            was_cancelled = was_cancelled || wstate == L"HY008";
            tk_log_write(2, "SQLSTATE:\t%s", tk_to_ansi_text(wstate).c_str());
            tk_log_write(2, "Native Error:\t%ld", static_cast<long>(native));
        }
        released<IErrorInfo> rec;
        if (records->GetErrorInfo(i, LOCALE_USER_DEFAULT, &rec.p) == S_OK && rec.p) {
            error_info_dispatcher d(rec.p);
            message = tk_to_ansi_text(d.description);
            source = d.source;
            tk_log_write(1, "Process %d record: msg=%s, source=%s", static_cast<int>(i), message.c_str(),
                         tk_to_ansi_text(source).c_str());
            if (!message.empty())
                break;
        }
    }
    if (message.empty())
        message = generic_text();
    lost = lost || message.find("Communication link failure") != std::string::npos;
    set_message(message);
}

odb_exception::odb_exception(const std::wstring& text) : tk_exception(text, 0) {}

mss_connection_lost_exception::mss_connection_lost_exception(const odb_exception& cause, const std::wstring& table,
                                                             long long record)
    : tk_exception(1)
{
    std::wstring where = L"table " + table;
    if (record > 0)
        where += L", record #" + std::to_wstring(record);
    set_message(tk_to_ansi_text(L"The connection to the server was lost at " + where + L" (") + cause.what() +
                "). The destination holds only part of the database.");
}

std::wstring odb_exception::GetErrorString()
{
    tk_log_write(2, "odb_exception::GetErrorString");
    released<IErrorInfo> info;
    released<IErrorRecords> records;
    ULONG count = 0;
    if (GetErrorInfo(0, &info.p) != S_OK || !info.p ||
        FAILED(info.p->QueryInterface(IID_IErrorRecords, reinterpret_cast<void**>(&records.p))) || !records.p ||
        FAILED(records.p->GetRecordCount(&count)))
        return tk_to_wstring(generic_text());
    tk_log_write(2, "odb_exception::extract_from_records1");
    std::wstring result;
    bool pk_violation = false;
    for (ULONG i = 0; i < count; ++i) {
        ERRORINFO basic{};
        records.p->GetBasicErrorInfo(i, &basic);
        tk_log_write(1, "GetBasicErrorInfo: HRESULT=%08X, Minor Code=%d", static_cast<unsigned>(basic.hrError),
                     static_cast<int>(basic.dwMinor));
        if (basic.dwMinor == 2627)
            pk_violation = true;
        released<IErrorInfo> rec;
        if (records.p->GetErrorInfo(i, LOCALE_SYSTEM_DEFAULT, &rec.p) != S_OK || !rec.p) {
            tk_log_write(1, "pIErrorRecords->GetErrorInfo FAILED");
            continue;
        }
        tk_log_write(1, "pIErrorRecords->GetErrorInfo SUCCEEDED");
        BSTR desc = nullptr;
        if (FAILED(rec.p->GetDescription(&desc)) || !desc) {
            tk_log_write(1, "pIErrorRecords->GetDescription FAILED");
            continue;
        }
        tk_log_write(1, "pIErrorRecords->GetDescription SUCCEEDED");
        if (!result.empty())
            result += L"\n";
        result += take_bstr(desc);
    }
    if (!result.empty())
        return result;
    if (pk_violation)
        return L"Violation of PRIMARY KEY constraint.\nCannot insert duplicate key in the table.";
    return tk_to_wstring(generic_text());
}

mss_no_perm_exception::mss_no_perm_exception(const std::wstring& user, const std::wstring& database)
    : tk_exception(0)
{
    std::wstring text = L"User '" + user + L"' does not have permission to access database '" + database + L"'";
    if (text.size() > 255)
        text.resize(255);
    set_message(tk_to_ansi_text(text));
}

// Errors of the SQL Server client layer: the provider's error records as exceptions.
#pragma once
#include <cstdint>
#include <string>

#include "TK/tk_excep.h"
#include "platform/com/combase.h"

struct IErrorInfo;

// A failed provider call: the provider's own message, code 0x80000 plus the
// low 16 bits of the result, level 0.
class odb_exception : public tk_exception {
public:
    // From a failed result; reads the calling thread's error object. `flag` is only traced.
    explicit odb_exception(HRESULT hr, int flag = 1);
    // From a message of our own: level 0, code 0.
    explicit odb_exception(const std::wstring& text);

    const std::wstring& get_source() const noexcept { return source; }
    std::int32_t get_native_error() const noexcept { return native_error; }
    // The connection to the server is gone (SQLSTATE class 08, or the driver's communication-link
    // failure): nothing more can reach the server on it.
    bool connection_lost() const noexcept { return lost; }
    // The statement was cancelled (SQLSTATE HY008): the row it carried was not refused.
    bool cancelled() const noexcept { return was_cancelled; }

    // The descriptions of the thread's current error records, one per line.
    static std::wstring GetErrorString();

    // The text given when no record says anything.
    static std::string generic_text();

    // Reads the source and description of one error object.
    class error_info_dispatcher {
    public:
        explicit error_info_dispatcher(IErrorInfo* info);
        std::wstring source;
        std::wstring description;
    };

private:
    void extract_from_records2(IUnknown* records, int flag);

    std::wstring source;
    std::int32_t native_error = 0;
    bool lost = false;
    bool was_cancelled = false;
};

// The connection to the server went away during a run: the run ends at once. The message names
// the table and the record where it was lost (none: 0) and says what the destination holds.
class mss_connection_lost_exception : public tk_exception {
public:
    mss_connection_lost_exception(const odb_exception& cause, const std::wstring& table, long long record);
};

// A login that reaches the server but may not open the database.
class mss_no_perm_exception : public tk_exception {
public:
    mss_no_perm_exception(const std::wstring& user, const std::wstring& database);
};

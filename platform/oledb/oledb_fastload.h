// Bulk-load (fast-load) rowset of the SQL Server provider, its property set and
// value structures, and sequential streams for long values.
#pragma once
#include <cstdint>

#include "platform/oledb/oledb.h"

// Value structures of the bulk-load row buffer.
struct DB_NUMERIC {
    std::uint8_t precision;
    std::uint8_t scale;
    std::uint8_t sign;   // 1 positive, 0 negative
    std::uint8_t val[16];
};

struct DBDATE {
    std::int16_t year;
    std::uint16_t month;
    std::uint16_t day;
};

struct DBTIME2 {
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint32_t fraction;   // nanoseconds
};

struct DBTIMESTAMP {
    std::int16_t year;
    std::uint16_t month;
    std::uint16_t day;
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint32_t fraction;   // nanoseconds
};

// The object description of a column bound as a COM object (long values as streams).
struct DBOBJECT {
    std::uint32_t dwFlags;
    IID iid;
};

constexpr std::uint32_t STGM_READ = 0;

// SQL Server rowset properties of a bulk-load rowset.
inline constexpr GUID DBPROPSET_SQLSERVERROWSET = {0x5CF4CA11, 0xEF21, 0x11D0, {0x97, 0xE7, 0x00, 0xC0, 0x4F, 0xC2, 0xAD, 0x98}};
constexpr DBPROPID SSPROP_FASTLOADKEEPIDENTITY = 11;
constexpr DBPROPID SSPROP_IRowsetFastLoad = 14;

inline constexpr IID IID_IRowsetFastLoad = {0x5CF4CA13, 0xEF21, 0x11D0, {0x97, 0xE7, 0x00, 0xC0, 0x4F, 0xC2, 0xAD, 0x98}};
inline constexpr IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr HRESULT STG_E_INVALIDPOINTER = make_hresult(0x80030009u);

struct ISequentialStream : IUnknown {
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

// Rows handed over one at a time through an accessor; Commit ends a batch
// (fDone: the last one, the rowset may go).
struct IRowsetFastLoad : IUnknown {
    virtual HRESULT InsertRow(HACCESSOR hAccessor, void* pData) = 0;
    virtual HRESULT Commit(BOOL fDone) = 0;
};

template <> struct com_iid_of<ISequentialStream> { static constexpr const IID& value = IID_ISequentialStream; };
template <> struct com_iid_of<IRowsetFastLoad> { static constexpr const IID& value = IID_IRowsetFastLoad; };

// Opens the bulk-load rowset of a table on a session of the ODBC provider
// (IID_IRowsetFastLoad, IID_IColumnsInfo or IID_IAccessor). Rows are sent as
// prepared, parameterised INSERT statements, in batches of array-bound rows;
// each Commit sends what is pending.
HRESULT OpenFastLoadRowset(IUnknown* session, DBID* table, ULONG cPropertySets, DBPROPSET rgPropertySets[],
                           REFIID riid, IUnknown** out);

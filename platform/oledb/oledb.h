// OLE DB-shaped client interfaces (data source, session, command, rowset, accessor,
// schema rowsets, error records) served by the ODBC provider in this folder.
#pragma once
#include <cstdint>

#include "platform/com/combase.h"
#include "platform/com/oleauto.h"
#include "platform/oledb/dbtypes.h"

// ---------------------------------------------------------------- scalar types
typedef std::uintptr_t HROW;
typedef std::uintptr_t HACCESSOR;
typedef std::uintptr_t HCHAPTER;
typedef std::uint64_t DBCOUNTITEM;
typedef std::int64_t DBROWCOUNT;
typedef std::int64_t DBROWOFFSET;
typedef std::uint64_t DBORDINAL;
typedef std::uint64_t DBLENGTH;
typedef std::uint64_t DBBYTEOFFSET;
typedef std::uint32_t DBREFCOUNT;
typedef std::uint32_t DBROWSTATUS;
typedef std::uint32_t DBROWOPTIONS;
typedef std::uint32_t DBPROPID;
typedef std::uint32_t DBPROPOPTIONS;
typedef std::uint32_t DBPROPSTATUS;
typedef std::uint32_t DBACCESSORFLAGS;
typedef std::uint32_t DBBINDSTATUS;
typedef std::uint32_t DBPART;
typedef std::uint32_t DBMEMOWNER;
typedef std::uint32_t DBPARAMIO;

constexpr HCHAPTER DB_NULL_HCHAPTER = 0;
constexpr HACCESSOR DB_NULL_HACCESSOR = 0;

// More result codes of the OLE DB calls.
constexpr HRESULT DB_S_ENDOFROWSET = 0x00040EC6;
constexpr HRESULT DB_S_ERRORSOCCURRED = 0x00040EDA;
constexpr HRESULT DB_E_BADACCESSORHANDLE = make_hresult(0x80040E00u);
constexpr HRESULT DB_E_BADROWHANDLE = make_hresult(0x80040E04u);
constexpr HRESULT DB_E_CANTCONVERTVALUE = make_hresult(0x80040E07u);
constexpr HRESULT DB_SEC_E_PERMISSIONDENIED = make_hresult(0x80040E09u);
constexpr HRESULT DB_E_NOTINITIALIZED = make_hresult(0x80040E0Bu); // not standard; not used by callers
constexpr HRESULT DB_E_NOCOMMAND = make_hresult(0x80040E0Cu);
constexpr HRESULT DB_E_ERRORSINCOMMAND = make_hresult(0x80040E14u);
constexpr HRESULT DB_E_ERRORSOCCURRED = make_hresult(0x80040E21u);
constexpr HRESULT DB_E_INTEGRITYVIOLATION = make_hresult(0x80040E2Fu);
constexpr HRESULT DB_E_NOTABLE = make_hresult(0x80040E37u);
constexpr HRESULT DB_E_DUPLICATETABLEID = make_hresult(0x80040E3Fu);
constexpr HRESULT DB_SEC_E_AUTH_FAILED = make_hresult(0x80040E4Du);
constexpr HRESULT DB_E_BADBINDINFO = make_hresult(0x80040E08u);
constexpr HRESULT DB_E_ALREADYINITIALIZED = make_hresult(0x80040E52u);
constexpr HRESULT DB_E_NOTSUPPORTED = make_hresult(0x80040E53u);
constexpr HRESULT DB_E_DATAOVERFLOW = make_hresult(0x80040E57u);
constexpr HRESULT DB_E_BADCHAPTER = make_hresult(0x80040E5Du);

// ---------------------------------------------------------------- structures
constexpr std::uint32_t DBKIND_GUID_NAME = 0;
constexpr std::uint32_t DBKIND_NAME = 2;

// Identifies a column or a table; a null identifier has no name.
struct DBID {
    GUID uGuid;
    std::uint32_t eKind;
    const OLECHAR* pwszName;
};
inline constexpr DBID DB_NULLID = {GUID_NULL, DBKIND_GUID_NAME, nullptr};

struct DBPROP {
    DBPROPID dwPropertyID;
    DBPROPOPTIONS dwOptions;
    DBPROPSTATUS dwStatus;
    DBID colid;
    VARIANT vValue;
};

struct DBPROPSET {
    DBPROP* rgProperties;
    ULONG cProperties;
    GUID guidPropertySet;
};

constexpr DBPROPOPTIONS DBPROPOPTIONS_REQUIRED = 0;
constexpr DBPROPOPTIONS DBPROPOPTIONS_OPTIONAL = 1;
constexpr DBPROPSTATUS DBPROPSTATUS_OK = 0;
constexpr DBPROPSTATUS DBPROPSTATUS_NOTSUPPORTED = 1;
constexpr DBPROPSTATUS DBPROPSTATUS_BADVALUE = 2;
constexpr DBPROPSTATUS DBPROPSTATUS_NOTSETTABLE = 6;

// Properties of the data source's initialisation set.
constexpr DBPROPID DBPROP_AUTH_INTEGRATED = 7;
constexpr DBPROPID DBPROP_AUTH_PASSWORD = 9;
constexpr DBPROPID DBPROP_AUTH_USERID = 12;
constexpr DBPROPID DBPROP_INIT_DATASOURCE = 59;
constexpr DBPROPID DBPROP_INIT_CATALOG = 233;
// SQL Server data source property: bulk load allowed.
constexpr DBPROPID SSPROP_ENABLEFASTLOAD = 2;

struct DBCOLUMNINFO {
    OLECHAR* pwszName;
    void* pTypeInfo;
    DBORDINAL iOrdinal;
    DBCOLUMNFLAGS dwFlags;
    DBLENGTH ulColumnSize;
    DBTYPE wType;
    std::uint8_t bPrecision;
    std::uint8_t bScale;
    DBID columnid;
};

constexpr DBPART DBPART_VALUE = 0x1;
constexpr DBPART DBPART_LENGTH = 0x2;
constexpr DBPART DBPART_STATUS = 0x4;
constexpr DBMEMOWNER DBMEMOWNER_CLIENTOWNED = 0;
constexpr DBPARAMIO DBPARAMIO_NOTPARAM = 0;
constexpr DBPARAMIO DBPARAMIO_INPUT = 0x1;
constexpr DBACCESSORFLAGS DBACCESSOR_ROWDATA = 0x2;
constexpr DBACCESSORFLAGS DBACCESSOR_PARAMETERDATA = 0x4;
constexpr DBBINDSTATUS DBBINDSTATUS_OK = 0;
constexpr DBBINDSTATUS DBBINDSTATUS_BADORDINAL = 1;
constexpr DBBINDSTATUS DBBINDSTATUS_UNSUPPORTEDCONVERSION = 2;

// One column of an accessor: where its value, length and status go in the row buffer.
struct DBBINDING {
    DBORDINAL iOrdinal;
    DBBYTEOFFSET obValue;
    DBBYTEOFFSET obLength;
    DBBYTEOFFSET obStatus;
    void* pTypeInfo;
    void* pObject;
    void* pBindExt;
    DBPART dwPart;
    DBMEMOWNER dwMemOwner;
    DBPARAMIO eParamIO;
    DBLENGTH cbMaxLen;
    std::uint32_t dwFlags;
    DBTYPE wType;
    std::uint8_t bPrecision;
    std::uint8_t bScale;
};

struct DBPARAMS {
    void* pData;
    DBCOUNTITEM cParamSets;
    HACCESSOR hAccessor;
};

// One record of an error object.
struct ERRORINFO {
    HRESULT hrError;
    std::uint32_t dwMinor;
    CLSID clsid;
    IID iid;
    std::int32_t dispid;
};

// ---------------------------------------------------------------- identifiers
inline constexpr CLSID CLSID_SQLNCLI11 = {0x397C2819, 0x8272, 0x4532, {0xAD, 0x3A, 0xFB, 0x5E, 0x43, 0xBE, 0xAA, 0x39}};
inline constexpr CLSID CLSID_SQLNCLI10 = {0x8F4A6B68, 0x4F36, 0x4E3C, {0xBE, 0x81, 0xBC, 0x7C, 0xA4, 0xE9, 0xC4, 0x5C}};
inline constexpr CLSID CLSID_MSDAINITIALIZE = {0x2206CDB0, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}};
inline constexpr CLSID CLSID_OLEDB_CONVERSIONLIBRARY = {0xC8B522D1, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

inline constexpr GUID DBPROPSET_DBINIT = {0xC8B522BC, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBPROPSET_SQLSERVERDATASOURCE = {0x28EFAEE4, 0x2D2C, 0x11D1, {0x98, 0x07, 0x00, 0xC0, 0x4F, 0xC2, 0xAD, 0x98}};
inline constexpr GUID DBGUID_DBSQL = {0xC8B521FB, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBGUID_DEFAULT = {0xC8B521FB, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_PRIMARY_KEYS = {0xC8B522C5, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_TABLES = {0xC8B52229, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_INDEXES = {0xC8B5221E, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_FOREIGN_KEYS = {0xC8B522C4, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

#define DRAV_OLEDB_IID(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    inline constexpr IID name = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
DRAV_OLEDB_IID(IID_IDBInitialize, 0x0C733A8B, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IDBProperties, 0x0C733A8A, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IDBCreateSession, 0x0C733A5D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IOpenRowset, 0x0C733A69, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IDBCreateCommand, 0x0C733A1D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_ICommand, 0x0C733A63, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_ICommandText, 0x0C733A27, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IRowset, 0x0C733A7C, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IColumnsInfo, 0x0C733A11, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IAccessor, 0x0C733A8C, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IDBSchemaRowset, 0x0C733A7B, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IErrorRecords, 0x0C733A67, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_ISQLErrorInfo, 0x0C733A74, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IDataConvert, 0x0C733A8D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D)
DRAV_OLEDB_IID(IID_IDataInitialize, 0x2206CCB1, 0x19C1, 0x11D1, 0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29)
DRAV_OLEDB_IID(IID_IErrorInfo, 0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19)
// Reaches the ODBC connection behind a data source or session (this platform only).
DRAV_OLEDB_IID(IID_IOdbcConnection, 0x6B1D3F0A, 0x9C52, 0x4E7B, 0x8A, 0x11, 0x3E, 0x42, 0x90, 0x5C, 0x7D, 0x21)
#undef DRAV_OLEDB_IID

// ---------------------------------------------------------------- interfaces

struct IDBInitialize : IUnknown {
    virtual HRESULT Initialize() = 0;
    virtual HRESULT Uninitialize() = 0;
};

struct IDBProperties : IUnknown {
    virtual HRESULT SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]) = 0;
};

struct IDBCreateSession : IUnknown {
    virtual HRESULT CreateSession(IUnknown* pUnkOuter, REFIID riid, IUnknown** ppDBSession) = 0;
};

struct IOpenRowset : IUnknown {
    // Opens a whole table by name (IID_IRowset and its companions).
    virtual HRESULT OpenRowset(IUnknown* pUnkOuter, DBID* pTableID, DBID* pIndexID, REFIID riid,
                               ULONG cPropertySets, DBPROPSET rgPropertySets[], IUnknown** ppRowset) = 0;
};

struct IDBCreateCommand : IUnknown {
    virtual HRESULT CreateCommand(IUnknown* pUnkOuter, REFIID riid, IUnknown** ppCommand) = 0;
};

struct ICommand : IUnknown {
    virtual HRESULT Execute(IUnknown* pUnkOuter, REFIID riid, DBPARAMS* pParams, DBROWCOUNT* pcRowsAffected,
                            IUnknown** ppRowset) = 0;
};

struct ICommandText : ICommand {
    virtual HRESULT SetCommandText(REFGUID rguidDialect, LPCOLESTR pwszCommand) = 0;
};

struct IRowset : IUnknown {
    virtual HRESULT GetData(HROW hRow, HACCESSOR hAccessor, void* pData) = 0;
    virtual HRESULT GetNextRows(HCHAPTER hReserved, DBROWOFFSET lRowsOffset, DBROWCOUNT cRows,
                                DBCOUNTITEM* pcRowsObtained, HROW** prghRows) = 0;
    virtual HRESULT ReleaseRows(DBCOUNTITEM cRows, const HROW rghRows[], DBROWOPTIONS rgRowOptions[],
                                DBREFCOUNT rgRefCounts[], DBROWSTATUS rgRowStatus[]) = 0;
    virtual HRESULT RestartPosition(HCHAPTER hReserved) = 0;
};

struct IColumnsInfo : IUnknown {
    virtual HRESULT GetColumnInfo(DBORDINAL* pcColumns, DBCOLUMNINFO** prgInfo, OLECHAR** ppStringsBuffer) = 0;
};

struct IAccessor : IUnknown {
    virtual HRESULT CreateAccessor(DBACCESSORFLAGS dwAccessorFlags, DBCOUNTITEM cBindings,
                                   const DBBINDING rgBindings[], DBLENGTH cbRowSize, HACCESSOR* phAccessor,
                                   DBBINDSTATUS rgStatus[]) = 0;
    virtual HRESULT ReleaseAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) = 0;
};

struct IDBSchemaRowset : IUnknown {
    virtual HRESULT GetRowset(IUnknown* pUnkOuter, REFGUID rguidSchema, ULONG cRestrictions,
                              const VARIANT rgRestrictions[], REFIID riid, ULONG cPropertySets,
                              DBPROPSET rgPropertySets[], IUnknown** ppRowset) = 0;
};

struct IDataInitialize : IUnknown {
    virtual HRESULT GetDataSource(IUnknown* pUnkOuter, std::uint32_t dwClsCtx, LPCOLESTR pwszInitializationString,
                                  REFIID riid, IUnknown** ppDataSource) = 0;
};

// The provider's value-conversion object; held by the engine, called by nobody.
struct IDataConvert : IUnknown {
};

struct IErrorInfo : IUnknown {
    virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
};

struct IErrorRecords : IUnknown {
    virtual HRESULT GetRecordCount(ULONG* pcRecords) = 0;
    virtual HRESULT GetBasicErrorInfo(ULONG ulRecordNum, ERRORINFO* pErrorInfo) = 0;
    virtual HRESULT GetCustomErrorObject(ULONG ulRecordNum, REFIID riid, IUnknown** ppObject) = 0;
    virtual HRESULT GetErrorInfo(ULONG ulRecordNum, LCID lcid, IErrorInfo** ppErrorInfo) = 0;
};

struct ISQLErrorInfo : IUnknown {
    virtual HRESULT GetSQLInfo(BSTR* pbstrSQLState, LONG* plNativeError) = 0;
};

namespace odbc { class connection; }

// Platform-only: the ODBC connection behind a data source or session, and the
// bulk-load flag of its data source.
struct IOdbcConnection : IUnknown {
    virtual odbc::connection* Connection() = 0;
    virtual bool FastLoadEnabled() = 0;
};

template <> struct com_iid_of<IDBInitialize> { static constexpr const IID& value = IID_IDBInitialize; };
template <> struct com_iid_of<IDBProperties> { static constexpr const IID& value = IID_IDBProperties; };
template <> struct com_iid_of<IDBCreateSession> { static constexpr const IID& value = IID_IDBCreateSession; };
template <> struct com_iid_of<IOpenRowset> { static constexpr const IID& value = IID_IOpenRowset; };
template <> struct com_iid_of<IDBCreateCommand> { static constexpr const IID& value = IID_IDBCreateCommand; };
template <> struct com_iid_of<ICommand> { static constexpr const IID& value = IID_ICommand; };
template <> struct com_iid_of<ICommandText> { static constexpr const IID& value = IID_ICommandText; };
template <> struct com_iid_of<IRowset> { static constexpr const IID& value = IID_IRowset; };
template <> struct com_iid_of<IColumnsInfo> { static constexpr const IID& value = IID_IColumnsInfo; };
template <> struct com_iid_of<IAccessor> { static constexpr const IID& value = IID_IAccessor; };
template <> struct com_iid_of<IDBSchemaRowset> { static constexpr const IID& value = IID_IDBSchemaRowset; };
template <> struct com_iid_of<IDataInitialize> { static constexpr const IID& value = IID_IDataInitialize; };
template <> struct com_iid_of<IDataConvert> { static constexpr const IID& value = IID_IDataConvert; };
template <> struct com_iid_of<IErrorInfo> { static constexpr const IID& value = IID_IErrorInfo; };
template <> struct com_iid_of<IErrorRecords> { static constexpr const IID& value = IID_IErrorRecords; };
template <> struct com_iid_of<ISQLErrorInfo> { static constexpr const IID& value = IID_ISQLErrorInfo; };
template <> struct com_iid_of<IOdbcConnection> { static constexpr const IID& value = IID_IOdbcConnection; };

// ---------------------------------------------------------------- functions

// The calling thread's error object: SetErrorInfo replaces it, GetErrorInfo hands
// it over (S_FALSE and null when there is none) and clears it.
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

// Registers the provider classes (SQL Server through ODBC drivers, the data
// initialisation service, the conversion library). Safe to call more than once.
void OleDbRegisterProviders();
// Cancels what every command of the process's sessions is doing on its server; callable from any
// thread while the commands wait on others. Returns how many statements were asked. With
// drop_connections, also cuts the sessions' network connections: for a server that does not
// answer the cancel either (the sessions are of no use afterwards).
int OleDbCancelPendingCommands(bool drop_connections) noexcept;

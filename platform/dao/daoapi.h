// Data access object model (engine, workspace, database, table/query definitions, recordsets, fields,
// indexes, relations, properties, errors) as COM interfaces, served by our own Access file reader.
//
// Conventions:
// - Every call returns an HRESULT; results come back through out-parameters with one reference (or an
//   owned BSTR / VARIANT) for the caller.
// - A failed call returns 0x800A0000 plus the engine's error number and replaces the engine's Errors
//   collection with that one error (Number, Description).
// - Collections are indexed by a VARIANT holding a position (integer types) or a name (VT_BSTR, case
//   ignored).
// - Opened files are read-only: methods that would change them report error 3251. Databases made by
//   CreateDatabase are written by our own Access file writer: table definitions with fields, indexes and
//   properties, relations, deleted tables and appended rows (recordsets opened with dbAppendOnly).
// - Engine classes are created through CoCreateInstance with the engine CLSIDs below; including this
//   header registers them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/combase.h"
#include "platform/com/oleauto.h"

struct DAOWorkspace;
struct DAODatabase;
struct DAOTableDefs;
struct _DAOTableDef;
struct DAOQueryDefs;
struct _DAOQueryDef;
struct DAORecordset;
struct DAOFields;
struct _DAOField;
struct DAOIndexes;
struct _DAOIndex;
struct DAOIndexFields;
struct DAORelations;
struct _DAORelation;
struct DAOProperties;
struct DAOProperty;
struct DAOErrors;
struct DAOError;

// ---------------------------------------------------------------------------
// Field data types (Field.Type).
enum DAODataTypeEnum : short {
    dbBoolean = 1,
    dbByte = 2,
    dbInteger = 3,
    dbLong = 4,
    dbCurrency = 5,
    dbSingle = 6,
    dbDouble = 7,
    dbDate = 8,
    dbBinary = 9,
    dbText = 10,
    dbLongBinary = 11,
    dbMemo = 12,
    dbGUID = 15,
    dbBigInt = 16,
    dbVarBinary = 17,
    dbChar = 18,
    dbNumeric = 19,
    dbDecimal = 20,
    dbFloat = 21,
    dbTime = 22,
    dbTimeStamp = 23,
    dbAttachment = 101,
    dbComplexByte = 102,
    dbComplexInteger = 103,
    dbComplexLong = 104,
    dbComplexSingle = 105,
    dbComplexDouble = 106,
    dbComplexGUID = 107,
    dbComplexDecimal = 108,
    dbComplexText = 109,
};

// Field.Attributes bits.
constexpr long dbFixedField = 0x1;
constexpr long dbVariableField = 0x2;
constexpr long dbAutoIncrField = 0x10;
constexpr long dbUpdatableField = 0x20;
constexpr long dbSystemField = 0x2000;
constexpr long dbHyperlinkField = 0x8000;
constexpr long dbDescending = 0x1; // index fields

// TableDef.Attributes bits.
constexpr long dbAttachExclusive = 0x10000;
constexpr long dbAttachSavePWD = 0x20000;
constexpr long dbSystemObject = static_cast<long>(0x80000002u);
constexpr long dbAttachedTable = 0x40000000;
constexpr long dbAttachedODBC = 0x20000000;
constexpr long dbHiddenObject = 0x1;

// OpenRecordset Type and Options.
constexpr short dbOpenTable = 1;
constexpr short dbOpenDynaset = 2;
constexpr short dbOpenSnapshot = 4;
constexpr short dbOpenForwardOnly = 8;
constexpr long dbDenyWrite = 0x1;
constexpr long dbDenyRead = 0x2;
constexpr long dbReadOnly = 0x4;
constexpr long dbAppendOnly = 0x8;

// QueryDef.Type.
constexpr short dbQSelect = 0;
constexpr short dbQCrosstab = 16;
constexpr short dbQDelete = 32;
constexpr short dbQUpdate = 48;
constexpr short dbQAppend = 64;
constexpr short dbQMakeTable = 80;
constexpr short dbQDDL = 96;
constexpr short dbQSQLPassThrough = 112;
constexpr short dbQSetOperation = 128;

// Relation.Attributes bits.
constexpr long dbRelationUnique = 0x1;
constexpr long dbRelationDontEnforce = 0x2;
constexpr long dbRelationInherited = 0x4;
constexpr long dbRelationUpdateCascade = 0x100;
constexpr long dbRelationDeleteCascade = 0x1000;
constexpr long dbRelationLeft = 0x1000000;
constexpr long dbRelationRight = 0x2000000;

// Engine error numbers used by this layer (Error.Number; HRESULT 0x800A0000 | number).
enum DAOErrorNumber : long {
    daoErrNoCurrentRecord = 3021,       // "No current record."
    daoErrFileNotFound = 3024,          // "Could not find file '<path>'."
    daoErrBadAccount = 3029,            // "Not a valid account name or password."
    daoErrBadPassword = 3031,           // "Not a valid password."
    daoErrIO = 3043,
    daoErrCorrupt = 3049,
    daoErrTooFewParameters = 3061,      // "Too few parameters. Expected <n>."
    daoErrSyntaxInExpression = 3075,    // "Syntax error ... in query expression '<expr>'."
    daoErrInputNotFound = 3078,         // "... cannot find the input table or query '<name>'. ..."
    daoErrUndefinedFunction = 3085,     // "Undefined function '<name>' in expression."
    daoErrNoReadPermission = 3112,      // "Record(s) cannot be read; no read permission on '<name>'."
    daoErrInvalidSQL = 3129,            // "Invalid SQL statement; expected 'DELETE', ..."
    daoErrSyntaxInFrom = 3131,          // "Syntax error in FROM clause."
    daoErrSelectSyntax = 3141,          // "The SELECT statement includes a reserved word ..."
    daoErrBadWorkgroup = 3173,          // the workgroup information file cannot be used
    daoErrInvalidOperation = 3219,      // "Invalid operation."
    daoErrNotSupported = 3251,          // "Operation is not supported for this type of object."
    daoErrItemNotFound = 3265,          // "Item not found in this collection."
    daoErrPropertyNotFound = 3270,      // "Property not found."
    daoErrUnrecognizedFormat = 3343,    // "Unrecognized database format '<path>'."
};
constexpr HRESULT dao_hresult(long number) { return static_cast<HRESULT>(0x800A0000u | (static_cast<uint32_t>(number) & 0xFFFFu)); }

// ---------------------------------------------------------------------------
// Interfaces. All are dual (derive from IDispatch); only the members below are served.

// The engine: workgroup file, workspaces, opening databases, the error collection.
struct DAODBEngine : IDispatch {
    virtual HRESULT get_Version(BSTR* pbstr) = 0;
    virtual HRESULT get_SystemDB(BSTR* pbstr) = 0;
    virtual HRESULT put_SystemDB(BSTR bstr) = 0;
    virtual HRESULT get_DefaultUser(BSTR* pbstr) = 0;
    virtual HRESULT put_DefaultUser(BSTR bstr) = 0;
    virtual HRESULT put_DefaultPassword(BSTR bstr) = 0;
    virtual HRESULT get_Errors(DAOErrors** ppErrs) = 0;
    // Workgroup security as enforced here: SystemDB must name a workgroup information file ("Jet System
    // DB  " at offset 4, or the Access 2.0 forms) or error 3173 follows when a workspace is made; the
    // user must be an account (not a group) in its MSysAccounts, read through the file reader, or error
    // 3029 follows. Stored account passwords are kept in a form whose encoding is not public, so they
    // are not verified, except in the blank workgroup images below and without SystemDB, where the one
    // account "admin" has the empty password. Object permissions (MSysACEs) are not enforced: every
    // account may read every table. OpenDatabase on the engine logs on as the user of the last workspace
    // made (else DefaultUser). The database password (";pwd=" in Connect) is always checked (3031).
    // UseType is ignored (always a Jet workspace).
    virtual HRESULT CreateWorkspace(BSTR Name, BSTR UserName, BSTR Password, VARIANT UseType, DAOWorkspace** ppwrk) = 0;
    // The three-argument form of older engines.
    virtual HRESULT _30_CreateWorkspace(BSTR Name, BSTR UserName, BSTR Password, DAOWorkspace** ppwrk) = 0;
    // Opens in the default workspace (default user, "admin" unless set).
    virtual HRESULT OpenDatabase(BSTR Name, VARIANT Options, VARIANT ReadOnly, VARIANT Connect, DAODatabase** ppdb) = 0;
    // Makes a new file: this engine's format (Access 95/97 class: Access 97 .mdb in code page 1252; Access
    // 2000 class: Jet4 .mdb; ACE class: Access 2007 .accdb), or dbVersion30 (32) / dbVersion40 (64) /
    // dbVersion120 (128) in Option. An existing file: 3204.
    virtual HRESULT CreateDatabase(BSTR Name, BSTR Locale, VARIANT Option, DAODatabase** ppdb) = 0;
};
using DBEngine = DAODBEngine;

// A session of one user of the workgroup.
struct DAOWorkspace : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_UserName(BSTR* pbstr) = 0;
    virtual HRESULT OpenDatabase(BSTR Name, VARIANT Options, VARIANT ReadOnly, VARIANT Connect, DAODatabase** ppdb) = 0;
    virtual HRESULT CreateDatabase(BSTR Name, BSTR Locale, VARIANT Option, DAODatabase** ppdb) = 0;
    virtual HRESULT Close() = 0;
};
using Workspace = DAOWorkspace;

// An open database.
struct DAODatabase : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_Connect(BSTR* pbstr) = 0;
    virtual HRESULT get_Version(BSTR* pbstr) = 0;
    virtual HRESULT get_Updatable(VARIANT_BOOL* pb) = 0;
    virtual HRESULT get_TableDefs(DAOTableDefs** ppTdfs) = 0;
    virtual HRESULT get_QueryDefs(DAOQueryDefs** ppQdfs) = 0;
    virtual HRESULT get_Relations(DAORelations** ppRels) = 0;
    virtual HRESULT get_Properties(DAOProperties** ppProps) = 0;
    // A query definition; an empty Name makes a temporary one (not added to QueryDefs). SQLText must
    // be a SELECT (error 3129 otherwise) that compiles (3075, 3131, 3141, 3078, 3061, ...).
    //
    // Access SQL as run here (through SQLite over the file reader): SELECT [DISTINCT|DISTINCTROW]
    // [TOP n [PERCENT]], joins (INNER/LEFT/RIGHT, nested in parentheses), subqueries, UNION [ALL],
    // GROUP BY/HAVING, ORDER BY, PARAMETERS (undeclared values: 3061), TRANSFORM ... PIVOT [IN (...)],
    // saved queries used as tables. [names], 'text' and "text" (text, as in Access), #dates# (US order
    // or year-month-day), {guid {...}}, True/False/Null, & and + as Access joins text, / \ Mod ^, Like with
    // * ? # [..] [!..] (ALike with % _), text compared without regard to case. Functions: IIf Nz Len Left
    // Right Mid InStr UCase LCase Trim LTrim RTrim Space Chr Asc StrComp Replace Format Year Month Day
    // Hour Minute Second Weekday Date Now Time DateAdd DateDiff DatePart DateSerial TimeSerial DateValue
    // CInt CLng CDbl CSng CStr CDate CBool CCur Val Abs Int Fix Round Sgn Sqr IsNull IsNumeric IsDate,
    // aggregates Count Sum Avg Min Max First Last StDev StDevP Var VarP. Result columns are named as
    // Access names them (alias, column name, SumOfX for an aggregate of one column, else Expr1000 ...).
    // TOP n keeps the rows that tie with the n-th. DISTINCTROW keeps every row of one table and reads as
    // DISTINCT over a join (exact when the columns chosen include a key). Computed currency and decimal
    // values travel as doubles (15 digits); columns read directly keep their exact values.
    virtual HRESULT CreateQueryDef(VARIANT Name, VARIANT SQLText, _DAOQueryDef** ppqdf) = 0;
    // Name: a table, a saved query or a SELECT text.
    virtual HRESULT OpenRecordset(BSTR Name, VARIANT Type, VARIANT Options, VARIANT LockEdit, DAORecordset** pprst) = 0;
    virtual HRESULT Close() = 0;
    // Writing (databases made by CreateDatabase; 3251 on opened files): new definitions to append.
    virtual HRESULT CreateTableDef(VARIANT Name, VARIANT Attributes, VARIANT SourceTableName, VARIANT Connect, _DAOTableDef** pptdf) = 0;
    virtual HRESULT CreateRelation(VARIANT Name, VARIANT Table, VARIANT ForeignTable, VARIANT Attributes, _DAORelation** pprel) = 0;
    virtual HRESULT Execute(BSTR Query, VARIANT Options) = 0;
};

struct DAOTableDefs : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    virtual HRESULT get_Item(VARIANT Item, _DAOTableDef** pptdf) = 0;
    virtual HRESULT Append(IDispatch* Object) = 0;
    virtual HRESULT Delete(BSTR Name) = 0;
    virtual HRESULT Refresh() = 0;
};

// A table's definition (local, linked or system).
struct _DAOTableDef : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_Attributes(long* pl) = 0;
    virtual HRESULT get_Connect(BSTR* pbstr) = 0;
    virtual HRESULT get_SourceTableName(BSTR* pbstr) = 0;
    virtual HRESULT get_DateCreated(VARIANT* pvar) = 0;
    virtual HRESULT get_LastUpdated(VARIANT* pvar) = 0;
    // Rows counted by reading (-1 for linked tables).
    virtual HRESULT get_RecordCount(long* pl) = 0;
    virtual HRESULT get_Updatable(VARIANT_BOOL* pb) = 0;
    virtual HRESULT get_Fields(DAOFields** ppflds) = 0;
    virtual HRESULT get_Indexes(DAOIndexes** ppidxs) = 0;
    virtual HRESULT get_Properties(DAOProperties** ppProps) = 0;
    virtual HRESULT OpenRecordset(VARIANT Type, VARIANT Options, DAORecordset** pprst) = 0;
    // Writing (databases made by CreateDatabase): new fields and indexes to append (3251 on opened files).
    virtual HRESULT CreateField(VARIANT Name, VARIANT Type, VARIANT Size, _DAOField** ppfld) = 0;
    virtual HRESULT CreateIndex(VARIANT Name, _DAOIndex** ppidx) = 0;
};

struct DAOQueryDefs : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    virtual HRESULT get_Item(VARIANT Item, _DAOQueryDef** ppqdef) = 0;
    virtual HRESULT Append(IDispatch* Object) = 0;
    virtual HRESULT Delete(BSTR Name) = 0;
    virtual HRESULT Refresh() = 0;
};

// A saved or temporary query.
struct _DAOQueryDef : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_SQL(BSTR* pbstr) = 0;
    virtual HRESULT put_SQL(BSTR bstr) = 0;
    virtual HRESULT get_Type(short* pi) = 0;
    virtual HRESULT get_Updatable(VARIANT_BOOL* pb) = 0;
    // The result columns (compiles the SQL; a query that does not compile fails with its error).
    virtual HRESULT get_Fields(DAOFields** ppflds) = 0;
    virtual HRESULT get_Properties(DAOProperties** ppProps) = 0;
    virtual HRESULT OpenRecordset(VARIANT Type, VARIANT Options, VARIANT LockEdit, DAORecordset** pprst) = 0;
    virtual HRESULT Close() = 0;
};

// Rows of a table or query, with a current row.
struct DAORecordset : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_Type(short* pi) = 0;
    virtual HRESULT get_BOF(VARIANT_BOOL* pb) = 0;
    virtual HRESULT get_EOF(VARIANT_BOOL* pb) = 0;
    // The number of rows (counted when first asked).
    virtual HRESULT get_RecordCount(long* pl) = 0;
    virtual HRESULT get_AbsolutePosition(long* pl) = 0;
    virtual HRESULT get_Updatable(VARIANT_BOOL* pb) = 0;
    virtual HRESULT get_Fields(DAOFields** ppflds) = 0;
    // The value of a column of the current row by position or name.
    virtual HRESULT get_Collect(VARIANT Item, VARIANT* pvar) = 0;
    virtual HRESULT MoveFirst() = 0;
    virtual HRESULT MoveLast(long Options) = 0;
    virtual HRESULT MoveNext() = 0;
    virtual HRESULT MovePrevious() = 0;
    virtual HRESULT Move(long Rows, VARIANT StartBookmark) = 0;
    virtual HRESULT Close() = 0;
    // Appending (recordsets opened with dbAppendOnly on a database made by CreateDatabase; 3251 otherwise).
    virtual HRESULT AddNew() = 0;
    virtual HRESULT Update(long UpdateType, VARIANT_BOOL Force) = 0;
    virtual HRESULT put_Collect(VARIANT Item, VARIANT value) = 0;
};

struct DAOFields : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    virtual HRESULT get_Item(VARIANT Item, _DAOField** ppfld) = 0;
    virtual HRESULT Append(IDispatch* Object) = 0;
    virtual HRESULT Delete(BSTR Name) = 0;
    virtual HRESULT Refresh() = 0;
};

// A column of a definition (table, query, index, relation) or of a recordset. Value and put_Value
// work on recordset fields only (3219 on a definition).
struct _DAOField : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_Type(short* ps) = 0;
    // Characters for text, bytes otherwise, 0 for memo, long binary and complex columns.
    virtual HRESULT get_Size(long* pl) = 0;
    virtual HRESULT get_Attributes(long* pl) = 0;
    virtual HRESULT get_OrdinalPosition(short* ps) = 0;
    virtual HRESULT get_Required(VARIANT_BOOL* pb) = 0;
    virtual HRESULT get_AllowZeroLength(VARIANT_BOOL* pb) = 0;
    // The default as Access shows it (expression text, VT_BSTR), empty text when none.
    virtual HRESULT get_DefaultValue(VARIANT* pvar) = 0;
    virtual HRESULT get_ValidationRule(BSTR* pbstr) = 0;
    virtual HRESULT get_SourceTable(BSTR* pbstr) = 0;
    virtual HRESULT get_SourceField(BSTR* pbstr) = 0;
    // Relation fields: the column of the foreign table.
    virtual HRESULT get_ForeignName(BSTR* pbstr) = 0;
    virtual HRESULT get_Value(VARIANT* pvar) = 0;
    virtual HRESULT get_Properties(DAOProperties** ppProps) = 0;
    // Writing: on new definitions (fields of new table definitions, indexes and relations) only.
    virtual HRESULT put_Value(VARIANT val) = 0;
    virtual HRESULT put_Required(VARIANT_BOOL b) = 0;
    virtual HRESULT put_AllowZeroLength(VARIANT_BOOL b) = 0;
    virtual HRESULT put_DefaultValue(VARIANT var) = 0;
    virtual HRESULT put_Attributes(long l) = 0;
    virtual HRESULT put_ForeignName(BSTR bstr) = 0;
    // Not in DAO: Value into a VARIANT the caller keeps from row to row, which holds an earlier
    // value: it is released, or for a text followed by a text its storage is reused. Left VT_EMPTY
    // on failure.
    virtual HRESULT ReadValue(VARIANT* pvar)
    {
        if (!pvar) return E_POINTER;
        VariantClear(pvar);
        return get_Value(pvar);
    }
    // Not in DAO: whether the text last read (Value or ReadValue) lost a byte that the file holds:
    // stored as UTF-16 of odd length, its last byte is no character and was dropped.
    virtual HRESULT get_TextCutShort(VARIANT_BOOL* pb)
    {
        if (!pb) return E_POINTER;
        *pb = VARIANT_FALSE;
        return S_OK;
    }
};

struct DAOIndexes : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    virtual HRESULT get_Item(VARIANT Item, _DAOIndex** ppidx) = 0;
    virtual HRESULT Append(IDispatch* Object) = 0;
    virtual HRESULT Delete(BSTR Name) = 0;
    virtual HRESULT Refresh() = 0;
};

struct _DAOIndex : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_Primary(VARIANT_BOOL* pprimary) = 0;
    virtual HRESULT get_Unique(VARIANT_BOOL* punique) = 0;
    virtual HRESULT get_Foreign(VARIANT_BOOL* pbool) = 0;
    virtual HRESULT get_Required(VARIANT_BOOL* pbool) = 0;
    virtual HRESULT get_IgnoreNulls(VARIANT_BOOL* pbool) = 0;
    virtual HRESULT get_Clustered(VARIANT_BOOL* pbool) = 0;
    // An automation object (VT_DISPATCH) serving DAOIndexFields; its items serve _DAOField.
    virtual HRESULT get_Fields(VARIANT* pv) = 0;
    virtual HRESULT get_Properties(DAOProperties** ppProps) = 0;
    // Writing: on new indexes only (3251 on indexes read from a file).
    virtual HRESULT put_Primary(VARIANT_BOOL b) = 0;
    virtual HRESULT put_Unique(VARIANT_BOOL b) = 0;
    virtual HRESULT CreateField(VARIANT Name, VARIANT Type, VARIANT Size, _DAOField** ppfld) = 0;
};

// The columns of an index, in index order. Items are automation objects (VT_DISPATCH) serving _DAOField.
struct DAOIndexFields : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    virtual HRESULT get_Item(VARIANT Item, VARIANT* pvar) = 0;
    virtual HRESULT Append(IDispatch* Object) = 0;
    virtual HRESULT Refresh() = 0;
};

struct DAORelations : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    virtual HRESULT get_Item(VARIANT Item, _DAORelation** pprel) = 0;
    virtual HRESULT Append(IDispatch* Object) = 0;
    virtual HRESULT Delete(BSTR Name) = 0;
    virtual HRESULT Refresh() = 0;
};

// A relationship: Table is the primary (referenced) side, ForeignTable the referencing side; each
// field's Name is a column of Table and its ForeignName the matching column of ForeignTable.
struct _DAORelation : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_Table(BSTR* pbstr) = 0;
    virtual HRESULT get_ForeignTable(BSTR* pbstr) = 0;
    virtual HRESULT get_Attributes(long* pl) = 0;
    virtual HRESULT get_Fields(DAOFields** ppflds) = 0;
    virtual HRESULT CreateField(VARIANT Name, VARIANT Type, VARIANT Size, _DAOField** ppfld) = 0;
};

struct DAOProperties : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    // A name that is not there: 3270 "Property not found.".
    virtual HRESULT get_Item(VARIANT Item, DAOProperty** ppprop) = 0;
    virtual HRESULT Refresh() = 0;
};

struct DAOProperty : IDispatch {
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT get_Value(VARIANT* pval) = 0;
    virtual HRESULT get_Type(short* ptype) = 0;
    virtual HRESULT get_Inherited(VARIANT_BOOL* pb) = 0;
    virtual HRESULT put_Value(VARIANT val) = 0;
};

struct DAOErrors : IDispatch {
    virtual HRESULT get_Count(short* c) = 0;
    virtual HRESULT get_Item(VARIANT Item, DAOError** pperr) = 0;
    virtual HRESULT Refresh() = 0;
};

struct DAOError : IDispatch {
    virtual HRESULT get_Number(long* pl) = 0;
    virtual HRESULT get_Source(BSTR* pbstr) = 0;
    virtual HRESULT get_Description(BSTR* pbstr) = 0;
};

// ---------------------------------------------------------------------------
// Identifiers.
inline constexpr IID IID_DAODBEngine = {0x00000021, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
inline constexpr IID IID_DAOWorkspace = {0x5A1E0001, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAODatabase = {0x5A1E0002, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOTableDefs = {0x5A1E0003, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID__DAOTableDef = {0x5A1E0004, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOQueryDefs = {0x5A1E0005, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID__DAOQueryDef = {0x5A1E0006, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAORecordset = {0x5A1E0007, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOFields = {0x5A1E0008, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID__DAOField = {0x5A1E0009, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOIndexes = {0x5A1E000A, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID__DAOIndex = {0x5A1E000B, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOIndexFields = {0x5A1E000C, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAORelations = {0x5A1E000D, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID__DAORelation = {0x5A1E000E, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOProperties = {0x5A1E000F, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOProperty = {0x5A1E0010, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOErrors = {0x5A1E0011, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};
inline constexpr IID IID_DAOError = {0x5A1E0012, 0x7D31, 0x4C2B, {0x9A, 0x3E, 0x44, 0x61, 0x72, 0x61, 0x76, 0x01}};

// Engine classes, one per generation: Access 95/97 files; Access 2000 (and 97) files; every format.
inline constexpr CLSID CLSID_DAODBEngine35 = {0x00000100, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
inline constexpr CLSID CLSID_DAODBEngine36 = {0x00000100, 0x0000, 0x0100, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
inline constexpr CLSID CLSID_DAODBEngine120 = {0xCD7791B9, 0x43FD, 0x42C5, {0xAE, 0x42, 0x8D, 0xD2, 0x81, 0x1F, 0x04, 0x19}};

template <> struct com_iid_of<DAODBEngine> { static constexpr const IID& value = IID_DAODBEngine; };
template <> struct com_iid_of<DAOWorkspace> { static constexpr const IID& value = IID_DAOWorkspace; };
template <> struct com_iid_of<DAODatabase> { static constexpr const IID& value = IID_DAODatabase; };
template <> struct com_iid_of<DAOTableDefs> { static constexpr const IID& value = IID_DAOTableDefs; };
template <> struct com_iid_of<_DAOTableDef> { static constexpr const IID& value = IID__DAOTableDef; };
template <> struct com_iid_of<DAOQueryDefs> { static constexpr const IID& value = IID_DAOQueryDefs; };
template <> struct com_iid_of<_DAOQueryDef> { static constexpr const IID& value = IID__DAOQueryDef; };
template <> struct com_iid_of<DAORecordset> { static constexpr const IID& value = IID_DAORecordset; };
template <> struct com_iid_of<DAOFields> { static constexpr const IID& value = IID_DAOFields; };
template <> struct com_iid_of<_DAOField> { static constexpr const IID& value = IID__DAOField; };
template <> struct com_iid_of<DAOIndexes> { static constexpr const IID& value = IID_DAOIndexes; };
template <> struct com_iid_of<_DAOIndex> { static constexpr const IID& value = IID__DAOIndex; };
template <> struct com_iid_of<DAOIndexFields> { static constexpr const IID& value = IID_DAOIndexFields; };
template <> struct com_iid_of<DAORelations> { static constexpr const IID& value = IID_DAORelations; };
template <> struct com_iid_of<_DAORelation> { static constexpr const IID& value = IID__DAORelation; };
template <> struct com_iid_of<DAOProperties> { static constexpr const IID& value = IID_DAOProperties; };
template <> struct com_iid_of<DAOProperty> { static constexpr const IID& value = IID_DAOProperty; };
template <> struct com_iid_of<DAOErrors> { static constexpr const IID& value = IID_DAOErrors; };
template <> struct com_iid_of<DAOError> { static constexpr const IID& value = IID_DAOError; };

// ---------------------------------------------------------------------------
// Installation and test hooks (not part of the object model).

// Registers the three engine classes (idempotent). Called by the inline variable below, so any
// program that includes this header has them.
bool dao_register_engines();
inline const bool dao_engines_registered = dao_register_engines();

// Test hook: makes an engine class unavailable (CoCreateInstance then fails with REGDB_E_CLASSNOTREG)
// or available again.
void dao_set_engine_available(REFCLSID clsid, bool available);

// A blank workgroup information file: 131,072 bytes in the Access 95/97 format (jet3 = true) or
// 143,360 bytes in the later format, both with "Jet System DB  " at offset 4. The engine accepts such
// a file as SystemDB; it holds the one account "admin" with an empty password.
std::vector<uint8_t> dao_blank_workgroup_image(bool jet3);

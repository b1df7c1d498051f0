// The Access engine: engine generation, workgroup security, opening Access databases; its error type.
#pragma once
#include <memory>
#include <string>

#include "OLE/ole_ptr.h"
#include "TK/tk_excep.h"
#include "TK/tk_singl.h"
#include "UDB/udb_db.h"
#include "dao/dao_gen.h"
#include "platform/com/oleauto.h"
#include "platform/dao/daoapi.h"

// An error of the Access engine: the description of the first entry of the engine's error
// collection, code 0x10000 plus the low word of its number, level 0 (recoverable).
class dao_exception : public tk_exception {
public:
    // Reads the registered engine's current error; when that cannot be read a plain
    // tk_exception of level 1 is thrown instead.
    dao_exception();
    // Names the file the error is about, unless the message already does.
    void name_file(const std::wstring& path);
};

// The database file needs an engine generation that cannot be loaded.
struct dao_required_exception {
};

// Owns one BSTR handed to or filled by engine calls.
class dao_bstr {
public:
    dao_bstr();
    explicit dao_bstr(const std::wstring& text);
    // Text in the ANSI code page.
    explicit dao_bstr(const std::string& text);
    // A password: the trace line does not show it.
    static dao_bstr secret(const std::wstring& text);
    ~dao_bstr();
    dao_bstr(const dao_bstr&) = delete;
    dao_bstr& operator=(const dao_bstr&) = delete;

    // The BSTR itself, for arguments.
    operator BSTR();
    // The address of the slot, for out-parameters; a held string is freed first.
    BSTR* operator&();
    // The held text (empty for a null BSTR).
    std::wstring to_wstring() const;

private:
    struct quiet {};
    dao_bstr(const std::wstring& text, quiet);

    BSTR m_bstr = nullptr;
};

// Which engine generation a database file needs.
class extract_dao_version {
public:
    virtual ~extract_dao_version() = default;
    // 1 for Access 7.0/97 files, 0 for Access 2000 files, 3 for Access 2007 and later.
    virtual int get_version() = 0;
};

// The engine generation read from the format byte of an Access file.
class acc_dao_version : public extract_dao_version {
public:
    explicit acc_dao_version(const std::wstring& path);
    // Fails (level 1) with "File '%s' does not exist." for a missing file, with the system's
    // reason for a file that cannot be opened, and with "File '%s' does not comply with MS
    // Access format." for a short file.
    int get_version() override;

private:
    std::wstring m_path;
};

// One engine generation: its number, DBEngine class and interface.
struct dao_engine_version {
    int version;
    CLSID clsid;
    IID iid;
};
// Searched in this order; version 4 stands for "none loaded".
extern const dao_engine_version dao_engine_versions[4];
constexpr int dao_no_version = 4;

// Open modes understood by the Access reader.
constexpr int dao_mode_read_only = 0x01;
constexpr int dao_mode_exclusive = 0x10;
constexpr int dao_mode_skip_relationships = 0x60;
constexpr int dao_mode_skip_queries = 0x80;

// The process-wide owner of the Access engine: loads one generation, applies workgroup security
// or a blank workgroup file, and opens databases as dao_database objects.
class dao_engine : public udb_engine, public tk_singleton<dao_engine> {
public:
    // uninit_on_exit: release the engine in the destructor; com_ready: the caller has
    // initialised COM (the engine neither initialises nor uninitialises it).
    dao_engine(int uninit_on_exit, int com_ready);
    ~dao_engine() override;

    // Loads the engine of one generation (unloading the current one); false when it is
    // not available.
    bool set_version_if(int version);
    // Loads the engine that the database file needs, with fallbacks to later generations.
    // Throws dao_required_exception when an Access 2007+ file finds no engine.
    void set_version_smart(const std::wstring& path);
    // Applies user-level security when both the workgroup file and the user are given.
    void set_ugl_info(const std::wstring& system_db, const std::wstring& user,
                      const std::wstring& password);
    // Writes a blank workgroup file and makes it the engine's workgroup.
    void set_anonymous_sys_db();

    // A new Access file in the loaded generation's format, open for writing; the caller owns it.
    std::unique_ptr<udb_database> create_db(const std::wstring& path) override;
    // Opens a database (mode bits: 0x01 read-only, 0x10 exclusive, 0x20/0x40 skip the
    // relationships, 0x80 skip the queries); the caller owns the result.
    std::unique_ptr<udb_database> open_db(const std::wstring& path, int mode,
                                          const std::wstring& password) override;

    int get_version() const { return m_version; }
    // The loaded engine; null while none is loaded.
    DAODBEngine* get_engine() const { return m_engine; }
    const dao_generator& get_generator() const { return m_generator; }

private:
    void uninitialize();

    DAODBEngine* m_engine = nullptr;
    DAOWorkspace* m_workspace = nullptr;
    int m_version = dao_no_version;
    dao_generator m_generator;
    int m_uninit_on_exit;
    int m_com_ready;
};

// Is the file an Access workgroup information file? A missing file fails as a file that
// cannot be opened.
bool dao_check_sysdb(const std::wstring& path);

// The three rules of every engine call: a failed call throws dao_exception; a call that
// succeeds without an interface throws tk_exception (level 1, "Unknown exception").
inline void dao_call(HRESULT hr)
{
    if (FAILED(hr))
        throw dao_exception();
}
template <class I>
inline void dao_call(HRESULT hr, const ole_com_ptr<I>& result)
{
    if (FAILED(hr))
        throw dao_exception();
    if (result.is_empty())
        throw tk_exception(1);
}

// Makes the holder keep a reference of its own to p (null leaves it empty); returns the
// interface's reference count after the AddRef.
template <class I>
inline ULONG dao_hold(ole_com_ptr<I>& holder, I* p)
{
    ULONG refs = p ? p->AddRef() : 0;
    *(&holder) = p;
    return refs;
}

// Argument VARIANTs for engine calls.
VARIANT dao_var_bool(bool value);
VARIANT dao_var_int(int value);
// A VT_BSTR VARIANT owning a copy of the text (VariantClear it).
VARIANT dao_var_text(const std::wstring& text);
// An omitted optional argument.
VARIANT dao_var_missing();

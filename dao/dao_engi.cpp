#include "dao/dao_engi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "TK/tk_file.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "dao/dao_db.h"

// ---------------------------------------------------------------------------------------------
// Engine generations.

const dao_engine_version dao_engine_versions[4] = {
    {2, CLSID_DAODBEngine35, IID_DAODBEngine},
    {1, CLSID_DAODBEngine35, IID_DAODBEngine},
    {0, CLSID_DAODBEngine36, IID_DAODBEngine},
    {3, CLSID_DAODBEngine120, IID_DAODBEngine},
};

namespace {

constexpr uint32_t engine_class_context = 0x17;

const char* const no_engine_text =
    "Failed to load Data Access Objects (DAO) support library.\n"
    "Microsoft Access installation is required to proceed with\n"
    "the application.\n";

// A password shown in the log: never its text.
const wchar_t* masked(const std::wstring& password)
{
    return password.empty() ? L"" : L"********";
}

// A value as the connect text carries it: in braces ("}" doubled) when it holds a ";" or starts
// with "{", which would otherwise end it early or be read as braces.
std::wstring connect_text_value(const std::wstring& v)
{
    if (v.find(L';') == std::wstring::npos && (v.empty() || v.front() != L'{'))
        return v;
    return tk_enclose(v, L'{', L'}');
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Argument VARIANTs.

VARIANT dao_var_bool(bool value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

VARIANT dao_var_int(int value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT dao_var_text(const std::wstring& text)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<unsigned>(text.size()));
    return v;
}

VARIANT dao_var_missing()
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

// ---------------------------------------------------------------------------------------------
// dao_exception

dao_exception::dao_exception() : tk_exception(0)
{
    set_level(0);
    tk_log_write(2, "dao_exception::dao_exception");
    DAODBEngine* engine = tk_singleton<dao_engine>::ref().get_engine();
    if (!engine)
        TK_MAIL_ASSERT();

    ole_com_ptr<DAOErrors> errors;
    if (FAILED(engine->get_Errors(&errors)) || errors.is_empty()) {
        tk_log_write(1, "Failed on step #1");
        throw tk_exception(1);
    }
    ole_com_ptr<DAOError> error;
    VARIANT first = dao_var_int(0);
    if (FAILED(errors->get_Item(first, &error)) || error.is_empty()) {
        tk_log_write(1, "Failed on step #2");
        throw tk_exception(1);
    }
    dao_bstr description;
    if (FAILED(error->get_Description(&description))) {
        tk_log_write(1, "Failed on step #3");
        throw tk_exception(1);
    }
    long number = 0;
    if (FAILED(error->get_Number(&number))) {
        tk_log_write(1, "Failed on step #4");
        throw tk_exception(1);
    }
    const std::string text = tk_to_ansi_text(description.to_wstring());
    set_message(text);
    tk_log_write(2, "Got error: %s", text.c_str());
    set_code(static_cast<std::int32_t>((static_cast<uint32_t>(number) & 0xFFFFu) | 0x10000u));
    tk_log_write(2, "Got error code: %08X", static_cast<unsigned>(code()));
}

// ---------------------------------------------------------------------------------------------
// dao_bstr

dao_bstr::dao_bstr() = default;

dao_bstr::dao_bstr(const std::wstring& text)
    : m_bstr(SysAllocStringLen(text.data(), static_cast<unsigned>(text.size())))
{
    tk_log_write_w(1, L"dao_bstr::ctor( wstring=%s )", text.c_str());
}

dao_bstr::dao_bstr(const std::wstring& text, quiet)
    : m_bstr(SysAllocStringLen(text.data(), static_cast<unsigned>(text.size())))
{
    tk_log_write_w(1, L"dao_bstr::ctor( wstring=%s )", masked(text));
}

dao_bstr dao_bstr::secret(const std::wstring& text)
{
    return dao_bstr(text, quiet{});
}

dao_bstr::dao_bstr(const std::string& text)
{
    tk_log_write(1, "dao_bstr::ctor( string=%s )", text.c_str());
    std::wstring wide = tk_to_wstring(text);
    m_bstr = SysAllocStringLen(wide.data(), static_cast<unsigned>(wide.size()));
}

dao_bstr::~dao_bstr()
{
    SysFreeString(m_bstr);
}

dao_bstr::operator BSTR()
{
    tk_log_write(1, "dao_bstr::operator BSTR");
    return m_bstr;
}

BSTR* dao_bstr::operator&()
{
    tk_log_write(1, "dao_bstr::operator BSTR");
    SysFreeString(m_bstr);
    m_bstr = nullptr;
    return &m_bstr;
}

std::wstring dao_bstr::to_wstring() const
{
    return m_bstr ? std::wstring(m_bstr, SysStringLen(m_bstr)) : std::wstring();
}

// ---------------------------------------------------------------------------------------------
// acc_dao_version

acc_dao_version::acc_dao_version(const std::wstring& path) : m_path(path)
{
}

int acc_dao_version::get_version()
{
    tk_log_write(2, "acc_dao_version::get_version");
    const std::string path = tk_to_ansi_text(m_path);
    const char* const not_access = "File '%s' does not comply with MS Access format.";

    // A pipe or a device would hang the read or never end: only a plain file is a database.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw tk_exception("File '%s' is not a regular file.", path.c_str(), 1);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        // Say why: a file that is not there, or one that may not be read, is no format question.
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            throw tk_exception("File '%s' does not exist.", path.c_str(), 1);
        throw tk_exception(("Cannot open file '" + path + "': " + std::strerror(error) + ".").c_str(), 1);
    }
    long length = -1;
    int c = EOF;
    if (std::fseek(file, 0, SEEK_END) == 0)
        length = std::ftell(file);
    if (length >= 21 && std::fseek(file, 20, SEEK_SET) == 0)
        c = std::fgetc(file);
    std::fclose(file);
    if (length < 21 || c == EOF)
        throw tk_exception(not_access, path.c_str(), 1);

    tk_log_write(2, "c=%d", c);
    if (c == 0) {
        tk_log_write(2, "This is MS Access 7.0/97 file");
        return 1;
    }
    if (c == 1) {
        tk_log_write(2, "This is MS Access 2000 file");
        return 0;
    }
    // Every later format (2007, 2010, 2016, 2019 and on) needs the newest generation.
    tk_log_write(2, "This is MS Access 2007+ file");
    return 3;
}

// ---------------------------------------------------------------------------------------------
// dao_engine

dao_engine::dao_engine(int uninit_on_exit, int com_ready)
    : m_uninit_on_exit(uninit_on_exit), m_com_ready(com_ready)
{
    tk_log_write(2, "dao_engine::ctor");
    if (!m_com_ready) {
        HRESULT hr = CoInitialize(nullptr);
        if (FAILED(hr)) {
            tk_log_write(2, "CoInitialize failed: hr=%08X", static_cast<unsigned>(hr));
            throw tk_exception("Failed to initialize COM library.", 1);
        }
    }
}

dao_engine::~dao_engine()
{
    try {
        tk_log_write(2, "dao_engine::dtor");
        if (m_uninit_on_exit && m_version != dao_no_version)
            uninitialize();
        if (m_workspace) {
            m_workspace->Release();
            m_workspace = nullptr;
        }
        if (!m_com_ready)
            CoUninitialize();
    } catch (...) {
        // The log writer may fail (a full disk); nothing leaves a destructor.
    }
}

void dao_engine::uninitialize()
{
    tk_log_write(2, "dao_engine::uninitialize");
    if (m_engine) {
        m_engine->Release();
        m_engine = nullptr;
    }
    m_version = dao_no_version;
}

bool dao_engine::set_version_if(int version)
{
    tk_log_write(2, "dao_engine::set_version_if(%d)", version);
    if (m_version != dao_no_version)
        uninitialize();

    const dao_engine_version* row = nullptr;
    for (const auto& r : dao_engine_versions) {
        if (r.version == version) {
            row = &r;
            break;
        }
    }
    if (!row)
        throw tk_mail_assertion("dao_engi", 441);

    void* p = nullptr;
    HRESULT hr = CoCreateInstance(row->clsid, nullptr, engine_class_context, row->iid, &p);
    if (FAILED(hr) || !p) {
        tk_log_write(2, "CoCreateInstance failed: hr=%08X\n", static_cast<unsigned>(hr));
        return false;
    }
    // A fresh engine starts without the workspace of an earlier one.
    if (m_workspace) {
        m_workspace->Release();
        m_workspace = nullptr;
    }
    m_engine = static_cast<DAODBEngine*>(p);
    tk_log_write(2, "CoCreateInstance succeeded!");
    m_version = row->version;
    return true;
}

void dao_engine::set_version_smart(const std::wstring& path)
{
    tk_log_write_w(2, L"dao_engine::set_version_smart(%s)", path.c_str());
    acc_dao_version probe(path);
    const int v = probe.get_version();
    tk_log_write(2, "Got DAO version: %d", v);
    if (v == 3) {
        if (!set_version_if(3))
            throw dao_required_exception();
        return;
    }
    bool loaded = false;
    if (v == 0)
        loaded = set_version_if(0) || set_version_if(3);
    else if (v == 1)
        loaded = set_version_if(1) || set_version_if(0) || set_version_if(3);
    if (!loaded)
        throw tk_exception(no_engine_text, 1);
}

void dao_engine::set_ugl_info(const std::wstring& system_db, const std::wstring& user,
                              const std::wstring& password)
{
    tk_log_write_w(2, L"dao_engine::set_ugl_info(%s,%s,%s)", system_db.c_str(), user.c_str(),
                   masked(password));
    if (m_workspace)
        throw tk_mail_assertion("dao_engi", 113);
    if (system_db.empty() || user.empty())
        return;
    if (!m_engine)
        TK_MAIL_ASSERT();

    dao_bstr sysdb(system_db);
    dao_call(m_engine->put_SystemDB(sysdb));
    dao_bstr name(std::wstring(L"New Workspace"));
    dao_bstr user_name(user);
    dao_bstr pwd = dao_bstr::secret(password);
    ole_com_ptr<DAOWorkspace> workspace;
    dao_call(m_engine->_30_CreateWorkspace(name, user_name, pwd, &workspace), workspace);
    m_workspace = workspace.detach();
}

void dao_engine::set_anonymous_sys_db()
{
    tk_log_write(2, "dao_engine::set_anonymous_sys_db");
    if (!m_engine)
        throw tk_mail_assertion("dao_engi", 138);
    try {
        const std::vector<std::uint8_t>* image = nullptr;
        if (m_version == 0 || m_version == 3)
            image = &blank_system_db::jet4();
        else if (m_version == 1)
            image = &blank_system_db::jet3();
        if (image)
            m_generator.do_generate(image->size(), image->data());
        dao_bstr sysdb(m_generator.get_name());
        dao_call(m_engine->put_SystemDB(sysdb));
    } catch (const tk_exception& e) {
        tk_log_write(2, "Error: %s", e.what());
    }
}

std::unique_ptr<udb_database> dao_engine::create_db(const std::wstring& path)
{
    tk_log_write_w(2, L"dao_engine::create_db (%s)", path.c_str());
    tk_log_write_w(3, L"Creating MS Access database '%s'", path.c_str());
    if (m_version == dao_no_version)
        throw tk_mail_assertion("dao_engi", 163);
    if (!m_engine)
        throw tk_mail_assertion("dao_engi", 166);
    dao_bstr name(path);
    dao_bstr locale(std::wstring(L";LANGID=0x0409;CP=1252;COUNTRY=0"));
    ole_com_ptr<DAODatabase> db;
    const HRESULT hr = m_engine->CreateDatabase(name, locale, dao_var_int(0), &db);
    tk_log_write(2, "CreateDatabase returns %08X", static_cast<unsigned>(hr));
    if (hr == static_cast<HRESULT>(0x800A0E31u)) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "Failed to load Data Access Objects (DAO) support library.\n%s installation is required to proceed\nwith the application.\n",
                      m_version == 0 ? "Microsoft Access 2000" : "Microsoft Access 95/97");
        throw tk_exception(text, 1);
    }
    dao_call(hr, db);
    return std::make_unique<dao_database>(path, db.get(), 0x72);
}

std::unique_ptr<udb_database> dao_engine::open_db(const std::wstring& path, int mode,
                                                  const std::wstring& password)
{
    tk_log_write_w(2, L"dao_engine::open_db(%s, mode=%d)", path.c_str(), mode);
    tk_log_write_w(3, L"Opening MS Access database '%s'", path.c_str());
    if (m_version == dao_no_version)
        throw tk_mail_assertion("dao_engi", 239);
    if (!m_engine)
        throw tk_mail_assertion("dao_engi", 242);

    std::wstring connect;
    if (!password.empty())
        connect = L";pwd=" + connect_text_value(password);

    tk_log_write(2, "Open database using DAO engine");
    dao_bstr name(path);
    VARIANT options = dao_var_bool((mode & dao_mode_exclusive) != 0);
    VARIANT read_only = dao_var_bool((mode & dao_mode_read_only) != 0);
    VARIANT connect_var = dao_var_text(connect);
    ole_com_ptr<DAODatabase> db;
    HRESULT hr;
    // The workspace made for the workgroup user opens as that user; without one the
    // engine's default workspace is used.
    if (m_workspace)
        hr = m_workspace->OpenDatabase(name, options, read_only, connect_var, &db);
    else
        hr = m_engine->OpenDatabase(name, options, read_only, connect_var, &db);
    VariantClear(&connect_var);
    if (FAILED(hr)) {
        // "Not a valid password.", a damaged header...: the user learns which file it is.
        dao_exception e;
        e.name_file(path);
        throw e;
    }
    dao_call(hr, db);
    tk_log_write(2, "Right after OpenDatabase call");
    return std::make_unique<dao_database>(path, db.get(), mode);
}

void dao_exception::name_file(const std::wstring& path)
{
    const std::string name = tk_to_ansi_text(path);
    if (message().find(name) == std::string::npos)
        set_message(message() + " (file '" + name + "')");
}

// ---------------------------------------------------------------------------------------------
// dao_check_sysdb

bool dao_check_sysdb(const std::wstring& path)
{
    const std::string name = tk_to_ansi_text(path);
    tk_log_write(2, "dao_check_sysdb(%s)", name.c_str());
    tk_stdio_file file(name, 0);
    const std::uint64_t length = file.get_length();

    if (length >= 1040) {
        char rich[4];
        file.get_at(1030, 4, rich);
        const bool access2 = std::string(rich, 4) == "Rich" && file.get_word_at(0) == 1 &&
                             file.get_word_at(1038) == 0;
        if (access2 || file.get_dword_at(0) == 0x20532C77u) {
            tk_log_write(2, "Got MS Access 2.0 system database");
            return true;
        }
    }
    if (length <= 20) {
        tk_log_write(2, "Invalid file size");
        return false;
    }
    char header[16];
    file.get_at(4, 16, header);
    static const char expected[16] = {'J', 'e', 't', ' ', 'S', 'y', 's', 't',
                                      'e', 'm', ' ', 'D', 'B', ' ', ' ', '\0'};
    if (std::equal(header, header + 16, expected))
        return true;
    tk_log_write(2, "Failed to find header");
    return false;
}

// Converter settings: defaults, the registry values and the server keys of a profile.
#include "common/acc_conv.h"

#include <sys/stat.h>

#include <cwchar>
#include <utility>

#include "TK/tk_errco.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_prof.h"
#include "platform/win/winreg.h"

namespace {

const wchar_t* const mss_section = L"MS SQL Server settings";

// A missing or empty value leaves the flag; "1" sets it; anything else clears it.
void flag_rule(const udb_profile& profile, const wchar_t* key, bool& flag)
{
    const std::wstring v = profile.get_value(mss_section, key);
    if (!v.empty())
        flag = (v == L"1");
}

void text_rule(const udb_profile& profile, const wchar_t* key, std::wstring& text)
{
    std::wstring v = profile.get_value(mss_section, key);
    if (!v.empty())
        text = std::move(v);
}

const wchar_t* flag_text(bool flag)
{
    return flag ? L"1" : L"0";
}

// Query texts are kept on one line in a profile.
std::wstring one_line(std::wstring text)
{
    for (const wchar_t* brk : {L"\r\n", L"\n", L"\r"}) {
        const std::wstring b(brk);
        for (std::size_t at = text.find(b); at != std::wstring::npos; at = text.find(b, at + 1))
            text.replace(at, b.size(), L" ");
    }
    return text;
}

} // namespace

dravlen_convertor::dravlen_convertor(bool console_form)
    : console_(console_form)
{
    direct = true;
    tk_log_write(1, "dravlen_convertor::ctor");
    serialize(false);
    if (console_) {
        tk_log_write(1, "mss_engine::set_as_dbo(%d)", 0);
        engine.set_as_dbo(false);
    }
}

dravlen_convertor::~dravlen_convertor()
{
    try {
        serialize(true);
    } catch (const std::exception& e) {
        tk_log_write(2, "Error: %s", e.what());
    }
    key.close();
}

bool dravlen_convertor::serialize(bool store)
{
    tk_log_write(1, "serialize( %d )", store ? 1 : 0);
    if (key.create(HKEY_CURRENT_USER, "Software\\Quillbrook\\Veltrane", nullptr, 0, KEY_ALL_ACCESS,
                   nullptr, nullptr) != ERROR_SUCCESS)
        return false;

    bool ok = true;
    if (console_) {
        if (!store) {
            dump_options.comments = true;
            dump_options.create_database = false;
            dump_options.create_table = true;
            dump_options.unicode = true;
        }
        ok &= key.exchange("dmp_ins_com", dump_options.comments, store);
        ok &= key.exchange("dmp_ins_db", dump_options.create_database, store);
        ok &= key.exchange("dmp_ins_tab", dump_options.create_table, store);
        ok &= key.exchange("dmp_unicode", dump_options.unicode, store);
        key.close();
        return ok;
    }

    bool as_dbo = engine.is_as_dbo();
    if (!store) {
        as_dbo = true;
        direct = true;
        dump_options.comments = true;
        dump_options.create_database = false;
        dump_options.create_table = true;
        dump_options.unicode = true;
        secure_login = false;   // Windows authentication needs a Kerberos ticket here
        skip_indexes = false;
        only_definitions = false;
        use_workgroup = false;
        destination_follows = false;   // a destination of an older start stays as it was named
        other_destination_follows = false;
    }
    ok &= key.exchange("as_dbo", as_dbo, store);
    engine.set_as_dbo(as_dbo);
    ok &= key.exchange("dest", destination, store);
    ok &= key.exchange("dest_other", other_destination, store);
    ok &= key.exchange("dest_follows", destination_follows, store);
    ok &= key.exchange("dest_other_follows", other_destination_follows, store);
    ok &= key.exchange("direct", direct, store);
    ok &= key.exchange("dmp_ins_com", dump_options.comments, store);
    ok &= key.exchange("dmp_ins_db", dump_options.create_database, store);
    ok &= key.exchange("dmp_ins_tab", dump_options.create_table, store);
    ok &= key.exchange("dmp_unicode", dump_options.unicode, store);
    ok &= key.exchange("log_file", logfile, store);
    ok &= key.exchange("mssqlh", host, store);
    ok &= key.exchange("mssqlp", password, store);
    ok &= key.exchange("mssqlu", login, store);
    ok &= key.exchange("sec_log", secure_login, store);
    ok &= key.exchange("skip_idx", skip_indexes, store);
    ok &= key.exchange("src", source, store);
    ok &= key.exchange("sysdb path", ugl_file, store);
    ok &= key.exchange("tab_def", only_definitions, store);
    ok &= key.exchange("ugl_user", ugl_user, store);
    ok &= key.exchange("ugl_pswd", ugl_password, store);
    ok &= key.exchange("use_ugl", use_workgroup, store);
    key.close();
    return ok;
}

bool mssql_converter_impl::load_profile(const udb_profile& profile)
{
    tk_log_write(2, "mssql_converter_impl::load_profile");
    text_rule(profile, L"server", host);
    text_rule(profile, L"login", login);
    text_rule(profile, L"password", password);
    flag_rule(profile, L"windows authentication", secure_login);
    const std::wstring dbo = profile.get_value(mss_section, L"connect as DBO");
    if (!dbo.empty()) {
        tk_log_write(1, "mss_engine::set_as_dbo(%d)", dbo == L"1" ? 1 : 0);
        engine.set_as_dbo(dbo == L"1");
    }
    const std::wstring sch = profile.get_value(mss_section, L"schema");
    if (!sch.empty()) {
        schema = sch;
        tk_log_write_w(1, L"mss_schema=%ls", schema.c_str());
    }
    flag_rule(profile, L"dump insert comments", dump_options.comments);
    flag_rule(profile, L"dump create database", dump_options.create_database);
    flag_rule(profile, L"dump create table", dump_options.create_table);
    return true;
}

bool mssql_converter_impl::store_profile(udb_profile& profile) const
{
    tk_log_write(2, "mssql_converter_impl::store_profile");
    if (!host.empty())
        profile.add_value(mss_section, L"server", host);
    if (!login.empty())
        profile.add_value(mss_section, L"login", login);
    if (!password.empty())
        profile.add_value(mss_section, L"password", password);
    profile.add_value(mss_section, L"windows authentication", flag_text(secure_login));
    profile.add_value(mss_section, L"connect as DBO", flag_text(engine.is_as_dbo()));
    if (!schema.empty())
        profile.add_value(mss_section, L"schema", schema);
    profile.add_value(mss_section, L"dump insert comments", flag_text(dump_options.comments));
    profile.add_value(mss_section, L"dump create database", flag_text(dump_options.create_database));
    profile.add_value(mss_section, L"dump create table", flag_text(dump_options.create_table));
    return true;
}

void dravlen_convertor::take_road(bool into_server)
{
    // The console's one destination is the one its command line names, on either road.
    if (into_server != direct && !console_) {
        destination.swap(other_destination);
        std::swap(destination_follows, other_destination_follows);
    }
    direct = into_server;
}

// The profile's road is taken first, so that its destination ("dest", as every profile has it)
// lands on that road and the road left keeps its own.
bool dravlen_convertor::load_profile(const udb_profile& profile)
{
    const std::wstring d = profile.get_value(mss_section, L"direct mode");
    if (!d.empty())
        take_road(d == L"1");
    udb_converter::load_profile(profile);
    // A destination the profile names is the one it was saved with, whatever its source.
    if (!profile.get_value(udb_profile::generic_settings, L"dest").empty())
        destination_follows = false;
    if (!mssql_converter_impl::load_profile(profile))
        return false;
    if (!profile.get_value(mss_section, L"other destination").empty())
        other_destination_follows = false;
    text_rule(profile, L"other destination", other_destination);
    return true;
}

bool dravlen_convertor::store_profile(udb_profile& profile)
{
    // Queries are written with their text on one line; the run list itself stays as it is.
    const name_text_list kept = selected_queries;
    for (auto& entry : selected_queries)
        entry.second = one_line(entry.second);
    try {
        udb_converter::store_profile(profile);
    } catch (...) {
        selected_queries = kept;
        throw;
    }
    selected_queries = kept;
    if (!mssql_converter_impl::store_profile(profile))
        return false;
    profile.add_value(mss_section, L"direct mode", flag_text(direct));
    if (!other_destination.empty())
        profile.add_value(mss_section, L"other destination", other_destination);
    return true;
}

namespace {

// The warning for a profile that keeps the server password where other users can read it; empty
// when the file keeps none or is its owner's alone.
std::wstring exposed_password_warning(const udb_profile& profile, const std::wstring& path)
{
    if (profile.get_value(mss_section, L"password").empty())
        return std::wstring();
    struct stat st {};
    if (::stat(tk_to_string(path, -1).c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return std::wstring();
    wchar_t mode[8];
    std::swprintf(mode, 8, L"%04o", static_cast<unsigned>(st.st_mode & 07777));
    return L"Warning: the profile " + path + L" holds the server password and other users can read it (mode " +
           mode + L"); make it readable by its owner alone (chmod 600).";
}

} // namespace

bool dravlen_convertor::load_profile_file(const std::wstring& path)
{
    udb_profile profile;
    profile.load(path);
    // Read at its name in the locale's encoding.
    note_file_read(path_role::profile, path, tk_to_string(path, -1));
    if (const std::wstring warning = exposed_password_warning(profile, path); !warning.empty()) {
        tk_log_write_w(3, L"%ls", warning.c_str());
        if (frontend_ && !silent)
            frontend_->warning(warning);
    }
    return load_profile(profile);
}

bool dravlen_convertor::store_profile_file(const std::wstring& path)
{
    udb_profile profile;
    if (!store_profile(profile))
        return false;
    profile.store(path);
    return true;
}

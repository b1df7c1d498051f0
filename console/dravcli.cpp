// Entry of the console program: options, table-list file, checks and the run.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <langinfo.h>
#include <string>
#include <sys/stat.h>

#include "TK/tk_cmdli.h"
#include "TK/tk_core.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_signal.h"
#include "TK/tk_utils.h"
#include "common/acc_conv.h"
#include "console/con_err.h"
#include "dao/dao_engi.h"
#include "platform/win/winnls.h"

namespace {

const char* const usage_text =
    "DRAVCLI v6.1 - converts MS Access databases into MS SQL Server databases or T-SQL scripts\n"
    "\n"
    "Usage: DRAVCLI.EXE OPTIONS\n"
    "\n"
    "   --dest=...     MS SQL database name\n"
    "   --dump         convert MS Access database into T-SQL dump file\n"
    "   --help         display this help message and exit\n"
    "   --logfile=...  path to the file where execution trace will be written\n"
    "   --mode=...     how to process an existing MS SQL database\n"
    "                  (0 - overwrite the entire database, 1 - overwrite existing\n"
    "                  tables only, 2 - skip existing tables, 3 - merge)\n"
    "   --mssqlh=...   MS SQL server IP address or network name\n"
    "   --mssqlu=...   MS SQL user name\n"
    "   --mssqlp=...   MS SQL user password\n"
    "   --profile=...  path to the file to load conversion settings from\n"
    "   --script       export MS Access data into T-SQL script file\n"
    "   --silent       disable program output\n"
    "   --skip_idx     skip converting indexes\n"
    "   --src=...      MS Access database name\n"
    "   --srcp=...     MS Access database password\n"
    "   --tab_def      convert table definitions only\n"
    "   --tab_file=... file containing the list of tables to convert\n"
    "                  (one table name per line)\n"
    "\n"
    "NOTES:\n"
    "   1) You can omit 'mssqlh' parameter to connect local MS SQL server.\n"
    "   2) You can omit 'mssqlu' and 'mssqlp' parameters to connect to MS SQL\n"
    "      server using Windows authentication.\n"
    "   3) If you omit 'tab_file' parameter, all database tables will be converted.\n"
    "   4) If you omit 'mode' parameter, default mode 'overwrite the entire\n"
    "      database' will be used.\n"
    "   5) Command line parameters that contain spaces must be enclosed in quotes\n"
    "      (for example --dest=\"my database\")";

enum option_id {
    opt_dest, opt_dump, opt_help, opt_logfile, opt_mode, opt_mssqlh, opt_mssqlu, opt_mssqlp,
    opt_profile, opt_script, opt_silent, opt_skip_idx, opt_src, opt_srcp, opt_sysdb, opt_tab_def,
    opt_tab_file, opt_uglu, opt_uglp
};

const tk_cmd_option options[] = {
    {opt_dest, "--dest="},       {opt_dump, "--dump"},         {opt_help, "--help"},
    {opt_logfile, "--logfile="}, {opt_mode, "--mode="},        {opt_mssqlh, "--mssqlh="},
    {opt_mssqlu, "--mssqlu="},   {opt_mssqlp, "--mssqlp="},    {opt_profile, "--profile="},
    {opt_script, "--script"},    {opt_silent, "--silent"},     {opt_skip_idx, "--skip_idx"},
    {opt_src, "--src="},         {opt_srcp, "--srcp="},        {opt_sysdb, "--sysdb="},
    {opt_tab_def, "--tab_def"},
    {opt_tab_file, "--tab_file="}, {opt_uglu, "--uglu="},      {opt_uglp, "--uglp="},
    {0, ""},
};

[[noreturn]] void usage()
{
    fatal_message(usage_text);
}

// Converts an option value; a value that cannot be converted is ignored (false).
bool to_wide(const char* value, std::wstring& out)
{
    wchar_t* wide = nullptr;
    if (!tk_ansi_to_unicode(value, &wide) || wide == nullptr)
        return false;
    out = wide;
    delete[] wide;
    return true;
}

// Is the file of this option read at the option's own bytes (the locale's encoding), not at the
// UTF-8 of its text?
bool read_at_own_bytes(int id)
{
    return id == opt_tab_file || id == opt_profile;
}

// The argument as the log may show it: the values of the password options masked.
std::string loggable_argument(const std::string& arg)
{
    for (const char* secret : {"--srcp=", "--mssqlp=", "--uglp="}) {
        const std::string prefix(secret);
        if (arg.compare(0, prefix.size(), prefix) == 0)
            return arg.size() == prefix.size() ? arg : prefix + "*****";
    }
    return arg;
}

// Overwrites a password option's value in the process's own argument memory, as soon as it has
// been read: the process list (/proc/PID/cmdline) then no longer shows it to other users.
void hide_argument_value(const char* value)
{
    for (char* c = const_cast<char*>(value); *c != '\0'; ++c)
        *c = 'x';
}

std::string narrow_for_log(const std::wstring& text)
{
    return console_text(text);
}

const char* const missing_tab_file_text = "Table names file does not exist.\nPlease verify the correct path/name was given.";

// Opens the log chosen so far for the report of an option error, unless it is one of the files
// that the command line names as read or written, the ones after the faulty option included.
void open_log_for_option_error(ansi_cmd_line& cmd)
{
    dravlen_convertor& conv = dravlen_convertor::ref();
    std::vector<role_path> paths = conv.run_paths();
    paths.push_back({path_role::script, conv.destination});
    for (cmd.next(); cmd.check(); cmd.next()) {
        const path_role roles[] = {path_role::source, path_role::script, path_role::profile, path_role::table_list,
                                   path_role::workgroup};
        const int ids[] = {opt_src, opt_dest, opt_profile, opt_tab_file, opt_sysdb};
        std::wstring wide;
        for (std::size_t i = 0; i < std::size(ids); ++i)
            if (cmd.id() == ids[i] && to_wide(cmd.value(), wide))
                paths.push_back({roles[i], wide, read_at_own_bytes(cmd.id()) ? cmd.value() : std::string()});
    }
    if (find_path_clash(paths))
        return;
    try {
        conv.open_logfile();
    } catch (const tk_exception& e) {
        // The option error is reported all the same, on the console.
        tk_log_write(1, "No log for the option error: %s", e.what());
    }
}

// An option error ends the program; its report reaches the log when that is safe to open.
[[noreturn]] void option_error(ansi_cmd_line& cmd, const char* text)
{
    open_log_for_option_error(cmd);
    fatal_message(text);
}

// The value of the option being read. A value that is no text in the locale's encoding (a file
// name written in another one) is an option error naming the option, never a value left unset.
std::wstring option_text(ansi_cmd_line& cmd)
{
    std::wstring wide;
    if (to_wide(cmd.value(), wide))
        return wide;
    std::string name = "this option";
    for (const tk_cmd_option* o = options; o->prefix[0] != '\0'; ++o)
        if (o->id == cmd.id())
            name = o->prefix;
    const std::string text = "The value of " + name + " is not text in this system's encoding (" +
                             (win_ansi_is_utf8() ? "UTF-8" : nl_langinfo(CODESET)) + ").\nGive it in that encoding, or rename the file.";
    option_error(cmd, text.c_str());
}

} // namespace

// Replaces the converter's selected tables with the names of a table-list file.
void process_tab_file(const char* path)
{
    tk_log_write(1, "process_tab_file(%s)", path);
    if (!tk_is_file_exist1(path, tk_exist_file))
        fatal_message(missing_tab_file_text);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fatal_message(missing_tab_file_text);

    std::vector<std::wstring> names;
    bool utf8 = false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (names.empty() && !utf8 && line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
            static_cast<unsigned char>(line[1]) == 0xBB && static_cast<unsigned char>(line[2]) == 0xBF) {
            utf8 = true;
            line.erase(0, 3);
        }
        if (line.empty())
            continue;
        std::wstring name;
        if (utf8)
            name = tk_utf8_to_wstring(line);
        else if (!to_wide(line.c_str(), name))
            continue;
        names.push_back(name);
    }
    dravlen_convertor::ref().selected_tables = names;
}

// Applies the options to the converter; false when the usage text is to be shown.
// Long by nature: one short case per option, read as the option table.
bool parse_cmd_line(int argc, char** argv)
{
    tk_log_write(1, "parse_cmd_line");
    for (int i = 0; i < argc; ++i)
        tk_log_write(1, "parameter #%d: %s", i, loggable_argument(argv[i]).c_str());

    dravlen_convertor& conv = dravlen_convertor::ref();
    std::wstring host, user, pass, sysdb, ugl_user, ugl_pass;
    bool profile_loaded = false;

    ansi_cmd_line cmd(argc, argv, options);
    for (; cmd.check(); cmd.next()) {
        const char* value = cmd.value();
        switch (cmd.id()) {
        case opt_dest:
            tk_log_write(1, "parse_cmd_line - got dest %s", value);
            conv.destination = option_text(cmd);
            break;
        case opt_dump:
            tk_log_write(2, "\tconvert into dump files");
            conv.direct = false;
            break;
        case opt_help:
            usage();
        case opt_logfile:
            // Checked now, opened once every file the run reads and writes is known.
            tk_log_write(1, "parse_cmd_line - got logfile %s", value);
            option_text(cmd);
            conv.choose_logfile(value);
            break;
        case opt_mode: {
            char* end = nullptr;
            const unsigned long mode = std::strtoul(value, &end, 10);
            tk_log_write(2, "\tgot mode %d", static_cast<int>(mode));
            if (*value == '\0' || std::to_string(mode) != value || mode > 3)
                option_error(cmd, "Invalid merge/overwrite mode");
            tk_log_write(1, "udb_converter::set_mode(%d)", static_cast<int>(mode));
            conv.mode = static_cast<int>(mode);
            break;
        }
        case opt_mssqlh:
            host = option_text(cmd);
            break;
        case opt_mssqlu:
            user = option_text(cmd);
            break;
        case opt_mssqlp:
            pass = option_text(cmd);
            hide_argument_value(value);
            break;
        case opt_profile:
            tk_log_write(1, "parse_cmd_line - got profile %s", value);
            profile_loaded = conv.load_profile_file(option_text(cmd));
            break;
        case opt_script:
            tk_log_write(2, "\tconvert into T-SQL script file");
            conv.direct = false;
            break;
        case opt_silent:
            tk_log_write(1, "parse_cmd_line - silent mode is ON");
            conv.set_silent(1);
            error_handler::ref().quiet = true;
            break;
        case opt_skip_idx:
            tk_log_write(2, "\tskip converting indexes");
            conv.skip_indexes = true;
            break;
        case opt_src:
            tk_log_write(1, "parse_cmd_line - got src %s", value);
            conv.source = option_text(cmd);
            break;
        case opt_srcp:
            // Kept out of the log, the registry and profiles.
            tk_log_write(1, "parse_cmd_line - got srcp *****");
            conv.db_password = option_text(cmd);
            hide_argument_value(value);
            break;
        case opt_sysdb:
            sysdb = option_text(cmd);
            break;
        case opt_tab_def:
            tk_log_write(2, "\tconvert table definitions only");
            conv.only_definitions = true;
            break;
        case opt_tab_file:
            tk_log_write(2, "\tparse_cmd_line - got tab_file %s", value);
            if (!tk_is_file_exist1(value, tk_exist_file))
                option_error(cmd, missing_tab_file_text);
            conv.note_file_read(path_role::table_list, option_text(cmd), value);
            process_tab_file(value);
            break;
        case opt_uglu:
            ugl_user = option_text(cmd);
            break;
        case opt_uglp:
            ugl_pass = option_text(cmd);
            hide_argument_value(value);
            break;
        default:
            break;
        }
    }

    if (!cmd.free_params().empty())
        return false;

    bool bad_sysdb = false;
    if (!profile_loaded) {
        bad_sysdb = !sysdb.empty() && !dao_check_sysdb(sysdb);
        conv.secure_login = user.empty() && pass.empty();
        conv.host = host;
        conv.login = user;
        conv.password = pass;
        // A workgroup file and a user given on the command line apply to the whole run.
        if (!bad_sysdb && !sysdb.empty() && !ugl_user.empty()) {
            conv.ugl_file = sysdb;
            conv.ugl_user = ugl_user;
            conv.ugl_password = ugl_pass;
            conv.use_workgroup = true;
        }
    }
    // Read above, whether the run uses it or not.
    if (!sysdb.empty())
        conv.note_file_read(path_role::workgroup, sysdb);
    // Nothing is written before every file of the run is known: the log is opened only when it
    // is none of the files the run reads, nor the script.
    conv.check_paths();
    conv.open_logfile();

    if (conv.source.empty())
        fatal_message("You should enter source MS Access database name");
    if (conv.destination.empty())
        fatal_message("You should enter destination MS SQL database name");
    if (bad_sysdb)
        fatal_message("Not a valid MS Access workgroup information file");
    return true;
}

// Is the script written where standard output goes (--dest=/dev/stdout, say)?
bool script_goes_to_stdout(const dravlen_convertor& conv)
{
    struct stat dest {}, out {};
    return !conv.direct && ::stat(tk_to_utf8(conv.destination).c_str(), &dest) == 0 && ::fstat(1, &out) == 0 &&
           dest.st_dev == out.st_dev && dest.st_ino == out.st_ino;
}

// A stop signal that came before the run began ends the program here, with nothing done.
void stop_if_signalled()
{
    if (const int signal = tk_stop_signal())
        console_exit(console_report_stop(signal, false));
}

// The exit code of a run that returned. A signal counts only when it stopped the run: one that
// came after the run had finished changes nothing.
int run_exit_code(const dravlen_convertor& conv, const console_frontend& frontend)
{
    const int signal = tk_stop_signal();
    if (signal && conv.outcome() == run_outcome::cancelled)
        return console_report_stop(signal, true);
    // Anything not converted, and a cancelled run, is no success.
    if (!frontend.run_succeeded(conv.outcome()) || !console_output_written())
        return -1;
    return 0;
}

void connect_server(dravlen_convertor& conv)
{
    tk_log_write(2, "mssql_converter_impl::connect_mssql_server");
    tk_log_write(2, "secure_login=%d", conv.secure_login ? 1 : 0);
    if (conv.secure_login) {
        tk_log_write(2, "mssql_host=%s", narrow_for_log(conv.host).c_str());
        conv.engine.connect(conv.host, false);
    } else {
        // The password stays out of the log.
        tk_log_write(2, "mssql_host=%s, mssql_user=%s, mssql_pass=%s\n", narrow_for_log(conv.host).c_str(),
                     narrow_for_log(conv.login).c_str(), conv.password.empty() ? "" : "*****");
        conv.engine.connect(conv.host, conv.login, conv.password, false);
    }
}

int main(int argc, char** argv)
{
    // Before any work: a stop signal is heard from the first moment, and a write that fails
    // (a reader gone, a file-size limit) is reported instead of ending the process unheard.
    tk_install_stop_signals();
    tk_ignore_write_signals();
    std::setlocale(LC_ALL, "");
    // Passwords pass through this process: no core dump may keep them.
    tk_disable_core_dumps();
    tk_logger logger(nullptr, false, 3, false);
    console_error_handler handler;
    dravlen_convertor conv(true);
    console_frontend frontend;
    conv.set_frontend(&frontend);

    try {
        if (argc == 1)
            usage();
        try {
            if (!parse_cmd_line(argc, argv))
                usage();
            // The script on standard output stays a script: every other line goes to standard error.
            if (script_goes_to_stdout(conv))
                console_output_to_stderr();
            stop_if_signalled();
            conv.check_acc_base(conv.source, conv.db_password);
            stop_if_signalled();
            if (conv.direct) {
                connect_server(conv);
                stop_if_signalled();
            }
            conv.check_dest();
            conv();
            return run_exit_code(conv, frontend);
        } catch (const tk_exception& e) {
            handler.handle(e, false);
            // Level 0 from the checks: nothing was converted.
            return -1;
        } catch (const std::exception& e) {
            fatal_message(e.what());
        }
    } catch (const console_exit_request& r) {
        // The stack below main has been unwound; the settings are not stored.
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(r.code);
    }
    return 0;
}

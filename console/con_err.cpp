#include "console/con_err.h"

#include <cstdlib>
#include <iostream>

#include "MSS/mss_sfile.h"
#include "MSS/mss_util.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

namespace {

const char* const runtime_url = "https://www.microsoft.com/en-us/download/details.aspx?id=54920";

bool is_silent()
{
    dravlen_convertor* c = dravlen_convertor::get();
    return c && c->silent;
}

bool g_out_to_stderr = false;

const char* const cancelled_text = "The conversion was cancelled: the destination holds only part of the database.";

// Logs the line and writes it to standard error unless silent.
void tell(const std::string& line)
{
    tk_log_write(3, "%s", line.c_str());
    if (!is_silent())
        std::cerr << line << std::endl;
}

} // namespace

void console_output_to_stderr()
{
    g_out_to_stderr = true;
}

std::ostream& console_out()
{
    return g_out_to_stderr ? std::cerr : std::cout;
}

int console_report_stop(int signal, bool run_began)
{
    tell("Stopped by signal " + std::to_string(signal));
    const dravlen_convertor* c = dravlen_convertor::get();
    if (!run_began || !c) {
        tell("Nothing was converted.");
    } else if (c->direct) {
        tell(cancelled_text);
    } else {
        const std::string end = mss_script_end_text(c->script_end(), console_text(c->destination));
        tell(end.empty() ? "No script was written." : end);
    }
    return 128 + signal;
}

std::string console_text(const std::wstring& text)
{
    // Control characters of a name would act on the terminal: they are shown as "?".
    std::wstring shown = text;
    for (wchar_t& c : shown)
        if (mss_is_control_char(c))
            c = L'?';
    return tk_to_ansi_text(shown);
}

bool console_output_written()
{
    if (console_out().flush())
        return true;
    const char* const text = "Cannot write to standard output: the progress lines were not all written.";
    tk_log_write(3, "%s", text);
    std::cerr << text << std::endl;
    return false;
}

void console_exit(int code)
{
    throw console_exit_request{code};
}

void fatal_message(const std::string& text)
{
    tell(text);
    console_exit(-1);
}

console_error_handler::console_error_handler()
    : error_handler(tk_sql_error_count, tk_sql_error_table)
{
}

void console_error_handler::handle(const tk_exception& e, bool)
{
    tk_log_write(2, "error_handler::handle");
    if (e.level() >= 2) {
        tk_log_write(3, "Internal error:\n%s", e.what());
        console_out() << "Internal error: " << e.what() << std::endl;
        console_exit(-1);
    }
    std::string message = build_message(e);
    tk_log_write(3, "Error:\n%s", message.c_str());
    for (char& c : message)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
        else if ((c >= 0 && c < 0x20) || c == 0x7F)
            c = '?';
    if (!quiet) {
        console_out() << "Error:" << std::endl << message << std::endl;
        // Standard output gone (a closed pipe): the report still reaches the user.
        if (!console_out())
            std::cerr << "Error:" << std::endl << message << std::endl;
    }
    if (e.level() == 1) {
        tk_log_write(1, "Got 1-level error");
        console_exit(-1);
    }
    tk_log_write(1, "Got 0-level error");
}

void console_frontend::database_started(const std::wstring& source, std::uint32_t entries)
{
    console_out() << "Converting database " << console_text(source) << "(" << entries << " tables)"
              << std::endl;
}

void console_frontend::table_missing(const std::wstring& name)
{
    std::cerr << "Table " << console_text(name) << " not exists" << std::endl;
}

void console_frontend::table_started(const std::wstring& name, std::uint64_t records)
{
    console_out() << "Converting table " << console_text(name) << "(" << records << " records)"
              << std::endl;
}

void console_frontend::engine_required()
{
    if (is_silent())
        return;
    std::cerr << "Failed to load Data Access Objects (DAO) support library. Installing Microsoft "
                 "Access Runtime may fix the problem."
              << std::endl
              << runtime_url << std::endl;
}

void console_frontend::unexpected(const std::exception& e)
{
    if (!is_silent())
        std::cerr << e.what() << std::endl;
}

void console_frontend::warning(const std::wstring& text)
{
    std::cerr << console_text(text) << std::endl;
}

void console_frontend::waiting_for_reader(const std::wstring& text)
{
    console_out() << console_text(text) << std::endl;
}

bool console_frontend::run_succeeded(run_outcome outcome) const
{
    if (outcome == run_outcome::succeeded)
        return true;
    const char* text = outcome == run_outcome::cancelled ? cancelled_text
                                                         : "There were some errors while converting the database.";
    tell(text);
    return false;
}

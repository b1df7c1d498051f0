// The console's error handler and run front end: reports on the console, never asks.
#pragma once
#include <cstdio>
#include <ostream>
#include <string>

#include "TK/tk_errh.h"
#include "common/acc_conv.h"

// Reports every error on standard output; ends the process for levels 1 and 2.
class console_error_handler : public error_handler {
public:
    console_error_handler();
    void handle(const tk_exception& e, bool is_final) override;
};

// Progress and problem lines of a console run.
class console_frontend : public run_frontend {
public:
    void database_started(const std::wstring& source, std::uint32_t entries) override;
    void table_missing(const std::wstring& name) override;
    void table_started(const std::wstring& name, std::uint64_t records) override;
    void engine_required() override;
    void unexpected(const std::exception& e) override;
    void warning(const std::wstring& text) override;
    void waiting_for_reader(const std::wstring& text) override;

    // Says how a run that did not succeed ended (unless silent); true when it succeeded.
    bool run_succeeded(run_outcome outcome) const;
};

// Thrown to end the program with an exit code. It is no std::exception, so no handler of the
// run takes it: the stack unwinds to main, which removes the temporary workgroup file and
// closes the script on the way, and main then ends the process without storing the settings.
struct console_exit_request {
    int code;
};

[[noreturn]] void console_exit(int code);

// Logs the text, writes it to standard error unless silent, and ends the process with -1.
[[noreturn]] void fatal_message(const std::string& text);

// False, after saying so on standard error and in the log, when a line could not be written to
// standard output (a closed pipe, a full disk).
bool console_output_written();

// Where progress lines and error reports go: standard output, or standard error from
// console_output_to_stderr() on (the script itself goes to standard output).
std::ostream& console_out();
void console_output_to_stderr();

// Says on standard error (unless silent) and in the log that a stop signal ended the program and
// what the stopped run left behind: nothing, part of a database, or what became of the script.
// Returns the exit code, 128 + the signal.
int console_report_stop(int signal, bool run_began);

// The wide text in the locale's encoding; empty when it cannot be converted.
std::string console_text(const std::wstring& text);

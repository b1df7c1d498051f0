// The exception family every failure of the system travels in, and the internal assertion.
#pragma once
#include <cstdint>
#include <exception>
#include <string>

// An error for the user: message, numeric code (mapped to a better text by the
// error handler) and level: 0 recoverable, 1 error, 2 internal error.
class tk_exception : public std::exception {
public:
    // An empty text stands for "Unknown exception".
    tk_exception(const std::string& text, int level);
    tk_exception(const char* text, int level);
    // The text in the ANSI code page; a character the page cannot hold is replaced, never dropped.
    tk_exception(const std::wstring& text, int level);
    // "Unknown exception".
    explicit tk_exception(int level);
    // The printf format printed with its one text argument (a null argument prints as "").
    tk_exception(const char* format, const char* arg, int level);
    ~tk_exception() override = default;

    const char* what() const noexcept override { return m_message.c_str(); }
    std::int32_t code() const noexcept { return m_code; }
    int level() const noexcept { return m_level; }
    const std::string& message() const noexcept { return m_message; }

protected:
    void set_message(std::string message) { m_message = std::move(message); }
    void set_code(std::int32_t code) noexcept { m_code = code; }
    void set_level(int level) noexcept { m_level = level; }

private:
    std::string m_message;
    std::int32_t m_code = 0;
    int m_level = 1;
};

// A failed operating-system call: the caller's text followed by the system's
// text for the thread's last error, whose number becomes the code. When the
// system has no text for that number the caller's text stands alone ("Unknown
// exception" when there is none).
class tk_exception_ex : public tk_exception {
public:
    tk_exception_ex();
    tk_exception_ex(const std::string& text, int level);
    tk_exception_ex(const char* text, int level);

private:
    void add_last_error(const std::string& text);
};

// A broken internal precondition: "Internal error: \ncode=" followed by the
// source position (file\line) in hexadecimal; level 2.
class tk_mail_assertion : public tk_exception {
public:
    tk_mail_assertion(const char* file, int line);
};

#define TK_MAIL_ASSERT() throw tk_mail_assertion(__FILE__, __LINE__)
// Throws the internal assertion when the condition does not hold.
#define TK_MAIL_CHECK(cond) do { if (!(cond)) TK_MAIL_ASSERT(); } while (0)

// The user's Abort: ends a run without a further message. Not a tk_exception,
// so handlers for the family let it pass.
class tk_final_exception : public std::exception {
public:
    tk_final_exception();
    const char* what() const noexcept override;
};

// The hexadecimal position code of an internal error (exposed for tests and the error handler).
std::string tk_position_code(const char* file, int line);

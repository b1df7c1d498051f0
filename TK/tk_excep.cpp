#include "TK/tk_excep.h"

#include <cstdio>
#include <vector>

#include "TK/tk_errco.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win/winerror.h"

tk_exception::tk_exception(const std::string& text, int level)
    : m_message(text.empty() ? std::string(tk_message(tk_msg_unknown_exception)) : text), m_level(level)
{
}

tk_exception::tk_exception(const char* text, int level)
    : tk_exception(std::string(text ? text : ""), level)
{
}

tk_exception::tk_exception(const std::wstring& text, int level)
    : m_message(tk_to_ansi_text(text)), m_level(level)
{
}

tk_exception::tk_exception(int level)
    : m_message(tk_message(tk_msg_unknown_exception)), m_level(level)
{
}

tk_exception::tk_exception(const char* format, const char* arg, int level)
    : m_level(level)
{
    if (format == nullptr)
        return;
    if (arg == nullptr)
        arg = "";
    const int n = std::snprintf(nullptr, 0, format, arg);
    if (n <= 0)
        return;
    std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
    std::snprintf(buffer.data(), buffer.size(), format, arg);
    m_message.assign(buffer.data(), static_cast<std::size_t>(n));
}

tk_exception_ex::tk_exception_ex()
    : tk_exception(1)
{
    add_last_error(std::string());
}

tk_exception_ex::tk_exception_ex(const std::string& text, int level)
    : tk_exception(1)
{
    set_level(level);
    add_last_error(text);
}

tk_exception_ex::tk_exception_ex(const char* text, int level)
    : tk_exception_ex(std::string(text ? text : ""), level)
{
}

void tk_exception_ex::add_last_error(const std::string& text)
{
    const DWORD error = GetLastError();
    set_code(static_cast<std::int32_t>(error));
    std::string system_text;
    if (!win_error_text(error, system_text) || system_text.empty()) {
        // No system text: the caller's own words still say what failed.
        if (!text.empty())
            set_message(text);
        return;
    }
    set_message(text + system_text);
    tk_log_write(2, "GetLastError: %s", system_text.c_str());
}

std::string tk_position_code(const char* file, int line)
{
    tk_log_write(2, "make_err_meggase(%s, %d)", file ? file : "", line);
    const std::string position = std::string(file ? file : "") + "\\" + std::to_string(line);
    tk_log_write(2, "result=%s", position.c_str());
    std::string code;
    code.reserve(position.size() * 2);
    static const char digits[] = "0123456789abcdef";
    for (unsigned char c : position) {
        code.push_back(digits[c >> 4]);
        code.push_back(digits[c & 0x0F]);
    }
    return code;
}

tk_mail_assertion::tk_mail_assertion(const char* file, int line)
    : tk_exception(std::string(tk_message(tk_msg_internal_error)) + tk_position_code(file, line), 2)
{
    tk_log_write(2, "tk_mail_assertion::ctor(%s)", file ? file : "");
}

tk_final_exception::tk_final_exception()
{
    tk_log_write(2, "tk_final_exception::ctor");
}

const char* tk_final_exception::what() const noexcept
{
    return "Unknown exception";
}

#include "platform/win/winerror.h"

#include <cstdlib>
#include <cstring>

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

DWORD GetLastError()
{
    return t_last_error;
}

void SetLastError(DWORD error)
{
    t_last_error = error;
}

void SetLastErrorFromErrno()
{
    t_last_error = static_cast<DWORD>(errno);
}

bool win_error_text(DWORD error, std::string& text)
{
    const int number = static_cast<int>(error);
    // strerror invents "Unknown error N" for numbers it does not know; the
    // symbolic name tells the known ones apart.
    if (number < 0 || strerrorname_np(number) == nullptr)
        return false;
    char buffer[256];
    const char* message = strerror_r(number, buffer, sizeof buffer);
    if (message == nullptr || *message == '\0')
        return false;
    text = message;
    text += "\r\n";
    return true;
}

DWORD FormatMessageA(DWORD flags, const void*, DWORD message_id, DWORD, char* buffer, DWORD size, void*)
{
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    if (!win_error_text(message_id, text)) {
        SetLastError(ENOMSG);
        return 0;
    }
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* copy = static_cast<char*>(std::malloc(text.size() + 1));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(buffer) = copy;
        return static_cast<DWORD>(text.size());
    }
    if (text.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

void* LocalFree(void* memory)
{
    std::free(memory);
    return nullptr;
}

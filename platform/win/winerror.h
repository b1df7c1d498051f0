// Per-thread last error and the system's text for an error number.
//
// Error numbers are the C library's errno values: every substitute that fails
// stores errno (or one of the constants below) as the calling thread's last
// error at the failing call, and FormatMessageA explains it with strerror.
#pragma once
#include <cerrno>
#include <string>
#include "platform/win/wintypes.h"

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = ENOENT;
constexpr DWORD ERROR_PATH_NOT_FOUND = ENOENT;
constexpr DWORD ERROR_ACCESS_DENIED = EACCES;
constexpr DWORD ERROR_INVALID_PARAMETER = EINVAL;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = ENOBUFS;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = EILSEQ;
constexpr DWORD ERROR_FILE_EXISTS = EEXIST;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = ENOMEM;
constexpr DWORD ERROR_MOD_NOT_FOUND = ENOENT;
constexpr DWORD ERROR_PROC_NOT_FOUND = ENOSYS;

DWORD GetLastError();
void SetLastError(DWORD error);
// Stores the current errno as the thread's last error (call right after a failed C library call).
void SetLastErrorFromErrno();

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD LANG_USER_DEFAULT = 0x0400;

// The system's text for an error number, ended by "\r\n" like the Windows
// message table; false (text untouched) when the system knows no text for it.
bool win_error_text(DWORD error, std::string& text);

// FORMAT_MESSAGE_FROM_SYSTEM only. With FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is
// really a char** that receives a malloc'ed text to be released by LocalFree;
// otherwise the text is copied into buffer of size bytes. Returns the text's
// length, 0 when there is no text (or it does not fit).
DWORD FormatMessageA(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     char* buffer, DWORD size, void* arguments);
void* LocalFree(void* memory);

// Errors of the Access file reader: a message naming the file and a number in the engine's numbering.
#pragma once
#include <stdexcept>
#include <string>

namespace jet {

// Numbers as the Access engine reports them, so the object model above can pass them on unchanged.
enum error_code : int {
    err_file_not_found      = 3024,
    err_bad_password        = 3031,   // "Not a valid password."
    err_unrecognized_format = 3343,
    err_corrupt             = 3049,
    err_io                  = 3043,
    err_password_required   = 3031,
    err_no_current_row      = 3021,   // "No current record."
};

// Raised by the reader for unreadable, corrupt, protected or missing files.
class error : public std::runtime_error {
public:
    error(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

} // namespace jet

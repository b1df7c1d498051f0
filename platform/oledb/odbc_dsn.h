// A private ODBC data source that lives for one connect and holds no secret.
#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace odbc {

// Writes the attributes as one data source into a new odbc.ini of mode 0600 in the temporary
// folder and points the driver manager at it (ODBCINI) while the object lives; the destructor
// restores ODBCINI and removes the file. One at a time in the process: the environment is shared.
// A value the file cannot hold as it is (a line break or other control character, or spaces at
// either end, which the file's reader trims) is refused with odbc::error.
class temporary_data_source {
public:
    using attributes = std::vector<std::pair<std::wstring, std::wstring>>;
    explicit temporary_data_source(const attributes& attrs);
    ~temporary_data_source();
    temporary_data_source(const temporary_data_source&) = delete;
    temporary_data_source& operator=(const temporary_data_source&) = delete;

    // The data source's name, for SQLConnect.
    const std::wstring& name() const noexcept { return name_; }
    const std::string& path() const noexcept { return path_; }

private:
    std::unique_lock<std::mutex> lock_;
    std::wstring name_;
    std::string path_;
    std::optional<std::string> saved_odbcini_;
};

} // namespace odbc

// A fresh scratch folder for one test, removed with everything in it afterwards.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace drav_test {

// The whole file as bytes ("" when it cannot be read).
inline std::string read_file(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::filesystem::path& p, const std::string& content)
{
    std::ofstream(p, std::ios::binary) << content;
}

// How often `what` occurs in the text (a run's reports, a script's statements).
inline int occurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Permission checks do not hold for root.
inline bool running_as_root()
{
    return ::geteuid() == 0;
}

// A new folder named after the prefix, the process and the running test. As a working folder
// (the default) it is the current folder while it lives and DRAV_REGISTRY_FILE points into it,
// so no test touches the user's settings; a plain folder changes neither. Both are put back as
// they were when it goes, so working folders may nest.
class scratch_dir {
public:
    enum use { working_folder, plain_folder };

    explicit scratch_dir(const std::string& prefix, use how = working_folder)
        : old_cwd_(std::filesystem::current_path()), working_(how == working_folder)
    {
        if (const char* old = std::getenv("DRAV_REGISTRY_FILE"))
            old_registry_ = old;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = prefix + "-" + std::to_string(::getpid()) + "-" + (test ? test->name() : "") + "-XXXXXX";
        for (char& c : name)
            if (c == '/')
                c = '_';   // parameterised tests are named "Name/param"
        std::string templ = (std::filesystem::temp_directory_path() / name).string();
        if (::mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("cannot make the scratch folder " + templ);
        path_ = templ;
        if (working_) {
            ::setenv("DRAV_REGISTRY_FILE", (path_ / registry_name).c_str(), 1);
            std::filesystem::current_path(path_);
        }
    }
    ~scratch_dir()
    {
        std::error_code ec;
        if (working_) {
            std::filesystem::current_path(old_cwd_, ec);
            if (old_registry_)
                ::setenv("DRAV_REGISTRY_FILE", old_registry_->c_str(), 1);
            else
                ::unsetenv("DRAV_REGISTRY_FILE");
        }
        // Give back write permission that a test may have taken away.
        for (auto& e : std::filesystem::recursive_directory_iterator(path_, ec))
            std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder, or a name inside it, as text.
    std::string str(const std::string& name = "") const { return name.empty() ? path_.string() : (path_ / name).string(); }
    // Names in the folder, the registry file aside.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            if (e.path().filename() != registry_name)
                out.push_back(e.path().filename().string());
        return out;
    }

private:
    static constexpr const char* registry_name = "registry";

    std::filesystem::path path_;
    std::filesystem::path old_cwd_;
    std::optional<std::string> old_registry_;
    bool working_;
};

} // namespace drav_test

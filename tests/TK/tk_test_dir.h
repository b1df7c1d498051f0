// A fresh temporary folder per test, removed afterwards.
#pragma once
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

class tk_temp_folder {
public:
    tk_temp_folder()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "drav-tk-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = templ;
    }
    ~tk_temp_folder()
    {
        std::error_code ec;
        // Give back write permission that a test may have taken away.
        for (auto& e : std::filesystem::recursive_directory_iterator(m_path, ec))
            std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    std::string path(const std::string& rel = "") const { return rel.empty() ? m_path : m_path + "/" + rel; }

private:
    std::string m_path;
};

inline std::string tk_read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void tk_write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

inline bool tk_running_as_root()
{
    return geteuid() == 0;
}

// The temporary blank workgroup file: its images and the owner of the file written from them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The two blank workgroup information file images: 131,072 bytes for the Access 7.0/97
// engine generation, 143,360 bytes for the later ones.
struct blank_system_db {
    static const std::vector<std::uint8_t>& jet3();
    static const std::vector<std::uint8_t>& jet4();
};

// Owns one temporary file "~tmp%04d" in the folder for temporary files (TMPDIR, else /tmp) and
// deletes it (with the engine's lock file) when destroyed.
class dao_generator {
public:
    dao_generator() = default;
    ~dao_generator();
    dao_generator(const dao_generator&) = delete;
    dao_generator& operator=(const dao_generator&) = delete;

    // Writes size bytes into a newly created file of a free name. The file is created
    // exclusively: an existing file, directory or link of that name is never used.
    void do_generate(std::size_t size, const void* data);
    // The path of the first name of the series that no directory entry of any kind takes.
    std::string gen_name() const;

    const std::string& get_name() const { return m_name; }
    bool is_generated() const { return m_generated; }

private:
    std::string m_name;
    bool m_generated = false;
};

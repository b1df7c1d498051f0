// How much of their cases the slowest tests go through: all of them in the normal build; a sample
// under the sanitizers, which run them many times slower (DRAV_FULL_TESTS=1 there takes them all).
#pragma once
#include <cstddef>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace drav_test {

inline bool full_tests()
{
#ifdef DRAV_SANITIZED
    const char* full = std::getenv("DRAV_FULL_TESTS");
    return full && std::string(full) == "1";
#else
    return true;
#endif
}

// `full` in a full run, else `sampled`.
template <class T> T full_or(T full, T sampled)
{
    return full_tests() ? full : sampled;
}

// Every item in a full run, else every `step`-th one, the first included.
template <class T> std::vector<T> sample_of(const std::vector<T>& all, std::size_t step)
{
    if (full_tests() || step < 2)
        return all;
    std::vector<T> some;
    for (std::size_t i = 0; i < all.size(); i += step)
        some.push_back(all[i]);
    return some;
}

// The Access files (.mdb, .accdb) under root, in name order, less those whose path relative to
// root `skip` refuses; in a full run every one, else every `step`-th.
template <class Skip>
std::vector<std::filesystem::path> access_files(const std::filesystem::path& root, std::size_t step, Skip skip)
{
    std::vector<std::filesystem::path> all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string ext = e.path().extension().string();
        if ((ext == ".mdb" || ext == ".accdb") && !skip(std::filesystem::relative(e.path(), root).string()))
            all.push_back(e.path());
    }
    std::sort(all.begin(), all.end());
    return sample_of(all, step);
}

} // namespace drav_test

// The database-independent part of a converter: the settings every
// conversion has, the run's progress, and their place in a settings profile.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "TK/tk_threa.h"
#include "UDB/udb_prof.h"

class udb_converter : public tk_converter {
public:
    using name_text_list = std::vector<std::pair<std::wstring, std::wstring>>;

    udb_converter();

    // Fills the settings from a loaded profile. Lists take entries they do
    // not hold yet (names ignore case), so loading twice changes nothing.
    // A mode other than 0 to 3 changes nothing and is an error (level 1).
    void load_profile(const udb_profile& profile);
    // Adds the settings to a profile that is then stored.
    void store_profile(udb_profile& profile) const;

    // Name of the table being converted (read by the progress display).
    std::wstring get_current_table() const;
    void set_current_table(const std::wstring& name);

    // 0 overwrite the database, 1 overwrite existing tables, 2 skip existing
    // tables, 3 merge into existing tables.
    int mode = 0;
    bool only_definitions = false;
    bool skip_indexes = false;

    std::vector<std::wstring> selected_tables;
    name_text_list selected_queries;   // the run list: (name, SELECT text); empty text for a table
    name_text_list selected_views;
    name_text_list available_queries;  // the user's queries, selected or not

    // Progress of a run, read by another thread while the run writes it.
    std::atomic<uint32_t> total_tables{0};
    std::atomic<uint32_t> tables_done{0};
    std::atomic<uint64_t> records_in_table{0};
    std::atomic<uint64_t> current_record{0};

private:
    mutable std::mutex progress_lock;
    std::wstring current_table;
};

// The converter: every setting of a conversion, their persistence, the checks and the run itself.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MSS/mss_dump.h"
#include "MSS/mss_engi.h"
#include "TK/tk_regk.h"
#include "TK/tk_singl.h"
#include "UDB/udb_conv.h"
#include "common/acc_paths.h"

class dao_engine;
class udb_database;
class udb_profile;

// How the last run of the converter ended.
enum class run_outcome {
    none,        // no run yet
    succeeded,   // everything selected was converted
    failed,      // something was not converted, or an error ended the run
    cancelled,   // the user's Abort or a stop request ended it early
};

// What differs between the wizard's and the console's form of a run.
class run_frontend {
public:
    virtual ~run_frontend() = default;
    // The wizard's progress timer, started when a run begins.
    virtual void start_timer() {}
    // "Converting database ..." for the user.
    virtual void database_started(const std::wstring& source, std::uint32_t entries) = 0;
    // A table named in a list that the source does not hold.
    virtual void table_missing(const std::wstring& name) = 0;
    // "Converting table ..." for the user.
    virtual void table_started(const std::wstring& name, std::uint64_t records) = 0;
    // The database needs an engine generation that cannot be loaded.
    virtual void engine_required() = 0;
    // An error outside the exception family ended the run.
    virtual void unexpected(const std::exception& e) = 0;
    // The run ended early on an error (after it was reported).
    virtual void run_failed() {}
    // Something the user should know that stops nothing (a profile others can read, say).
    virtual void warning(const std::wstring&) {}
    // The script's named pipe has no reader yet: the run waits for one (the text says so).
    virtual void waiting_for_reader(const std::wstring& /*text*/) {}
};

// What a run says while the named pipe it writes the script into has no reader.
std::wstring pipe_wait_text(const std::wstring& path);

// The Access side of the settings.
class acc_converter_impl {
public:
    virtual ~acc_converter_impl() = default;
    // Opens the source once with the given settings and closes it again; raises on failure.
    void check_acc_base(const std::wstring& source, const std::wstring& password);
    // Workgroup security applies when it is switched on, the road taken offers it, and both a
    // file and a user are given:
    // one rule for the source check, the table list, the query test and the run.
    bool applies_workgroup() const;
    // The workgroup of applies_workgroup(), else the engine's blank one.
    void apply_workgroup(dao_engine& dao) const;

    bool use_workgroup = false;
    std::wstring db_password;
    std::wstring ugl_user;
    std::wstring ugl_password;
    std::wstring ugl_file;

protected:
    // Whether the road taken offers the workgroup settings; a road that does not show them does
    // not use them either.
    virtual bool road_has_workgroup() const { return true; }

    std::wstring checked_source_;   // the source that check_acc_base accepted last
};

// The SQL Server side of the settings.
class mssql_converter_impl {
public:
    bool load_profile(const udb_profile& profile);
    bool store_profile(udb_profile& profile) const;

    bool secure_login = false;
    std::wstring schema;
    mss_dump_options dump_options;
    mss_engine engine;
    std::wstring host;
    std::wstring login;
    std::wstring password;
};

// Registry persistence of the settings.
class tk_serializer {
public:
    tk_serializer() : key("Software\\Quillbrook\\Veltrane") {}
    virtual ~tk_serializer() = default;
    virtual bool serialize(bool store) = 0;

protected:
    tk_reg_key key;
};

// The one converter of the process.
class dravlen_convertor : public udb_converter,
                          public acc_converter_impl,
                          public mssql_converter_impl,
                          public tk_serializer,
                          public tk_singleton<dravlen_convertor> {
public:
    // The console form keeps only the script options in the registry.
    explicit dravlen_convertor(bool console_form = false);
    ~dravlen_convertor() override;

    // The conversion run.
    void operator()() override;
    bool is_done() override { return false; }
    // Runs the SELECT text against the source; raises the engine's error when it does not run.
    void test_query(const std::wstring& sql);

    bool serialize(bool store) override;
    bool load_profile(const udb_profile& profile);
    bool store_profile(udb_profile& profile);
    bool load_profile_file(const std::wstring& path);
    bool store_profile_file(const std::wstring& path);

    // Refuses (a level-1 tk_exception naming both roles and the file) settings under which a
    // run would write its script or its log over a file it reads, or both into one file.
    void check_paths() const;
    // The files a run with these settings reads and writes, each under its role.
    std::vector<role_path> run_paths() const;
    // Notes a file the settings came from (a profile, a table-list file): no run of this process
    // may write over it. opened_as: the bytes it was read at, when not the UTF-8 of its path.
    void note_file_read(path_role role, const std::wstring& path, const std::string& opened_as = {});

    void check_dest();
    // Notes whether the script's path names a link, a pipe or a device, which the user chose as
    // it is: the run then writes the script through it instead of replacing it by a file.
    void note_script_target();
    std::unique_ptr<udb_database> open_dest();
    void get_all_tables(std::vector<std::wstring>& list);
    static std::string get_title();

    // Set while the run waits for a reader of the script's named pipe (a progress field).
    std::atomic<bool> waits_for_reader{false};

    // Set before the run's finished flag; both programs read it to end in failure or success.
    run_outcome outcome() const { return outcome_.load(); }

    void set_frontend(run_frontend* frontend) { frontend_ = frontend; }
    // What became of the last run's script (none on the direct road).
    mss_script_end script_end() const { return script_end_; }

    // Takes the road into SQL Server (direct) or into a script: in the wizard each road keeps
    // its own destination, and the one of the road taken comes back into `destination`.
    void take_road(bool into_server);

    // true: into SQL Server; false: into a T-SQL script file.
    bool direct = true;
    // The destination of the road not taken: the script path while direct, else the database.
    std::wstring other_destination;
    // Whether the wizard made each destination from the source rather than the user naming it:
    // such a destination follows the source when that changes, on its own road.
    bool destination_follows = false;
    bool other_destination_follows = false;

protected:
    // The wizard offers the workgroup settings on the script road only; the console on both.
    bool road_has_workgroup() const override { return console_ || !direct; }

private:
    void run();
    bool open_run_log();
    run_outcome settle_outcome(run_outcome ended) const;
    void convert_entry(udb_database& source, udb_database& dest, class mss_tn_validator& validator,
                       const std::wstring& name, const std::wstring& sql);
    // The entry's table, rows and indexes; an error is reported and counted, and ends the entry.
    void move_table(udb_database& source, udb_database& dest, class mss_tn_validator& validator,
                    const std::wstring& name, const std::wstring& sql);
    void copy_rows(udb_recordset& src, udb_recordset& dst, const std::wstring& name);
    // Ends the run when the error being handled comes with a stop request.
    void end_run_if_stopped(const tk_exception& e) const;
    // Ends the run when the error being handled means it is over: a stop, a lost connection, a
    // script that takes no more.
    void end_run_if_over(const tk_exception& e, const std::wstring& name) const;
    void report_changed_values(const std::wstring& name);
    udb_record* read_record(udb_recordset& src, const std::wstring& name);
    void check_rows_read(const udb_recordset& src, const std::wstring& name);

    bool console_;
    run_frontend* frontend_ = nullptr;
    std::atomic<run_outcome> outcome_{run_outcome::none};
    // What note_script_target found: the script goes through what is at that path.
    bool through_ = false;
    std::wstring through_path_;
    mss_script_end script_end_ = mss_script_end::none;
    std::vector<role_path> files_read_;
};

// Checks that a script destination can be written; raises level-1 errors otherwise.
void common_check_dest(const std::wstring& path);

// Brackets one run: start and end lines in the log, the progress timer, and the finished flag.
class init_conversion {
public:
    init_conversion(std::atomic<bool>* done, bool no_com, run_frontend* frontend);
    ~init_conversion();
    init_conversion(const init_conversion&) = delete;
    init_conversion& operator=(const init_conversion&) = delete;

private:
    std::atomic<bool>* done_;
    bool no_com_;
};

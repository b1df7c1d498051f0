#include "common/acc_conv.h"

#include <ctime>
#include <filesystem>
#include <optional>

#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_sfile.h"
#include "MSS/mss_vali.h"
#include "MSS/odb_exce.h"
#include "TK/tk_errco.h"
#include "TK/tk_errh.h"
#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_threa.h"
#include "TK/tk_utils.h"
#include "UDB/udb_db.h"
#include "dao/dao_engi.h"
#include "platform/com/combase.h"
#include "platform/win/winbase.h"

namespace {

// How the Access source is opened (bits of dao_engine::open_db): always read-only, without its
// queries; the check also skips the relationships (both bits), the table list one bit of them.
constexpr int dao_mode_one_relationship_bit = 0x20;
constexpr int source_mode_run = dao_mode_read_only | dao_mode_skip_queries;
constexpr int source_mode_check = dao_mode_read_only | dao_mode_skip_relationships | dao_mode_skip_queries;
constexpr int source_mode_list = dao_mode_read_only | dao_mode_one_relationship_bit | dao_mode_skip_queries;

// How an existing destination database is opened (bits of mss_engine::open_db): when it is kept
// (modes 1-3) create_table opens a table that exists (append); when it was dropped and made again
// (mode 0) an existing table is refused and the views are not read.
constexpr int mss_mode_append = 0x08;
constexpr int mss_mode_skip_views = 0x80;
constexpr int mss_mode_unread_20 = 0x20;   // passed on as always, read by no one
constexpr int mss_mode_unread_04 = 0x04;
constexpr int dest_mode_kept = mss_mode_unread_20 | mss_mode_append;
constexpr int dest_mode_fresh = mss_mode_skip_views | mss_mode_unread_20 | mss_mode_unread_04;

const char* const no_engine_text =
    "Failed to load Data Access Objects (DAO) support library.\n"
    "Microsoft Access installation is required to proceed with\nthe application.\n";

void log_time(const char* format)
{
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    tk_log_write(3, format, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
}

// Loads the first engine generation of 3, 0, 1 that is available.
void load_any_engine(dao_engine& engine)
{
    if (!engine.set_version_if(3) && !engine.set_version_if(0) && !engine.set_version_if(1))
        throw tk_exception(no_engine_text, 1);
}

bool same_name(const std::wstring& a, const std::wstring& b)
{
    return tk_iequal(a, b);
}

} // namespace

namespace {

// How long a cancelled statement may wait for its server before the connection is cut.
constexpr int stop_grace_seconds = 3;

// The stop watcher's action, seconds after the stop request: the statements that wait on a server
// are cancelled at once; a server that has not ended them after the grace has its connections
// cut. The log says which of the two ended the waits.
void end_server_waits(int seconds)
{
    const bool cut = seconds >= stop_grace_seconds;
    const int asked = mss_engine::cancel_statements(cut);
    if (seconds == 0)
        tk_log_write(3, "Stop requested: %d statement(s) on the server asked to cancel", asked);
    if (cut)
        tk_log_write(3, "The server has not ended the cancelled statements %d s after the stop: its connections are cut",
                     seconds);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// init_conversion

init_conversion::init_conversion(std::atomic<bool>* done, bool no_com, run_frontend* frontend)
    : done_(done), no_com_(no_com)
{
    tk_log_write(2, "init_conversion::ctor");
    log_time("Conversion started on %02d/%02d/%04d at %02d:%02d:%02d");
    if (!no_com_)
        CoInitialize(nullptr);
    if (frontend)
        frontend->start_timer();
}

init_conversion::~init_conversion()
{
    tk_log_write(2, "init_conversion::dtor");
    if (!no_com_)
        CoUninitialize();
    log_time("Conversion ended on %02d/%02d/%04d at %02d:%02d:%02d");
    *done_ = true;
}

// ---------------------------------------------------------------------------------------------
// The run

void dravlen_convertor::operator()()
{
    tk_log_write(2, "dravlen_convertor::operator()");
    try {
        run();
    } catch (const std::exception& e) {
        tk_log_write(3, "ERROR:\n%s", e.what());
        outcome_ = run_outcome::failed;
    }
    // Also when the run could not even begin.
    finished = true;
}

void dravlen_convertor::run()
{
    finished = false;
    outcome_ = run_outcome::failed;   // until the run says otherwise
    script_end_ = mss_script_end::none;
    if (error_handler* h = error_handler::get()) {
        h->reset_failures();
        h->take_changed_values();   // none of them belongs to this run
    }
    // The log is opened and the script made only for files that are neither read by the run nor
    // each other (the pages and the console checked already; settings may come from elsewhere).
    if (!open_run_log()) {
        outcome_ = settle_outcome(run_outcome::failed);
        return;
    }
    init_conversion scope(&finished, false, frontend_);
    // A stop request ends a statement that waits on the server as well: it is cancelled, and
    // when a server that does not answer holds it still after a few seconds, its connection is cut.
    std::optional<tk_stop_watcher> watcher;
    if (direct)
        watcher.emplace([this] { return stop_requested(); }, end_server_waits);
    engine.set_view_owned(true);
    run_outcome ended = run_outcome::succeeded;

    try {
        dao_engine dao(1, 0);
        // Declared after the engine, so both databases close before it goes.
        std::unique_ptr<udb_database> src_db;
        std::unique_ptr<udb_database> dst_db;
        load_any_engine(dao);
        apply_workgroup(dao);

        tk_log_write_w(3, L"Opening MS Access database '%ls'", source.c_str());
        src_db = dao.open_db(source, source_mode_run, db_password);

        // A stop asked for meanwhile comes before anything of the destination is touched.
        if (stop_requested())
            throw tk_final_exception();
        // Overwriting the entire database: it goes only now that the source is open.
        if (direct && mode == 0 && engine.is_db_exist(destination))
            engine.delete_db(destination);
        dst_db = open_dest();
        if (direct)
            mss_enable_fast_load(*dst_db, false);

        if (console_ && selected_tables.empty() && selected_queries.empty())
            selected_tables = src_db->get_tables();

        // A table named twice (a profile and a table list, say) is converted once.
        std::vector<std::wstring> tables;
        for (const auto& t : selected_tables) {
            bool seen = false;
            for (const auto& u : tables)
                seen = seen || same_name(t, u);
            for (const auto& q : selected_queries)
                seen = seen || (q.second.empty() && same_name(t, q.first));
            if (!seen)
                tables.push_back(t);
        }

        total_tables = static_cast<std::uint32_t>(selected_queries.size() + tables.size());
        tk_log_write_w(3, L"Converting database %ls (%d tables)", source.c_str(),
                       static_cast<int>(total_tables.load()));
        if (frontend_ && !silent)
            frontend_->database_started(source, total_tables);

        mss_tn_validator validator(selected_tables, dst_db->get_tables());
        for (const auto& q : selected_queries) {
            tk_log_write_w(1, L"udb_validator::add_existing_name(%ls)", q.first.c_str());
            validator.add_existing_name(q.first);
        }
        for (const auto& t : tables)
            selected_queries.emplace_back(t, std::wstring());

        const auto entries = selected_queries;
        for (const auto& entry : entries) {
            if (stop_requested())
                throw tk_final_exception();
            convert_entry(*src_db, *dst_db, validator, entry.first, entry.second);
        }

        error_handler::ref().set_context(std::wstring());
        tables_done = 0;
        total_tables = 0;
        dst_db->finish();
        dst_db.reset();
        src_db.reset();
    } catch (const dao_required_exception&) {
        ended = run_outcome::failed;
        if (frontend_) {
            frontend_->engine_required();
            frontend_->run_failed();
        }
    } catch (const tk_final_exception&) {
        // The user's Abort or a stop request: the log tells why the run ended early.
        ended = run_outcome::cancelled;
        tk_log_write(3, "Conversion cancelled before it was complete");
    } catch (const tk_exception& e) {
        if (stop_requested()) {
            // A server call the stop cancelled (dropping or making the database, say).
            ended = run_outcome::cancelled;
            tk_log_write(3, "Conversion cancelled before it was complete (%s)", e.what());
        } else {
            ended = run_outcome::failed;
            error_handler::ref().handle(e, true);
            if (frontend_)
                frontend_->run_failed();
        }
    } catch (const std::exception& e) {
        ended = run_outcome::failed;
        tk_log_write(3, "ERROR:\n%s", e.what());
        if (frontend_) {
            frontend_->unexpected(e);
            frontend_->run_failed();
        }
    }
    outcome_ = settle_outcome(ended);
}

// The log of a run is switched on as the run starts, so the pages before it leave the last
// run's log as it was. A log that cannot be opened is reported and ends the run.
bool dravlen_convertor::open_run_log()
{
    try {
        check_paths();
        open_logfile();
        return true;
    } catch (const tk_exception& e) {
        error_handler::ref().handle(e, true);
        if (frontend_)
            frontend_->run_failed();
        return false;
    }
}

// A run that reached its end fails when any of its error scopes counted something not converted.
run_outcome dravlen_convertor::settle_outcome(run_outcome ended) const
{
    if (ended == run_outcome::succeeded) {
        const error_handler* h = error_handler::get();
        if (h && h->failures() != 0)
            ended = run_outcome::failed;
    }
    static const char* const names[] = {"none", "succeeded", "failed", "cancelled"};
    tk_log_write(2, "Conversion %s", names[static_cast<int>(ended)]);
    return ended;
}

// Copies every row of the table; a row the source cannot read or the destination refuses is
// reported with its number and the copy goes on. Rows are read to the end whatever the stored
// count says: counts can be stale.
void dravlen_convertor::copy_rows(udb_recordset& src, udb_recordset& dst, const std::wstring& name)
{
    src.reset();
    while (!src.is_eof()) {
        if (stop_requested())
            throw tk_final_exception();
        tk_log_write(1, "Converting %d record", static_cast<int>(current_record.load()));
        udb_record* record = read_record(src, name);
        try {
            if (record) {
                dst.append_record(*record);
                report_changed_values(name);
            }
        } catch (const odb_exception& e) {
            // The destination ends the run itself when the row's connection is gone.
            end_run_if_stopped(e);
            error_handler& h = error_handler::ref();
            h.take_changed_values();   // the row is not stored: its report says so
            error_handler::count_failure();
            h.set_record_context(name, current_record + 1);
            h.handle(e, false);
        }
        src.next();
        ++current_record;
    }
    dst.flush();
    check_rows_read(src, name);
}

// Called with the error being handled: an error that comes while a stop is requested (a statement
// the stop cancelled, say) is the stop; any other error is the caller's.
void dravlen_convertor::end_run_if_stopped(const tk_exception& e) const
{
    if (!stop_requested())
        return;
    const auto* odb = dynamic_cast<const odb_exception*>(&e);
    if (odb && odb->cancelled())
        tk_log_write(3, "The server cancelled a statement for the stop: %s", e.what());
    else
        tk_log_write(3, "An error as the run stops: %s", e.what());
    throw tk_final_exception();
}

// The same, and a lost connection ends the run as well: one found outside the rows is named by
// its table alone (the destination names the record of a row whose connection went).
void dravlen_convertor::end_run_if_over(const tk_exception& e, const std::wstring& name) const
{
    end_run_if_stopped(e);
    const auto* odb = dynamic_cast<const odb_exception*>(&e);
    if (odb && odb->connection_lost())
        throw mss_connection_lost_exception(*odb, name, 0);
    if (dynamic_cast<const mss_connection_lost_exception*>(&e))
        throw;
    // The script takes no more (a full disk): the run ends, its error reported once, on the table.
    if (dynamic_cast<const mss_write_exception*>(&e)) {
        error_handler::ref().set_context(name);
        throw;
    }
}

// Values the destination changed to fit the server are reported one by one with their record,
// as errors that let the run go on: the value stored is not the one read.
void dravlen_convertor::report_changed_values(const std::wstring& name)
{
    error_handler& h = error_handler::ref();
    for (const std::wstring& text : h.take_changed_values()) {
        error_handler::count_failure();
        h.set_record_context(name, current_record + 1);
        h.handle(tk_exception(text, 0), false);
    }
}

// The current source record; null for one that cannot be read (a damaged row, rows the file
// shows lost), which is reported with its number, and the copy goes on after it.
udb_record* dravlen_convertor::read_record(udb_recordset& src, const std::wstring& name)
{
    try {
        return src.get_item();
    } catch (const dao_exception& e) {
        end_run_if_stopped(e);
        error_handler& h = error_handler::ref();
        error_handler::count_failure();
        h.set_record_context(name, current_record + 1);
        h.handle(e, false);
        return nullptr;
    }
}

// The count of records given at the start is the rows the pages hold; records that stand for
// losses make the rows walked differ from it, which the log notes (the losses are reported).
void dravlen_convertor::check_rows_read(const udb_recordset& src, const std::wstring& name)
{
    const std::uint64_t read = current_record, counted = records_in_table;
    if (!src.is_query() && read != counted)
        tk_log_write_w(2, L"Table %ls: %llu records walked, %llu counted", name.c_str(),
                       static_cast<unsigned long long>(read), static_cast<unsigned long long>(counted));
}

void dravlen_convertor::convert_entry(udb_database& src_db, udb_database& dest,
                                      mss_tn_validator& validator, const std::wstring& name,
                                      const std::wstring& sql)
{
    set_current_table(name);
    records_in_table = 0;
    current_record = 0;

    if (console_ && sql.empty() && !src_db.is_table_exist(name)) {
        // Asked for and not converted.
        error_handler::count_failure();
        if (frontend_ && !silent)
            frontend_->table_missing(name);
        ++tables_done;
        return;
    }

    const std::uint32_t failures = error_handler::ref().failures();
    move_table(src_db, dest, validator, name, sql);
    if (error_handler::ref().failures() != failures)
        dest.table_incomplete(name);
}

void dravlen_convertor::move_table(udb_database& src_db, udb_database& dest, mss_tn_validator& validator,
                                   const std::wstring& name, const std::wstring& sql)
{
    std::unique_ptr<udb_recordset> src;
    std::unique_ptr<udb_recordset> dst;
    try {
        src = sql.empty() ? src_db.get_table(name, 1) : src_db.get_query(name, sql, 1);
        if (!src) {
            tk_log_write_w(3, L"Skip system/linked table '%ls'", name.c_str());
            ++tables_done;
            return;
        }

        const bool acceptable = validator.is_acceptable(name);
        const std::wstring dest_name = acceptable ? name : validator.get_safe_name(name);

        if (dest.is_table_exist(dest_name)) {
            if (mode == 2) {
                src.reset();
                ++tables_done;
                return;
            }
            if (mode == 1)
                dest.delete_tab(dest_name);
        }

        dst = dest.create_table(dest_name, src->get_schema(), udb_indexes());

        if (mode == 3 && !src->get_schema().conform_to(dst->get_schema(), false))
            throw tk_exception(tk_wmessage(tk_msg_not_conform), 0);

        if (!validator.is_acceptable(name)) {
            tk_log_write_w(2, L"Store generated table name '%ls'", dest_name.c_str());
            tk_log_write_w(1, L"udb_validator::add_existing_name(%ls)", dest_name.c_str());
            validator.add_existing_name(dest_name);
        }
        validator.add_restricted_name(dest_name);

        records_in_table = src->get_record_count();
        tk_log_write_w(3, L"Converting table %ls (%llu records)", name.c_str(),
                       static_cast<unsigned long long>(records_in_table.load()));
        if (frontend_ && !silent)
            frontend_->table_started(name, records_in_table);

        if (only_definitions) {
            tk_log_write(2, "Tab.def.only: indexes.size=%d", static_cast<int>(src->get_indexes().size()));
            if (!skip_indexes)
                dest.create_indexes(dest_name, src->get_schema(), src->get_indexes());
            dst.reset();
            src.reset();
            ++tables_done;
            return;
        }

        copy_rows(*src, *dst, name);
        dst.reset();
        if (!skip_indexes)
            dest.create_indexes(dest_name, src->get_schema(), src->get_indexes());
        src.reset();
        ++tables_done;
    } catch (const tk_exception& e) {
        dst.reset();
        src.reset();
        // Values changed in a row that failed on its way are not reported with a later row.
        error_handler::ref().take_changed_values();
        end_run_if_over(e, name);
        error_handler& h = error_handler::ref();
        error_handler::count_failure();
        h.set_context(name);
        h.handle(e, false);
        ++tables_done;
    }
}

// ---------------------------------------------------------------------------------------------
// Checks

bool acc_converter_impl::applies_workgroup() const
{
    return use_workgroup && road_has_workgroup() && !ugl_file.empty() && !ugl_user.empty();
}

void acc_converter_impl::apply_workgroup(dao_engine& dao) const
{
    if (applies_workgroup()) {
        tk_log_write(1, "Just before dao.set_ugl_info");
        dao.set_ugl_info(ugl_file, ugl_user, ugl_password);
    } else {
        tk_log_write(2, "UGL info NOT found");
        dao.set_anonymous_sys_db();
    }
}

void acc_converter_impl::check_acc_base(const std::wstring& source, const std::wstring& password)
{
    tk_log_write(2, "acc_converter_impl::check_acc_base");
    if (source.empty())
        throw tk_mail_assertion("acc_conv", 25);
    {
        dao_engine dao(1, 0);
        dao.set_version_smart(source);
        apply_workgroup(dao);
        std::unique_ptr<udb_database> db = dao.open_db(source, source_mode_check, password);
        db.reset();
    }
    checked_source_ = source;
}

namespace {

// What the script is written into when the path names it: a pipe, a device, or a link to
// something that is there (the link's file, /dev/stdout) is written into as it is.
bool written_into_as_found(const std::filesystem::path& p)
{
    std::error_code ec;
    return mss_written_through(p.string()) && (!std::filesystem::is_symlink(p, ec) || std::filesystem::exists(p, ec));
}

} // namespace

void common_check_dest(const std::wstring& path)
{
    tk_log_write_w(1, L"common_check_dest(%ls)", path.c_str());
    namespace fs = std::filesystem;
    std::error_code ec;
    // Paths go to the file system as UTF-8: a wide path would be converted by the "C" locale,
    // which refuses every character beyond ASCII.
    const fs::path p(tk_to_utf8(path));
    if (fs::is_directory(p, ec))
        throw tk_exception("Destination name should specify a file, not folder.", 1);
    if (fs::exists(p, ec) && (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY))
        throw tk_exception("Destination name specifies an existing read-only file.", 1);
    // What is written into as it is found must take the writing; its folder is not written.
    if (written_into_as_found(p)) {
        if (!tk_check_access(path, GENERIC_WRITE))
            throw tk_exception("Cannot create or write into the destination file.\n"
                               "Run the program as Administrator or change folder.", 1);
        return;
    }
    const std::wstring dir = tk_utf8_to_wstring(fs::absolute(p, ec).parent_path().string());
    if (!tk_is_path_exist(dir))
        throw tk_exception("Destination path does not exist.\nPlease verify the correct path was given.", 1);
    if (!tk_check_access(dir, GENERIC_WRITE))
        throw tk_exception("Cannot create or write into the destination file.\n"
                           "Run the program as Administrator or change folder.", 1);
}

std::vector<role_path> dravlen_convertor::run_paths() const
{
    std::vector<role_path> paths{{path_role::source, source}};
    if (applies_workgroup())
        paths.push_back({path_role::workgroup, ugl_file});
    paths.insert(paths.end(), files_read_.begin(), files_read_.end());
    if (!direct)
        paths.push_back({path_role::script, destination});
    // The log's name is kept in the locale's encoding and opened at those very bytes.
    if (!logfile.empty())
        paths.push_back({path_role::log, tk_ansi_text_to_wstring(logfile), logfile});
    return paths;
}

void dravlen_convertor::check_paths() const
{
    check_path_roles(run_paths());
}

void dravlen_convertor::note_file_read(path_role role, const std::wstring& path, const std::string& opened_as)
{
    files_read_.push_back({role, path, opened_as});
}

void dravlen_convertor::check_dest()
{
    const std::wstring dest = destination;
    tk_log_write_w(1, L"dravlen_convertor::check_dest(%ls)", dest.c_str());
    // Before anything is deleted: no file the run reads may be its script or its log.
    check_paths();
    // Nothing is dropped or deleted for a source that has not been opened successfully.
    if (checked_source_.empty() || checked_source_ != source)
        check_acc_base(source, db_password);
    // Into a server nothing is checked here: overwriting the entire database is the run's, once
    // it has opened the source and seen no stop request.
    if (direct)
        return;
    common_check_dest(dest);
    note_script_target();
    // Only a plain file is deleted. A link (/dev/stdout, say), a pipe or a device stays: the
    // script is written through it, and deleting it would take it away.
    std::error_code ec;
    const std::string path = tk_to_utf8(dest);
    if (std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular) {
        if (::unlink(path.c_str()) != 0) {
            SetLastErrorFromErrno();
            throw tk_exception_ex();
        }
    }
}

void dravlen_convertor::note_script_target()
{
    // Only what is found here is written through when the script is created: a link planted
    // later is not followed.
    through_ = mss_written_through(tk_to_utf8(destination));
    through_path_ = destination;
}

std::unique_ptr<udb_database> dravlen_convertor::open_dest()
{
    if (direct) {
        if (engine.is_db_exist(destination))
            return std::unique_ptr<udb_database>(engine.open_db(destination, mode != 0 ? dest_mode_kept : dest_mode_fresh, std::wstring()));
        return std::unique_ptr<udb_database>(engine.create_db(destination));
    }
    dump_options.banner = get_title();
    const bool through = through_ && through_path_ == destination;
    const auto on_wait = [this]() {
        waits_for_reader = true;
        if (frontend_ && !silent)
            frontend_->waiting_for_reader(pipe_wait_text(destination));
    };
    try {
        auto script = std::make_unique<mss_dmp_database>(destination, dump_options, through, &script_end_, on_wait);
        waits_for_reader = false;
        return script;
    } catch (...) {
        waits_for_reader = false;
        throw;
    }
}

std::wstring pipe_wait_text(const std::wstring& path)
{
    return L"Waiting for a program to read the named pipe '" + path +
           L"': the script is written into it once one does.";
}

void dravlen_convertor::get_all_tables(std::vector<std::wstring>& list)
{
    tk_log_write(2, "dravlen_convertor::get_all_tables");
    dao_engine dao(1, 0);
    load_any_engine(dao);
    apply_workgroup(dao);
    std::unique_ptr<udb_database> db = dao.open_db(source, source_mode_list, db_password);
    list = db->get_tables();
}

void dravlen_convertor::test_query(const std::wstring& sql)
{
    tk_log_write(2, "dravlen_convertor::test_query");
    dao_engine dao(1, 0);
    load_any_engine(dao);
    apply_workgroup(dao);
    // Opened as the run opens it, so the text meets the same database.
    std::unique_ptr<udb_database> db = dao.open_db(source, source_mode_run, db_password);
    if (!db->test_query(sql))
        throw dao_exception();
}

std::string dravlen_convertor::get_title()
{
    return "Veltrane 6.3";
}

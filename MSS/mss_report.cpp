#include "MSS/mss_report.h"

#include "TK/tk_errh.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_db.h"

void mss_report_error(const std::wstring& context, const tk_exception& e, bool is_final)
{
    if (!context.empty())
        tk_log_write_w(2, L"Context: %ls", context.c_str());
    error_handler::count_failure();
    if (error_handler* handler = error_handler::get()) {
        if (!context.empty())
            handler->set_context(context);
        handler->handle(e, is_final);
        return;
    }
    (void)is_final;
    tk_log_write(3, "%s", e.what());
}

void mss_report_row_error(const std::wstring& table, std::uint64_t row, const tk_exception& e)
{
    error_handler::count_failure();
    if (error_handler* handler = error_handler::get()) {
        handler->set_record_context(table, row);
        handler->handle(e, false);
        return;
    }
    tk_log_write_w(3, L"%ls, record #%llu", table.c_str(), static_cast<unsigned long long>(row));
    tk_log_write(3, "%s", e.what());
}

namespace {

std::wstring index_gap_reason(mss_index_gap why, const std::wstring& column)
{
    switch (why) {
    case mss_index_gap::yes_no_column:
        return L"an index on a Yes/No column ('" + column + L"') is not converted";
    case mss_index_gap::long_column:
        return L"an index on a memo or long binary column ('" + column + L"') is not converted";
    case mss_index_gap::key_too_long:
        return L"its key can pass 900 bytes, which is not converted";
    case mss_index_gap::no_columns:
        return L"it has no columns";
    case mss_index_gap::repeated_column:
        return L"it names the column '" + column + L"' twice, which no server takes";
    case mss_index_gap::missing_column:
        break;
    }
    return L"'" + column + L"' is not a column of the table";
}

} // namespace

std::optional<mss_index_gap> mss_index_gap_of(const t_ftd& column, std::uint64_t key_bytes)
{
    const VARTYPE vt = column.vartype;
    if (vt == VT_BOOL)
        return mss_index_gap::yes_no_column;
    const bool text_or_binary = vt == VT_BSTR || vt == VT_BLOB || vt == (VT_ARRAY | VT_UI1);
    if (text_or_binary && (column.size == 0 || column.size > 8000))
        return mss_index_gap::long_column;
    if (key_bytes > 900)
        return mss_index_gap::key_too_long;
    return std::nullopt;
}

bool mss_leave_out_malformed_index(const std::wstring& table, const udb_index& index)
{
    if (index.fields.empty()) {
        mss_report_index_left_out(table, index, mss_index_gap::no_columns, L"");
        return true;
    }
    for (auto at = index.fields.begin(); at != index.fields.end(); ++at)
        for (auto before = index.fields.begin(); before != at; ++before)
            if (tk_iequal(*before, *at)) {
                mss_report_index_left_out(table, index, mss_index_gap::repeated_column, *at);
                return true;
            }
    return false;
}

void mss_report_index_left_out(const std::wstring& table, const udb_index& index, mss_index_gap why,
                               const std::wstring& column)
{
    const wchar_t* const kind = index.primary_key ? L"The primary key '"
                                : index.unique || index.unique_constraint ? L"The unique index '"
                                                                          : L"The index '";
    const std::wstring text = kind + index.name + L"' was left out: " + index_gap_reason(why, column) + L".";
    mss_report_error(table, tk_exception(text, 0), false);
}

#include "MSS/mss_report.h"

#include "TK/tk_errh.h"
#include "TK/tk_log.h"

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

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

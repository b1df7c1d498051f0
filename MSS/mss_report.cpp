#include "MSS/mss_report.h"

#include "TK/tk_log.h"

#if __has_include("common/err_hand.h")
#include "common/err_hand.h"
#define DRAV_HAVE_ERROR_HANDLER 1
#endif

void mss_report_error(const std::wstring& context, const tk_exception& e, bool is_final)
{
    if (!context.empty())
        tk_log_write_w(2, L"Context: %ls", context.c_str());
#ifdef DRAV_HAVE_ERROR_HANDLER
    if (error_handler* handler = error_handler::get()) {
        if (!context.empty())
            handler->set_context(context);
        handler->handle(e, is_final);
        return;
    }
#endif
    (void)is_final;
    tk_log_write(3, "%s", e.what());
}

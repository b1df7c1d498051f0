#include "platform/ui/ui_log.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& sink_lock()
{
    static std::mutex m;
    return m;
}

ui_log_sink& sink()
{
    static ui_log_sink s;
    return s;
}

} // namespace

void ui_set_log_sink(ui_log_sink s)
{
    std::lock_guard<std::mutex> g(sink_lock());
    sink() = std::move(s);
}

void ui_log(int level, const std::wstring& text)
{
    ui_log_sink s;
    {
        std::lock_guard<std::mutex> g(sink_lock());
        s = sink();
    }
    if (s)
        s(level, text);
    else if (level >= 3)
        std::fprintf(stderr, "%ls\n", text.c_str());
}

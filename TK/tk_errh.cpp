#include "TK/tk_errh.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"

error_handler::error_handler(int count, const tk_error_entry* entries)
    : texts_(count, entries)
{
    tk_log_write(2, "error_handler::ctor");
}

error_handler::~error_handler()
{
    tk_log_write(2, "error_handler::dtor");
}

void error_handler::set_context(const std::wstring& text)
{
    std::string narrow = tk_to_ansi_text(text);
    std::lock_guard<std::mutex> g(lock_);
    context_ = std::move(narrow);
}

void error_handler::set_record_context(const std::wstring& table, std::uint64_t record)
{
    set_context(table + L", record #" + std::to_wstring(record));
}

void error_handler::count_failure()
{
    if (error_handler* h = get()) {
        ++h->failures_;
        tk_log_write(1, "error_handler::count_failure(%u)", static_cast<unsigned>(h->failures_.load()));
    }
}

void error_handler::note_changed_value(const std::wstring& text)
{
    if (error_handler* h = get()) {
        tk_log_write_w(2, L"Value changed: %ls", text.c_str());
        std::lock_guard<std::mutex> g(h->lock_);
        h->changed_.push_back(text);
        h->has_changed_.store(true);
    }
}

std::vector<std::wstring> error_handler::take_changed_values()
{
    std::vector<std::wstring> out;
    if (!has_changed_.load())
        return out;
    std::lock_guard<std::mutex> g(lock_);
    out.swap(changed_);
    has_changed_.store(false);
    return out;
}

std::string error_handler::get_context() const
{
    std::lock_guard<std::mutex> g(lock_);
    return context_;
}

std::string error_handler::build_message(const tk_exception& e) const
{
    std::string message = get_context();
    if (!message.empty())
        message += ": ";
    std::string mapped = texts_.convert(e.code());
    message += mapped.empty() ? std::string(e.what()) : mapped;
    return message;
}

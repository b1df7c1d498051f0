#include "platform/ui/ui_misc.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QStringList>
#include <mutex>

#include "platform/ui/ui_log.h"
#include "platform/ui/ui_window.h"

namespace {

std::mutex& hook_lock()
{
    static std::mutex m;
    return m;
}

std::function<bool(ui_file_request&)>& file_hook()
{
    static std::function<bool(ui_file_request&)> h;
    return h;
}

std::function<bool(const std::wstring&, int)>& help_hook()
{
    static std::function<bool(const std::wstring&, int)> h;
    return h;
}

// The description without the pattern list it may show itself: the dialog adds the real one.
std::wstring filter_description(std::wstring description)
{
    if (!description.empty() && description.back() == L')') {
        const std::size_t open = description.rfind(L'(');
        if (open != std::wstring::npos) {
            description.resize(open);
            while (!description.empty() && description.back() == L' ')
                description.pop_back();
        }
    }
    return description;
}

// "*.a;*.b" as "*.a *.b"; "*.*" is every file, also one without an extension: "*".
std::wstring filter_patterns(const std::wstring& list)
{
    std::wstring out;
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t end = list.find(L';', pos);
        if (end == std::wstring::npos)
            end = list.size();
        std::wstring one = list.substr(pos, end - pos);
        pos = end + 1;
        if (one.empty())
            continue;
        if (one == L"*.*")
            one = L"*";
        if (!out.empty())
            out += L' ';
        out += one;
    }
    return out;
}

} // namespace

std::wstring ui_filter_to_text(const std::wstring& filter)
{
    std::wstring out;
    std::size_t pos = 0;
    while (pos < filter.size() && filter[pos] != L'\0') {
        std::size_t end = filter.find(L'\0', pos);
        if (end == std::wstring::npos)
            break;
        std::wstring description = filter.substr(pos, end - pos);
        pos = end + 1;
        end = filter.find(L'\0', pos);
        if (end == std::wstring::npos)
            end = filter.size();
        std::wstring pattern = filter.substr(pos, end - pos);
        pos = end + 1;
        if (!out.empty())
            out += L";;";
        out += filter_description(description) + L" (" + filter_patterns(pattern) + L")";
    }
    return out;
}

void ui_set_file_hook(std::function<bool(ui_file_request&)> hook)
{
    std::lock_guard<std::mutex> g(hook_lock());
    file_hook() = std::move(hook);
}

bool ui_get_file_name(ui_file_request& request)
{
    std::function<bool(ui_file_request&)> hook;
    {
        std::lock_guard<std::mutex> g(hook_lock());
        hook = file_hook();
    }
    if (hook)
        return hook(request);
    bool chosen = false;
    ui_run_on_gui([&]() {
        ui_ensure_application();
        QString start = QString::fromStdWString(request.initial_dir);
        if (!request.file.empty()) {
            if (!start.isEmpty() && !start.endsWith(QLatin1Char('/')))
                start += QLatin1Char('/');
            start += QString::fromStdWString(request.file);
        }
        const QString title = QString::fromStdWString(request.title);
        const QString filter = QString::fromStdWString(ui_filter_to_text(request.filter));
        QString path = request.save
                           ? QFileDialog::getSaveFileName(QApplication::activeWindow(), title, start, filter,
                                                          nullptr, QFileDialog::DontConfirmOverwrite)
                           : QFileDialog::getOpenFileName(QApplication::activeWindow(), title, start, filter);
        if (!path.isEmpty()) {
            request.file = path.toStdWString();
            chosen = true;
        }
    });
    return chosen;
}

bool ui_set_clipboard_text(const std::wstring& text)
{
    bool ok = false;
    ui_run_on_gui([&]() {
        if (!QCoreApplication::instance())
            return;
        if (QClipboard* c = QGuiApplication::clipboard()) {
            c->setText(QString::fromStdWString(text));
            ok = true;
        }
    });
    return ok;
}

std::wstring ui_get_clipboard_text()
{
    std::wstring text;
    ui_run_on_gui([&]() {
        if (QCoreApplication::instance())
            if (QClipboard* c = QGuiApplication::clipboard())
                text = c->text().toStdWString();
    });
    return text;
}

void ui_set_help_hook(std::function<bool(const std::wstring&, int)> hook)
{
    std::lock_guard<std::mutex> g(hook_lock());
    help_hook() = std::move(hook);
}

bool ui_open_help(const std::wstring& file, int context_id)
{
    std::function<bool(const std::wstring&, int)> hook;
    {
        std::lock_guard<std::mutex> g(hook_lock());
        hook = help_hook();
    }
    if (hook)
        return hook(file, context_id);
    // The desktop's viewer opens the file; a topic id has no meaning for it.
    ui_log(1, L"Opening help '" + file + L"' at topic " + std::to_wstring(context_id));
    return ui_open_url(file);
}

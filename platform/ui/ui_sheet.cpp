#include "platform/ui/ui_sheet.h"

#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/ui/ui_log.h"

namespace {

class sheet_widget : public QDialog {
public:
    explicit sheet_widget(ui_property_sheet* owner) : m_owner(owner) {}

    void reject() override
    {
        if (m_owner->is_ended())
            QDialog::reject();
        else
            m_owner->press_cancel();
    }

private:
    ui_property_sheet* m_owner;
};

// A page scrolls when the screen is too small for it. Each page has a scroll area of its own:
// one around all of them would take the size of the largest page, and a short screen would
// then hide the bottom of a page that fits it.
QWidget* new_page_host(QStackedWidget* stack)
{
    auto* scroll = new QScrollArea(stack);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* host = new QWidget(scroll);
    scroll->setWidget(host);
    stack->addWidget(scroll);
    return host;
}

// The scroll area that holds a page's widgets.
QWidget* page_frame(QWidget* host)
{
    for (QWidget* w = host; w; w = w->parentWidget())
        if (auto* scroll = qobject_cast<QScrollArea*>(w))
            return scroll;
    return host;
}

} // namespace

struct ui_property_sheet::chrome {
    QWidget* header = nullptr;
    QFrame* rule = nullptr;   // under the header, shown with it
    QLabel* title = nullptr;
    QLabel* subtitle = nullptr;
    QStackedWidget* stack = nullptr;
    QPushButton* help = nullptr;
    QPushButton* back = nullptr;
    QPushButton* next = nullptr;
    QPushButton* finish = nullptr;
    QPushButton* cancel = nullptr;
    std::map<ui_page*, QWidget*> hosts;   // each page's widgets, in a scroll area of its own
};

ui_page::ui_page(int template_id, int flags, const std::wstring& header_title, const std::wstring& header_subtitle)
    : ui_window(template_id), m_flags(flags), m_title(header_title), m_subtitle(header_subtitle)
{
}

ui_page::~ui_page()
{
    if (m_sheet)
        m_sheet->remove_page(this);
}

ui_property_sheet::ui_property_sheet(const std::wstring& title) : m_title(title) {}

ui_property_sheet::~ui_property_sheet()
{
    destroy();
    for (ui_page* p : m_pages)
        p->m_sheet = nullptr;
}

void ui_property_sheet::remove_page(ui_page* page)
{
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        if (m_pages[i] != page)
            continue;
        const ui_page* active = active_page();
        page->destroy_widgets();
        if (m_chrome) {
            auto it = m_chrome->hosts.find(page);
            if (it != m_chrome->hosts.end()) {
                delete page_frame(it->second);
                m_chrome->hosts.erase(it);
            }
        }
        m_pages.erase(m_pages.begin() + static_cast<std::ptrdiff_t>(i));
        if (active == page)
            m_active = -1;
        else if (m_active > static_cast<int>(i))
            --m_active;
        page->m_sheet = nullptr;
        return;
    }
}

void ui_property_sheet::add_page(ui_page* page)
{
    page->m_sheet = this;
    m_pages.push_back(page);
}

void ui_property_sheet::create()
{
    ui_ensure_application();
    if (m_window)
        return;
    m_ended = false;
    m_result = 0;
    m_chrome = std::make_unique<chrome>();
    auto* w = new sheet_widget(this);
    m_window = w;
    w->setWindowTitle(QString::fromStdWString(m_title));
    auto* layout = new QVBoxLayout(w);

    m_chrome->header = new QWidget(w);
    auto* hl = new QVBoxLayout(m_chrome->header);
    m_chrome->title = new QLabel(m_chrome->header);
    QFont bold = m_chrome->title->font();
    bold.setBold(true);
    m_chrome->title->setFont(bold);
    m_chrome->subtitle = new QLabel(m_chrome->header);
    hl->addWidget(m_chrome->title);
    hl->addWidget(m_chrome->subtitle);
    layout->addWidget(m_chrome->header);
    m_chrome->rule = new QFrame(w);
    m_chrome->rule->setFrameShape(QFrame::HLine);
    layout->addWidget(m_chrome->rule);

    m_chrome->stack = new QStackedWidget(w);
    layout->addWidget(m_chrome->stack, 1);

    auto* buttons = new QHBoxLayout();
    auto make = [&](const char* text, void (ui_property_sheet::*handler)()) {
        auto* b = new QPushButton(QString::fromLatin1(text), w);
        QObject::connect(b, &QPushButton::clicked, w, [this, handler]() {
            try {
                (this->*handler)();
            } catch (const std::exception& e) {
                on_error(e);
            }
        });
        return b;
    };
    m_chrome->help = make("&Help", &ui_property_sheet::press_help);
    m_chrome->back = make("< &Back", &ui_property_sheet::press_back);
    m_chrome->next = make("&Next >", &ui_property_sheet::press_next);
    m_chrome->finish = make("&Finish", &ui_property_sheet::press_finish);
    m_chrome->cancel = make("Cancel", &ui_property_sheet::press_cancel);
    buttons->addWidget(m_chrome->help);
    buttons->addStretch();
    buttons->addWidget(m_chrome->back);
    buttons->addWidget(m_chrome->next);
    buttons->addWidget(m_chrome->finish);
    buttons->addWidget(m_chrome->cancel);
    layout->addLayout(buttons);
    // The help key asks the showing page for its help, as the Help button does.
    auto* f1 = new QShortcut(QKeySequence(QKeySequence::HelpContents), w);
    QObject::connect(f1, &QShortcut::activated, w, [this]() {
        try {
            press_help();
        } catch (const std::exception& e) {
            on_error(e);
        }
    });

    if (!m_pages.empty())
        activate(0, +1);
    ui_fit_to_screen(w, 640, 480);
}

int ui_property_sheet::do_modal()
{
    create();
    if (!m_ended)
        m_window->exec();
    int result = m_result;
    destroy();
    return result;
}

void ui_property_sheet::destroy()
{
    m_timers.clear();
    if (!m_window)
        return;
    for (ui_page* p : m_pages)
        p->destroy_widgets();
    delete m_window;
    m_window = nullptr;
    m_chrome.reset();
    m_active = -1;
}

void ui_property_sheet::end(int result)
{
    m_ended = true;
    m_result = result;
    m_timers.clear();
    if (m_window)
        m_window->done(result);
}

void ui_property_sheet::set_title(const std::wstring& title)
{
    m_title = title;
    if (m_window)
        m_window->setWindowTitle(QString::fromStdWString(title));
}

std::wstring ui_property_sheet::title_text() const
{
    return m_window ? m_window->windowTitle().toStdWString() : m_title;
}

void ui_property_sheet::set_wizard_buttons(int mask)
{
    m_buttons = mask;
    update_chrome();
}

void ui_property_sheet::focus_page(QWidget* host)
{
    // The first field of the page takes the typing; a page without one leaves the keyboard on
    // Next or Finish, so that Enter never presses one of the page's own buttons by surprise.
    for (QWidget* w : host->findChildren<QWidget*>()) {
        const bool input = qobject_cast<QLineEdit*>(w) || qobject_cast<QPlainTextEdit*>(w) ||
                           qobject_cast<QAbstractItemView*>(w);
        if (input && w->isVisibleTo(host) && w->isEnabled()) {
            w->setFocus();
            return;
        }
    }
    QPushButton* next = m_chrome->finish->isHidden() ? m_chrome->next : m_chrome->finish;
    if (next->isEnabled())
        next->setFocus();
}

void ui_property_sheet::update_chrome()
{
    if (!m_chrome)
        return;
    const bool finish = (m_buttons & (PSWIZB_FINISH | PSWIZB_DISABLEDFINISH)) != 0;
    m_chrome->back->setEnabled((m_buttons & PSWIZB_BACK) != 0);
    m_chrome->next->setEnabled((m_buttons & PSWIZB_NEXT) != 0);
    m_chrome->next->setVisible(!finish);
    m_chrome->finish->setVisible(finish);
    m_chrome->finish->setEnabled((m_buttons & PSWIZB_FINISH) != 0);
    // Enter presses Next, or Finish on the last page.
    (finish ? m_chrome->finish : m_chrome->next)->setDefault(true);
    ui_page* p = active_page();
    m_chrome->help->setVisible(p && (p->flags() & PSP_HASHELP));
    const bool header = p && !(p->flags() & PSP_HIDEHEADER);
    m_chrome->header->setVisible(header);
    m_chrome->rule->setVisible(header);
    if (p) {
        m_chrome->title->setText(QString::fromStdWString(p->header_title()));
        m_chrome->subtitle->setText(QString::fromStdWString(p->header_subtitle()));
    }
}

void ui_property_sheet::enable_button(int button, bool on)
{
    if (!m_chrome)
        return;
    QPushButton* b = nullptr;
    switch (button) {
    case PSBTN_BACK: b = m_chrome->back; break;
    case PSBTN_NEXT: b = m_chrome->next; break;
    case PSBTN_FINISH: b = m_chrome->finish; break;
    case PSBTN_CANCEL: b = m_chrome->cancel; break;
    case PSBTN_HELP: b = m_chrome->help; break;
    default: return;
    }
    b->setEnabled(on);
}

bool ui_property_sheet::is_button_enabled(int button) const
{
    if (!m_chrome)
        return false;
    switch (button) {
    case PSBTN_BACK: return m_chrome->back->isEnabled();
    case PSBTN_NEXT: return m_chrome->next->isEnabled() && !m_chrome->next->isHidden();
    case PSBTN_FINISH: return m_chrome->finish->isEnabled() && !m_chrome->finish->isHidden();
    case PSBTN_CANCEL: return m_chrome->cancel->isEnabled();
    case PSBTN_HELP: return m_chrome->help->isEnabled() && !m_chrome->help->isHidden();
    default: return false;
    }
}

bool ui_property_sheet::is_button_visible(int button) const
{
    if (!m_chrome)
        return false;
    switch (button) {
    case PSBTN_NEXT: return !m_chrome->next->isHidden();
    case PSBTN_FINISH: return !m_chrome->finish->isHidden();
    case PSBTN_HELP: return !m_chrome->help->isHidden();
    default: return true;
    }
}

ui_page* ui_property_sheet::active_page() const
{
    if (m_active < 0 || m_active >= static_cast<int>(m_pages.size()))
        return nullptr;
    return m_pages[m_active];
}

void ui_property_sheet::activate(int index, int direction)
{
    while (index >= 0 && index < static_cast<int>(m_pages.size())) {
        ui_page* p = m_pages[index];
        QWidget*& host = m_chrome->hosts[p];
        if (!host) {
            host = new_page_host(m_chrome->stack);
            p->create_widgets(host);
        }
        const int previous = m_active;
        m_active = index;   // the page asks the sheet for itself while it activates
        int r = p->on_set_active();
        if (r == 0) {
            m_chrome->stack->setCurrentWidget(page_frame(host));
            update_chrome();
            focus_page(host);
            return;
        }
        m_active = previous;
        index += direction;
    }
    update_chrome();
}

bool ui_property_sheet::set_cur_sel_by_id(int template_id)
{
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        if (m_pages[i]->template_id() == template_id) {
            const int before = m_active;
            const int direction = static_cast<int>(i) >= before ? +1 : -1;
            if (ui_page* cur = active_page())
                if (!cur->on_kill_active())
                    return false;
            activate(static_cast<int>(i), direction);
            return m_active != before || static_cast<int>(i) == before;
        }
    }
    return false;
}

void ui_property_sheet::press_next()
{
    ui_page* cur = active_page();
    if (!cur || m_ended || !(m_buttons & PSWIZB_NEXT))
        return;
    int r = cur->on_wiz_next();
    if (r == -1)
        return;
    int target = m_active + 1;
    if (r != 0) {
        target = -1;
        for (std::size_t i = 0; i < m_pages.size(); ++i)
            if (m_pages[i]->template_id() == r)
                target = static_cast<int>(i);
        if (target < 0)
            return;
    }
    if (!cur->on_kill_active())
        return;
    activate(target, +1);
}

void ui_property_sheet::press_back()
{
    ui_page* cur = active_page();
    if (!cur || m_ended || !(m_buttons & PSWIZB_BACK))
        return;
    int r = cur->on_wiz_back();
    if (r == -1)
        return;
    int target = m_active - 1;
    if (r != 0) {
        target = -1;
        for (std::size_t i = 0; i < m_pages.size(); ++i)
            if (m_pages[i]->template_id() == r)
                target = static_cast<int>(i);
        if (target < 0)
            return;
    }
    if (!cur->on_kill_active())
        return;
    activate(target, -1);
}

void ui_property_sheet::press_finish()
{
    ui_page* cur = active_page();
    if (!cur || m_ended || !(m_buttons & PSWIZB_FINISH))
        return;
    if (cur->on_wiz_finish())
        end(0);
}

void ui_property_sheet::press_cancel()
{
    ui_page* cur = active_page();
    if (m_ended)
        return;
    if (m_chrome && !m_chrome->cancel->isEnabled())
        return;
    if (!cur || cur->on_query_cancel())
        end(1);
}

void ui_property_sheet::press_help()
{
    if (ui_page* cur = active_page())
        cur->on_help();
}

void ui_property_sheet::center()
{
    if (!m_window)
        return;
    QScreen* s = m_window->screen();
    if (!s)
        return;
    m_window->move(s->availableGeometry().center() - m_window->rect().center());
    ui_fit_to_screen(m_window, m_window->width(), m_window->height());
}

bool ui_property_sheet::start_timer(int timer_id, int milliseconds)
{
    bool ok = false;
    ui_run_on_gui([&]() {
        if (!m_window)
            return;
        ui_timer_ptr t(new QTimer());
        QObject::connect(t.get(), &QTimer::timeout, m_window, [this, timer_id]() {
            try {
                on_timer(timer_id);
            } catch (const std::exception& e) {
                on_error(e);
            }
        });
        t->start(milliseconds);
        m_timers[timer_id] = std::move(t);
        ok = true;
    });
    return ok;
}

void ui_property_sheet::kill_timer(int timer_id)
{
    ui_run_on_gui([&]() { m_timers.erase(timer_id); });
}

void ui_property_sheet::on_timer(int timer_id)
{
    if (ui_page* p = active_page())
        p->on_timer(timer_id);
}

QWidget* ui_property_sheet::window() const
{
    return m_window;
}

void ui_property_sheet::on_error(const std::exception& e)
{
    ui_log(3, L"Unhandled error in a page:\n" + QString::fromLocal8Bit(e.what()).toStdWString());
}

#include "platform/ui/ui_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>

#include "platform/ui/ui_log.h"

namespace {

QString qs(const std::wstring& s)
{
    return QString::fromStdWString(s);
}

std::wstring ws(const QString& s)
{
    return s.toStdWString();
}

std::mutex& template_lock()
{
    static std::mutex m;
    return m;
}

std::map<int, ui_template>& templates()
{
    static std::map<int, ui_template> t;
    return t;
}

std::mutex& hook_lock()
{
    static std::mutex m;
    return m;
}

ui_modal_hook& modal_hook()
{
    static ui_modal_hook h;
    return h;
}

// A check box that changes only when the program says so.
class manual_check : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {}
};

// A list that asks for the height of two rows only: it grows into the room a page has left, and
// on a short screen (a small laptop at twice the scale) leaves room for the buttons under it.
class short_list : public QListWidget {
public:
    using QListWidget::QListWidget;
    QSize sizeHint() const override { return QSize(QListWidget::sizeHint().width(), rows_height()); }
    QSize minimumSizeHint() const override { return QSize(QListWidget::minimumSizeHint().width(), rows_height()); }

private:
    int rows_height() const { return fontMetrics().lineSpacing() * 2 + 2 * frameWidth(); }
};

// Turns widget signals of one control into commands of its window.
class event_relay : public QObject {
public:
    event_relay(ui_window* owner, int id, QObject* parent) : QObject(parent), m_owner(owner), m_id(id) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::FocusIn)
            m_owner->dispatch(m_id, ui_setfocus);
        return QObject::eventFilter(watched, event);
    }

private:
    ui_window* m_owner;
    int m_id;
};

// The letter a text marks with "&" as its shortcut (0 when none; "&&" is a literal "&").
QChar mnemonic_of(const QString& text)
{
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != QLatin1Char('&'))
            continue;
        if (text[i + 1] != QLatin1Char('&'))
            return text[i + 1].toUpper();
        ++i;
    }
    return QChar();
}

// The top-level widget of a modal dialog: Escape and the close box go to the dialog object.
// A letter that the focused control does not take presses the button it marks, as in any
// dialog box ("Y" and "N" answer a Yes/No box).
class modal_widget : public QDialog {
public:
    explicit modal_widget(ui_dialog* owner) : m_owner(owner) {}

    void reject() override
    {
        if (m_owner->is_ended())
            QDialog::reject();
        else
            m_owner->on_close();
    }

protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        if (!(e->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier)) && !e->text().isEmpty())
            if (QAbstractButton* b = button_marked(e->text()[0].toUpper())) {
                b->click();
                return;
            }
        QDialog::keyPressEvent(e);
    }

private:
    QAbstractButton* button_marked(QChar letter) const
    {
        if (!letter.isLetterOrNumber())
            return nullptr;
        for (QAbstractButton* b : findChildren<QAbstractButton*>())
            if (b->isVisible() && b->isEnabled() && mnemonic_of(b->text()) == letter)
                return b;
        return nullptr;
    }

    ui_dialog* m_owner;
};

QPixmap standard_pixmap(const QWidget* w, ui_icon icon)
{
    QStyle::StandardPixmap which = QStyle::SP_MessageBoxInformation;
    switch (icon) {
    case ui_icon::error: which = QStyle::SP_MessageBoxCritical; break;
    case ui_icon::question: which = QStyle::SP_MessageBoxQuestion; break;
    case ui_icon::warning: which = QStyle::SP_MessageBoxWarning; break;
    case ui_icon::information: break;
    }
    const int size = w->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, w);
    return w->style()->standardIcon(which, nullptr, w).pixmap(size, size);
}

// Case-insensitive order of sorted list boxes.
bool sorts_before(const QString& a, const QString& b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

} // namespace

void ui_timer_deleter::operator()(QTimer* t) const
{
    t->stop();
    t->deleteLater();
}

// ---------------------------------------------------------------------------------------------
// Templates and threads

void ui_register_template(const ui_template& t)
{
    std::lock_guard<std::mutex> g(template_lock());
    templates()[t.id] = t;
}

const ui_template* ui_find_template(int id)
{
    std::lock_guard<std::mutex> g(template_lock());
    auto it = templates().find(id);
    return it == templates().end() ? nullptr : &it->second;
}

bool ui_on_gui_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void ui_run_on_gui(const std::function<void()>& f)
{
    if (ui_on_gui_thread()) {
        f();
        return;
    }
    std::exception_ptr error;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&]() {
            try {
                f();
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error)
        std::rethrow_exception(error);
}

void ui_wait_while(const std::function<bool()>& condition)
{
    const bool gui = ui_on_gui_thread() && QCoreApplication::instance();
    while (condition()) {
        if (gui)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        else
            QThread::msleep(5);
    }
}

void ui_post_to_gui(const std::function<void()>& f)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        f();
        return;
    }
    QMetaObject::invokeMethod(app, f, Qt::QueuedConnection);
}

namespace {
int g_argc = 1;
char g_arg0[] = "dravlen";
char* g_argv[] = {g_arg0, nullptr};
} // namespace

void ui_ensure_application()
{
    if (!QCoreApplication::instance())
        new QApplication(g_argc, g_argv);   // lives until the process ends
}

ui_module::ui_module()
{
    if (!QCoreApplication::instance()) {
        new QApplication(g_argc, g_argv);
        m_owner = true;
    }
}

ui_module::~ui_module()
{
    if (m_owner)
        delete QCoreApplication::instance();
}

// ---------------------------------------------------------------------------------------------
// ui_window

ui_window::ui_window(int template_id) : m_template_id(template_id) {}

ui_window::~ui_window()
{
    destroy_widgets();
}

namespace {

// Whether the control is a text field that a label names.
bool is_field(const ui_control& c)
{
    return c.kind == ui_kind::edit || c.kind == ui_kind::password;
}

// A label standing right before a field that has no text of its own names that field.
bool names_next_field(const ui_template& t, std::size_t i)
{
    return t.controls[i].kind == ui_kind::label && i + 1 < t.controls.size() &&
           is_field(t.controls[i + 1]) && t.controls[i + 1].text.empty() && !t.controls[i + 1].same_row;
}

// The page's grid: a form of label, field and trailing button columns; other rows span it.
class form_grid {
public:
    explicit form_grid(QWidget* host)
        : m_outer(new QVBoxLayout(host)), m_grid(new QGridLayout()), m_dialog(host->isWindow())
    {
        m_outer->addLayout(m_grid);
        m_grid->setColumnStretch(1, 1);
    }
    // A form row: the label in the first column, the field in the second.
    void form_row(QLabel* label, QWidget* field)
    {
        close_line();
        m_row = m_grid->rowCount();
        m_form = true;
        m_trailing = nullptr;
        if (label) {
            label->setWordWrap(false);
            m_grid->addWidget(label, m_row, 0);
        }
        m_grid->addWidget(field, m_row, 1);
    }
    // A control of its own row, or one more to the right of the row's last control.
    void add(QWidget* w, bool same_row)
    {
        if (same_row && m_form) {
            if (!m_trailing) {
                m_trailing = new QHBoxLayout();
                m_grid->addLayout(m_trailing, m_row, 2);
            }
            m_trailing->addWidget(w);
            return;
        }
        if (!same_row || !m_line) {
            close_line();
            m_row = m_grid->rowCount();
            m_form = false;
            m_only_buttons = true;
            m_line = new QHBoxLayout();
            m_grid->addLayout(m_line, m_row, 0, 1, 3);
        }
        m_line->addWidget(w);
        m_only_buttons = m_only_buttons && qobject_cast<QPushButton*>(w) != nullptr;
        // Lists and text boxes take the room left over.
        if (qobject_cast<QAbstractScrollArea*>(w)) {
            m_grid->setRowStretch(m_row, 1);
            m_grows = true;
        }
    }
    // Without a list or text box to take the room left over, the rows stay together at the top.
    void finish()
    {
        close_line();
        if (!m_grows)
            m_outer->addStretch(1);
    }

private:
    // Push buttons keep their natural width: a row of them sits at the left of a page
    // and at the right of a dialog.
    void close_line()
    {
        if (m_line && m_only_buttons) {
            if (m_dialog)
                m_line->insertStretch(0, 1);
            else
                m_line->addStretch(1);
        }
        m_line = nullptr;
    }

    QVBoxLayout* m_outer;
    QGridLayout* m_grid;
    bool m_dialog;
    QHBoxLayout* m_line = nullptr;
    QHBoxLayout* m_trailing = nullptr;
    int m_row = 0;
    bool m_form = false;
    bool m_only_buttons = false;
    bool m_grows = false;
};

} // namespace

void ui_window::create_widgets(QWidget* host)
{
    destroy_widgets();
    m_widget = host;
    const ui_template* t = ui_find_template(m_template_id);
    m_radios = new QButtonGroup(host);
    if (!t) {
        new QVBoxLayout(host);
        return;
    }
    form_grid form(host);
    // A label whose text marks a shortcut gives the focus to the next input control of the
    // template (labels in one row pair with the inputs of the next row, in order).
    std::deque<QLabel*> waiting;
    auto take_label = [&](QWidget* input) {
        if (waiting.empty())
            return;
        waiting.front()->setBuddy(input);
        waiting.pop_front();
    };
    QLabel* field_label = nullptr;
    for (std::size_t i = 0; i < t->controls.size(); ++i) {
        const ui_control& c = t->controls[i];
        QWidget* w = nullptr;
        const QString text = qs(c.text);
        switch (c.kind) {
        case ui_kind::label: {
            auto* l = new QLabel(text, host);
            l->setTextFormat(Qt::PlainText);
            l->setWordWrap(true);
            if (names_next_field(*t, i)) {
                field_label = l;
                m_items[c.id] = l;
                if (c.hidden)
                    l->hide();
                continue;
            }
            if (!mnemonic_of(text).isNull())
                waiting.push_back(l);
            w = l;
            break;
        }
        case ui_kind::image:
            w = new QLabel(host);
            break;
        case ui_kind::button:
        case ui_kind::default_button: {
            auto* b = new QPushButton(text, host);
            b->setDefault(c.kind == ui_kind::default_button);
            QObject::connect(b, &QPushButton::clicked, host, [this, id = c.id]() { dispatch(id, ui_clicked); });
            w = b;
            break;
        }
        case ui_kind::check: {
            auto* b = new manual_check(text, host);
            QObject::connect(b, &QCheckBox::clicked, host, [this, id = c.id]() { dispatch(id, ui_clicked); });
            w = b;
            break;
        }
        case ui_kind::radio: {
            auto* b = new QRadioButton(text, host);
            m_radios->addButton(b);
            QObject::connect(b, &QRadioButton::clicked, host, [this, id = c.id]() { dispatch(id, ui_clicked); });
            w = b;
            break;
        }
        case ui_kind::edit:
        case ui_kind::password: {
            auto* e = new QLineEdit(host);
            QLabel* l = field_label;
            field_label = nullptr;
            if (!c.text.empty()) {
                l = new QLabel(text, host);
                l->setTextFormat(Qt::PlainText);
            }
            if (l)
                l->setBuddy(e);
            else
                take_label(e);
            if (c.kind == ui_kind::password)
                e->setEchoMode(QLineEdit::Password);
            e->installEventFilter(new event_relay(this, c.id, e));
            QObject::connect(e, &QLineEdit::textEdited, host, [this, id = c.id]() { dispatch(id, ui_changed); });
            form.form_row(l, e);
            m_items[c.id] = e;
            if (c.hidden)
                e->hide();
            continue;
        }
        case ui_kind::memo: {
            auto* e = new QPlainTextEdit(host);
            e->setTabChangesFocus(true);
            e->installEventFilter(new event_relay(this, c.id, e));
            take_label(e);
            w = e;
            break;
        }
        case ui_kind::list: {
            auto* l = new short_list(host);
            l->setSelectionMode(QAbstractItemView::ExtendedSelection);
            take_label(l);
            QObject::connect(l, &QListWidget::itemDoubleClicked, host,
                             [this, id = c.id]() { dispatch(id, ui_dblclk); });
            w = l;
            break;
        }
        case ui_kind::progress: {
            auto* p = new QProgressBar(host);
            p->setRange(0, 100);
            p->setValue(0);
            w = p;
            break;
        }
        case ui_kind::link: {
            auto* l = new QLabel(text, host);
            l->setTextInteractionFlags(Qt::TextBrowserInteraction);
            l->setOpenExternalLinks(false);
            QObject::connect(l, &QLabel::linkActivated, host,
                             [](const QString& target) { ui_open_url(target.toStdWString()); });
            w = l;
            break;
        }
        }
        form.add(w, c.same_row);
        if (c.hidden)
            w->hide();
        m_items[c.id] = w;
    }
    form.finish();
}

void ui_window::destroy_widgets()
{
    m_items.clear();
    m_extents.clear();
    m_widget = nullptr;
    m_radios = nullptr;
}

QWidget* ui_window::item(int id) const
{
    auto it = m_items.find(id);
    return it == m_items.end() ? nullptr : it->second;
}

void ui_window::dispatch(int id, int code)
{
    // Handlers report their own errors; one that escapes must not unwind through Qt.
    try {
        on_command(id, code);
    } catch (const std::exception& e) {
        on_error(e);
    }
}

void ui_window::on_error(const std::exception& e)
{
    ui_log(3, L"Unhandled error in a command handler:\n" + QString::fromLocal8Bit(e.what()).toStdWString());
}

void ui_window::set_text(int id, const std::wstring& text)
{
    QWidget* w = item(id);
    if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setText(qs(text));
    else if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        m->setPlainText(qs(text));
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
        b->setText(qs(text));
    else if (auto* l = qobject_cast<QLabel*>(w))
        l->setText(qs(text));
}

QString ui_label_text(const QLabel* label)
{
    return label->text().remove(QChar(0x200B));
}

std::wstring ui_window::get_text(int id, std::size_t max_chars) const
{
    QWidget* w = item(id);
    QString text;
    if (auto* e = qobject_cast<QLineEdit*>(w))
        text = e->text();
    else if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        text = m->toPlainText();
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
        text = b->text();
    else if (auto* l = qobject_cast<QLabel*>(w))
        text = ui_label_text(l);
    std::wstring result = ws(text);
    if (max_chars > 0 && result.size() > max_chars - 1)
        result.resize(max_chars - 1);
    return result;
}

void ui_window::check(int id, bool on)
{
    if (auto* b = qobject_cast<QAbstractButton*>(item(id)))
        b->setChecked(on);
}

bool ui_window::is_checked(int id) const
{
    auto* b = qobject_cast<QAbstractButton*>(item(id));
    return b && b->isChecked();
}

void ui_window::enable(int id, bool on)
{
    if (QWidget* w = item(id)) {
        w->setEnabled(on);
        if (on)
            w->setFocus();
    }
}

bool ui_window::is_enabled(int id) const
{
    QWidget* w = item(id);
    return w && w->isEnabled();
}

void ui_window::show(int id, bool on)
{
    if (QWidget* w = item(id))
        w->setVisible(on);
}

bool ui_window::is_visible(int id) const
{
    QWidget* w = item(id);
    return w && !w->isHidden();
}

void ui_window::focus(int id)
{
    if (QWidget* w = item(id)) {
        if (auto* e = qobject_cast<QLineEdit*>(w))
            e->selectAll();
        else if (auto* m = qobject_cast<QPlainTextEdit*>(w))
            m->selectAll();
        w->setFocus();
        // Offscreen and hidden windows do not move the focus; tell the window all the same.
        if (QApplication::focusWidget() != w)
            dispatch(id, ui_setfocus);
    }
}

int ui_window::focused_id() const
{
    QWidget* f = QApplication::focusWidget();
    for (const auto& [id, w] : m_items)
        if (w == f)
            return id;
    return 0;
}

void ui_window::set_read_only(int id, bool on)
{
    QWidget* w = item(id);
    if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setReadOnly(on);
    else if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        m->setReadOnly(on);
}

bool ui_window::is_read_only(int id) const
{
    QWidget* w = item(id);
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->isReadOnly();
    if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        return m->isReadOnly();
    return false;
}

void ui_window::set_progress(int id, int value)
{
    if (auto* p = qobject_cast<QProgressBar*>(item(id)))
        p->setValue(value);
}

int ui_window::get_progress(int id) const
{
    auto* p = qobject_cast<QProgressBar*>(item(id));
    return p ? p->value() : 0;
}

void ui_window::set_font(int id, const std::wstring& family, int points, bool bold)
{
    if (QWidget* w = item(id)) {
        QFont f(qs(family), points, bold ? QFont::Bold : QFont::Normal);
        f.setStyleHint(QFont::SansSerif);
        w->setFont(f);
    }
}

void ui_window::set_link(int id, const std::wstring& label, const std::wstring& target)
{
    if (auto* l = qobject_cast<QLabel*>(item(id))) {
        l->setText(QStringLiteral("<a href=\"%1\" style=\"color:blue\">%2</a>")
                       .arg(qs(target).toHtmlEscaped(), qs(label).toHtmlEscaped()));
        l->setToolTip(qs(target));
    }
}

void ui_window::set_icon(int id, ui_icon icon)
{
    if (auto* l = qobject_cast<QLabel*>(item(id)))
        l->setPixmap(standard_pixmap(l, icon));
}

void ui_window::set_default_button(int id)
{
    QWidget* target = item(id);
    for (const auto& [other, w] : m_items)
        if (auto* b = qobject_cast<QPushButton*>(w))
            b->setDefault(w == target);
}

bool ui_window::is_default_button(int id) const
{
    auto* b = qobject_cast<QPushButton*>(item(id));
    return b && b->isDefault();
}

void ui_window::append_text(int id, const std::wstring& text)
{
    if (auto* m = qobject_cast<QPlainTextEdit*>(item(id))) {
        QTextCursor c = m->textCursor();
        c.movePosition(QTextCursor::End);
        QString t = qs(text);
        t.remove(QLatin1Char('\r'));
        c.insertText(t);
        m->setTextCursor(c);
    } else if (auto* e = qobject_cast<QLineEdit*>(item(id))) {
        e->setText(e->text() + qs(text));
    }
}

// Lists

namespace {
QListWidget* list_of(const ui_window* w, int id)
{
    return qobject_cast<QListWidget*>(w->item(id));
}
} // namespace

int ui_window::lb_add(int id, const std::wstring& text)
{
    QListWidget* l = list_of(this, id);
    if (!l)
        return -1;
    const QString t = qs(text);
    int pos = 0;
    while (pos < l->count() && !sorts_before(t, l->item(pos)->text()))
        ++pos;
    l->insertItem(pos, t);
    return pos;
}

void ui_window::lb_insert(int id, int pos, const std::wstring& text)
{
    if (QListWidget* l = list_of(this, id))
        l->insertItem(pos < 0 ? l->count() : pos, qs(text));
}

void ui_window::lb_delete(int id, int index)
{
    if (QListWidget* l = list_of(this, id))
        delete l->takeItem(index);
}

void ui_window::lb_reset(int id)
{
    if (QListWidget* l = list_of(this, id))
        l->clear();
}

int ui_window::lb_count(int id) const
{
    QListWidget* l = list_of(this, id);
    return l ? l->count() : 0;
}

std::wstring ui_window::lb_text(int id, int index, std::size_t max_chars) const
{
    QListWidget* l = list_of(this, id);
    if (!l || index < 0 || index >= l->count())
        return std::wstring();
    std::wstring t = ws(l->item(index)->text());
    if (max_chars > 0 && t.size() > max_chars - 1)
        t.resize(max_chars - 1);
    return t;
}

std::vector<int> ui_window::lb_selection(int id) const
{
    std::vector<int> result;
    if (QListWidget* l = list_of(this, id))
        for (int i = 0; i < l->count(); ++i)
            if (l->item(i)->isSelected())
                result.push_back(i);
    return result;
}

void ui_window::lb_select(int id, int index, bool on)
{
    QListWidget* l = list_of(this, id);
    if (l && index >= 0 && index < l->count())
        l->item(index)->setSelected(on);
}

void ui_window::lb_clear_selection(int id)
{
    if (QListWidget* l = list_of(this, id))
        l->clearSelection();
}

int ui_window::lb_find_exact(int id, const std::wstring& text) const
{
    QListWidget* l = list_of(this, id);
    if (!l)
        return -1;
    const QString t = qs(text);
    for (int i = 0; i < l->count(); ++i)
        if (l->item(i)->text() == t)
            return i;
    return -1;
}

int ui_window::lb_text_width(int id, const std::wstring& text) const
{
    QWidget* w = item(id);
    if (!w)
        return 0;
    return QFontMetrics(w->font()).horizontalAdvance(qs(text));
}

void ui_window::lb_set_extent(int id, int pixels)
{
    m_extents[id] = pixels;
}

int ui_window::lb_extent(int id) const
{
    auto it = m_extents.find(id);
    return it == m_extents.end() ? 0 : it->second;
}

void ui_window::press(int id)
{
    QWidget* w = item(id);
    if (auto* r = qobject_cast<QRadioButton*>(w)) {
        r->setChecked(true);
        dispatch(id, ui_clicked);
    } else if (qobject_cast<QCheckBox*>(w)) {
        dispatch(id, ui_clicked);   // the program toggles its own check boxes
    } else if (auto* b = qobject_cast<QPushButton*>(w)) {
        if (b->isEnabled())
            dispatch(id, ui_clicked);
    } else {
        dispatch(id, ui_clicked);
    }
}

void ui_window::double_click(int id)
{
    dispatch(id, ui_dblclk);
}

// ---------------------------------------------------------------------------------------------
// ui_dialog

ui_dialog::ui_dialog(int template_id) : ui_window(template_id)
{
    if (const ui_template* t = ui_find_template(template_id))
        m_caption = t->caption;
}

ui_dialog::~ui_dialog() = default;


void ui_set_modal_hook(ui_modal_hook hook)
{
    std::lock_guard<std::mutex> g(hook_lock());
    modal_hook() = std::move(hook);
}

bool ui_has_modal_hook()
{
    std::lock_guard<std::mutex> g(hook_lock());
    return static_cast<bool>(modal_hook());
}

int ui_dialog::do_modal()
{
    int result = IDCANCEL;
    ui_run_on_gui([&]() {
        ui_ensure_application();
        auto* dlg = new modal_widget(this);
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_dialog = dlg;
        }
        if (m_caption.empty())
            if (const ui_template* t = ui_find_template(template_id()))
                m_caption = t->caption;   // templates may be registered after the object was made
        dlg->setWindowTitle(qs(m_caption));
        create_widgets(dlg);
        on_init();
        ui_modal_hook hook;
        {
            std::lock_guard<std::mutex> g(hook_lock());
            hook = modal_hook();
        }
        if (hook && !m_ended.load()) {
            hook(*this);
            if (!m_ended.load())
                end_dialog(IDCANCEL);
        } else if (!m_ended.load()) {
            dlg->exec();
        }
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_dialog = nullptr;
        }
        m_timers.clear();
        destroy_widgets();
        delete dlg;
        result = m_result.load();
    });
    return result;
}

void ui_dialog::end_dialog(int result)
{
    std::lock_guard<std::mutex> g(m_lock);
    if (m_ended.exchange(true))
        return;
    m_result.store(result);
    if (m_dialog) {
        QDialog* dlg = m_dialog;
        if (ui_on_gui_thread())
            dlg->done(result);
        else
            QMetaObject::invokeMethod(dlg, [dlg, result]() { dlg->done(result); }, Qt::QueuedConnection);
    }
}

void ui_dialog::set_caption(const std::wstring& text)
{
    m_caption = text;
    if (m_dialog)
        m_dialog->setWindowTitle(qs(text));
}

std::wstring ui_dialog::caption() const
{
    return m_caption;
}

namespace {

// A break the display alone adds to a long word (a zero-width space, where lines may break);
// the text read back from a label drops it.
const QChar ui_break_here(0x200B);

// The text with every word wider than `width` (a long path, say) given breaks where lines may
// end so that each fits it: after a separator of a path or a name where one comes late enough,
// else where the width ends. Other words and every blank stay as they are.
QString break_long_words(const QString& text, const QFontMetrics& metrics, int width)
{
    static const QString separators = QStringLiteral("/\\_-.");
    QString out, word;
    auto put_word = [&]() {
        while (word.size() > 1 && metrics.horizontalAdvance(word) > width) {
            int cut = 1, after_separator = 0;
            while (cut < word.size() && metrics.horizontalAdvance(word.left(cut + 1)) <= width) {
                ++cut;
                if (separators.contains(word[cut - 1]))
                    after_separator = cut;
            }
            if (after_separator > cut / 2)
                cut = after_separator;
            out += word.left(cut) + ui_break_here;
            word.remove(0, cut);
        }
        out += word;
        word.clear();
    };
    for (const QChar c : text) {
        if (c.isSpace()) {
            put_word();
            out += c;
        } else {
            word += c;
        }
    }
    put_word();
    return out;
}

// The label's text (as it was before any word of it was broken) breaks within the width, and
// the label may be as narrow as that.
void fit_label(QLabel* label, const QString& text, int width)
{
    const QString broken = break_long_words(text, QFontMetrics(label->font()), width);
    if (broken != label->text())
        label->setText(broken);
    label->setMinimumWidth(std::min(label->minimumWidth(), width));
}

// The wrapped, plain-text labels of a dialog (its messages).
QList<QLabel*> message_labels(QWidget* dialog)
{
    QList<QLabel*> found;
    for (QLabel* label : dialog->findChildren<QLabel*>())
        if (label->wordWrap() && label->textFormat() == Qt::PlainText)
            found.push_back(label);
    return found;
}

// A dialog as wide as its longest line of text and its title need, up to two thirds of the
// screen: lines broken by hand stay as written and the title is not cut. A word wider than that
// (a long path) is broken, and when the icon and the margins beside a message leave it less
// room on a narrow screen, the message takes less width: every line of it can be read.
void fit_texts(QWidget* dialog)
{
    QScreen* screen = dialog->screen() ? dialog->screen() : QGuiApplication::primaryScreen();
    const int area = screen ? screen->availableGeometry().width() : 960;
    const int cap = std::max(area * 2 / 3, std::min(area - 48, 520));
    const QList<QLabel*> labels = message_labels(dialog);
    QStringList texts;
    for (QLabel* label : labels) {
        const QFontMetrics text(label->font());
        int widest = 0;
        for (const QString& line : label->text().split(QLatin1Char('\n')))
            widest = std::max(widest, text.horizontalAdvance(line));
        // Too wide for the screen: the lines of a paragraph flow as one, not broken twice.
        if (widest > cap)
            label->setText(label->text().remove(QLatin1Char('\r')).replace(QRegularExpression(QStringLiteral("(?<!\n)\n(?!\n)")), QStringLiteral(" ")));
        label->setMinimumWidth(std::min(widest + 2, cap));
        texts.push_back(label->text());
        fit_label(label, texts.back(), cap);
    }
    QFont bold = dialog->font();
    bold.setBold(true);
    // The window manager's frame adds its icon and buttons around the title.
    const int title = QFontMetrics(bold).horizontalAdvance(dialog->windowTitle()) + 160;
    dialog->setMinimumWidth(std::min(title, cap));
    // As much room as ui_fit_to_screen leaves beside the frame.
    const int room = area - 16;
    for (qsizetype i = 0; i < labels.size(); ++i) {
        for (QLayout* layout : dialog->findChildren<QLayout*>())
            layout->invalidate();
        const int excess = dialog->minimumSizeHint().width() - room;
        if (excess <= 0)
            break;
        QLabel* label = labels[i];
        fit_label(label, texts[i], std::max(label->minimumWidth() - excess, QFontMetrics(label->font()).averageCharWidth() * 12));
    }
}

} // namespace

void ui_dialog::center()
{
    QWidget* w = widget();
    if (!w)
        return;
    fit_texts(w);
    ui_fit_to_screen(w, 0, 0);
    QWidget* parent = QApplication::activeWindow();
    if (parent && parent != w)
        w->move(parent->geometry().center() - w->rect().center());
    else if (QScreen* s = w->screen())
        w->move(s->availableGeometry().center() - w->rect().center());
    ui_fit_to_screen(w, 0, 0);   // over a parent near the edge: back onto the screen
}

void ui_dialog::on_command(int id, int /*code*/)
{
    if (id == IDOK || id == IDCANCEL)
        end_dialog(id);
}

void ui_dialog::post_while_shown(const std::function<void()>& f)
{
    std::lock_guard<std::mutex> g(m_lock);
    // Queued on the dialog's widget: dropped when the widget goes before the call comes.
    if (m_dialog)
        QMetaObject::invokeMethod(m_dialog, f, Qt::QueuedConnection);
}

void ui_dialog::start_timer(int timer_id, int milliseconds)
{
    if (!ui_on_gui_thread()) {
        post_while_shown([this, timer_id, milliseconds]() { start_timer(timer_id, milliseconds); });
        return;
    }
    if (!widget())
        return;
    ui_timer_ptr t(new QTimer());
    QObject::connect(t.get(), &QTimer::timeout, widget(), [this, timer_id]() {
        try {
            on_timer(timer_id);
        } catch (const std::exception& e) {
            on_error(e);
        }
    });
    t->start(milliseconds);
    m_timers[timer_id] = std::move(t);
}

void ui_dialog::kill_timer(int timer_id)
{
    if (!ui_on_gui_thread()) {
        post_while_shown([this, timer_id]() { kill_timer(timer_id); });
        return;
    }
    m_timers.erase(timer_id);
}

// ---------------------------------------------------------------------------------------------
// Message boxes

ui_message_dialog::ui_message_dialog(const std::wstring& text, const std::wstring& caption, unsigned flags)
    : ui_dialog(ui_message_template_id), m_text(text), m_flags(flags)
{
    set_caption(caption);
}

void ui_message_dialog::on_init()
{
    QWidget* w = widget();
    auto* layout = static_cast<QVBoxLayout*>(w->layout());
    auto* row = new QHBoxLayout();
    auto* icon = new QLabel(w);
    ui_icon which = ui_icon::information;
    switch (m_flags & 0xF0) {
    case MB_ICONERROR: which = ui_icon::error; break;
    case MB_ICONQUESTION: which = ui_icon::question; break;
    case MB_ICONEXCLAMATION: which = ui_icon::warning; break;
    default: break;
    }
    icon->setPixmap(standard_pixmap(w, which));
    row->addWidget(icon, 0, Qt::AlignTop);
    auto* label = new QLabel(QString::fromStdWString(m_text), w);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);   // a long message grows downwards, not off the screen
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(label, 1);
    layout->addLayout(row);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    auto add = [&](int id, const char* text, bool is_default) {
        auto* b = new QPushButton(QString::fromLatin1(text), w);
        b->setDefault(is_default);
        QObject::connect(b, &QPushButton::clicked, w, [this, id]() { dispatch(id, ui_clicked); });
        buttons->addWidget(b);
        if (is_default)
            b->setFocus();
    };
    if ((m_flags & 0xF) == MB_YESNO) {
        add(IDYES, "&Yes", !(m_flags & MB_DEFBUTTON2));
        add(IDNO, "&No", (m_flags & MB_DEFBUTTON2) != 0);
    } else {
        add(IDOK, "OK", true);
    }
    layout->addLayout(buttons);
    center();
}

void ui_message_dialog::on_command(int id, int /*code*/)
{
    if (id == IDOK || id == IDYES || id == IDNO)
        end_dialog(id);
    else if (id == IDCANCEL)
        end_dialog((m_flags & 0xF) == MB_YESNO ? IDNO : IDOK);
}

int ui_message_box(const std::wstring& text, const std::wstring& caption, unsigned flags)
{
    ui_message_dialog box(text, caption, flags);
    return box.do_modal();
}

void ui_fit_to_screen(QWidget* window, int preferred_width, int preferred_height)
{
    QScreen* screen = window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // Room for the frame the window manager adds around the window.
    const QSize room = area.size() - QSize(16, 40);
    QSize size = QSize(preferred_width, preferred_height).expandedTo(window->sizeHint());
    size = size.boundedTo(room).expandedTo(QSize(1, 1));
    // Wrapped text made narrower needs more lines: the height follows the width taken.
    if (QLayout* layout = window->layout(); layout && layout->hasHeightForWidth())
        size.setHeight(std::min(std::max(size.height(), layout->totalHeightForWidth(size.width())), room.height()));
    window->resize(size);
    QPoint at = window->pos();
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
    window->move(at);
}

void ui_beep()
{
    if (ui_on_gui_thread() && QCoreApplication::instance())
        QApplication::beep();
}

bool ui_open_url(const std::wstring& target)
{
    const QString t = QString::fromStdWString(target);
    QUrl url = t.contains(QStringLiteral("://")) ? QUrl(t) : QUrl::fromLocalFile(t);
    bool ok = false;
    ui_run_on_gui([&]() { ok = QDesktopServices::openUrl(url); });
    return ok;
}

#if defined(__SANITIZE_ADDRESS__)
// The font library keeps a cache it never frees; it is not ours to report.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n";
}
#endif

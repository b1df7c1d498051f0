// Drives real windows with key events, as a user at the keyboard would: waits for a modal
// window to show and become active, then types into whatever has the focus.
#pragma once
#include <QAbstractButton>
#include <QApplication>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace keyboard {

// Calls step with the modal window once one other than `below` shows and is active. The
// check runs from the event loop, so it also reaches windows shown by a nested modal loop.
inline void when_modal_shows(std::function<void(QWidget*)> step, QWidget* below = nullptr)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, step, below]() {
        QWidget* m = QApplication::activeModalWidget();
        if (!m || m == below || !m->isVisible())
            return;
        if (QApplication::activeWindow() != m) {
            m->activateWindow();
            return;
        }
        poll->stop();
        poll->deleteLater();
        step(m);
    });
    poll->start();
}

// Whether a button shows itself pressed: one its shortcut pressed, whose click is still to come.
inline bool button_held()
{
    for (QWidget* w : QApplication::allWidgets())
        if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->isDown())
            return true;
    return false;
}

// One key (with modifiers) to the widget that has the focus, else to the window. A button's
// shortcut presses it visibly and clicks it a moment later: the key returns once it has clicked.
inline void press(QWidget* window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* target = QApplication::focusWidget();
    QTest::keyClick(target ? target : window, key, modifiers);
    if (modifiers & Qt::AltModifier) {
        EXPECT_TRUE(QTest::qWaitFor([]() { return !button_held(); }, 30000)) << "a button shortcut never clicked";
    }
}

// Text typed into the widget that has the focus.
inline void type(QWidget* window, const QString& text)
{
    QWidget* target = QApplication::focusWidget();
    QTest::keyClicks(target ? target : window, text);
}

// Collects the warnings Qt reports while it lives (Qt's own thread checks end up here).
class qt_warnings {
public:
    qt_warnings()
    {
        {
            std::lock_guard<std::mutex> g(lock());
            seen().clear();
        }
        m_previous = qInstallMessageHandler(&qt_warnings::handler);
    }
    ~qt_warnings() { qInstallMessageHandler(m_previous); }
    qt_warnings(const qt_warnings&) = delete;
    qt_warnings& operator=(const qt_warnings&) = delete;

    // The warnings that contain the text.
    static std::vector<std::string> containing(const std::string& text)
    {
        std::lock_guard<std::mutex> g(lock());
        std::vector<std::string> out;
        for (const auto& w : seen())
            if (w.find(text) != std::string::npos)
                out.push_back(w);
        return out;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type == QtDebugMsg || type == QtInfoMsg)
            return;
        std::lock_guard<std::mutex> g(lock());
        seen().push_back(text.toStdString());
    }
    static std::mutex& lock()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& seen()
    {
        static std::vector<std::string> s;
        return s;
    }

    QtMessageHandler m_previous;
};

} // namespace keyboard

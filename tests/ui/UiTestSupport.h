#pragma once
// Helpers for the widget tests: a Prompter that records instead of showing,
// key presses delivered the way the window system delivers them (shortcuts
// included), and a bounded way to act on a modal dialog once it runs.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "ui/Prompter.h"

// Qt's own entry for synthetic window-system key events (what QTest uses).
Q_GUI_EXPORT void qt_handleKeyEvent(QWindow* window, QEvent::Type type, int key,
                                    Qt::KeyboardModifiers modifiers, const QString& text,
                                    bool autorep, ushort count);

// Failing comparisons of texts print them readably.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace pw::test {

class FakePrompter : public Prompter {
public:
    struct RHelp {
        QString File;
    };

    TBoxAnswer ShowMessageBox(QWidget*, const RMessageBox& box) override {
        boxes.push_back(box);
        return TBoxAnswer::Ok;
    }
    QStringList ChooseFiles(QWidget*, const RFileDialog& dialog) override {
        dialogs.push_back(dialog);
        if (fileAnswers.empty()) return {};
        QStringList answer = fileAnswers.front();
        fileAnswers.pop_front();
        return answer;
    }
    bool OpenHelp(QWidget*, const QString& helpFile) override {
        helps.push_back(helpFile);
        return viewerAvailable;
    }

    std::vector<std::string> boxTexts() const {
        std::vector<std::string> texts;
        for (const RMessageBox& box : boxes) texts.push_back(box.Text);
        return texts;
    }

    std::vector<RMessageBox> boxes;
    std::vector<RFileDialog> dialogs;
    std::deque<QStringList> fileAnswers;
    QStringList helps;
    bool viewerAvailable = true;
};

// Shows `window` and makes it the active window, so that key events reach its
// focus widget and its shortcuts.
inline void ShowActive(QWidget& window) {
    window.show();
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    QApplication::processEvents();
}

// Delivers one key event (press or release) to the focus widget of `target`'s
// window, as the window system would.
inline void SendKey(QWidget* target, QEvent::Type type, int key,
                    Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWindow* window = target->window()->windowHandle();
    ASSERT_NE(window, nullptr) << "the window must be shown";
    qt_handleKeyEvent(window, type, key, modifiers, QString(), false, 1);
    QApplication::processEvents();
}

// Presses and releases `key` with `modifiers` on `target` (focused first), as
// the window system would deliver them.
inline void PressKey(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    target->setFocus(Qt::OtherFocusReason);
    QApplication::processEvents();
    QWindow* window = target->window()->windowHandle();
    ASSERT_NE(window, nullptr) << "the window must be shown";
    qt_handleKeyEvent(window, QEvent::KeyPress, key, modifiers, QString(), false, 1);
    qt_handleKeyEvent(window, QEvent::KeyRelease, key, modifiers, QString(), false, 1);
    QApplication::processEvents();
}

// Once a visible top-level widget of type D appears (within `limitMs`), calls
// `act` on it. Whatever happens, every dialog still open after the limit is
// rejected, so a test can never hang on a modal loop.
template <typename D>
void WhenShown(std::function<void(D&)> act, int limitMs = 5000) {
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, act, limitMs] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<D*>(widget);
            if (dialog != nullptr && dialog->isVisible()) {
                poll->stop();
                poll->deleteLater();
                delete clock;
                act(*dialog);
                return;
            }
        }
        if (clock->elapsed() > limitMs) {
            poll->stop();
            poll->deleteLater();
            delete clock;
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                    dialog->reject();
            ADD_FAILURE() << "no dialog appeared in time";
        }
    });
    poll->start(10);
}

// Drives the program's message loop from Qt's event loop, as the front end
// does: whenever the loop has work, and again while a round left more.
class LoopOnQt {
public:
    explicit LoopOnQt(MessageLoop& loop)
        : loop_(loop), notifier_(static_cast<qintptr>(loop.Descriptor()), QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] { Round(); });
    }

private:
    void Round() {
        if (loop_.DispatchPending(8) > 0) QTimer::singleShot(0, &notifier_, [this] { Round(); });
    }

    MessageLoop& loop_;
    QSocketNotifier notifier_;
};

// Lets Qt's events run until `done` holds or `limitMs` have passed; whether it held.
inline bool WaitUntil(const std::function<bool()>& done, int limitMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

}  // namespace pw::test

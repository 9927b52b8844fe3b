#include "ui/Snapshots.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/MainUnit.h"
#include "ui/AboutBox.h"
#include "ui/Commands.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/QtFrontEnd.h"
#include "ui/QtText.h"

namespace pw {

namespace {

// When the windows have settled after start-up, and how long the job runs
// before its picture is taken.
constexpr int kSettleMs = 800;
constexpr int kJobMs = 2500;

bool SavePicture(QWidget& widget, const QString& file) {
    QCoreApplication::processEvents();
    const bool saved = widget.grab().save(file, "PNG");
    std::fprintf(stderr, "%s: %s %s\n", ApplicationTitle, saved ? "saved" : "could not save",
                 file.toLocal8Bit().constData());
    return saved;
}

// Once a visible top-level D appears, `act` gets it (and must close it).
template <typename D>
void WhenShown(QObject* context, std::function<void(D&)> act) {
    auto* poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, act] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* window = qobject_cast<D*>(widget);
            if (window == nullptr || !window->isVisible()) continue;
            poll->stop();
            poll->deleteLater();
            act(*window);
            return;
        }
    });
    poll->start(50);
}

}  // namespace

void ArmSnapshots(TQtFrontEnd& front, const QString& folder, const QString& sink) {
    MainWindow* window = &front.Window();
    const auto file = [folder](const char* name) { return folder + QLatin1Char('/') + QLatin1String(name) + ".png"; };
    QTimer::singleShot(kSettleMs, window, [&front, window, file, sink] {
        SavePicture(*window, file("main-window"));

        WhenShown<AboutBox>(window, [file](AboutBox& box) {
            SavePicture(box, file("about"));
            box.accept();
        });
        front.Commands().About();

        WhenShown<OptionsDialog>(window, [file](OptionsDialog& dialog) {
            const char* names[] = {"options-email", "options-mix", "options-on-error"};
            for (int page = 0; page < OptionsDialog::pgCount; ++page) {
                dialog.showPage(page);
                SavePicture(dialog, file(names[page]));
            }
            dialog.reject();
        });
        front.Commands().Options();

        const int colon = static_cast<int>(sink.lastIndexOf(QLatin1Char(':')));
        if (colon <= 0) {
            window->close();
            return;
        }
        ROptions& options = front.Unit().Options();
        options.Host = FromQt(sink.left(colon));
        options.Port = sink.mid(colon + 1).toInt();
        options.Security = 0;
        options.SMTP_Auth_Enabled = false;
        options.ExitAfterSend = false;
        // The picture is taken while the job runs; closing ends the job.
        QTimer::singleShot(kJobMs, window, [window, file] {
            SavePicture(*window, file("main-window-job"));
            window->close();
        });
        front.Commands().Send();
    });
}

}  // namespace pw

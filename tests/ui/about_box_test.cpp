// The about box: its fixed texts and fonts, what it tells of this copy (Qt,
// settings, log), and that it can be opened and closed again and again with
// the main window still usable.
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "UiTestSupport.h"
#include "ui/AboutBox.h"
#include "ui/MainWindow.h"

namespace pw {
namespace {

RAboutFacts Facts() { return {QStringLiteral("/home/me/.config/parcelwing/parcelwing.ini"), QString()}; }

TEST(AboutBox, ShowsNameAndVersionInShadowedBlueArial) {
    AboutBox box(Facts());
    EXPECT_EQ(box.windowTitle(), "About");
    EXPECT_FALSE(box.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    const struct {
        ShadowLabel* line;
        const char* text;
        int depth;
    } lines[] = {{box.nameLine(), "Parcelwing", 2}, {box.versionLine(), "version 2.1b", 1}};
    for (const auto& row : lines) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.line->text(), row.text);
        EXPECT_EQ(row.line->shadowDepth(), row.depth);
        EXPECT_EQ(row.line->textColor(), QColor(0, 0, 255));
        EXPECT_EQ(row.line->font().family(), "Arial");
        EXPECT_TRUE(row.line->font().bold());
        EXPECT_TRUE(row.line->font().italic());
    }
    // Titles grow with the application's font, the name more than the version.
    const double base = QApplication::font().pointSizeF();
    EXPECT_GT(box.nameLine()->font().pointSizeF(), box.versionLine()->font().pointSizeF());
    EXPECT_GT(box.versionLine()->font().pointSizeF(), base);

    // The text is really drawn in blue.
    const QImage drawn = box.nameLine()->grab().toImage();
    bool blue = false;
    for (int y = 0; y < drawn.height() && !blue; ++y)
        for (int x = 0; x < drawn.width() && !blue; ++x) blue = drawn.pixelColor(x, y) == QColor(0, 0, 255);
    EXPECT_TRUE(blue);
}

TEST(AboutBox, SaysWhichQtRunsItAndWhereItsSettingsAndLogLive) {
    struct Row {
        RAboutFacts facts;
        const char* log;
    };
    const Row rows[] = {{{QStringLiteral("/srv/pw/parcelwing.ini"), QStringLiteral("/srv/pw/parcelwing.log")},
                         "/srv/pw/parcelwing.log"},
                        {{QStringLiteral("/home/me/.config/parcelwing/parcelwing.ini"), QString()}, "none kept"}};
    for (const Row& row : rows) {
        AboutBox box(row.facts);
        EXPECT_EQ(box.settingsLine()->text(), row.facts.SettingsFile);
        EXPECT_EQ(box.logLine()->text(), QString::fromLatin1(row.log));
        EXPECT_TRUE(box.qtLine()->text().startsWith(QString::fromLatin1(qVersion()) + QLatin1Char(' ')))
            << box.qtLine()->text().toStdString();
        EXPECT_TRUE(box.qtLine()->text().contains(QStringLiteral(QT_VERSION_STR)));
        for (QLabel* label : box.findChildren<QLabel*>())
            EXPECT_EQ(label->font().pointSizeF(), QApplication::font().pointSizeF()) << label->text().toStdString();
    }
}

TEST(AboutBox, EnterIsOkAndEscClosesIt) {
    for (const int key : {Qt::Key_Return, Qt::Key_Escape}) {
        AboutBox box(Facts());
        test::ShowActive(box);
        EXPECT_TRUE(box.okButton()->isDefault());
        test::PressKey(box.okButton(), key);
        EXPECT_FALSE(box.isVisible());
        EXPECT_EQ(box.result(), key == Qt::Key_Return ? QDialog::Accepted : QDialog::Rejected);
    }
}

TEST(AboutBox, OpensTwiceAndLeavesTheMainWindowUsable) {
    test::FakePrompter prompter;
    MainWindow window(prompter);
    test::ShowActive(window);
    int shown = 0;
    for (int round = 0; round < 2; ++round) {
        test::WhenShown<AboutBox>([&shown, round](AboutBox& box) {
            ++shown;
            if (round == 0) {
                box.okButton()->click();
            } else {
                box.close();
            }
        });
        ShowAbout(&window, Facts());
    }
    EXPECT_EQ(shown, 2);
    QApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(window.findChildren<AboutBox*>().isEmpty()) << "destroyed after each showing";
    EXPECT_TRUE(window.isEnabled());
    EXPECT_TRUE(window.menuItem(MainWindow::mpAbout)->isEnabled());
}

}  // namespace
}  // namespace pw

// A running job's progress in the status bar: where it sits (beside the status
// line, taking no height from the file list), when it shows (only while a job
// runs), what it says (message n of m from 1, the file, its bytes) and that
// its words come from the language file.

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QStatusBar>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/LanguageUi.h"
#include "ui/MainWindow.h"
#include "ui/ProgressText.h"
#include "ui/QtView.h"

namespace pw {
namespace {

using test::FakePrompter;

RJobProgress Running(int message, int messages, const std::string& file = "", std::uint64_t done = 0,
                     std::uint64_t size = 0) {
    RJobProgress p;
    p.Running = true;
    p.Message = message;
    p.Messages = messages;
    p.File = file;
    p.FileDone = done;
    p.FileSize = size;
    return p;
}

TEST(JobProgressValue, CountsFinishedMessagesAndTheShareOfTheFile) {
    struct Row {
        RJobProgress progress;
        int want;
    };
    const Row rows[] = {
        {Running(0, 4), 0},                          // not started yet
        {Running(1, 4), 0},                          // first message, no file yet
        {Running(1, 4, "a", 50, 100), 125},          // half of the first of four
        {Running(3, 4, "a", 100, 100), 750},         // third file read completely
        {Running(4, 4, "a", 0, 0), 750},             // an empty file adds nothing
        {Running(2, 2, "a", 500, 100), 1000},        // a file that grew: never past the end
        {Running(5, 4), 1000},                       // the list got shorter meanwhile
        {Running(1, 0), 0},                          // nothing known
    };
    for (const auto& r : rows) EXPECT_EQ(JobProgressValue(r.progress, 1000), r.want) << r.want;
}

TEST(ProgressLine, CountsMessagesFromOneAndNamesTheFileAndItsBytes) {
    const RProgressTexts english = BuiltInProgressTexts();
    struct Row {
        RJobProgress progress;
        const char* want;
    };
    const Row rows[] = {
        {Running(0, 3), "Message 1 of 3"},  // the first is being prepared: it is the first
        {Running(1, 3), "Message 1 of 3"},
        {Running(3, 3), "Message 3 of 3"},
        {Running(4, 3), "Message 4 of 4"},   // the list grew meanwhile: never "4 of 3"
        {Running(0, 0), "Message 1 of 1"},
        {Running(2, 5, "/srv/out/report.pdf", 0, 512), "Message 2 of 5  \u00b7  report.pdf  \u00b7  0 bytes of 512 bytes"},
        {Running(2, 5, "report.pdf", 1536, 1048576),
         "Message 2 of 5  \u00b7  report.pdf  \u00b7  1.5 KB of 1.0 MB"},
        {Running(1, 1, "/a/b.iso", 5ull << 30, 6ull << 30), "Message 1 of 1  \u00b7  b.iso  \u00b7  5.0 GB of 6.0 GB"},
        {Running(1, 1, "/a/grew", 900, 800), "Message 1 of 1  \u00b7  grew  \u00b7  800 bytes of 800 bytes"},
    };
    for (const Row& row : rows) EXPECT_EQ(ProgressLine(row.progress, english), QString::fromUtf8(row.want));
}

TEST(SizeText, PicksTheUnitAndTheLanguagesDecimalPoint) {
    RProgressTexts german = BuiltInProgressTexts();
    german.Text[ptSizeBytes] = QStringLiteral("%1 Byte");
    german.Text[ptDecimalPoint] = QStringLiteral(",");
    const std::pair<std::uint64_t, const char*> rows[] = {
        {0, "0 Byte"},         {1023, "1023 Byte"},  {1024, "1,0 KB"},
        {1536, "1,5 KB"},      {1048575, "1024,0 KB"}, {1048576, "1,0 MB"},
        {1073741824, "1,0 GB"}, {5497558138880ull, "5120,0 GB"}};
    for (const auto& [bytes, want] : rows) EXPECT_EQ(SizeText(bytes, german), QString::fromUtf8(want)) << bytes;
}

class StatusBarProgressTest : public ::testing::Test {
protected:
    FakePrompter prompter;
    MainWindow window{prompter};
    QtView view{window, prompter};
};

TEST_F(StatusBarProgressTest, SitsBesideTheStatusLineAndShowsOnlyWhileAJobRuns) {
    window.fileList()->addItems({QStringLiteral("/tmp/a"), QStringLiteral("/tmp/b")});
    test::ShowActive(window);
    QStatusBar* bar = window.statusBar();
    // The status line, the words and the bar all live in the status bar.
    for (QWidget* w : std::initializer_list<QWidget*>{window.statusBox(), window.progressLabel(), window.progressBar()})
        EXPECT_TRUE(bar->isAncestorOf(w)) << w->metaObject()->className();
    EXPECT_TRUE(window.progressLabel()->isHidden());
    EXPECT_TRUE(window.progressBar()->isHidden());
    const int listHeight = window.fileList()->height();
    const int barHeight = bar->height();
    const QRect statusPlace = window.statusBox()->geometry();

    view.JobProgress(Running(2, 4, "/tmp/out/big.bin", 25, 100));
    QApplication::processEvents();
    EXPECT_TRUE(window.progressBar()->isVisible());
    EXPECT_TRUE(window.progressLabel()->isVisible());
    EXPECT_EQ(window.progressBar()->value(), 312);  // (1 + 0.25) / 4
    EXPECT_EQ(window.progressLabel()->text(),
              QString::fromUtf8("Message 2 of 4  \u00b7  big.bin  \u00b7  25 bytes of 100 bytes"));
    EXPECT_EQ(window.progressLabel()->toolTip(), QStringLiteral("/tmp/out/big.bin"));
    EXPECT_EQ(window.fileList()->height(), listHeight) << "the list keeps its height";
    EXPECT_EQ(bar->height(), barHeight);
    EXPECT_EQ(window.statusBox()->geometry().topLeft(), statusPlace.topLeft());
    EXPECT_GE(window.progressLabel()->x(), window.statusBox()->geometry().right());

    view.JobProgress(Running(3, 4));
    EXPECT_EQ(window.progressBar()->value(), 500);
    EXPECT_EQ(window.progressLabel()->text(), QStringLiteral("Message 3 of 4"));

    RJobProgress end = Running(4, 4);
    end.Running = false;
    view.JobProgress(end);
    QApplication::processEvents();
    EXPECT_TRUE(window.progressBar()->isHidden());
    EXPECT_TRUE(window.progressLabel()->isHidden());
    EXPECT_EQ(window.progressBar()->value(), 0);
    EXPECT_EQ(window.fileList()->height(), listHeight);
}

TEST_F(StatusBarProgressTest, ALongFileNameIsShortenedToTheRoomThereIs) {
    test::ShowActive(window);
    const std::string name = "a-report-with-a-name-much-too-long-for-any-status-bar-of-a-window-this-size.pdf";
    view.JobProgress(Running(1, 2, "/srv/" + name, 10, 20));
    QApplication::processEvents();
    const QString shown = window.progressLabel()->text();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Message 1 of 2"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QString::fromStdString(name))) << shown.toStdString();
    EXPECT_LE(window.progressLabel()->sizeHint().width(), window.progressLabel()->width());
    // With room enough the whole name shows.
    window.resize(1600, window.height());
    QApplication::processEvents();
    EXPECT_TRUE(window.progressLabel()->text().contains(QString::fromStdString(name)));
}

TEST_F(StatusBarProgressTest, WordsComeFromTheLanguageFile) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(QFile::copy(QStringLiteral(PW_SOURCE_DIR "/resources/German.lng"), folder.filePath("German.lng")));
    const std::string programFolder = folder.path().toStdString() + "/";
    test::ShowActive(window);
    window.resize(1200, window.height());
    view.JobProgress(Running(2, 3, "/srv/bericht.pdf", 1536, 3 * 1048576));
    ApplyMainLanguage(window, programFolder, "German.lng");
    QApplication::processEvents();
    EXPECT_EQ(window.progressLabel()->text(),
              QString::fromUtf8("Nachricht 2 von 3  \u00b7  bericht.pdf  \u00b7  1,5 KB von 3,0 MB"));
    // Back to the built-in texts with no language.
    ApplyMainLanguage(window, programFolder, ".lng");
    EXPECT_EQ(window.progressLabel()->text(),
              QString::fromUtf8("Message 2 of 3  \u00b7  bericht.pdf  \u00b7  1.5 KB of 3.0 MB"));
}

}  // namespace
}  // namespace pw

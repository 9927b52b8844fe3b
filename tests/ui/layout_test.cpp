// Every window as a person sees it, in English, in German and with every
// caption made twice as long: nothing overlaps, no caption is cut, and every
// caption is in the application's font. The same program runs a second time
// at twice the scale (QT_SCALE_FACTOR=2, see CMakeLists.txt).
#include <QComboBox>
#include <QDir>
#include <QHBoxLayout>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>

#include "LayoutChecks.h"
#include "UiTestSupport.h"
#include "config/Language.h"
#include "ui/AboutBox.h"
#include "ui/LanguageUi.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/WindowTexts.h"

namespace pw {
namespace {

using test::Cuts;
using test::FakePrompter;
using test::FontsNotTheApplications;
using test::Overlaps;

using Problems = std::vector<std::string>;

// A language file whose every text is its built-in text twice.
QByteArray DoubledLanguage() {
    QByteArray file;
    const auto section = [&file](const char* name, std::initializer_list<std::span<const RLanguageText>> tables) {
        file += "[" + QByteArray(name) + "]\r\n";
        for (const auto& table : tables)
            for (const RLanguageText& text : table)
                file += QByteArray(text.Key) + "=" + text.BuiltIn + " " + text.BuiltIn + "\r\n";
    };
    section(kMainFormSection, {kMainFormTexts, kProgressTexts});
    section(kOptionsFormSection, {kOptionsFormTexts, kOptionsExtraTexts});
    return file;
}

struct RLanguageCase {
    const char* name;
    const char* langFile;  // "" for the built-in texts
    double fontPoints;     // the application's font size; 0 keeps the desktop's
};

class LayoutTest : public ::testing::TestWithParam<RLanguageCase> {
protected:
    void SetUp() override {
        savedFont = QApplication::font();
        if (GetParam().fontPoints > 0) {
            QFont font = savedFont;
            font.setPointSizeF(GetParam().fontPoints);
            QApplication::setFont(font);
        }
        ASSERT_TRUE(folder.isValid());
        ASSERT_TRUE(QFile::copy(QStringLiteral(PW_SOURCE_DIR "/resources/German.lng"), folder.filePath("German.lng")));
        QFile doubled(folder.filePath("Doubled.lng"));
        ASSERT_TRUE(doubled.open(QIODevice::WriteOnly));
        doubled.write(DoubledLanguage());
    }
    void TearDown() override { QApplication::setFont(savedFont); }
    std::string programFolder() const { return folder.path().toStdString() + "/"; }
    std::string langFile() const { return GetParam().langFile; }

    // All three lists at once, so that a failure shows every problem.
    static void ExpectClean(QWidget& window, const std::string& where) {
        SCOPED_TRACE(where);
        EXPECT_EQ(Overlaps(&window), Problems{});
        EXPECT_EQ(Cuts(&window), Problems{});
        EXPECT_EQ(FontsNotTheApplications(&window), Problems{});
    }

    QFont savedFont;
    QTemporaryDir folder;
    FakePrompter prompter;
};

// The checks themselves see what they are for.
TEST(LayoutChecks, SeeOverlapsCutsAndForeignFonts) {
    QWidget window;
    auto* row = new QHBoxLayout(&window);
    auto* first = new QLabel(QStringLiteral("First label"), &window);
    auto* second = new QLabel(QStringLiteral("Second label"), &window);
    row->addWidget(first);
    row->addWidget(second);
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(Overlaps(&window), Problems{});
    EXPECT_EQ(Cuts(&window), Problems{});
    EXPECT_EQ(FontsNotTheApplications(&window), Problems{});

    second->move(first->x() + 2, first->y());  // as an absolute position would put it
    EXPECT_EQ(Overlaps(&window).size(), 1u);
    first->resize(first->sizeHint().width() / 2, first->height());
    EXPECT_EQ(Cuts(&window).size(), 1u);
    QFont pixels = first->font();
    pixels.setPixelSize(8);
    first->setFont(pixels);
    EXPECT_EQ(FontsNotTheApplications(&window).size(), 1u);
}

TEST_P(LayoutTest, MainWindowIdleAndDuringAJob) {
    MainWindow window(prompter);
    ApplyMainLanguage(window, programFolder(), langFile());
    window.fileList()->addItem(QStringLiteral("/srv/reports/sales.pdf"));
    window.statusBox()->addItem(QStringLiteral("7 3 2025 9:5:3 RequestDone Rq=6(Quit) Error=0"));
    test::ShowActive(window);
    ExpectClean(window, "idle");
    const int listHeight = window.fileList()->height();

    RJobProgress progress;
    progress.Running = true;
    progress.Message = 2;
    progress.Messages = 12;
    progress.File = "/srv/reports/a-file-name-long-enough-to-need-shortening-in-the-status-bar-2025-03-07.pdf";
    progress.FileDone = 13'107'200;
    progress.FileSize = 41'943'040;
    window.showProgress(progress);
    QApplication::processEvents();
    EXPECT_TRUE(window.progressLabel()->isVisible());
    ExpectClean(window, "during a job");
    EXPECT_EQ(window.fileList()->height(), listHeight) << "the progress takes no room from the list";

    // Narrower and wider: the words follow the room the status bar has.
    for (const int width : {window.minimumSizeHint().width(), 1200}) {
        window.resize(width, window.height());
        QApplication::processEvents();
        ExpectClean(window, "during a job at width " + std::to_string(width));
    }
}

TEST_P(LayoutTest, EveryPageOfTheOptionsDialog) {
    OptionsDialog dialog(prompter, programFolder(), QString());
    ROptions options;
    options.Host = "smtp.example.org";
    options.LangFile = langFile();
    dialog.fill(options);
    dialog.show();
    QApplication::processEvents();
    for (int page = 0; page < OptionsDialog::pgCount; ++page) {
        dialog.showPage(page);
        QApplication::processEvents();
        ExpectClean(dialog, "page " + std::to_string(page));
    }

    // The Test report under its button: a few long lines that wrap.
    const ROptionsControls& c = dialog.controls();
    dialog.showPage(OptionsDialog::pgEMail);
    c.TestResult->setText(QStringLiteral("Connecting to smtp.example.org, port 587 ...\nConnected. The server says: "
                                         "220 smtp.example.org ESMTP ready for your messages today\nLogin accepted."));
    c.TestResult->setVisible(true);
    QApplication::processEvents();
    ExpectClean(dialog, "with a test report");
}

TEST(AboutBoxLayout, NothingOverlapsOrIsCut) {
    AboutBox box({QStringLiteral("/home/somebody/.config/parcelwing/parcelwing.ini"),
                  QStringLiteral("/home/somebody/.local/state/parcelwing/parcelwing.log")});
    box.show();
    QApplication::processEvents();
    EXPECT_EQ(Overlaps(&box), Problems{});
    EXPECT_EQ(Cuts(&box), Problems{});
    EXPECT_EQ(FontsNotTheApplications(&box), Problems{});
    EXPECT_GE(box.nameLine()->height(), box.nameLine()->sizeHint().height());
    EXPECT_GE(box.nameLine()->width(), box.nameLine()->sizeHint().width());
}

INSTANTIATE_TEST_SUITE_P(Languages, LayoutTest,
                         ::testing::Values(RLanguageCase{"English", "", 0}, RLanguageCase{"German", "German.lng", 0},
                                           RLanguageCase{"Doubled", "Doubled.lng", 0},
                                           RLanguageCase{"GermanInALargeFont", "German.lng", 16}),
                         [](const ::testing::TestParamInfo<RLanguageCase>& row) { return row.param.name; });

}  // namespace
}  // namespace pw

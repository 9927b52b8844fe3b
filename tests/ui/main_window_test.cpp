// The main window on real widgets: menu, tool bar and pop-up positions, ids,
// texts and images, the enabled states (start, busy, focus rule), the file
// list's keys, F1, the files panel height, drops and Exit.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QAbstractTextDocumentLayout>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStatusBar>
#include <QSplitter>
#include <QToolBar>
#include <QUrl>

#include "UiTestSupport.h"
#include "ui/Images.h"
#include "ui/MainWindow.h"

namespace pw {
namespace {

using test::FakePrompter;
using test::PressKey;
using test::ShowActive;

class MainWindowTest : public ::testing::Test {
protected:
    FakePrompter prompter;
    MainWindow window{prompter};

    int count(void (MainWindow::*signal)()) {
        auto* counter = new int(0);
        counters.emplace_back(counter);
        QObject::connect(&window, signal, &window, [counter] { ++*counter; });
        return static_cast<int>(counters.size()) - 1;
    }
    int fired(int counter) const { return *counters[static_cast<std::size_t>(counter)]; }
    void addFiles(int n) {
        for (int i = 0; i < n; ++i) window.fileList()->addItem(QStringLiteral("/tmp/file%1").arg(i));
    }

    std::vector<std::unique_ptr<int>> counters;
};

TEST_F(MainWindowTest, IsBuiltWithItsCaptionAndClientSize) {
    EXPECT_EQ(window.windowTitle(), "Parcelwing");
    EXPECT_EQ(window.size(), QSize(552, 343));
    EXPECT_EQ(window.toLabel()->text(), "To:");
    EXPECT_EQ(window.filesCaption()->text(), "Attached Files:");
    EXPECT_EQ(window.attachDialogTitle(), "Select files");
}

TEST_F(MainWindowTest, MenuPositionsCountEveryEntry) {
    struct Row {
        int position;
        const char* text;  // nullptr: separator
        bool visible;
    };
    const Row rows[] = {
        {0, "&File", true},           {1, "&Attach a File", true}, {2, nullptr, true},
        {3, "&Send", true},           {4, "&Abort", true},         {5, nullptr, true},
        {6, "&Create ShortCut", false}, {7, nullptr, false},      {8, "E&xit", true},
        {9, "&Options...", true},     {10, "&Help", true},         {11, "&Contents\tF1", true},
        {12, nullptr, true},          {13, "About...", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.position);
        QAction* action = window.menuItem(row.position);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->isSeparator(), row.text == nullptr);
        if (row.text != nullptr) {
            EXPECT_EQ(action->text(), QString::fromUtf8(row.text));
        }
        EXPECT_EQ(action->isVisible(), row.visible);
    }
    EXPECT_EQ(window.menuItem(14), nullptr);
    EXPECT_EQ(window.menuItem(-1), nullptr);

    // The positions are the menus' real order.
    const QList<QAction*> top = window.menuBar()->actions();
    ASSERT_EQ(top.size(), 3);
    EXPECT_EQ(top[0], window.menuItem(0));
    EXPECT_EQ(top[1], window.menuItem(9));
    EXPECT_EQ(top[2], window.menuItem(10));
    const QList<QAction*> file = window.menuItem(0)->menu()->actions();
    ASSERT_EQ(file.size(), 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(file[i], window.menuItem(1 + i));
    const QList<QAction*> help = window.menuItem(10)->menu()->actions();
    ASSERT_EQ(help.size(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(help[i], window.menuItem(11 + i));
    EXPECT_FALSE(window.menuItem(6)->isEnabled());
}

TEST_F(MainWindowTest, ToolBarPositionsIdsTooltipsImagesAndStartStates) {
    struct Row {
        int position;
        int image;  // -1: separator
        const char* tip;
        bool enabled;
        int sameAsMenu;  // menu position of the same command, -1 none
    };
    const Row rows[] = {
        {0, 0, "Attach a File(s)", true, 1}, {1, -1, nullptr, true, -1},
        {2, 1, "Send messages", true, 3},    {3, 2, "Abort sending", false, 4},
        {4, -1, nullptr, true, -1},          {5, 3, "Program options", true, -1},
        {6, -1, nullptr, true, -1},          {7, 4, "Help", true, 11},
        {8, -1, nullptr, true, -1},          {9, 5, "Up", false, -1},
        {10, 6, "Delete", false, -1},        {11, 7, "Down", false, -1},
        {12, -1, nullptr, true, -1},         {13, 9, "Address book", false, -1}};
    const QList<QAction*> onBar = window.toolBar()->actions();
    ASSERT_EQ(onBar.size(), 14);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.position);
        QAction* action = window.toolButton(row.position);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(onBar[row.position], action);
        EXPECT_EQ(action->data().toInt(), 100 + row.position);
        EXPECT_EQ(action->isSeparator(), row.image < 0);
        if (row.image < 0) continue;
        EXPECT_EQ(action->toolTip(), QString::fromUtf8(row.tip));
        EXPECT_EQ(action->isEnabled(), row.enabled);
        if (row.sameAsMenu >= 0) {
            EXPECT_EQ(action, window.menuItem(row.sameAsMenu));
        }
        const QIcon icon = action->icon();
        EXPECT_EQ(icon.pixmap(32, 32, QIcon::Normal).toImage(),
                  ToolImage(TImageList::Enabled, row.image).toImage());
        EXPECT_EQ(icon.pixmap(32, 32, QIcon::Disabled).toImage(),
                  ToolImage(TImageList::Disabled, row.image).toImage());
    }
    EXPECT_FALSE(window.menuItem(MainWindow::mpAbort)->isEnabled());
    // The menu bar's "&Options..." has no image, so that its text shows.
    EXPECT_TRUE(window.menuItem(MainWindow::mpOptions)->icon().isNull());
}

TEST(ToolImages, BothListsHoldTenImagesOf32Pixels) {
    for (TImageList list : {TImageList::Enabled, TImageList::Disabled}) {
        EXPECT_EQ(ToolImageCount(list), 10);
        EXPECT_EQ(ToolImage(list, 9).size(), QSize(32, 32));
        EXPECT_TRUE(ToolImage(list, 10).isNull());
        EXPECT_TRUE(ToolImage(list, -1).isNull());
    }
    for (int i = 0; i < 10; ++i)
        EXPECT_NE(ToolImage(TImageList::Enabled, i).toImage(), ToolImage(TImageList::Disabled, i).toImage()) << i;
    EXPECT_FALSE(ProgramIcon().isNull());
}

TEST(ToolImages, EachIsDrawnAgainAtTwiceTheDensity) {
    for (TImageList list : {TImageList::Enabled, TImageList::Disabled}) {
        for (int i = 0; i < ToolImageCount(list); ++i) {
            const QPixmap sharp = ToolImage(list, i, 2);
            ASSERT_EQ(sharp.size(), QSize(64, 64)) << i;
            EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
            EXPECT_EQ(sharp.deviceIndependentSize(), QSizeF(32, 32)) << "the same room in the layout";
            // Drawn anew, not the small one blown up: scaled down it is close
            // to the small one, but it has detail the small one has not.
            const QImage small = ToolImage(list, i).toImage().convertToFormat(QImage::Format_ARGB32);
            const QImage big = sharp.toImage().convertToFormat(QImage::Format_ARGB32);
            const QImage blownUp = small.scaled(64, 64).convertToFormat(QImage::Format_ARGB32);
            EXPECT_NE(big, blownUp) << i;
            int alphaOff = 0;
            for (int y = 0; y < 32; ++y)
                for (int x = 0; x < 32; ++x)
                    alphaOff += std::abs(qAlpha(big.pixel(2 * x, 2 * y)) - qAlpha(small.pixel(x, y))) > 128 ? 1 : 0;
            EXPECT_LT(alphaOff, 32 * 32 / 10) << "image " << i << " is the same picture";
        }
    }
    // A tool button's icon offers both, so a 2x screen gets the sharp one.
    const QIcon icon = ToolIcon(1);
    EXPECT_EQ(icon.availableSizes(QIcon::Normal), (QList<QSize>{QSize(32, 32), QSize(64, 64)}));
}

TEST(ProgramIcon, ComesInEveryInstalledSize) {
    const QIcon icon = ProgramIcon();
    QList<QSize> sizes;
    for (int size : kProgramIconSizes) {
        sizes << QSize(size, size);
        const QString file = QStringLiteral(PW_SOURCE_DIR "/resources/parcelwing-%1.png").arg(size);
        EXPECT_EQ(QImage(file).size(), QSize(size, size)) << file.toStdString();
    }
    EXPECT_EQ(icon.availableSizes(), sizes);
}

TEST_F(MainWindowTest, PopupMenuSharesTheListButtons) {
    const QList<QAction*> items = window.fileListMenu()->actions();
    ASSERT_EQ(items.size(), 5);
    const char* texts[] = {"Add", "Delete", nullptr, "Up", "Down"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(items[i], window.popupItem(i));
        EXPECT_EQ(items[i]->isSeparator(), texts[i] == nullptr);
        if (texts[i] != nullptr) {
            EXPECT_EQ(items[i]->text(), texts[i]);
        }
    }
    EXPECT_EQ(window.popupItem(MainWindow::ppDelete), window.toolButton(MainWindow::tpDelete));
    EXPECT_EQ(window.popupItem(MainWindow::ppUp), window.toolButton(MainWindow::tpUp));
    EXPECT_EQ(window.popupItem(MainWindow::ppDown), window.toolButton(MainWindow::tpDown));

    const int attach = count(&MainWindow::attachRequested);
    window.popupItem(MainWindow::ppAdd)->trigger();
    window.menuItem(MainWindow::mpAttach)->trigger();
    EXPECT_EQ(fired(attach), 2);
}

TEST_F(MainWindowTest, BusyStateSwapsSendOptionsAndAbort) {
    const auto state = [this] {
        return std::vector<bool>{window.menuItem(MainWindow::mpSend)->isEnabled(),
                                 window.menuItem(MainWindow::mpOptions)->isEnabled(),
                                 window.toolButton(MainWindow::tpOptions)->isEnabled(),
                                 window.menuItem(MainWindow::mpAbort)->isEnabled(),
                                 window.toolButton(MainWindow::tpAddressBook)->isEnabled()};
    };
    EXPECT_EQ(state(), (std::vector<bool>{true, true, true, false, false}));
    window.setBusy(true);
    EXPECT_TRUE(window.isBusy());
    EXPECT_EQ(state(), (std::vector<bool>{false, false, false, true, false}));
    window.setBusy(false);
    EXPECT_EQ(state(), (std::vector<bool>{true, true, true, false, false}));
}

TEST_F(MainWindowTest, FocusDecidesTheListButtons) {
    ShowActive(window);
    const auto listButtons = [this] {
        const bool up = window.toolButton(MainWindow::tpUp)->isEnabled();
        EXPECT_EQ(window.toolButton(MainWindow::tpDelete)->isEnabled(), up);
        EXPECT_EQ(window.toolButton(MainWindow::tpDown)->isEnabled(), up);
        EXPECT_EQ(window.popupItem(MainWindow::ppDelete)->isEnabled(), up);
        return up;
    };
    window.fileList()->setFocus();
    QApplication::processEvents();
    EXPECT_FALSE(listButtons()) << "an empty list keeps them disabled";

    addFiles(2);
    window.messageText()->setFocus();
    QApplication::processEvents();
    EXPECT_FALSE(listButtons());
    window.fileList()->setFocus();
    QApplication::processEvents();
    EXPECT_TRUE(listButtons());
    window.messageText()->setFocus();
    QApplication::processEvents();
    EXPECT_FALSE(listButtons());

    for (QWidget* other : {static_cast<QWidget*>(window.toBox()), static_cast<QWidget*>(window.subjectBox()),
                           static_cast<QWidget*>(window.statusBox())}) {
        window.fileList()->setFocus();
        QApplication::processEvents();
        ASSERT_TRUE(listButtons());
        other->setFocus();
        QApplication::processEvents();
        EXPECT_FALSE(listButtons()) << other->metaObject()->className();
    }
    // Adding or removing files sets them directly.
    window.setListButtonsEnabled(true);
    EXPECT_TRUE(listButtons());
}

TEST_F(MainWindowTest, FileListKeysNeedExactlyTheirModifier) {
    ShowActive(window);
    addFiles(3);
    window.fileList()->setCurrentRow(1);
    const int del = count(&MainWindow::deleteRequested);
    const int up = count(&MainWindow::moveUpRequested);
    const int down = count(&MainWindow::moveDownRequested);
    const int paste = count(&MainWindow::pasteRequested);
    QListWidget* list = window.fileList();

    PressKey(list, Qt::Key_Delete);
    PressKey(list, Qt::Key_Delete, Qt::ShiftModifier);
    PressKey(list, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(fired(del), 1);

    PressKey(list, Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(fired(up), 1);
    EXPECT_EQ(list->currentRow(), 1) << "Shift+Up is consumed: the list's own move does not happen";
    PressKey(list, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(fired(down), 1);
    EXPECT_EQ(list->currentRow(), 1);
    PressKey(list, Qt::Key_Down);
    EXPECT_EQ(fired(down), 1) << "Down alone only moves the cursor";
    EXPECT_EQ(list->currentRow(), 2);
    PressKey(list, Qt::Key_Up, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(fired(up), 1);

    PressKey(list, Qt::Key_V, Qt::ControlModifier);
    PressKey(list, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(fired(paste), 1);
    // The same keys elsewhere are not list commands.
    PressKey(window.messageText(), Qt::Key_Delete);
    EXPECT_EQ(fired(del), 1);
}

TEST_F(MainWindowTest, F1AsksForHelpFromAnywhereAndKeepsWorkingWithoutItsHint) {
    ShowActive(window);
    const int help = count(&MainWindow::helpRequested);
    PressKey(window.messageText(), Qt::Key_F1);
    PressKey(window.toBox(), Qt::Key_F1);
    PressKey(window.fileList(), Qt::Key_F1);
    EXPECT_EQ(fired(help), 3);
    window.toolButton(MainWindow::tpHelp)->trigger();
    EXPECT_EQ(fired(help), 4);

    // A language replaces the text by "&Contents"; the menu then shows no F1.
    window.menuItem(MainWindow::mpContents)->setText(QStringLiteral("&Contents"));
    EXPECT_TRUE(window.menuItem(MainWindow::mpContents)->shortcut().isEmpty());
    PressKey(window.subjectBox(), Qt::Key_F1);
    EXPECT_EQ(fired(help), 5);
}

TEST_F(MainWindowTest, CommandsReachTheirSignals) {
    const std::pair<QAction*, void (MainWindow::*)()> commands[] = {
        {window.menuItem(MainWindow::mpSend), &MainWindow::sendRequested},
        {window.menuItem(MainWindow::mpOptions), &MainWindow::optionsRequested},
        {window.toolButton(MainWindow::tpOptions), &MainWindow::optionsRequested},
        {window.menuItem(MainWindow::mpAbout), &MainWindow::aboutRequested},
        {window.toolButton(MainWindow::tpUp), &MainWindow::moveUpRequested},
        {window.toolButton(MainWindow::tpDown), &MainWindow::moveDownRequested},
        {window.toolButton(MainWindow::tpDelete), &MainWindow::deleteRequested}};
    window.setListButtonsEnabled(true);
    for (const auto& [action, signal] : commands) {
        const int counter = count(signal);
        action->trigger();
        EXPECT_EQ(fired(counter), 1) << action->text().toStdString();
    }
    window.setBusy(true);
    const int abort = count(&MainWindow::abortRequested);
    window.toolButton(MainWindow::tpAbort)->trigger();
    EXPECT_EQ(fired(abort), 1);
}

TEST_F(MainWindowTest, ExitPostsTheCloseRequest) {
    ShowActive(window);
    const int closing = count(&MainWindow::closing);
    window.menuItem(MainWindow::mpExit)->trigger();
    EXPECT_EQ(fired(closing), 0) << "the close runs after the command's handler";
    QApplication::processEvents();
    EXPECT_EQ(fired(closing), 1);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, MessageTextWrapsAndTabMovesOn) {
    ShowActive(window);
    QPlainTextEdit* text = window.messageText();
    EXPECT_EQ(text->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    const QString line = QStringLiteral("word ").repeated(200).trimmed();
    text->setPlainText(line);
    QApplication::processEvents();
    EXPECT_EQ(text->horizontalScrollBar()->maximum(), 0) << "nothing to scroll sideways";
    EXPECT_GT(text->document()->documentLayout()->documentSize().height(), 3) << "the line wraps onto several";
    EXPECT_EQ(text->toPlainText(), line) << "wrapping adds no line breaks to the text";

    PressKey(text, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window.fileList()) << "Tab moves on instead of typing";
    EXPECT_EQ(text->toPlainText(), line);
}

TEST_F(MainWindowTest, TabRunsTopToBottomWithTheStatusLineLast) {
    ShowActive(window);
    window.toBox()->setFocus();
    QApplication::processEvents();
    const std::vector<QWidget*> order = {window.subjectBox(), window.messageText(), window.fileList(),
                                         window.statusBox(), window.toBox()};
    for (QWidget* next : order) {
        PressKey(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        EXPECT_TRUE(focus == next || next->isAncestorOf(focus)) << focus->metaObject()->className();
    }
    EXPECT_TRUE(window.statusBar()->isAncestorOf(window.statusBox()));
}

TEST_F(MainWindowTest, BringToFrontShowsARestoredActiveWindow) {
    ShowActive(window);
    for (const bool minimised : {true, false}) {
        QWidget other;
        ShowActive(other);
        if (minimised) window.showMinimized();
        QApplication::processEvents();
        window.bringToFront(QString());
        QApplication::processEvents();
        EXPECT_FALSE(window.isMinimized());
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(QApplication::activeWindow(), &window);
    }
}

TEST_F(MainWindowTest, FilesPanelKeepsItsHeight) {
    EXPECT_EQ(window.memoHeight(), 174);
    window.setMemoHeight(120);
    EXPECT_EQ(window.memoHeight(), 120) << "set before the window is shown";
    ShowActive(window);
    EXPECT_EQ(window.filesPanel()->height(), 120);
    window.resize(552, 500);
    QApplication::processEvents();
    EXPECT_EQ(window.filesPanel()->height(), 120);
    EXPECT_GT(window.messageText()->height(), 150);
    window.setMemoHeight(60);
    QApplication::processEvents();
    EXPECT_EQ(window.memoHeight(), 60);
    EXPECT_EQ(window.filesPanel()->height(), 60);
}

TEST_F(MainWindowTest, DroppedFilesGoToTheListWhereverTheyLand) {
    ShowActive(window);
    std::vector<std::string> dropped;
    int drops = 0;
    QObject::connect(&window, &MainWindow::filesDropped, &window, [&](const std::vector<std::string>& paths) {
        dropped = paths;
        ++drops;
    });
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a b.txt")),
                  QUrl::fromLocalFile(QStringLiteral("/tmp/second"))});
    for (QWidget* target : {static_cast<QWidget*>(&window), window.messageText()->viewport(),
                            static_cast<QWidget*>(window.toBox()->lineEdit())}) {
        const QPoint at(5, 5);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
    }
    EXPECT_EQ(drops, 3);
    EXPECT_EQ(dropped, (std::vector<std::string>{"/tmp/a b.txt", "/tmp/second"}));

    // The names' bytes come from the raw list, whatever their encoding.
    QMimeData raw;
    raw.setData(QStringLiteral("text/uri-list"),
                QByteArray("# from a file manager\r\nfile:///tmp/caf%E9.txt\r\nhttp://example.org/x\r\n"
                           "file://localhost/tmp/%C3%84pfel%20Gr%C3%BC%C3%9Fe.txt\r\n"));
    QDragEnterEvent rawEnter(QPoint(5, 5), Qt::CopyAction, &raw, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &rawEnter);
    EXPECT_TRUE(rawEnter.isAccepted());
    QDropEvent rawDrop(QPoint(5, 5), Qt::CopyAction, &raw, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &rawDrop);
    EXPECT_EQ(drops, 4);
    EXPECT_EQ(dropped, (std::vector<std::string>{"/tmp/caf\xe9.txt", "/tmp/Äpfel Grüße.txt"}));
    EXPECT_TRUE(window.messageText()->toPlainText().isEmpty()) << "no file name inserted as text";
    EXPECT_TRUE(window.toBox()->currentText().isEmpty());
}

TEST_F(MainWindowTest, AttachDialogGoesThroughThePrompter) {
    prompter.fileAnswers.push_back({"/tmp/x", "/tmp/y"});
    window.setAttachDialogTitle(QStringLiteral("Dateien auswählen"));
    EXPECT_EQ(window.askFilesToAttach(QStringLiteral("/tmp/")), (QStringList{"/tmp/x", "/tmp/y"}));
    ASSERT_EQ(prompter.dialogs.size(), 1u);
    const RFileDialog& asked = prompter.dialogs[0];
    EXPECT_EQ(asked.Title, "Dateien auswählen");
    EXPECT_EQ(asked.Folder, "/tmp/");
    EXPECT_TRUE(asked.Multiple);
    EXPECT_TRUE(asked.FileMustExist);
    EXPECT_TRUE(window.askFilesToAttach(QStringLiteral("/tmp/")).isEmpty()) << "cancelled";
}

}  // namespace
}  // namespace pw

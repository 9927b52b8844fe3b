#pragma once
// The main window: the "To:" and "Subject:" boxes, the message text, the file
// list and the status line, with the menu, the tool bar and the file list's
// pop-up menu. The widgets are the only copy of the job inputs; the accessors
// below give them to whoever implements the view seam on them.
//
// The window decides nothing about sending or the file list's content: every
// command is a signal. It owns only what is about its controls: which are
// enabled (busy state, list buttons and the focus rule), the height of the
// files panel, the keys of the file list and files dropped on it, and the
// progress of a running job in the status bar.
//
// Everything is laid out by Qt's layouts in the application's font, so the
// window follows the desktop's font, its scale and longer translations.

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <array>
#include <string>
#include <vector>

#include "app/View.h"
#include "ui/WindowTexts.h"

class QAction;
class QComboBox;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QSplitter;
class QToolBar;

namespace pw {

class Prompter;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Menu positions: every entry counts, separators included, across both
    // drop-down menus and the top-level items (language files address them so).
    enum MenuPosition : int {
        mpFile = 0,
        mpAttach = 1,
        mpSend = 3,
        mpAbort = 4,
        mpCreateShortCut = 6,
        mpCreateSeparator = 7,
        mpExit = 8,
        mpOptions = 9,
        mpHelp = 10,
        mpContents = 11,
        mpAbout = 13,
        mpCount = 14
    };
    // Tool-bar positions, separators included; a button's identifier is
    // kToolIdBase + its position, kept as the action's data().
    enum ToolPosition : int {
        tpAttach = 0,
        tpSend = 2,
        tpAbort = 3,
        tpOptions = 5,
        tpHelp = 7,
        tpUp = 9,
        tpDelete = 10,
        tpDown = 11,
        tpAddressBook = 13,
        tpCount = 14
    };
    enum PopupPosition : int { ppAdd = 0, ppDelete = 1, ppUp = 3, ppDown = 4, ppCount = 5 };
    static constexpr int kToolIdBase = 100;

    // Built with a client area of 552 x 343 (the remembered size replaces
    // it) and the built-in texts; Abort, Up, Delete, Down and Address book
    // start disabled.
    explicit MainWindow(Prompter& prompter, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The action at a position of the menu, the tool bar or the pop-up menu
    // (separators are actions too); nullptr out of range. One QAction serves a
    // command on the menu and the tool bar alike, except "&Options...": a menu
    // bar shows an action's icon instead of its text, so the top-level item has
    // an action of its own, enabled together with the tool-bar button.
    QAction* menuItem(int position) const;
    QAction* toolButton(int position) const;
    QAction* popupItem(int position) const;
    QToolBar* toolBar() const { return toolBar_; }
    QMenu* fileListMenu() const { return popup_; }

    QComboBox* toBox() const { return to_; }
    QComboBox* subjectBox() const { return subject_; }
    QPlainTextEdit* messageText() const { return text_; }
    QListWidget* fileList() const { return files_; }
    // The status line: an editable drop-down at the left of the status bar.
    QComboBox* statusBox() const { return status_; }
    // Right of the status line in the status bar; shown only while a send
    // job runs: the words (message, file, bytes) and the bar.
    QLabel* progressLabel() const { return progressText_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* toLabel() const { return toLabel_; }
    QLabel* subjectLabel() const { return subjectLabel_; }
    QLabel* textCaption() const { return textCaption_; }
    QLabel* filesCaption() const { return filesCaption_; }
    QWidget* filesPanel() const { return filesPanel_; }
    QSplitter* splitter() const { return splitter_; }

    // Busy (a send job runs): Abort enabled, Send and Options disabled; idle:
    // the reverse.
    void setBusy(bool busy);
    bool isBusy() const { return busy_; }

    // Up, Delete and Down on the tool bar and the pop-up menu, together. The
    // window also sets them itself when one of the five input controls gets the
    // focus: enabled exactly when that is the file list and it is not empty.
    void setListButtonsEnabled(bool enabled);
    bool listButtonsEnabled() const { return listButtons_; }

    // Height of the files panel below the splitter. Kept when the window is
    // resized; set before the window is shown, it applies once it is laid out.
    int memoHeight() const;
    void setMemoHeight(int height);

    // A running job's progress: shown with its words and the share done (the
    // bar runs from 0 to kProgressRange); Running false hides both.
    static constexpr int kProgressRange = 1000;
    void showProgress(const RJobProgress& progress);
    // The progress words of the language (section "MainForm").
    const RProgressTexts& progressTexts() const { return progressTexts_; }
    void setProgressTexts(const RProgressTexts& texts);

    // Raises the window and gives it the focus: after a hand-off, or when a
    // later start without arguments asks for it. `activationToken` is the
    // later start's XDG_ACTIVATION_TOKEN (empty when it had none); a Wayland
    // compositor lets a window take the focus only with such a token.
    void bringToFront(const QString& activationToken);

    // Title of the attach command's file dialog (a language text).
    QString attachDialogTitle() const { return attachTitle_; }
    void setAttachDialogTitle(const QString& title) { attachTitle_ = title; }

    // Runs the attach dialog ("All Files", several existing files) opening in
    // `folder`; the chosen files' full names, none when cancelled.
    QStringList askFilesToAttach(const QString& folder);

    // Plain text on the clipboard, empty when there is none (for Ctrl+V).
    QString clipboardText() const;

    // After a drop: restores a minimised window, else raises it without
    // activating it.
    void bringToFrontAfterDrop();

    Prompter& prompter() const { return prompter_; }

signals:
    void attachRequested();
    void sendRequested();
    void abortRequested();
    void optionsRequested();
    void helpRequested();
    void aboutRequested();
    void deleteRequested();
    void moveUpRequested();
    void moveDownRequested();
    // Ctrl+V in the file list; the text is clipboardText().
    void pasteRequested();
    // Local files dropped anywhere on the window, in the order given, each
    // name's bytes as they are on the disk.
    void filesDropped(const std::vector<std::string>& paths);
    // The window is closing (E&xit, the close box, or close() called): the
    // close cannot be refused.
    void closing();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void createActions();
    void createMenus();
    void createToolBar();
    void createControls();
    void createFileListMenu();
    void updateActions();
    void applyMemoHeight();
    void onFocusChanged(QWidget* old, QWidget* now);
    bool handleFileListKey(QKeyEvent* key);
    bool handleDrop(QEvent* event);

    void createStatusBar();
    void setUpTabOrder();
    // The progress words, the file name shortened to the room the status bar has.
    QString fittingProgressLine(const RJobProgress& progress) const;
    int progressAllowance() const;

    Prompter& prompter_;
    QMetaObject::Connection focusWatch_;
    RProgressTexts progressTexts_;
    RJobProgress lastProgress_;
    bool busy_ = false;
    bool listButtons_ = false;
    int memoHeight_ = 174;
    QString attachTitle_;

    std::array<QAction*, mpCount> menu_{};
    std::array<QAction*, tpCount> tools_{};
    std::array<QAction*, ppCount> popupItems_{};

    QAction* attach_ = nullptr;
    QAction* send_ = nullptr;
    QAction* abort_ = nullptr;
    QAction* createShortCut_ = nullptr;
    QAction* exit_ = nullptr;
    QAction* options_ = nullptr;      // tool bar
    QAction* optionsItem_ = nullptr;  // menu bar
    QAction* contents_ = nullptr;
    QAction* about_ = nullptr;
    QAction* up_ = nullptr;
    QAction* delete_ = nullptr;
    QAction* down_ = nullptr;
    QAction* addressBook_ = nullptr;
    QAction* add_ = nullptr;

    QMenu* fileMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QMenu* popup_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QComboBox* to_ = nullptr;
    QComboBox* subject_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QListWidget* files_ = nullptr;
    QComboBox* status_ = nullptr;
    QLabel* progressText_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* toLabel_ = nullptr;
    QLabel* subjectLabel_ = nullptr;
    QLabel* textCaption_ = nullptr;
    QLabel* filesCaption_ = nullptr;
    QWidget* filesPanel_ = nullptr;
    QSplitter* splitter_ = nullptr;
};

}  // namespace pw

#pragma once
// The view seam on the real main window: the file list, the "To:" and
// "Subject:" boxes, the message text and the status line are read from and
// written to the widgets themselves, so the window holds the only copy of the
// job inputs.
//
// Two things are kept here rather than in the widgets, for speed:
//  - entries appended inside an update bracket are gathered and inserted into
//    the list in one go when the outermost bracket closes (a folder of 100,000
//    files must not make the list lay itself out 100,000 times); FileCount and
//    FileAt see them at once;
//  - the status entries: the log may add a line for every line a long message
//    sends, so the status box is brought up to date at most every
//    kStatusRefreshMs. StatusShownText() is always the latest line.

#include <deque>
#include <string>
#include <vector>

#include "app/View.h"
#include "ui/ProgressText.h"

class QComboBox;
class QTimer;

namespace pw {

class MainWindow;
class Prompter;

class QtView : public IView {
public:
    static constexpr int kStatusRefreshMs = 40;

    QtView(MainWindow& window, Prompter& prompter);
    ~QtView() override;
    QtView(const QtView&) = delete;
    QtView& operator=(const QtView&) = delete;

    // --- IView
    int FileCount() const override;
    std::string FileAt(int index) const override;
    void AppendFile(const std::string& entry) override;
    void InsertFile(int index, const std::string& entry) override;
    void DeleteFile(int index) override;
    void SwapFiles(int first, int second) override;
    int CurrentFile() const override;
    void SetCurrentFile(int index) override;
    void ClearFiles() override;
    void BeginFileUpdate() override;
    void EndFileUpdate() override;

    std::string BoxText(TComboBox box) const override;
    void SetBoxText(TComboBox box, const std::string& text) override;
    std::vector<std::string> RecentItems(TComboBox box) const override;
    void SetRecentItems(TComboBox box, const std::vector<std::string>& items) override;

    std::string MessageText() const override;
    void SetMessageText(const std::string& text) override;

    int StatusCount() const override { return static_cast<int>(status_.size()); }
    void StatusRemoveFirst() override;
    void StatusAppend(const std::string& text) override;
    std::string StatusShownText() const override;
    void BeginStatusUpdate() override {}
    void EndStatusUpdate() override {}

    RWindowGeometry Geometry() const override;
    void SetGeometry(const RWindowGeometry& geometry) override;

    void EnableSendControls(bool idle) override;
    bool SendControlsIdle() const override;
    void EnableListControls(bool enabled) override;
    void SetWaitCursor(bool wait) override;
    void Beep() override;

    TBoxAnswer ShowMessageBox(const RMessageBox& box) override;
    // Closes the window once the current handler has returned; the window's
    // close handling follows.
    void RequestClose() override;
    // The progress in the window's status bar: shown with the job's place
    // while it runs, hidden when it ends.
    void JobProgress(const RJobProgress& progress) override;

    // Brings the status box up to date now (normally done by a timer).
    void FlushStatus();
    bool WaitCursorShown() const { return waitCursor_; }

private:
    QComboBox* Box(TComboBox box) const;
    void FlushFiles();

    MainWindow& window_;
    Prompter& prompter_;

    int fileUpdateDepth_ = 0;
    std::vector<std::string> pendingFiles_;  // appended inside a bracket, not yet in the list

    std::deque<std::string> status_;
    int statusDropped_ = 0;  // entries removed here but still at the top of the box
    int statusAdded_ = 0;    // entries at the end of status_ not yet in the box
    QTimer* statusTimer_ = nullptr;

    bool waitCursor_ = false;
};

}  // namespace pw

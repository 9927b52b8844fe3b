#pragma once
// The view held in memory: serves the console front end (no display) and the
// tests. Message boxes are recorded and answered at once, with a scripted answer
// when one is queued, else with their default button. Hooks let the console
// front end print log lines and boxes as they come.

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/View.h"

namespace pw {

class MemoryView : public IView {
public:
    // --- IView
    int FileCount() const override;
    std::string FileAt(int index) const override;
    void AppendFile(const std::string& entry) override;
    void InsertFile(int index, const std::string& entry) override;
    void DeleteFile(int index) override;
    void SwapFiles(int first, int second) override;
    int CurrentFile() const override { return current_; }
    void SetCurrentFile(int index) override;
    void ClearFiles() override;
    void BeginFileUpdate() override { ++fileUpdateDepth_; }
    void EndFileUpdate() override;

    std::string BoxText(TComboBox box) const override;
    void SetBoxText(TComboBox box, const std::string& text) override;
    std::vector<std::string> RecentItems(TComboBox box) const override;
    void SetRecentItems(TComboBox box, const std::vector<std::string>& items) override;

    std::string MessageText() const override { return message_; }
    void SetMessageText(const std::string& text) override { message_ = text; }

    int StatusCount() const override { return static_cast<int>(status_.size()); }
    void StatusRemoveFirst() override;
    void StatusAppend(const std::string& text) override;
    std::string StatusShownText() const override { return shown_; }
    void BeginStatusUpdate() override { ++statusUpdateDepth_; }
    void EndStatusUpdate() override;

    RWindowGeometry Geometry() const override { return geometry_; }
    void SetGeometry(const RWindowGeometry& geometry) override { geometry_ = geometry; }

    void EnableSendControls(bool idle) override { idle_ = idle; }
    bool SendControlsIdle() const override { return idle_; }
    void EnableListControls(bool enabled) override;
    void SetWaitCursor(bool wait) override { waitCursor_ = wait; }
    void Beep() override { ++beeps_; }
    TBoxAnswer ShowMessageBox(const RMessageBox& box) override;
    void RequestClose() override;

    // --- For the console front end and the tests.
    const std::vector<std::string>& Files() const { return files_; }
    const std::deque<std::string>& StatusEntries() const { return status_; }
    const std::vector<RMessageBox>& Boxes() const { return boxes_; }
    void ClearBoxes() { boxes_.clear(); }
    // The next boxes get these answers, in order, instead of their default button.
    void QueueAnswer(TBoxAnswer answer) { answers_.push_back(answer); }
    bool ListControlsEnabled() const { return listControls_; }
    int ListControlRefreshes() const { return listRefreshes_; }
    bool WaitCursor() const { return waitCursor_; }
    int Beeps() const { return beeps_; }
    int CloseRequests() const { return closeRequests_; }
    // True while every Begin*Update has been matched by its End*Update.
    bool UpdatesBalanced() const { return fileUpdateDepth_ == 0 && statusUpdateDepth_ == 0; }

    // Called for every status entry appended and every box shown (before it is
    // answered), and for each close request.
    std::function<void(const std::string&)> OnStatus;
    std::function<void(const RMessageBox&)> OnMessageBox;
    std::function<void()> OnCloseRequest;

private:
    std::vector<std::string> files_;
    int current_ = -1;
    int fileUpdateDepth_ = 0;
    std::string toText_, subjText_, message_;
    std::vector<std::string> toItems_, subjItems_;
    std::deque<std::string> status_;
    std::string shown_;
    int statusUpdateDepth_ = 0;
    RWindowGeometry geometry_;
    bool idle_ = true;
    bool listControls_ = false;
    int listRefreshes_ = 0;
    bool waitCursor_ = false;
    int beeps_ = 0;
    int closeRequests_ = 0;
    std::vector<RMessageBox> boxes_;
    std::deque<TBoxAnswer> answers_;
};

}  // namespace pw
